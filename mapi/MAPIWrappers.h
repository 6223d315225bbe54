// Traced wrappers over the MAPI interfaces a workspace keeps, and untraced
// holders for tables and row sets. Every traced operation writes its line to
// the workspace's trace slot first, then makes the call and returns its
// HRESULT; on success the result goes into an output wrapper that shares the
// same trace slot.
#pragma once

#include "mapi/MAPITraceWriter.h"
#include "mapi32/mapidefs.h"
#include "mapi32/mapix.h"

class CTableRef
{
public:
    CTableRef() = default;
    ~CTableRef() { Release(); }
    CTableRef(const CTableRef&) = delete;
    CTableRef& operator=(const CTableRef&) = delete;

    // Releases the table held, then holds pTable.
    void Assign(LPMAPITABLE pTable);
    void Release();
    LPMAPITABLE Get() const { return m_pTable; }

    LPMAPITABLE m_pTable = nullptr;
};

class CRowSet
{
public:
    explicit CRowSet(BOOL bFreeRowProps) : m_bFreeRowProps(bFreeRowProps) {}
    ~CRowSet() { Release(); }
    CRowSet(const CRowSet&) = delete;
    CRowSet& operator=(const CRowSet&) = delete;

    // Every row of the table with one QueryRows; E_FAIL for an empty table.
    HRESULT QueryAll(CTableRef& table);
    LPSRowSet Rows() const { return m_pRows; }
    void Release();

    BOOL m_bFreeRowProps;
    LPSRowSet m_pRows = nullptr;
};

// An owned interface pointer and the workspace's trace slot (not owned).
class CMAPIWrapper
{
public:
    CMAPIWrapper() = default;
    ~CMAPIWrapper() { Release(); }
    CMAPIWrapper(const CMAPIWrapper&) = delete;
    CMAPIWrapper& operator=(const CMAPIWrapper&) = delete;

    // Stores both pointers; a pointer already held is not released.
    void Attach(LPUNKNOWN pObj, CMAPITraceSlot* ppTrace);
    void Release();
    void Trace(const char* pszLine) const;

    LPUNKNOWN m_pObj = nullptr;
    CMAPITraceSlot* m_ppTrace = nullptr;
};

// A wrapper that sees its object as interface I (null when it is not one).
template <class I>
class CTypedWrapper : public CMAPIWrapper
{
public:
    I* Obj() const { return dynamic_cast<I*>(m_pObj); }
};

class CServiceAdminWrapper;
class CProfAdminWrapper;
class CMsgStoreWrapper;
class CFolderWrapper;
class CAddrBookWrapper;

class CSessionWrapper : public CTypedWrapper<IMAPISession>
{
public:
    void SetTrace(CMAPITraceSlot* ppTrace) { m_ppTrace = ppTrace; }
    BOOL IsLoggedOn() const { return m_pObj != nullptr; }

    HRESULT Logon(const char* pszProfile, const char* pszPassword, ULONG ulFlags);
    HRESULT Logoff(ULONG ulUIParam, ULONG ulFlags);
    HRESULT GetMsgStoresTable(CTableRef& table);
    HRESULT GetStatusTable(CTableRef& table);
    HRESULT GetProfileTable(CTableRef& table);
    HRESULT OpenMsgStore(const SPropValue& entry, CMsgStoreWrapper& store);
    HRESULT AdminServices(CServiceAdminWrapper& admin);
    HRESULT OpenAddressBook(ULONG ulUIParam, LPCIID lpInterface, ULONG ulFlags, CAddrBookWrapper& book);
    // Untraced; needs no session.
    HRESULT AdminProfiles(ULONG ulFlags, CProfAdminWrapper& admin);
};

class CProfAdminWrapper : public CTypedWrapper<IProfAdmin>
{
public:
    HRESULT CreateProfile(const char* pszName, ULONG ulFlags);
    HRESULT DeleteProfile(const char* pszName);
    HRESULT AdminServices(const char* pszProfile, const char* pszPassword, ULONG ulUIParam, ULONG ulFlags,
                          CServiceAdminWrapper& admin);
};

class CServiceAdminWrapper : public CTypedWrapper<IMsgServiceAdmin>
{
public:
    HRESULT CreateMsgService(const char* pszService, const char* pszDisplayName, ULONG ulFlags);
    HRESULT GetMsgServiceTable(CTableRef& table);
    // Configures the service named pszService: the store path alone when
    // only value1 is given, else mailbox (value1) and server (value2).
    HRESULT ConfigureService(const char* pszService, const char* pszValue1, const char* pszValue2);
};

class CMsgStoreWrapper : public CTypedWrapper<IMsgStore>
{
public:
    HRESULT OpenRoot(CFolderWrapper& folder);
    HRESULT OpenEntry(const SPropValue& entry, CMAPIWrapper& out, ULONG ulFlags);
};

class CFolderWrapper : public CTypedWrapper<IMAPIContainer>
{
public:
    HRESULT GetContentsTable(CTableRef& table);
    HRESULT GetHierarchyTable(CTableRef& table);
    HRESULT OpenEntry(const SPropValue& entry, CMAPIWrapper& out);
};

class CMessageWrapper : public CTypedWrapper<IMessage>
{
public:
    HRESULT GetRecipientTable(CTableRef& table);
    HRESULT GetAttachmentTable(CTableRef& table);
    HRESULT OpenAttach(ULONG ulAttachNum, LPATTACH& pAttach);
};

class CAddrBookWrapper : public CTypedWrapper<IAddrBook>
{
public:
    HRESULT OpenRoot(CFolderWrapper& folder);
    HRESULT OpenEntry(const SPropValue& entry, CMAPIWrapper& out, ULONG ulFlags);
};

HRESULT OpenPropertyStream(LPMAPIPROP pObj, ULONG ulPropTag, LPSTREAM* ppStream);
HRESULT GetNameFromID(LPMAPIPROP pObj, const SPropValue* pProp, LPMAPINAMEID** pppNames, ULONG* pcNames);
void LogoffStore(LPMDB& pStore);
