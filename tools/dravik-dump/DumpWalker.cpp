#include "DumpWalker.h"

#include "props/PropValueArray.h"

#include "mapi32/mapix.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

// Rows are fetched in pages of this many: the same rows in the same order as
// one QueryRows of the whole table, without holding a large folder at once.
constexpr LONG kRowsPerPage = 256;

// Our own node kinds beside the MAPI object types (those of the tree).
constexpr int NODE_ADDRBOOK_ROOT = 14;
constexpr int NODE_NAMED_PROPS = 17;

// Owns one reference to a MAPI interface.
template <class I>
class CRef
{
public:
    CRef() = default;
    explicit CRef(I* p) : m_p(p) {}
    ~CRef() { Reset(); }
    CRef(const CRef&) = delete;
    CRef& operator=(const CRef&) = delete;
    CRef(CRef&& other) noexcept : m_p(other.m_p) { other.m_p = nullptr; }
    CRef& operator=(CRef&& other) noexcept
    {
        if (this != &other) {
            Reset(other.m_p);
            other.m_p = nullptr;
        }
        return *this;
    }
    I* operator->() const { return m_p; }

    void Reset(I* p = nullptr)
    {
        if (m_p)
            m_p->Release();
        m_p = p;
    }
    I* Get() const { return m_p; }
    explicit operator bool() const { return m_p != nullptr; }

private:
    I* m_p = nullptr;
};

// An object from OpenEntry as interface I; the reference moves into the
// result, or is released when the object is not an I.
template <class I>
CRef<I> As(LPUNKNOWN pUnk)
{
    if (!pUnk)
        return CRef<I>();
    if (I* p = dynamic_cast<I*>(pUnk))
        return CRef<I>(p);
    pUnk->Release();
    return CRef<I>();
}

// A store logged off before its last reference goes, as the tree does.
class CStoreRef
{
public:
    ~CStoreRef()
    {
        if (m_p) {
            ULONG ulFlags = 0;
            m_p->StoreLogoff(&ulFlags);
            m_p->Release();
        }
    }
    IMsgStore** Out() { return &m_p; }
    IMsgStore* Get() const { return m_p; }

private:
    IMsgStore* m_p = nullptr;
};

// A row set from QueryRows, freed row by row.
class CRows
{
public:
    ~CRows()
    {
        if (m_p)
            FreeProws(m_p);
    }
    LPSRowSet* Out() { return &m_p; }
    LPSRowSet Get() const { return m_p; }

private:
    LPSRowSet m_p = nullptr;
};

// The entry ID of a row: a PT_BINARY PR_ENTRYID (a column without a value
// comes as PT_ERROR and is no entry ID).
const SPropValue* EntryId(const CPropValueArray& props)
{
    const SPropValue* p = props.Find(PR_ENTRYID);
    if (!p || PROP_TYPE(p->ulPropTag) != PT_BINARY)
        return nullptr;
    return p;
}

LPENTRYID EntryBytes(const SPropValue& v)
{
    return reinterpret_cast<LPENTRYID>(v.Value.bin.lpb);
}

// The tree's children test: P has children when its PR_SUBFOLDERS is TRUE,
// when its PR_CONTENT_COUNT is above 0 on a node that is not a message, when
// it is an address-book container, or when it has attachments and the table
// row counts contents.
bool HasChildren(const CPropValueArray& p, int nKind, const CPropValueArray& row)
{
    if (p.IsTrue(PR_SUBFOLDERS))
        return true;
    if (p.GetLong(PR_CONTENT_COUNT) > 0 && nKind != static_cast<int>(MAPI_MESSAGE))
        return true;
    if (p.GetLong(PR_OBJECT_TYPE) == static_cast<LONG>(MAPI_ABCONT))
        return true;
    return p.IsTrue(PR_HASATTACH) && row.GetLong(PR_CONTENT_COUNT) > 0;
}

// Every row of a property listing of these values, in the order the list
// shows them before any sort: each row is inserted at the top, so the last
// value comes first. pSource is the object the values came from (it is asked
// for named-property IDs), or null for a table row's values.
std::vector<CPropRowText> ListRows(const CPropValueArray& props, IMAPIProp* pSource)
{
    std::vector<CPropRowText> rows;
    rows.reserve(props.Count());
    for (ULONG i = props.Count(); i-- > 0;) {
        rows.push_back(FormatPropRow(props, i, pSource));
    }
    return rows;
}

} // namespace

