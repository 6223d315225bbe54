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
    IMAPISession* pSession = Obj();
    if (pSession == nullptr)
        return S_OK;
    Trace("IMAPISession->Logoff()\n");
    const HRESULT hr = pSession->Logoff(ulUIParam, ulFlags, 0);
    if (SUCCEEDED(hr))
        Release();
    return hr;
}

HRESULT CSessionWrapper::GetMsgStoresTable(CTableRef& table)
{
    Trace("IMAPISession->GetMsgStoresTable()\n");
    IMAPISession* pSession = Obj();
    if (pSession == nullptr)
        return MAPI_E_INVALID_PARAMETER;
    LPMAPITABLE pTable = nullptr;
    const HRESULT hr = pSession->GetMsgStoresTable(0, &pTable);
    if (SUCCEEDED(hr))
        table.Assign(pTable);
    return hr;
}

HRESULT CSessionWrapper::GetStatusTable(CTableRef& table)
{
    Trace("IMAPISession->GetStatusTable()\n");
    IMAPISession* pSession = Obj();
    if (pSession == nullptr)
        return MAPI_E_INVALID_PARAMETER;
    LPMAPITABLE pTable = nullptr;
    const HRESULT hr = pSession->GetStatusTable(0, &pTable);
    if (SUCCEEDED(hr))
        table.Assign(pTable);
    return hr;
}

HRESULT CSessionWrapper::GetProfileTable(CTableRef& table)
{
    LPPROFADMIN pAdmin = nullptr;
    HRESULT hr = MAPIAdminProfiles(0, &pAdmin);
    if (FAILED(hr))
        return hr;
    Trace("IProfAdmin->GetProfileTable()\n");
    LPMAPITABLE pTable = nullptr;
    hr = pAdmin->GetProfileTable(0, &pTable);
    if (SUCCEEDED(hr))
        table.Assign(pTable);
    pAdmin->Release();
    return hr;
}

HRESULT CSessionWrapper::OpenMsgStore(const SPropValue& entry, CMsgStoreWrapper& store)
{
    Trace("IMAPISession->OpenMsgStore()\n");
    IMAPISession* pSession = Obj();
    if (pSession == nullptr)
        return MAPI_E_INVALID_PARAMETER;
    LPMDB pStore = nullptr;
    const HRESULT hr = pSession->OpenMsgStore(0, entry.Value.bin.cb, EntryBytes(entry), nullptr,
                                              MAPI_BEST_ACCESS, &pStore);
    if (SUCCEEDED(hr))
        store.Attach(pStore, m_ppTrace);
    return hr;
}

HRESULT CSessionWrapper::AdminServices(CServiceAdminWrapper& admin)
{
    Trace("IMAPISession->AdminServices()\n");
    IMAPISession* pSession = Obj();
    if (pSession == nullptr)
        return MAPI_E_INVALID_PARAMETER;
    LPSERVICEADMIN pAdmin = nullptr;
    const HRESULT hr = pSession->AdminServices(0, &pAdmin);
    if (SUCCEEDED(hr))
        admin.Attach(pAdmin, m_ppTrace);
    return hr;
}

HRESULT CSessionWrapper::OpenAddressBook(ULONG ulUIParam, LPCIID lpInterface, ULONG ulFlags, CAddrBookWrapper& book)
{
    Trace("IMAPISession->OpenAddressBook()\n");
    IMAPISession* pSession = Obj();
    if (pSession == nullptr)
        return MAPI_E_INVALID_PARAMETER;
    LPADRBOOK pBook = nullptr;
    const HRESULT hr = pSession->OpenAddressBook(ulUIParam, lpInterface, ulFlags, &pBook);
    if (SUCCEEDED(hr))
        book.Attach(pBook, m_ppTrace);
    return hr;
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
    Trace("IProfAdmin->CreateProfile()\n");
    IProfAdmin* pAdmin = Obj();
    if (pAdmin == nullptr)
        return MAPI_E_INVALID_PARAMETER;
    return pAdmin->CreateProfile(Str(pszName), nullptr, 0, ulFlags);
}

HRESULT CProfAdminWrapper::DeleteProfile(const char* pszName)
{
    Trace("IProfAdmin->DeleteProfile()\n");
    IProfAdmin* pAdmin = Obj();
    if (pAdmin == nullptr)
        return MAPI_E_INVALID_PARAMETER;
    return pAdmin->DeleteProfile(Str(pszName), 0);
}

