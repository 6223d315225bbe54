#include "mapi/MAPIWrappers.h"

#include "mapi32/mapicode.h"
#include "mapi32/mapiguid.h"
#include "mapi32/mapitags.h"
#include "mapi32/mapiutil.h"

#include <cstring>
#include <string>

namespace {

LPSTR Str(const char* psz)
{
    // MAPI takes LPSTR for texts it only reads.
    return const_cast<LPSTR>(psz);
}

LPENTRYID EntryBytes(const SPropValue& entry)
{
    return reinterpret_cast<LPENTRYID>(entry.Value.bin.lpb);
}

// What a traced operation does when its wrapper holds no object of its
// interface: whether it still writes its line, and what it returns.
struct EmptyRule
{
    bool bTrace;
    HRESULT hr;
};
constexpr EmptyRule kTraceThenInvalid{true, MAPI_E_INVALID_PARAMETER};
constexpr EmptyRule kSilently(HRESULT hr)
{
    return {false, hr};
}

// The one shape of a traced operation: the line is written before the call,
// whatever its outcome; the call gets the wrapper's interface and its HRESULT
// is the result.
template <class I, class Call>
HRESULT Traced(const CTypedWrapper<I>& wrapper, const char* pszLine, Call&& call,
               EmptyRule empty = kTraceThenInvalid)
{
    I* pObj = wrapper.Obj();
    if (pObj == nullptr) {
        if (empty.bTrace)
            wrapper.Trace(pszLine);
        return empty.hr;
    }
    wrapper.Trace(pszLine);
    return call(*pObj);
}

// A traced request for a table, method(ulFlags, &pTable); on success the
// table goes to the output, which releases the one it held.
template <class I, class Method>
HRESULT TracedTable(const CTypedWrapper<I>& wrapper, const char* pszLine, Method method, ULONG ulFlags,
                    CTableRef& table, EmptyRule empty = kTraceThenInvalid)
{
    return Traced(
        wrapper, pszLine,
        [&](I& obj) {
            LPMAPITABLE pTable = nullptr;
            const HRESULT hr = (obj.*method)(ulFlags, &pTable);
            if (SUCCEEDED(hr))
                table.Assign(pTable);
            return hr;
        },
        empty);
}

// A traced call that hands out one object of type T through its last
// argument; on success the object goes to the output wrapper together with
// this wrapper's trace slot.
template <class T, class I, class Call>
HRESULT TracedOpen(const CTypedWrapper<I>& wrapper, const char* pszLine, CMAPIWrapper& out, Call&& call)
{
    return Traced(wrapper, pszLine, [&](I& obj) {
        T* pResult = nullptr;
        const HRESULT hr = call(obj, &pResult);
        if (SUCCEEDED(hr))
            out.Attach(pResult, wrapper.m_ppTrace);
        return hr;
    });
}

// A traced OpenEntry of the entry, or of the root when pEntry is null (no
// entry identifier); the object type it reports is not needed.
template <class I>
HRESULT TracedOpenEntry(const CTypedWrapper<I>& wrapper, const char* pszLine, const SPropValue* pEntry,
                        ULONG ulFlags, CMAPIWrapper& out)
{
    return TracedOpen<IUnknown>(wrapper, pszLine, out, [&](I& obj, LPUNKNOWN* ppObj) {
        const ULONG cbEntry = pEntry != nullptr ? pEntry->Value.bin.cb : 0;
        const LPENTRYID pEntryId = pEntry != nullptr ? EntryBytes(*pEntry) : nullptr;
        ULONG ulType = 0;
        return obj.OpenEntry(cbEntry, pEntryId, nullptr, ulFlags, &ulType, ppObj);
    });
}

} // namespace

// --- holders -------------------------------------------------------------

void CTableRef::Assign(LPMAPITABLE pTable)
{
    Release();
    m_pTable = pTable;
}

void CTableRef::Release()
{
    if (m_pTable != nullptr) {
        m_pTable->Release();
        m_pTable = nullptr;
    }
}

HRESULT CRowSet::QueryAll(CTableRef& table)
{
    if (table.m_pTable == nullptr)
        return E_FAIL;
    HRESULT hr = table.m_pTable->SeekRow(BOOKMARK_BEGINNING, 0, nullptr);
    if (FAILED(hr))
        return hr;
    ULONG ulCount = 0;
    hr = table.m_pTable->GetRowCount(0, &ulCount);
    if (FAILED(hr))
        return hr;
    if (ulCount == 0)
        return E_FAIL;
    // Rows read before are freed first, so a second read never leaks them.
    Release();
    return table.m_pTable->QueryRows(static_cast<LONG>(ulCount), 0, &m_pRows);
}