// Where a row's children go and what they may be opened through; the objects
// are borrowed from the nodes on the path above.
struct CDumpWalker::Parent
{
    int nDepth = 0;               // depth of the rows listed under it
    int nKind = -1;               // the parent node's kind
    std::string strPath;          // the texts of the path, for messages
    IMsgStore* pStore = nullptr;
    IMAPIContainer* pContainer = nullptr;
    IAddrBook* pAddrBook = nullptr;
    IMessage* pMessage = nullptr; // the "Attachments" group's message
    const char* pszMailUser = "mailuser";  // kind name of MAPI_MAILUSER rows here
    const char* pszStatus = "status";      // kind name of MAPI_STATUS rows here
    bool bNamedWritten = false;   // a store's "Named Properties" was written
};

CDumpWalker::CDumpWalker(IMAPISession* pSession, CDumpWriter& writer, const volatile std::sig_atomic_t* pStop)
    : m_pSession(pSession), m_writer(writer), m_pStop(pStop)
{
}

bool CDumpWalker::Continue()
{
    if (m_pStop && *m_pStop) {
        m_bInterrupted = true;
        return false;
    }
    return m_writer.Ok();
}

void CDumpWalker::Report(const char* pszWhat, const std::string& strWhere, HRESULT hr)
{
    ++m_nDamaged;
    if (m_hrFirst == S_OK)
        m_hrFirst = hr;
    std::fprintf(stderr, "dravik-dump: %s: \"%s\": error %08X\n", pszWhat, TextLine(strWhere).c_str(),
                 static_cast<unsigned>(hr));
}

HRESULT CDumpWalker::Run()
{
    WalkMessageStores();
    if (Continue())
        WalkStatusTable();
    if (Continue())
        WalkProfiles();
    if (Continue())
        WalkServices();
    if (Continue())
        WalkAddressBook();
    Continue();
    if (m_bInterrupted)
        return MAPI_E_USER_CANCEL;
    if (!m_writer.Ok())
        return MAPI_E_DISK_ERROR;
    return m_hrFirst;
}

void CDumpWalker::WalkMessageStores()
{
    m_writer.Write(0, "category", "Message Stores", {});
    LPMAPITABLE pTable = nullptr;
    const HRESULT hr = m_pSession->GetMsgStoresTable(0, &pTable);
    CRef<IMAPITable> table(pTable);
    if (FAILED(hr)) {
        Report("the message stores table cannot be read", "Message Stores", hr);
        return;
    }
    Parent parent;
    parent.nDepth = 1;
    parent.strPath = "Message Stores";
    AddTableRows(table.Get(), parent, PR_DISPLAY_NAME, MAPI_STORE);
}

void CDumpWalker::WalkStatusTable()
{
    m_writer.Write(0, "category", "Status Tables", {});
    LPMAPITABLE pTable = nullptr;
    const HRESULT hr = m_pSession->GetStatusTable(0, &pTable);
    CRef<IMAPITable> table(pTable);
    if (FAILED(hr)) {
        Report("the status table cannot be read", "Status Tables", hr);
        return;
    }
    Parent parent;
    parent.nDepth = 1;
    parent.strPath = "Status Tables";
    AddTableRows(table.Get(), parent, PR_PROVIDER_DISPLAY, MAPI_STATUS);
}

void CDumpWalker::WalkProfiles()
{
    m_writer.Write(0, "category", "Profiles", {});
    LPPROFADMIN pAdmin = nullptr;
    HRESULT hr = MAPIAdminProfiles(0, &pAdmin);
    CRef<IProfAdmin> admin(pAdmin);
    LPMAPITABLE pTable = nullptr;
    if (SUCCEEDED(hr))
        hr = admin->GetProfileTable(0, &pTable);
    CRef<IMAPITable> table(pTable);
    admin.Reset();
    if (FAILED(hr)) {
        Report("the profile table cannot be read", "Profiles", hr);
        return;
    }
    Parent parent;
    parent.nDepth = 1;
    parent.strPath = "Profiles";
    AddTableRows(table.Get(), parent, PR_DISPLAY_NAME, MAPI_PROFSECT);
}