HRESULT CProfAdminWrapper::AdminServices(const char* pszProfile, const char* pszPassword, ULONG ulUIParam,
                                         ULONG ulFlags, CServiceAdminWrapper& admin)
{
    Trace("IProfAdmin->AdminServices()\n");
    IProfAdmin* pAdmin = Obj();
    if (pAdmin == nullptr)
        return MAPI_E_INVALID_PARAMETER;
    LPSERVICEADMIN pService = nullptr;
    const HRESULT hr = pAdmin->AdminServices(Str(pszProfile), Str(pszPassword), ulUIParam, ulFlags, &pService);
    if (SUCCEEDED(hr))
        admin.Attach(pService, m_ppTrace);
    return hr;
}

HRESULT CServiceAdminWrapper::CreateMsgService(const char* pszService, const char* pszDisplayName, ULONG ulFlags)
{
    Trace("IServiceAdmin->CreateMsgService()\n");
    IMsgServiceAdmin* pAdmin = Obj();
    if (pAdmin == nullptr)
        return MAPI_E_INVALID_PARAMETER;
    try {
        return pAdmin->CreateMsgService(Str(pszService), Str(pszDisplayName), 0, ulFlags);
    } catch (...) {
        return S_OK;
    }
}

HRESULT CServiceAdminWrapper::GetMsgServiceTable(CTableRef& table)
{
    Trace("IServiceAdmin->GetMsgServiceTable()\n");
    IMsgServiceAdmin* pAdmin = Obj();
    if (pAdmin == nullptr)
        return MAPI_E_INVALID_PARAMETER;
    LPMAPITABLE pTable = nullptr;
    const HRESULT hr = pAdmin->GetMsgServiceTable(0, &pTable);
    if (SUCCEEDED(hr))
        table.Assign(pTable);
    return hr;
}