void CRowSet::Release()
{
    if (m_pRows == nullptr)
        return;
    if (m_bFreeRowProps) {
        for (ULONG i = 0; i < m_pRows->cRows; ++i) {
            MAPIFreeBuffer(m_pRows->aRow[i].lpProps);
            m_pRows->aRow[i].lpProps = nullptr;
        }
    }
    MAPIFreeBuffer(m_pRows);
    m_pRows = nullptr;
}

// --- common wrapper ---------------------------------------------------------

void CMAPIWrapper::Attach(LPUNKNOWN pObj, CMAPITraceSlot* ppTrace)
{
    m_pObj = pObj;
    m_ppTrace = ppTrace;
}

void CMAPIWrapper::Release()
{
    if (m_pObj != nullptr) {
        m_pObj->Release();
        m_pObj = nullptr;
    }
}

void CMAPIWrapper::Trace(const char* pszLine) const
{
    TraceThroughSlot(m_ppTrace, pszLine);
}

// --- session -----------------------------------------------------------------

HRESULT CSessionWrapper::Logon(const char* pszProfile, const char* pszPassword, ULONG ulFlags)
{
    Trace("MAPILogonEx()\n");
    LPMAPISESSION pSession = nullptr;
    const HRESULT hr = MAPILogonEx(0, Str(pszProfile), Str(pszPassword), ulFlags, &pSession);
    if (SUCCEEDED(hr) && pSession != nullptr)
        Attach(pSession, m_ppTrace);
    return hr;
}

HRESULT CSessionWrapper::Logoff(ULONG ulUIParam, ULONG ulFlags)
{
    // No session: nothing to log off, and nothing written.
    return Traced(
        *this, "IMAPISession->Logoff()\n",
        [&](IMAPISession& session) {
            const HRESULT hr = session.Logoff(ulUIParam, ulFlags, 0);
            if (SUCCEEDED(hr))
                Release();
            return hr;
        },
        kSilently(S_OK));
}

HRESULT CSessionWrapper::GetMsgStoresTable(CTableRef& table)
{
    return TracedTable(*this, "IMAPISession->GetMsgStoresTable()\n", &IMAPISession::GetMsgStoresTable, 0, table);
}

HRESULT CSessionWrapper::GetStatusTable(CTableRef& table)
{
    return TracedTable(*this, "IMAPISession->GetStatusTable()\n", &IMAPISession::GetStatusTable, 0, table);
}

HRESULT CSessionWrapper::GetProfileTable(CTableRef& table)
{
    // The administration object lives for this one request; its opening is
    // not traced.
    CProfAdminWrapper admin;
    const HRESULT hr = AdminProfiles(0, admin);
    if (FAILED(hr))
        return hr;
    return TracedTable(admin, "IProfAdmin->GetProfileTable()\n", &IProfAdmin::GetProfileTable, 0, table);
}

HRESULT CSessionWrapper::OpenMsgStore(const SPropValue& entry, CMsgStoreWrapper& store)
{
    return TracedOpen<IMsgStore>(*this, "IMAPISession->OpenMsgStore()\n", store,
                                 [&](IMAPISession& session, LPMDB* ppStore) {
                                     return session.OpenMsgStore(0, entry.Value.bin.cb, EntryBytes(entry), nullptr,
                                                                 MAPI_BEST_ACCESS, ppStore);
                                 });
}

HRESULT CSessionWrapper::AdminServices(CServiceAdminWrapper& admin)
{
    return TracedOpen<IMsgServiceAdmin>(
        *this, "IMAPISession->AdminServices()\n", admin,
        [](IMAPISession& session, LPSERVICEADMIN* ppAdmin) { return session.AdminServices(0, ppAdmin); });
}

HRESULT CSessionWrapper::OpenAddressBook(ULONG ulUIParam, LPCIID lpInterface, ULONG ulFlags, CAddrBookWrapper& book)
{
    return TracedOpen<IAddrBook>(*this, "IMAPISession->OpenAddressBook()\n", book,
                                 [&](IMAPISession& session, LPADRBOOK* ppBook) {
                                     return session.OpenAddressBook(ulUIParam, lpInterface, ulFlags, ppBook);
                                 });
}

HRESULT CSessionWrapper::AdminProfiles(ULONG ulFlags, CProfAdminWrapper& admin)
{
    LPPROFADMIN pAdmin = nullptr;
    const HRESULT hr = MAPIAdminProfiles(ulFlags, &pAdmin);
    if (SUCCEEDED(hr))
        admin.Attach(pAdmin, m_ppTrace);
    return hr;
}

// --- profile and service administration -------------------------------------