void CDumpWalker::WalkServices()
{
    m_writer.Write(0, "category", "Services", {});
    LPSERVICEADMIN pAdmin = nullptr;
    HRESULT hr = m_pSession->AdminServices(0, &pAdmin);
    CRef<IMsgServiceAdmin> admin(pAdmin);
    LPMAPITABLE pTable = nullptr;
    if (SUCCEEDED(hr))
        hr = admin->GetMsgServiceTable(0, &pTable);
    CRef<IMAPITable> table(pTable);
    if (FAILED(hr)) {
        Report("the message service table cannot be read", "Services", hr);
        return;
    }
    Parent parent;
    parent.nDepth = 1;
    parent.strPath = "Services";
    parent.pszStatus = "service";
    AddTableRows(table.Get(), parent, PR_DISPLAY_NAME, MAPI_STATUS);
}

void CDumpWalker::WalkAddressBook()
{
    LPADRBOOK pBook = nullptr;
    const HRESULT hrBook = m_pSession->OpenAddressBook(0, nullptr, 0, &pBook);
    CRef<IAddrBook> book(pBook);
    CPropValueArray props;
    CRef<IMAPIContainer> root;
    if (book) {
        props.LoadProps(book.Get(), TRUE);
        ULONG ulType = 0;
        LPUNKNOWN pUnk = nullptr;
        const HRESULT hr = book->OpenEntry(0, nullptr, nullptr, MAPI_BEST_ACCESS, &ulType, &pUnk);
        root = As<IMAPIContainer>(SUCCEEDED(hr) ? pUnk : nullptr);
        if (!root)
            Report("the root container of the address book cannot be opened", "Address Book(s)",
                   FAILED(hr) ? hr : MAPI_E_INTERFACE_NOT_SUPPORTED);
    } else {
        Report("the address book cannot be opened", "Address Book(s)", hrBook);
    }
    // The root shows the address book's own properties as its row values.
    m_writer.Write(0, "category", "Address Book(s)", m_writer.WantsProps() ? ListRows(props, nullptr)
                                                                            : std::vector<CPropRowText>{});
    if (!root || !Continue())
        return;
    LPMAPITABLE pTable = nullptr;
    const HRESULT hr = root->GetHierarchyTable(0, &pTable);
    CRef<IMAPITable> table(pTable);
    if (FAILED(hr)) {
        Report("the address book's containers cannot be listed", "Address Book(s)", hr);
        return;
    }
    Parent parent;
    parent.nDepth = 1;
    parent.nKind = NODE_ADDRBOOK_ROOT;
    parent.strPath = "Address Book(s)";
    parent.pAddrBook = book.Get();
    parent.pContainer = root.Get();
    AddTableRows(table.Get(), parent, PR_DISPLAY_NAME, -1);
}

void CDumpWalker::WriteNamedProperties(Parent& parent)
{
    parent.bNamedWritten = true;
    std::vector<CNamedPropText> rows;
    if (m_writer.WantsProps()) {
        const HRESULT hr = ListNamedPropTexts(parent.pStore, rows);
        if (FAILED(hr))
            Report("the named properties cannot be read", parent.strPath + "/Named Properties", hr);
    }
    m_writer.WriteNamed(parent.nDepth, "named-properties", "Named Properties", rows);
}

HRESULT CDumpWalker::AddTableRows(IMAPITable* pTable, Parent& parent, ULONG ulDisplayTag, int nForcedKind)
{
    HRESULT hr = pTable->SeekRow(BOOKMARK_BEGINNING, 0, nullptr);
    ULONG ulCount = 0;
    if (SUCCEEDED(hr))
        hr = pTable->GetRowCount(0, &ulCount);
    if (FAILED(hr)) {
        Report("a table cannot be read", parent.strPath, hr);
        return hr;
    }
    if (ulCount == 0)
        return E_FAIL;
    if (parent.nKind == static_cast<int>(MAPI_STORE) && !parent.bNamedWritten)
        WriteNamedProperties(parent);

    ULONG ulDone = 0;
    while (ulDone < ulCount && Continue()) {
        CRows rows;
        const LONG lPage = static_cast<LONG>(std::min<ULONG>(ulCount - ulDone, kRowsPerPage));
        hr = pTable->QueryRows(lPage, 0, rows.Out());
        if (FAILED(hr)) {
            Report("the rows of a table cannot be read", parent.strPath, hr);
            return hr;
        }
        if (!rows.Get() || rows.Get()->cRows == 0)
            break;  // fewer rows than counted: what there is has been listed
        for (ULONG i = 0; i < rows.Get()->cRows; ++i) {
            if (!Continue() || !AddRow(rows.Get()->aRow[i], parent, ulDisplayTag, nForcedKind))
                return E_FAIL;
        }
        ulDone += rows.Get()->cRows;
    }
    return S_OK;
}