HRESULT CServiceAdminWrapper::ConfigureService(const char* pszService, const char* pszValue1, const char* pszValue2)
{
    IMsgServiceAdmin* pAdmin = Obj();
    HRESULT hr = S_OK;
    CTableRef table;
    LPSRowSet pRows = nullptr;
    try {
        SizedSPropTagArray(2, columns) = {2, {PR_SERVICE_NAME, PR_SERVICE_UID}};

        Trace("IServiceAdmin->GetMsgServiceTable()\n");
        if (pAdmin == nullptr)
            return MAPI_E_INVALID_PARAMETER;
        LPMAPITABLE pTable = nullptr;
        hr = pAdmin->GetMsgServiceTable(0, &pTable);
        if (FAILED(hr))
            return hr;
        table.Assign(pTable);

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
            hr = pUid == nullptr ? MAPI_E_NOT_FOUND : pAdmin->ConfigureMsgService(pUid, 0, 0, cValues, values);
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
    Trace("IMAPIStore->OpenEntry()\n");
    IMsgStore* pStore = Obj();
    if (pStore == nullptr)
        return MAPI_E_INVALID_PARAMETER;
    ULONG ulType = 0;
    LPUNKNOWN pObj = nullptr;
    const HRESULT hr = pStore->OpenEntry(0, nullptr, nullptr, MAPI_BEST_ACCESS, &ulType, &pObj);
    if (SUCCEEDED(hr))
        folder.Attach(pObj, m_ppTrace);
    return hr;
}

HRESULT CMsgStoreWrapper::OpenEntry(const SPropValue& entry, CMAPIWrapper& out, ULONG ulFlags)
{
    Trace("IMAPIStore->OpenEntry()\n");
    IMsgStore* pStore = Obj();
    if (pStore == nullptr)
        return MAPI_E_INVALID_PARAMETER;
    ULONG ulType = 0;
    LPUNKNOWN pObj = nullptr;
    const HRESULT hr = pStore->OpenEntry(entry.Value.bin.cb, EntryBytes(entry), nullptr, ulFlags, &ulType, &pObj);
    if (SUCCEEDED(hr))
        out.Attach(pObj, m_ppTrace);
    return hr;
}

HRESULT CFolderWrapper::GetContentsTable(CTableRef& table)
{
    Trace("IMAPIFolder->GetContentsTable()\n");
    IMAPIContainer* pFolder = Obj();
    if (pFolder == nullptr)
        return MAPI_E_INVALID_PARAMETER;
    LPMAPITABLE pTable = nullptr;
    const HRESULT hr = pFolder->GetContentsTable(0, &pTable);
    if (SUCCEEDED(hr))
        table.Assign(pTable);
    return hr;
}

HRESULT CFolderWrapper::GetHierarchyTable(CTableRef& table)
{
    Trace("IMAPIFolder->GetHierarchyTable()\n");
    IMAPIContainer* pFolder = Obj();
    if (pFolder == nullptr)
        return MAPI_E_INVALID_PARAMETER;
    LPMAPITABLE pTable = nullptr;
    const HRESULT hr = pFolder->GetHierarchyTable(0, &pTable);
    if (SUCCEEDED(hr))
        table.Assign(pTable);
    return hr;
}

HRESULT CFolderWrapper::OpenEntry(const SPropValue& entry, CMAPIWrapper& out)
{
    Trace("IMAPIFolder->OpenEntry()\n");
    IMAPIContainer* pFolder = Obj();
    if (pFolder == nullptr)
        return MAPI_E_INVALID_PARAMETER;
    ULONG ulType = 0;
    LPUNKNOWN pObj = nullptr;
    const HRESULT hr =
        pFolder->OpenEntry(entry.Value.bin.cb, EntryBytes(entry), nullptr, MAPI_BEST_ACCESS, &ulType, &pObj);
    if (SUCCEEDED(hr))
        out.Attach(pObj, m_ppTrace);
    return hr;
}

HRESULT CMessageWrapper::GetRecipientTable(CTableRef& table)
{
    IMessage* pMessage = Obj();
    if (pMessage == nullptr)
        return E_FAIL;
    Trace("IMessage->GetRecipientTable()\n");
    LPMAPITABLE pTable = nullptr;
    const HRESULT hr = pMessage->GetRecipientTable(MAPI_UNICODE, &pTable);
    if (SUCCEEDED(hr))
        table.Assign(pTable);
    return hr;
}

HRESULT CMessageWrapper::GetAttachmentTable(CTableRef& table)
{
    IMessage* pMessage = Obj();
    if (pMessage == nullptr)
        return E_FAIL;
    Trace("IMessage->GetAttachmentTable()\n");
    LPMAPITABLE pTable = nullptr;
    const HRESULT hr = pMessage->GetAttachmentTable(MAPI_UNICODE, &pTable);
    if (SUCCEEDED(hr))
        table.Assign(pTable);
    return hr;
}

HRESULT CMessageWrapper::OpenAttach(ULONG ulAttachNum, LPATTACH& pAttach)
{
    Trace("IMessage->OpenAttach()\n");
    IMessage* pMessage = Obj();
    if (pMessage == nullptr)
        return MAPI_E_INVALID_PARAMETER;
    LPATTACH pResult = nullptr;
    const HRESULT hr = pMessage->OpenAttach(ulAttachNum, &IID_IAttachment, MAPI_BEST_ACCESS, &pResult);
    if (SUCCEEDED(hr))
        pAttach = pResult;
    return hr;
}

HRESULT CAddrBookWrapper::OpenRoot(CFolderWrapper& folder)
{
    Trace("IADRBook->OpenEntry()\n");
    IAddrBook* pBook = Obj();
    if (pBook == nullptr)
        return MAPI_E_INVALID_PARAMETER;
    ULONG ulType = 0;
    LPUNKNOWN pObj = nullptr;
    const HRESULT hr = pBook->OpenEntry(0, nullptr, nullptr, MAPI_BEST_ACCESS, &ulType, &pObj);
    if (SUCCEEDED(hr))
        folder.Attach(pObj, m_ppTrace);
    return hr;
}

HRESULT CAddrBookWrapper::OpenEntry(const SPropValue& entry, CMAPIWrapper& out, ULONG ulFlags)
{
    Trace("IADRBook->OpenEntry()\n");
    IAddrBook* pBook = Obj();
    if (pBook == nullptr)
        return MAPI_E_INVALID_PARAMETER;
    ULONG ulType = 0;
    LPUNKNOWN pObj = nullptr;
    const HRESULT hr = pBook->OpenEntry(entry.Value.bin.cb, EntryBytes(entry), nullptr, ulFlags, &ulType, &pObj);
    if (SUCCEEDED(hr))
        out.Attach(pObj, m_ppTrace);
    return hr;
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