HRESULT CProfAdminWrapper::CreateProfile(const char* pszName, ULONG ulFlags)
{
    return Traced(*this, "IProfAdmin->CreateProfile()\n",
                  [&](IProfAdmin& admin) { return admin.CreateProfile(Str(pszName), nullptr, 0, ulFlags); });
}

HRESULT CProfAdminWrapper::DeleteProfile(const char* pszName)
{
    return Traced(*this, "IProfAdmin->DeleteProfile()\n",
                  [&](IProfAdmin& admin) { return admin.DeleteProfile(Str(pszName), 0); });
}

HRESULT CProfAdminWrapper::AdminServices(const char* pszProfile, const char* pszPassword, ULONG ulUIParam,
                                         ULONG ulFlags, CServiceAdminWrapper& admin)
{
    return TracedOpen<IMsgServiceAdmin>(*this, "IProfAdmin->AdminServices()\n", admin,
                                        [&](IProfAdmin& profAdmin, LPSERVICEADMIN* ppAdmin) {
                                            return profAdmin.AdminServices(Str(pszProfile), Str(pszPassword),
                                                                           ulUIParam, ulFlags, ppAdmin);
                                        });
}

HRESULT CServiceAdminWrapper::CreateMsgService(const char* pszService, const char* pszDisplayName, ULONG ulFlags)
{
    return Traced(*this, "IServiceAdmin->CreateMsgService()\n", [&](IMsgServiceAdmin& admin) -> HRESULT {
        // A provider that throws has made the service as far as it could.
        try {
            return admin.CreateMsgService(Str(pszService), Str(pszDisplayName), 0, ulFlags);
        } catch (...) {
            return S_OK;
        }
    });
}

HRESULT CServiceAdminWrapper::GetMsgServiceTable(CTableRef& table)
{
    return TracedTable(*this, "IServiceAdmin->GetMsgServiceTable()\n", &IMsgServiceAdmin::GetMsgServiceTable, 0,
                       table);
}

HRESULT CServiceAdminWrapper::ConfigureService(const char* pszService, const char* pszValue1, const char* pszValue2)
{
    HRESULT hr = S_OK;
    CTableRef table;
    LPSRowSet pRows = nullptr;
    try {
        SizedSPropTagArray(2, columns) = {2, {PR_SERVICE_NAME, PR_SERVICE_UID}};

        hr = GetMsgServiceTable(table);
        if (FAILED(hr))
            return hr;

        // The row of the service, by its exact name.
        SPropValue name{};
        name.ulPropTag = PR_SERVICE_NAME;
        name.Value.lpszA = Str(pszService);
        SRestriction restriction{};
        restriction.rt = RES_CONTENT;
        restriction.res.resContent.ulFuzzyLevel = FL_FULLSTRING;
        restriction.res.resContent.ulPropTag = PR_SERVICE_NAME;
        restriction.res.resContent.lpProp = &name;

        Trace("HrQueryAllRows()\n ");
        hr = HrQueryAllRows(table.Get(), reinterpret_cast<LPSPropTagArray>(&columns), &restriction, nullptr, 0,
                            &pRows);
        if (FAILED(hr))
            return hr;

        SPropValue values[2]{};
        ULONG cValues = 0;
        if (pszValue1 != nullptr && pszValue2 == nullptr) {
            values[0].ulPropTag = PR_PST_PATH;
            values[0].Value.lpszA = Str(pszValue1);
            cValues = 1;
        } else {
            values[0].ulPropTag = PR_PROFILE_UNRESOLVED_NAME;
            values[0].Value.lpszA = Str(pszValue1 != nullptr ? pszValue1 : "");
            values[1].ulPropTag = PR_PROFILE_UNRESOLVED_SERVER;
            values[1].Value.lpszA = Str(pszValue2 != nullptr ? pszValue2 : "");
            cValues = 2;
        }

        Trace("IServiceAdmin->ConfigureMsgService()\n");
        // No row for the service, or a row without a usable UID: nothing to
        // configure. MAPI_E_NOT_FOUND rather than reading past the rows.
        if (pRows == nullptr || pRows->cRows == 0) {
            hr = MAPI_E_NOT_FOUND;
        } else {
            const SRow& row = pRows->aRow[0];
            LPMAPIUID pUid = nullptr;
            for (ULONG i = 0; i < row.cValues; ++i) {
                if (row.lpProps[i].ulPropTag == PR_SERVICE_UID && row.lpProps[i].Value.bin.cb >= sizeof(MAPIUID))
                    pUid = reinterpret_cast<LPMAPIUID>(row.lpProps[i].Value.bin.lpb);
            }
            // The service table came from this wrapper's object, so it holds one.
            hr = pUid == nullptr ? MAPI_E_NOT_FOUND : Obj()->ConfigureMsgService(pUid, 0, 0, cValues, values);
        }
    } catch (...) {
        // The result is that of the last call that returned.
    }
    if (pRows != nullptr)
        FreeProws(pRows);
    table.Release();
    return hr;
}

