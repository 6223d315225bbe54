#include "mapi32/providers/ab/addrbook.h"

#include "mapi32/mapicode.h"
#include "mapi32/mapiguid.h"
#include "mapi32/mapitags.h"
#include "mapi32/propobject.h"
#include "mapi32/table.h"

#include <cstring>
#include <mutex>

namespace dravik::mapi32 {
namespace {

std::mutex g_sourceMutex;
AddressBookSource g_source;

AddressBookSource Source()
{
    std::lock_guard lock(g_sourceMutex);
    return g_source;
}

// The root container's entry ID: flags and a fixed provider UID.
BYTE g_rootEid[20] = {0, 0, 0, 0, 0x44, 0x52, 0x56, 0x4B, 0x41, 0x42, 0x52, 0x54,
                      0x9A, 0x31, 0x27, 0x70, 0x0C, 0x11, 0xEF, 0x03};

SPropValue Long(ULONG tag, ULONG v)
{
    SPropValue p{};
    p.ulPropTag = tag;
    p.Value.ul = v;
    return p;
}

SPropValue Text(ULONG tag, const char* s)
{
    SPropValue p{};
    p.ulPropTag = tag;
    p.Value.lpszA = const_cast<char*>(s);
    return p;
}

SPropValue Bin(ULONG tag, BYTE* b, ULONG cb)
{
    SPropValue p{};
    p.ulPropTag = tag;
    p.Value.bin.cb = cb;
    p.Value.bin.lpb = b;
    return p;
}

const std::vector<ULONG> kHierarchyColumns = {PR_ENTRYID, PR_DISPLAY_NAME, PR_OBJECT_TYPE, PR_DISPLAY_TYPE,
                                              PR_CONTAINER_FLAGS, PR_DEPTH, PR_INSTANCE_KEY};
const std::vector<ULONG> kContentsColumns = {PR_ENTRYID, PR_DISPLAY_NAME, PR_OBJECT_TYPE, PR_DISPLAY_TYPE,
                                             PR_ADDRTYPE, PR_EMAIL_ADDRESS, PR_INSTANCE_KEY};

class CABRoot final : public PropObject<IABContainer>
{
public:
    explicit CABRoot(IMAPISession* session)
        : PropObject({Bin(PR_ENTRYID, g_rootEid, sizeof g_rootEid), Long(PR_OBJECT_TYPE, MAPI_ABCONT),
                      Text(PR_DISPLAY_NAME, ""), Long(PR_DISPLAY_TYPE, DT_NOT_SPECIFIC),
                      Long(PR_CONTAINER_FLAGS, 0x00000001 /* AB_RECIPIENTS */ | 0x00000004 /* AB_SUBCONTAINERS */)}),
          m_session(session)
    {
        if (m_session)
            m_session->AddRef();
    }