bool CDumpWalker::AddRow(const SRow& row, Parent& parent, ULONG ulDisplayTag, int nForcedKind)
{
    CPropValueArray rowProps;
    rowProps.AttachRow(row);
    std::string strText;
    rowProps.FormatProp(strText, kTreeItemChars,
                        rowProps.GetLong(PR_OBJECT_TYPE) == static_cast<LONG>(MAPI_MESSAGE) ? PR_SUBJECT : ulDisplayTag);
    int nKind = nForcedKind != -1 ? nForcedKind : rowProps.GetLong(PR_OBJECT_TYPE);
    bool bChildren = HasChildren(rowProps, nKind, rowProps);

    // The object behind the row: opened read-only through the store, or
    // through the address book for its containers and mail users.
    CRef<IMAPIProp> entry;
    CPropValueArray entryProps;
    const SPropValue* pEid = EntryId(rowProps);
    if (pEid && (parent.pStore || nKind == static_cast<int>(MAPI_MAILUSER) || nKind == static_cast<int>(MAPI_ABCONT))) {
        ULONG ulType = 0;
        LPUNKNOWN pUnk = nullptr;
        HRESULT hr = MAPI_E_NOT_FOUND;
        if (parent.pStore)
            hr = parent.pStore->OpenEntry(pEid->Value.bin.cb, EntryBytes(*pEid), nullptr, 0, &ulType, &pUnk);
        else if (parent.pAddrBook)
            hr = parent.pAddrBook->OpenEntry(pEid->Value.bin.cb, EntryBytes(*pEid), nullptr, 0, &ulType, &pUnk);
        if (SUCCEEDED(hr))
            entry = As<IMAPIProp>(pUnk);
        // The tree passes over this silently: a recipient's entry ID often
        // belongs to no store of the session. A folder or message that its own
        // store lists and cannot open, or a failure that says so, is damage.
        else if (nKind == static_cast<int>(MAPI_FOLDER) || nKind == static_cast<int>(MAPI_MESSAGE) ||
                 hr == MAPI_E_CORRUPT_DATA || hr == MAPI_E_DISK_ERROR || hr == MAPI_E_NOT_ENOUGH_MEMORY)
            Report("an object cannot be opened", parent.strPath + "/" + strText, hr);
    }
    if (entry) {
        const HRESULT hr = entryProps.LoadProps(entry.Get(), TRUE);
        if (FAILED(hr))
            Report("the properties of an object cannot be read", parent.strPath + "/" + strText, hr);
        if (!bChildren)
            bChildren = HasChildren(entryProps, nKind, rowProps);
        nKind = nForcedKind != -1 ? nForcedKind : entryProps.GetLong(PR_OBJECT_TYPE);
        entryProps.FormatProp(strText,
                              kTreeItemChars,
                              entryProps.GetLong(PR_OBJECT_TYPE) == static_cast<LONG>(MAPI_MESSAGE) ? PR_SUBJECT
                                                                                                   : ulDisplayTag);
    }

    Parent node;
    node.nDepth = parent.nDepth + 1;
    node.nKind = nKind;
    node.strPath = parent.strPath + "/" + strText;
    node.pStore = parent.pStore;
    node.pAddrBook = parent.pAddrBook;

    const char* pszKind = "unknown";
    CStoreRef store;
    CRef<IMAPIContainer> container;
    CRef<IAttach> attach;
    switch (nKind) {
    case MAPI_STORE: {
        pszKind = "store";
        const HRESULT hr =
            pEid ? m_pSession->OpenMsgStore(0, pEid->Value.bin.cb, EntryBytes(*pEid), nullptr, MAPI_BEST_ACCESS,
                                            store.Out())
                 : MAPI_E_INVALID_ENTRYID;
        if (FAILED(hr)) {
            // As in the tree, the listing of the stores ends here.
            Report("MAPI GetMessageStore Failure", node.strPath, hr);
            return false;
        }
        ULONG ulType = 0;
        LPUNKNOWN pUnk = nullptr;
        const HRESULT hrRoot = store.Get()->OpenEntry(0, nullptr, nullptr, MAPI_BEST_ACCESS, &ulType, &pUnk);
        container = As<IMAPIContainer>(SUCCEEDED(hrRoot) ? pUnk : nullptr);
        if (!container)
            Report("the root folder cannot be opened", node.strPath,
                   FAILED(hrRoot) ? hrRoot : MAPI_E_INTERFACE_NOT_SUPPORTED);
        bChildren = true;
        node.pStore = store.Get();
        break;
    }
    case MAPI_FOLDER: {
        pszKind = "folder";
        HRESULT hr = MAPI_E_INVALID_ENTRYID;
        LPUNKNOWN pUnk = nullptr;
        if (pEid && parent.pContainer) {
            ULONG ulType = 0;
            hr = parent.pContainer->OpenEntry(pEid->Value.bin.cb, EntryBytes(*pEid), nullptr, MAPI_BEST_ACCESS,
                                              &ulType, &pUnk);
        }
        container = As<IMAPIContainer>(SUCCEEDED(hr) ? pUnk : nullptr);
        if (!container)
            Report("Failed to locate subfolder", node.strPath, FAILED(hr) ? hr : MAPI_E_INTERFACE_NOT_SUPPORTED);
        break;
    }
    case MAPI_ABCONT: {
        pszKind = "abcontainer";
        HRESULT hr = MAPI_E_INVALID_ENTRYID;
        LPUNKNOWN pUnk = nullptr;
        if (pEid && parent.pAddrBook) {
            ULONG ulType = 0;
            hr = parent.pAddrBook->OpenEntry(pEid->Value.bin.cb, EntryBytes(*pEid), nullptr, 0, &ulType, &pUnk);
        }
        container = As<IMAPIContainer>(SUCCEEDED(hr) ? pUnk : nullptr);
        if (!container)
            Report("an address book container cannot be opened", node.strPath,
                   FAILED(hr) ? hr : MAPI_E_INTERFACE_NOT_SUPPORTED);
        break;
    }
    case MAPI_ATTACH: {
        pszKind = "attachment";
        HRESULT hr = MAPI_E_NOT_FOUND;
        LPATTACH pAttach = nullptr;
        if (parent.pMessage)
            hr = parent.pMessage->OpenAttach(static_cast<ULONG>(rowProps.GetLong(PR_ATTACH_NUM)), &IID_IAttachment,
                                             MAPI_BEST_ACCESS, &pAttach);
        attach.Reset(SUCCEEDED(hr) ? pAttach : nullptr);
        rowProps.FormatProp(strText, kTreeItemChars, PR_ATTACH_FILENAME);
        node.strPath = parent.strPath + "/" + strText;
        if (!attach)
            Report("Failure opening attachment", node.strPath, FAILED(hr) ? hr : MAPI_E_NOT_FOUND);
        break;
    }
    case MAPI_MESSAGE: pszKind = "message"; break;
    case MAPI_MAILUSER: pszKind = parent.pszMailUser; break;
    case MAPI_DISTLIST: pszKind = "distlist"; break;
    case MAPI_PROFSECT: pszKind = "profile"; break;
    case MAPI_STATUS: pszKind = parent.pszStatus; break;
    default: break;
    }
    node.pContainer = container.Get();

    // The node's line, with what the property list shows for it in "Entry
    // Properties" mode: the object the node stands for, else its row values.
    if (m_writer.WantsProps()) {
        IMAPIProp* pObject = nullptr;
        if (nKind == static_cast<int>(MAPI_STORE))
            pObject = store.Get();
        else if (nKind == static_cast<int>(MAPI_FOLDER))
            pObject = container.Get();
        else if (nKind == static_cast<int>(MAPI_ATTACH))
            pObject = attach.Get();
        else
            pObject = entry.Get();
        if (pObject && pObject == entry.Get()) {
            // The entry's properties were read above, just as the list reads them.
            m_writer.Write(parent.nDepth, pszKind, strText, ListRows(entryProps, pObject));
        } else if (pObject) {
            CPropValueArray objectProps;
            const HRESULT hr = objectProps.LoadProps(pObject, TRUE);
            if (FAILED(hr))
                Report("the properties of an object cannot be read", node.strPath, hr);
            m_writer.Write(parent.nDepth, pszKind, strText, ListRows(objectProps, pObject));
        } else {
            m_writer.Write(parent.nDepth, pszKind, strText, ListRows(rowProps, nullptr));
        }
    } else {
        m_writer.Write(parent.nDepth, pszKind, strText, {});
    }
    if (!Continue())
        return false;

    if (container && bChildren) {
        AddContainerChildren(container.Get(), node);
    } else if (nKind == static_cast<int>(MAPI_MESSAGE) && entry) {
        // A message's groups: the tree adds them when its children test holds,
        // but a store's contents rows carry neither PR_CONTENT_COUNT nor
        // PR_HASATTACH, so that test never holds for a message; the groups
        // are added for every opened message instead, each one only when its
        // table has rows.
        if (IMessage* pMessage = dynamic_cast<IMessage*>(entry.Get()))
            AddMessageGroups(pMessage, rowProps.IsTrue(PR_HASATTACH) || entryProps.IsTrue(PR_HASATTACH), node);
    }
    return Continue();
}