// --- stores, folders, messages, address book --------------------------------

HRESULT CMsgStoreWrapper::OpenRoot(CFolderWrapper& folder)
{
    return TracedOpenEntry(*this, "IMAPIStore->OpenEntry()\n", nullptr, MAPI_BEST_ACCESS, folder);
}

HRESULT CMsgStoreWrapper::OpenEntry(const SPropValue& entry, CMAPIWrapper& out, ULONG ulFlags)
{
    return TracedOpenEntry(*this, "IMAPIStore->OpenEntry()\n", &entry, ulFlags, out);
}

HRESULT CFolderWrapper::GetContentsTable(CTableRef& table)
{
    return TracedTable(*this, "IMAPIFolder->GetContentsTable()\n", &IMAPIContainer::GetContentsTable, 0, table);
}

HRESULT CFolderWrapper::GetHierarchyTable(CTableRef& table)
{
    return TracedTable(*this, "IMAPIFolder->GetHierarchyTable()\n", &IMAPIContainer::GetHierarchyTable, 0, table);
}

HRESULT CFolderWrapper::OpenEntry(const SPropValue& entry, CMAPIWrapper& out)
{
    return TracedOpenEntry(*this, "IMAPIFolder->OpenEntry()\n", &entry, MAPI_BEST_ACCESS, out);
}

// A message wrapper without a message fails its table requests with E_FAIL
// and writes nothing.
HRESULT CMessageWrapper::GetRecipientTable(CTableRef& table)
{
    return TracedTable(*this, "IMessage->GetRecipientTable()\n", &IMessage::GetRecipientTable, MAPI_UNICODE, table,
                       kSilently(E_FAIL));
}

HRESULT CMessageWrapper::GetAttachmentTable(CTableRef& table)
{
    return TracedTable(*this, "IMessage->GetAttachmentTable()\n", &IMessage::GetAttachmentTable, MAPI_UNICODE,
                       table, kSilently(E_FAIL));
}

HRESULT CMessageWrapper::OpenAttach(ULONG ulAttachNum, LPATTACH& pAttach)
{
    // The attachment is handed out raw: no wrapper, no trace slot.
    return Traced(*this, "IMessage->OpenAttach()\n", [&](IMessage& message) {
        LPATTACH pResult = nullptr;
        const HRESULT hr = message.OpenAttach(ulAttachNum, &IID_IAttachment, MAPI_BEST_ACCESS, &pResult);
        if (SUCCEEDED(hr))
            pAttach = pResult;
        return hr;
    });
}

HRESULT CAddrBookWrapper::OpenRoot(CFolderWrapper& folder)
{
    return TracedOpenEntry(*this, "IADRBook->OpenEntry()\n", nullptr, MAPI_BEST_ACCESS, folder);
}

HRESULT CAddrBookWrapper::OpenEntry(const SPropValue& entry, CMAPIWrapper& out, ULONG ulFlags)
{
    return TracedOpenEntry(*this, "IADRBook->OpenEntry()\n", &entry, ulFlags, out);
}

// --- free functions -----------------------------------------------------------

HRESULT OpenPropertyStream(LPMAPIPROP pObj, ULONG ulPropTag, LPSTREAM* ppStream)
{
    LPUNKNOWN pUnk = nullptr;
    const HRESULT hr = pObj->OpenProperty(ulPropTag, &IID_IStream, 0, 0, &pUnk);
    if (SUCCEEDED(hr)) {
        *ppStream = dynamic_cast<IStream*>(pUnk);
        if (*ppStream == nullptr && pUnk != nullptr) {
            pUnk->Release();
            return MAPI_E_INTERFACE_NOT_SUPPORTED;
        }
    }
    return hr;
}

HRESULT GetNameFromID(LPMAPIPROP pObj, const SPropValue* pProp, LPMAPINAMEID** pppNames, ULONG* pcNames)
{
    SizedSPropTagArray(1, tags) = {1, {pProp->ulPropTag}};
    LPSPropTagArray pTags = reinterpret_cast<LPSPropTagArray>(&tags);
    return pObj->GetNamesFromIDs(&pTags, nullptr, 0, pcNames, pppNames);
}

void LogoffStore(LPMDB& pStore)
{
    if (pStore == nullptr)
        return;
    ULONG ulFlags = 0;
    pStore->StoreLogoff(&ulFlags);
    pStore->Release();
    pStore = nullptr;
}
