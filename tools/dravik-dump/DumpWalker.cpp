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
const SBinary* EntryId(const CPropValueArray& props)
{
    const SPropValue* p = props.Find(PR_ENTRYID);
    if (!p || PROP_TYPE(p->ulPropTag) != PT_BINARY)
        return nullptr;
    return &p->Value.bin;
}

// No entry ID: what OpenEntry takes for the root of a store or address book.
constexpr SBinary kRootEntry{0, nullptr};

// Opens the entry through pSource (a store, a container, the address book)
// as interface I. The result of OpenEntry: out stays empty when it failed or
// when the object is not an I.
template <class I, class Source>
HRESULT OpenEntryAs(Source* pSource, const SBinary& eid, ULONG ulFlags, CRef<I>& out)
{
    ULONG ulType = 0;
    LPUNKNOWN pUnk = nullptr;
    const HRESULT hr =
        pSource->OpenEntry(eid.cb, reinterpret_cast<LPENTRYID>(eid.lpb), nullptr, ulFlags, &ulType, &pUnk);
    out = As<I>(SUCCEEDED(hr) ? pUnk : nullptr);
    return hr;
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

// The tree's text of a node with these values: a message's subject, else the
// value of the display column.
void FormatNodeText(const CPropValueArray& p, ULONG ulDisplayTag, std::string& strText)
{
    p.FormatProp(strText, kTreeItemChars,
                 p.GetLong(PR_OBJECT_TYPE) == static_cast<LONG>(MAPI_MESSAGE) ? PR_SUBJECT : ulDisplayTag);
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

// The roots that list one table of the session: their text, how the table is
// asked for, what a failure to get it is reported as, the column that gives
// a row its text, the kind of every row and the kind name of MAPI_STATUS rows.
struct CRootTable
{
    const char* pszName;
    HRESULT (*pfnOpen)(IMAPISession* pSession, LPMAPITABLE* ppTable);
    const char* pszFailure;
    ULONG ulDisplayTag;
    int nKind;
    const char* pszStatus;
};

HRESULT OpenStoresTable(IMAPISession* pSession, LPMAPITABLE* ppTable)
{
    return pSession->GetMsgStoresTable(0, ppTable);
}

HRESULT OpenStatusTable(IMAPISession* pSession, LPMAPITABLE* ppTable)
{
    return pSession->GetStatusTable(0, ppTable);
}

HRESULT OpenProfileTable(IMAPISession*, LPMAPITABLE* ppTable)
{
    CRef<IProfAdmin> admin;
    const HRESULT hr = MAPIAdminProfiles(0, admin.Out());
    return FAILED(hr) ? hr : admin->GetProfileTable(0, ppTable);
}

HRESULT OpenServiceTable(IMAPISession* pSession, LPMAPITABLE* ppTable)
{
    CRef<IMsgServiceAdmin> admin;
    const HRESULT hr = pSession->AdminServices(0, admin.Out());
    return FAILED(hr) ? hr : admin->GetMsgServiceTable(0, ppTable);
}

// In the tree's order; "Address Book(s)" comes last.
const CRootTable kRootTables[] = {
    {"Message Stores", OpenStoresTable, "the message stores table cannot be read", PR_DISPLAY_NAME, MAPI_STORE,
     "status"},
    {"Status Tables", OpenStatusTable, "the status table cannot be read", PR_PROVIDER_DISPLAY, MAPI_STATUS, "status"},
    {"Profiles", OpenProfileTable, "the profile table cannot be read", PR_DISPLAY_NAME, MAPI_PROFSECT, "status"},
    {"Services", OpenServiceTable, "the message service table cannot be read", PR_DISPLAY_NAME, MAPI_STATUS,
     "service"},
};

constexpr const char* kAddressBook = "Address Book(s)";

// A message's groups, in the tree's order: their text, how the table is
// asked for, what a failure to get it is reported as and the kind of every
// row.
struct CMessageGroup
{
    const char* pszName;
    HRESULT (IMessage::*pfnTable)(ULONG ulFlags, LPMAPITABLE* ppTable);
    const char* pszFailure;
    ULONG ulKind;
};

const CMessageGroup kMessageGroups[] = {
    {"Attachments", &IMessage::GetAttachmentTable, "the attachments cannot be listed", MAPI_ATTACH},
    {"Recipients", &IMessage::GetRecipientTable, "the recipients cannot be listed", MAPI_MAILUSER},
};

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

    // A root's rows, below its line at depth 0.
    static Parent Root(const char* pszName)
    {
        Parent root;
        root.nDepth = 1;
        root.strPath = pszName;
        return root;
    }

    // The rows below the node with this text: one level deeper, opened
    // through the same store or address book.
    Parent Child(const std::string& strText) const
    {
        Parent child;
        child.nDepth = nDepth + 1;
        child.strPath = strPath + "/" + strText;
        child.pStore = pStore;
        child.pAddrBook = pAddrBook;
        return child;
    }
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

void CDumpWalker::ReportDamagedValues(const CPropValueArray& props, const std::string& strWhere, const char* pszIn)
{
    for (ULONG i = 0; i < props.Count(); ++i) {
        const SPropValue* p = props.At(i);
        if (PROP_TYPE(p->ulPropTag) != PT_ERROR || p->Value.err != MAPI_E_CORRUPT_DATA)
            continue;
        ++m_nDamagedValues;
        if (m_hrFirst == S_OK)
            m_hrFirst = MAPI_E_CORRUPT_DATA;
        std::fprintf(stderr, "dravik-dump: a damaged value%s%s: \"%s\": 0x%08x: error %08X\n", *pszIn ? " " : "", pszIn,
                     TextLine(strWhere).c_str(), static_cast<unsigned>(p->ulPropTag),
                     static_cast<unsigned>(MAPI_E_CORRUPT_DATA));
    }
}

HRESULT CDumpWalker::Run()
{
    for (const CRootTable& root : kRootTables) {
        if (&root != &kRootTables[0] && !Continue())
            continue;
        m_writer.Write(0, "category", root.pszName, {});
        CRef<IMAPITable> table;
        const HRESULT hr = root.pfnOpen(m_pSession, table.Out());
        Parent parent = Parent::Root(root.pszName);
        parent.pszStatus = root.pszStatus;
        ListTable(hr, table.Get(), root.pszFailure, parent, root.ulDisplayTag, root.nKind);
    }
    if (Continue())
        WalkAddressBook();
    Continue();
    if (m_bInterrupted)
        return MAPI_E_USER_CANCEL;
    if (!m_writer.Ok())
        return MAPI_E_DISK_ERROR;
    return m_hrFirst;
}

void CDumpWalker::WalkAddressBook()
{
    CRef<IAddrBook> book;
    const HRESULT hrBook = m_pSession->OpenAddressBook(0, nullptr, 0, book.Out());
    CPropValueArray props;
    CRef<IMAPIContainer> root;
    if (book) {
        props.LoadProps(book.Get(), TRUE);
        root = OpenContainer(book.Get(), &kRootEntry, "the root container of the address book cannot be opened",
                             kAddressBook);
    } else {
        Report("the address book cannot be opened", kAddressBook, hrBook);
    }
    // The root shows the address book's own properties as its row values.
    m_writer.Write(0, "category", kAddressBook, PropRows(props, nullptr));
    if (!root || !Continue())
        return;
    CRef<IMAPITable> table;
    const HRESULT hr = root->GetHierarchyTable(0, table.Out());
    Parent parent = Parent::Root(kAddressBook);
    parent.nKind = NODE_ADDRBOOK_ROOT;
    parent.pAddrBook = book.Get();
    parent.pContainer = root.Get();
    ListTable(hr, table.Get(), "the address book's containers cannot be listed", parent, PR_DISPLAY_NAME, -1);
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

std::vector<CPropRowText> CDumpWalker::PropRows(const CPropValueArray& props, IMAPIProp* pSource) const
{
    return m_writer.WantsProps() ? ListRows(props, pSource) : std::vector<CPropRowText>{};
}

void CDumpWalker::LoadProps(IMAPIProp* pObject, CPropValueArray& props, const std::string& strWhere,
                            bool bReportDamage)
{
    const HRESULT hr = props.LoadProps(pObject, TRUE);
    if (FAILED(hr))
        Report("the properties of an object cannot be read", strWhere, hr);
    else if (bReportDamage)
        ReportDamagedValues(props, strWhere, "");
}

template <class Source>
CRef<IMAPIContainer> CDumpWalker::OpenContainer(Source* pSource, const SBinary* pEid, const char* pszFailure,
                                                const std::string& strWhere, ULONG ulFlags)
{
    CRef<IMAPIContainer> container;
    HRESULT hr = MAPI_E_INVALID_ENTRYID;
    if (pSource && pEid)
        hr = OpenEntryAs(pSource, *pEid, ulFlags, container);
    if (!container)
        Report(pszFailure, strWhere, FAILED(hr) ? hr : MAPI_E_INTERFACE_NOT_SUPPORTED);
    return container;
}

void CDumpWalker::ListTable(HRESULT hr, IMAPITable* pTable, const char* pszFailure, Parent& parent,
                            ULONG ulDisplayTag, int nForcedKind, bool bNoSupportIsEmpty)
{
    if (SUCCEEDED(hr))
        AddTableRows(pTable, parent, ulDisplayTag, nForcedKind);
    else if (!bNoSupportIsEmpty || hr != MAPI_E_NO_SUPPORT)
        Report(pszFailure, parent.strPath, hr);
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
    FormatNodeText(rowProps, ulDisplayTag, strText);
    int nKind = nForcedKind != -1 ? nForcedKind : rowProps.GetLong(PR_OBJECT_TYPE);
    bool bChildren = HasChildren(rowProps, nKind, rowProps);

    // The object behind the row: opened read-only through the store, or
    // through the address book for its containers and mail users.
    CRef<IMAPIProp> entry;
    CPropValueArray entryProps;
    const SBinary* pEid = EntryId(rowProps);
    if (pEid && (parent.pStore || nKind == static_cast<int>(MAPI_MAILUSER) || nKind == static_cast<int>(MAPI_ABCONT))) {
        HRESULT hr = MAPI_E_NOT_FOUND;
        if (parent.pStore)
            hr = OpenEntryAs(parent.pStore, *pEid, 0, entry);
        else if (parent.pAddrBook)
            hr = OpenEntryAs(parent.pAddrBook, *pEid, 0, entry);
        // The tree passes over this silently: a recipient's entry ID often
        // belongs to no store of the session. A folder or message that its own
        // store lists and cannot open, or a failure that says so, is damage.
        if (FAILED(hr) && (nKind == static_cast<int>(MAPI_FOLDER) || nKind == static_cast<int>(MAPI_MESSAGE) ||
                           hr == MAPI_E_CORRUPT_DATA || hr == MAPI_E_DISK_ERROR || hr == MAPI_E_NOT_ENOUGH_MEMORY))
            Report("an object cannot be opened", parent.strPath + "/" + strText, hr);
    }
    if (entry) {
        LoadProps(entry.Get(), entryProps, parent.strPath + "/" + strText);
        if (!bChildren)
            bChildren = HasChildren(entryProps, nKind, rowProps);
        nKind = nForcedKind != -1 ? nForcedKind : entryProps.GetLong(PR_OBJECT_TYPE);
        FormatNodeText(entryProps, ulDisplayTag, strText);
    }

    Parent node = parent.Child(strText);
    node.nKind = nKind;
    ReportDamagedValues(rowProps, node.strPath, "in its table row");

    const char* pszKind = "unknown";
    CStoreRef store;
    CRef<IMAPIContainer> container;
    CRef<IAttach> attach;
    switch (nKind) {
    case MAPI_STORE: {
        pszKind = "store";
        const HRESULT hr = pEid ? m_pSession->OpenMsgStore(0, pEid->cb, reinterpret_cast<LPENTRYID>(pEid->lpb),
                                                           nullptr, MAPI_BEST_ACCESS, store.Out())
                                : MAPI_E_INVALID_ENTRYID;
        if (FAILED(hr)) {
            // As in the tree, the listing of the stores ends here.
            Report("MAPI GetMessageStore Failure", node.strPath, hr);
            return false;
        }
        container = OpenContainer(store.Get(), &kRootEntry, "the root folder cannot be opened", node.strPath);
        bChildren = true;
        node.pStore = store.Get();
        break;
    }
    case MAPI_FOLDER:
        pszKind = "folder";
        container = OpenContainer(parent.pContainer, pEid, "Failed to locate subfolder", node.strPath);
        break;
    case MAPI_ABCONT:
        pszKind = "abcontainer";
        container =
            OpenContainer(parent.pAddrBook, pEid, "an address book container cannot be opened", node.strPath, 0);
        break;
    case MAPI_ATTACH: {
        pszKind = "attachment";
        HRESULT hr = MAPI_E_NOT_FOUND;
        if (parent.pMessage)
            hr = parent.pMessage->OpenAttach(static_cast<ULONG>(rowProps.GetLong(PR_ATTACH_NUM)), &IID_IAttachment,
                                             MAPI_BEST_ACCESS, attach.Out());
        if (FAILED(hr))
            attach.Reset();
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
    std::vector<CPropRowText> rows;
    if (m_writer.WantsProps()) {
        IMAPIProp* pObject = entry.Get();
        if (nKind == static_cast<int>(MAPI_STORE))
            pObject = store.Get();
        else if (nKind == static_cast<int>(MAPI_FOLDER))
            pObject = container.Get();
        else if (nKind == static_cast<int>(MAPI_ATTACH))
            pObject = attach.Get();
        if (pObject && pObject == entry.Get()) {
            // The entry's properties were read above, just as the list reads them.
            rows = ListRows(entryProps, pObject);
        } else if (pObject) {
            CPropValueArray objectProps;
            // A folder opened a second time (through its parent) holds the
            // values read above: its damage is reported once.
            LoadProps(pObject, objectProps, node.strPath, !entry);
            rows = ListRows(objectProps, pObject);
        } else {
            rows = ListRows(rowProps, nullptr);
        }
    }
    m_writer.Write(parent.nDepth, pszKind, strText, rows);
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
    CRef<IMAPITable> table;
    HRESULT hr = pContainer->GetHierarchyTable(0, table.Out());
    ListTable(hr, table.Get(), "the subfolders cannot be listed", node, PR_DISPLAY_NAME, -1, true);
    // The address book's root shows only its sub-containers.
    if (node.nKind == NODE_ADDRBOOK_ROOT || !Continue())
        return;
    hr = pContainer->GetContentsTable(0, table.Out());
    ListTable(hr, table.Get(), "the contents cannot be listed", node, PR_DISPLAY_NAME, -1, true);
}

void CDumpWalker::AddMessageGroups(IMessage* pMessage, bool bHasAttach, Parent& node)
{
    for (const CMessageGroup& group : kMessageGroups) {
        if (group.ulKind == MAPI_ATTACH && !bHasAttach)
            continue;
        if (!Continue())
            return;
        CRef<IMAPITable> table;
        HRESULT hr = (pMessage->*group.pfnTable)(MAPI_UNICODE, table.Out());
        if (FAILED(hr)) {
            Report(group.pszFailure, node.strPath, hr);
            continue;
        }
        // Each group appears only when its table has at least one row.
        Parent groupNode = node.Child(group.pszName);
        groupNode.pMessage = pMessage;
        groupNode.pszMailUser = "recipient";
        ULONG ulCount = 0;
        hr = table->GetRowCount(0, &ulCount);
        if (FAILED(hr)) {
            Report("a table cannot be read", groupNode.strPath, hr);
            continue;
        }
        if (ulCount == 0)
            continue;
        m_writer.Write(node.nDepth, "category", group.pszName, {});
        AddTableRows(table.Get(), groupNode, PR_DISPLAY_NAME, static_cast<int>(group.ulKind));
    }
}