void CDumpWalker::AddContainerChildren(IMAPIContainer* pContainer, Parent& node)
{
    LPMAPITABLE pTable = nullptr;
    HRESULT hr = pContainer->GetHierarchyTable(0, &pTable);
    CRef<IMAPITable> table(pTable);
    if (SUCCEEDED(hr))
        AddTableRows(table.Get(), node, PR_DISPLAY_NAME, -1);
    else if (hr != MAPI_E_NO_SUPPORT)
        Report("the subfolders cannot be listed", node.strPath, hr);
    // The address book's root shows only its sub-containers.
    if (node.nKind == NODE_ADDRBOOK_ROOT || !Continue())
        return;
    pTable = nullptr;
    hr = pContainer->GetContentsTable(0, &pTable);
    table.Reset(pTable);
    if (SUCCEEDED(hr))
        AddTableRows(table.Get(), node, PR_DISPLAY_NAME, -1);
    else if (hr != MAPI_E_NO_SUPPORT)
        Report("the contents cannot be listed", node.strPath, hr);
}

void CDumpWalker::AddMessageGroups(IMessage* pMessage, bool bHasAttach, Parent& node)
{
    // Each group appears only when its table has at least one row.
    const auto group = [&](const char* pszName, LPMAPITABLE pTable, ULONG ulForcedKind) {
        CRef<IMAPITable> table(pTable);
        ULONG ulCount = 0;
        const HRESULT hr = table->GetRowCount(0, &ulCount);
        if (FAILED(hr)) {
            Report("a table cannot be read", node.strPath + "/" + pszName, hr);
            return;
        }
        if (ulCount == 0)
            return;
        m_writer.Write(node.nDepth, "category", pszName, {});
        Parent groupNode;
        groupNode.nDepth = node.nDepth + 1;
        groupNode.strPath = node.strPath + "/" + pszName;
        groupNode.pStore = node.pStore;
        groupNode.pMessage = pMessage;
        groupNode.pszMailUser = "recipient";
        AddTableRows(table.Get(), groupNode, PR_DISPLAY_NAME, static_cast<int>(ulForcedKind));
    };
    if (bHasAttach && Continue()) {
        LPMAPITABLE pTable = nullptr;
        const HRESULT hr = pMessage->GetAttachmentTable(MAPI_UNICODE, &pTable);
        if (SUCCEEDED(hr))
            group("Attachments", pTable, MAPI_ATTACH);
        else
            Report("the attachments cannot be listed", node.strPath, hr);
    }
    if (Continue()) {
        LPMAPITABLE pTable = nullptr;
        const HRESULT hr = pMessage->GetRecipientTable(MAPI_UNICODE, &pTable);
        if (SUCCEEDED(hr))
            group("Recipients", pTable, MAPI_MAILUSER);
        else
            Report("the recipients cannot be listed", node.strPath, hr);
    }
}