    HRESULT QueryInterface(REFIID riid, LPVOID* ppv) override
    {
        if (!ppv)
            return MAPI_E_INVALID_PARAMETER;
        if (riid == IID_IUnknown || riid == IID_IMAPIProp || riid == IID_IMAPIContainer || riid == IID_IABContainer) {
            AddRef();
            *ppv = static_cast<IABContainer*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return MAPI_E_INTERFACE_NOT_SUPPORTED;
    }
    HRESULT GetContentsTable(ULONG, LPMAPITABLE* out) override { return CreateMemoryTable({}, kContentsColumns, out); }
    HRESULT GetHierarchyTable(ULONG, LPMAPITABLE* out) override
    {
        AddressBookSource src = Source();
        if (!src.hierarchy)
            return CreateMemoryTable({}, kHierarchyColumns, out);
        std::vector<std::vector<SPropValue>> rows;
        std::shared_ptr<void> keep;
        HRESULT hr = src.hierarchy(m_session, rows, keep);
        if (FAILED(hr))
            return hr;
        return CreateMemoryTable(rows, kHierarchyColumns, out);
    }
    HRESULT OpenEntry(ULONG cb, LPENTRYID eid, LPCIID, ULONG, ULONG* type, LPUNKNOWN* out) override
    {
        AddressBookSource src = Source();
        if (!src.openEntry)
            return MAPI_E_NOT_FOUND;
        return src.openEntry(m_session, cb, eid, type, out);
    }
    HRESULT SetSearchCriteria(LPSRestriction, LPENTRYLIST, ULONG) override { return MAPI_E_NO_SUPPORT; }
    HRESULT GetSearchCriteria(ULONG, LPSRestriction*, LPENTRYLIST*, ULONG*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT CreateEntry(ULONG, LPENTRYID, ULONG, LPMAPIPROP*) override { return MAPI_E_NO_ACCESS; }
    HRESULT CopyEntries(LPENTRYLIST, ULONG, LPMAPIPROGRESS, ULONG) override { return MAPI_E_NO_ACCESS; }
    HRESULT DeleteEntries(LPENTRYLIST, ULONG) override { return MAPI_E_NO_ACCESS; }
    HRESULT ResolveNames(LPSPropTagArray, ULONG, LPADRLIST, LPFlagList) override { return MAPI_E_NO_SUPPORT; }

private:
    ~CABRoot() override
    {
        if (m_session)
            m_session->Release();
    }
    IMAPISession* m_session;
};

class CAddrBook final : public PropObject<IAddrBook>
{
public:
    explicit CAddrBook(IMAPISession* session)
        : PropObject({Long(PR_OBJECT_TYPE, MAPI_ADDRBOOK)}), m_session(session)
    {
        if (m_session)
            m_session->AddRef();
    }

    HRESULT QueryInterface(REFIID riid, LPVOID* ppv) override
    {
        if (!ppv)
            return MAPI_E_INVALID_PARAMETER;
        if (riid == IID_IUnknown || riid == IID_IMAPIProp || riid == IID_IAddrBook) {
            AddRef();
            *ppv = static_cast<IAddrBook*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return MAPI_E_INTERFACE_NOT_SUPPORTED;
    }
    HRESULT OpenEntry(ULONG cb, LPENTRYID eid, LPCIID, ULONG, ULONG* type, LPUNKNOWN* out) override
    {
        if (!type || !out)
            return MAPI_E_INVALID_PARAMETER;
        *out = nullptr;
        if (cb == 0 || !eid || (cb == sizeof g_rootEid && std::memcmp(eid, g_rootEid, cb) == 0)) {
            *type = MAPI_ABCONT;
            *out = static_cast<IABContainer*>(new CABRoot(m_session));
            return S_OK;
        }
        AddressBookSource src = Source();
        if (!src.openEntry)
            return MAPI_E_UNKNOWN_ENTRYID;
        return src.openEntry(m_session, cb, eid, type, out);
    }
    HRESULT CompareEntryIDs(ULONG cb1, LPENTRYID e1, ULONG cb2, LPENTRYID e2, ULONG, ULONG* result) override
    {
        if (!result)
            return MAPI_E_INVALID_PARAMETER;
        *result = cb1 == cb2 && (cb1 == 0 || (e1 && e2 && std::memcmp(e1, e2, cb1) == 0));
        return S_OK;
    }
    HRESULT Advise(ULONG, LPENTRYID, ULONG, LPMAPIADVISESINK, ULONG*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT Unadvise(ULONG) override { return MAPI_E_NO_SUPPORT; }
    HRESULT CreateOneOff(LPSTR, LPSTR, LPSTR, ULONG, ULONG*, LPENTRYID*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT NewEntry(ULONG, ULONG, ULONG, LPENTRYID, ULONG, LPENTRYID, ULONG*, LPENTRYID*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT ResolveName(ULONG, ULONG, LPSTR, LPADRLIST) override { return MAPI_E_NO_SUPPORT; }
    HRESULT Address(ULONG*, LPADRPARM, LPADRLIST*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT Details(ULONG*, LPFNDISMISS, LPVOID, ULONG, LPENTRYID, LPFNBUTTON, LPVOID, LPSTR, ULONG) override
    {
        return MAPI_E_NO_SUPPORT;
    }
    HRESULT RecipOptions(ULONG, ULONG, LPADRENTRY) override { return MAPI_E_NO_SUPPORT; }
    HRESULT QueryDefaultRecipOpt(LPSTR, ULONG, ULONG*, LPSPropValue*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT GetPAB(ULONG* cb, LPENTRYID* eid) override
    {
        if (cb)
            *cb = 0;
        if (eid)
            *eid = nullptr;
        return MAPI_E_NOT_FOUND;
    }
    HRESULT SetPAB(ULONG, LPENTRYID) override { return MAPI_E_NO_SUPPORT; }
    HRESULT GetDefaultDir(ULONG* cb, LPENTRYID* eid) override
    {
        if (!cb || !eid)
            return MAPI_E_INVALID_PARAMETER;
        void* p = nullptr;
        HRESULT hr = MAPIAllocateBuffer(sizeof g_rootEid, &p);
        if (FAILED(hr))
            return hr;
        std::memcpy(p, g_rootEid, sizeof g_rootEid);
        *cb = sizeof g_rootEid;
        *eid = static_cast<LPENTRYID>(p);
        return S_OK;
    }
    HRESULT SetDefaultDir(ULONG, LPENTRYID) override { return MAPI_E_NO_SUPPORT; }
    HRESULT GetSearchPath(ULONG, LPSRowSet* rows) override
    {
        if (rows)
            *rows = nullptr;
        return MAPI_E_NO_SUPPORT;
    }
    HRESULT SetSearchPath(ULONG, LPSRowSet) override { return MAPI_E_NO_SUPPORT; }
    HRESULT PrepareRecips(ULONG, LPSPropTagArray, LPADRLIST) override { return MAPI_E_NO_SUPPORT; }

private:
    ~CAddrBook() override
    {
        if (m_session)
            m_session->Release();
    }
    IMAPISession* m_session;
};

} // namespace

void SetAddressBookSource(AddressBookSource source)
{
    std::lock_guard lock(g_sourceMutex);
    g_source = std::move(source);
}

HRESULT CreateAddressBook(IMAPISession* session, LPADRBOOK* out)
{
    if (!out)
        return MAPI_E_INVALID_PARAMETER;
    *out = new CAddrBook(session);
    return S_OK;
}

} // namespace dravik::mapi32
