#include "DumpWalker.h"

#include <cstring>

#include "props/IniFile.h"
#include "props/PropValueArray.h"
#include "tree/TreeNode.h"
#include "tree/TreeRules.h"

#include "mapi32/mapix.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

// Rows are fetched in pages of this many: the same rows in the same order as
// one QueryRows of the whole table, without holding a large folder at once.
constexpr LONG kRowsPerPage = 256;

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

// The entry ID of a row, as the tree takes it (none when empty).
const SBinary* EntryId(const CPropValueArray& props)
{
    const SPropValue* p = treerules::EntryIdOf(props);
    return p ? &p->Value.bin : nullptr;
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

// How dravik-dump asks for the table of a root, what a failure to get it is
// reported as and the kind name of its MAPI_STATUS rows.
struct CRootTable
{
    HRESULT (*pfnOpen)(IMAPISession* pSession, LPMAPITABLE* ppTable);
    const char* pszFailure;
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

CRootTable RootTable(treerules::ERootTable eTable)
{
    switch (eTable) {
    case treerules::ERootTable::MsgStores:
        return {OpenStoresTable, "the message stores table cannot be read", "status"};
    case treerules::ERootTable::Status:
        return {OpenStatusTable, "the status table cannot be read", "status"};
    case treerules::ERootTable::Profiles:
        return {OpenProfileTable, "the profile table cannot be read", "status"};
    case treerules::ERootTable::Services:
        return {OpenServiceTable, "the message service table cannot be read", "service"};
    case treerules::ERootTable::AddressBook: break;
    }
    return {nullptr, nullptr, "status"};
}

// How a group's table is asked for and what a failure to get it is reported as.
struct CGroupTable
{
    HRESULT (IMessage::*pfnTable)(ULONG ulFlags, LPMAPITABLE* ppTable);
    const char* pszFailure;
};

CGroupTable GroupTable(treerules::EGroupTable eTable)
{
    if (eTable == treerules::EGroupTable::Attachments)
        return {&IMessage::GetAttachmentTable, "the attachments cannot be listed"};
    return {&IMessage::GetRecipientTable, "the recipients cannot be listed"};
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
    int nEmbedDepth = 0;          // embedded messages above the rows
    const Parent* pUp = nullptr;  // the node above, while its rows are listed
    SBinary folderEid{};          // a folder node's entry ID (its row's), else empty

    // A folder above this node (or this node) has the entry ID: a damaged
    // hierarchy table that lists a folder above its own would loop forever.
    bool FolderOnPath(const SBinary& eid) const
    {
        for (const Parent* p = this; p != nullptr; p = p->pUp)
            if (p->folderEid.cb == eid.cb && eid.cb != 0 && std::memcmp(p->folderEid.lpb, eid.lpb, eid.cb) == 0)
                return true;
        return false;
    }

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
        child.nEmbedDepth = nEmbedDepth;
        child.pUp = this;
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

void CDumpWalker::LoadBody(IMessage* pMessage, const std::string& strWhere, dravik::content::MessageBody& body)
{
    const HRESULT hr = dravik::content::ReadMessageBody(pMessage, body);
    if (FAILED(hr)) {
        Report("the body cannot be read", strWhere, hr);
        return;
    }
    for (const std::string& strDamage : body.damage) {
        ++m_nDamagedValues;
        if (m_hrFirst == S_OK)
            m_hrFirst = MAPI_E_CORRUPT_DATA;
        std::fprintf(stderr, "dravik-dump: a damaged body: \"%s\": %s: error %08X\n", TextLine(strWhere).c_str(),
                     TextLine(strDamage).c_str(), static_cast<unsigned>(MAPI_E_CORRUPT_DATA));
    }
}

HRESULT CDumpWalker::Run()
{
    for (const treerules::CRootCategory& root : treerules::kRoots) {
        if (&root != &treerules::kRoots[0] && !Continue())
            continue;
        if (root.eTable == treerules::ERootTable::AddressBook) {
            WalkAddressBook(root);
            continue;
        }
        const CRootTable how = RootTable(root.eTable);
        m_writer.Write(0, "category", root.pszName, {});
        CRef<IMAPITable> table;
        const HRESULT hr = how.pfnOpen(m_pSession, table.Out());
        Parent parent = Parent::Root(root.pszName);
        parent.pszStatus = how.pszStatus;
        ListTable(hr, table.Get(), how.pszFailure, parent, root.ulDisplayTag, root.nForcedKind);
    }
    m_writer.Flush();
    Continue();
    if (m_bInterrupted)
        return MAPI_E_USER_CANCEL;
    if (!m_writer.Ok())
        return MAPI_E_DISK_ERROR;
    return m_hrFirst;
}

void CDumpWalker::WalkAddressBook(const treerules::CRootCategory& category)
{
    const char* const kAddressBook = category.pszName;
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
    m_writer.BeginObject(0, "category", kAddressBook);
    WriteProps(&props, nullptr, kAddressBook);
    m_writer.EndObject();
    if (!root || !Continue())
        return;
    CRef<IMAPITable> table;
    const HRESULT hr = root->GetHierarchyTable(0, table.Out());
    Parent parent = Parent::Root(kAddressBook);
    parent.nKind = NODE_ADDRBOOK_ROOT;
    parent.pAddrBook = book.Get();
    parent.pContainer = root.Get();
    ListTable(hr, table.Get(), "the address book's containers cannot be listed", parent, category.ulDisplayTag,
              category.nForcedKind);
}

void CDumpWalker::WriteNamedProperties(Parent& parent)
{
    parent.bNamedWritten = true;
    std::vector<CNamedPropText> rows;
    if (m_writer.WantsProps()) {
        const HRESULT hr = ListNamedPropTexts(parent.pStore, rows);
        if (FAILED(hr))
            Report("the named properties cannot be read", parent.strPath + "/" + treerules::kNamedPropsText, hr);
    }
    m_writer.WriteNamed(parent.nDepth, "named-properties", treerules::kNamedPropsText, rows);
}

void CDumpWalker::WriteProps(const CPropValueArray* pProps, IMAPIProp* pSource, const std::string& strWhere)
{
    if (!m_writer.WantsProps() || pProps == nullptr)
        return;
    m_failures.clear();
    m_writer.WriteProps(*pProps, pSource, m_failures);
    for (const auto& [ulTag, hr] : m_failures) {
        ++m_nDamagedValues;
        if (m_hrFirst == S_OK)
            m_hrFirst = hr;
        std::fprintf(stderr, "dravik-dump: a value cannot be read whole: \"%s\": %s: %s\n", TextLine(strWhere).c_str(),
                     DictionaryKey(ulTag).c_str(), ErrorInPlainWords(hr).c_str());
    }
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
    if (treerules::NamedPropsFirst(parent.nKind) && !parent.bNamedWritten)
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
    treerules::CNodeLook look = treerules::LookFromRow(rowProps, ulDisplayTag, nForcedKind);

    // The object behind the row: opened read-only through the store, or
    // through the address book for its containers and mail users.
    CRef<IMAPIProp> entry;
    CPropValueArray entryProps;
    const SBinary* pEid = EntryId(rowProps);
    const treerules::EEntryOpen eOpen = treerules::EntryOpening(look, rowProps, parent.pStore != nullptr);
    if (eOpen != treerules::EEntryOpen::None) {
        HRESULT hr = MAPI_E_NOT_FOUND;
        if (eOpen == treerules::EEntryOpen::ThroughStore)
            hr = OpenEntryAs(parent.pStore, *pEid, 0, entry);
        else if (parent.pAddrBook)
            hr = OpenEntryAs(parent.pAddrBook, *pEid, 0, entry);
        // The tree passes over this silently: a recipient's entry ID often
        // belongs to no store of the session. A folder or message that its own
        // store lists and cannot open, or a failure that says so, is damage.
        if (FAILED(hr) && (look.nKind == static_cast<int>(MAPI_FOLDER) ||
                           look.nKind == static_cast<int>(MAPI_MESSAGE) || hr == MAPI_E_CORRUPT_DATA ||
                           hr == MAPI_E_DISK_ERROR || hr == MAPI_E_NOT_ENOUGH_MEMORY))
            Report("an object cannot be opened", parent.strPath + "/" + look.strText, hr);
    }
    if (entry) {
        LoadProps(entry.Get(), entryProps, parent.strPath + "/" + look.strText);
        treerules::RefineWithEntry(look, entryProps, rowProps, ulDisplayTag, nForcedKind);
    }
    const int nKind = look.nKind;

    Parent node = parent.Child(look.strText);
    node.nKind = nKind;
    ReportDamagedValues(rowProps, node.strPath, "in its table row");

    const char* pszKind = "unknown";
    CStoreRef store;
    CRef<IMAPIContainer> container;
    CRef<IAttach> attach;
    switch (treerules::WorkForKind(nKind)) {
    case treerules::EKindWork::Store: {
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
        look.bChildren = true;
        node.pStore = store.Get();
        break;
    }
    case treerules::EKindWork::Folder:
        pszKind = "folder";
        container = OpenContainer(parent.pContainer, pEid, "Failed to locate subfolder", node.strPath);
        break;
    case treerules::EKindWork::AbContainer:
        pszKind = "abcontainer";
        container =
            OpenContainer(parent.pAddrBook, pEid, "an address book container cannot be opened", node.strPath, 0);
        break;
    case treerules::EKindWork::Attachment: {
        pszKind = "attachment";
        HRESULT hr = MAPI_E_NOT_FOUND;
        if (parent.pMessage)
            hr = parent.pMessage->OpenAttach(static_cast<ULONG>(rowProps.GetLong(PR_ATTACH_NUM)), &IID_IAttachment,
                                             MAPI_BEST_ACCESS, attach.Out());
        if (FAILED(hr))
            attach.Reset();
        treerules::AttachmentText(look, rowProps, attach.Get());
        node.strPath = parent.strPath + "/" + look.strText;
        if (!attach)
            Report("Failure opening attachment", node.strPath, FAILED(hr) ? hr : MAPI_E_NOT_FOUND);
        break;
    }
    case treerules::EKindWork::None:
        switch (nKind) {
        case MAPI_MESSAGE: pszKind = "message"; break;
        case MAPI_MAILUSER: pszKind = parent.pszMailUser; break;
        case MAPI_DISTLIST: pszKind = "distlist"; break;
        case MAPI_PROFSECT: pszKind = "profile"; break;
        case MAPI_STATUS: pszKind = parent.pszStatus; break;
        default: break;
        }
        break;
    }
    node.pContainer = container.Get();

    // The node's line, with what the property list shows for it in "Entry
    // Properties" mode: the object the node stands for, else its row values.
    // An attachment's own values are read when its method is not in the row.
    m_writer.BeginObject(parent.nDepth, pszKind, look.strText);
    CPropValueArray attachProps;
    if (attach && (m_writer.WantsProps() || !treerules::RowHasAttachMethod(rowProps)))
        LoadProps(attach.Get(), attachProps, node.strPath);
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
            WriteProps(&entryProps, pObject, node.strPath);
        } else if (pObject && pObject == attach.Get()) {
            WriteProps(&attachProps, pObject, node.strPath);
        } else if (pObject) {
            CPropValueArray objectProps;
            // A folder opened a second time (through its parent) holds the
            // values read above: its damage is reported once.
            LoadProps(pObject, objectProps, node.strPath, !entry);
            WriteProps(&objectProps, pObject, node.strPath);
        } else {
            WriteProps(&rowProps, nullptr, node.strPath);
        }
    }
    dravik::content::MessageBody body;
    if (m_writer.WantsBodies() && nKind == static_cast<int>(MAPI_MESSAGE)) {
        if (IMessage* pMessage = dynamic_cast<IMessage*>(entry.Get()))
            LoadBody(pMessage, node.strPath, body);
        m_writer.SetNextBody(&body);
    }
    m_writer.EndObject();
    if (!Continue())
        return false;

    bool bLoop = false;
    if (nKind == static_cast<int>(MAPI_FOLDER)) {
        if (const SPropValue* pEid = treerules::EntryIdOf(rowProps); pEid && PROP_TYPE(pEid->ulPropTag) == PT_BINARY) {
            bLoop = parent.FolderOnPath(pEid->Value.bin);
            node.folderEid = pEid->Value.bin;  // the row outlives the listing of its children
        }
        if (bLoop)
            Report("the folder is listed below itself (a loop in the folder tree)", node.strPath, MAPI_E_CORRUPT_DATA);
    }
    if (container && look.bChildren && !bLoop) {
        AddContainerChildren(container.Get(), node);
    } else if (treerules::MessageGetsGroups(nKind, entry.Get() != nullptr)) {
        if (IMessage* pMessage = dynamic_cast<IMessage*>(entry.Get()))
            AddMessageGroups(pMessage, rowProps, &entryProps, node);
    } else if (attach && treerules::AttachmentIsEmbedded(rowProps, &attachProps)) {
        AddEmbeddedMessage(attach.Get(), node);
    }
    return Continue();
}

void CDumpWalker::AddEmbeddedMessage(IAttach* pAttach, Parent& node)
{
    const int nEmbedDepth = node.nEmbedDepth + 1;
    if (treerules::EmbedTooDeep(nEmbedDepth)) {
        Report("embedded messages nest too deeply", node.strPath, MAPI_E_CORRUPT_DATA);
        return;
    }
    LPUNKNOWN pUnk = nullptr;
    const HRESULT hr = pAttach->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, 0, &pUnk);
    CRef<IMessage> message = As<IMessage>(SUCCEEDED(hr) ? pUnk : nullptr);
    if (!message) {
        Report("an embedded message cannot be opened", node.strPath, FAILED(hr) ? hr : MAPI_E_INTERFACE_NOT_SUPPORTED);
        return;
    }
    CPropValueArray props;
    LoadProps(message.Get(), props, node.strPath);
    const treerules::CNodeLook look = treerules::EmbeddedMessageLook(props);
    Parent child = node.Child(look.strText);
    child.nKind = look.nKind;
    child.nEmbedDepth = nEmbedDepth;
    m_writer.BeginObject(node.nDepth, "message", look.strText);
    WriteProps(&props, message.Get(), child.strPath);
    dravik::content::MessageBody body;
    if (m_writer.WantsBodies()) {
        LoadBody(message.Get(), child.strPath, body);
        m_writer.SetNextBody(&body);
    }
    m_writer.EndObject();
    if (!Continue())
        return;
    // Its own values serve as its row: they say whether it has attachments.
    AddMessageGroups(message.Get(), props, nullptr, child);
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
    if (!m_rowColumns.empty())
        WriteContentRows(hr, table.Get(), node);
    else
        ListTable(hr, table.Get(), "the contents cannot be listed", node, PR_DISPLAY_NAME, -1, true);
}

void CDumpWalker::WriteContentRows(HRESULT hr, IMAPITable* pTable, Parent& node)
{
    if (FAILED(hr)) {
        if (hr != MAPI_E_NO_SUPPORT)
            Report("the contents cannot be listed", node.strPath, hr);
        return;
    }
    // Large pages: the rows are only written, never held.
    constexpr LONG kRowOnlyPage = 4096;
    std::vector<BYTE> columns(CbNewSPropTagArray(m_rowColumns.size()));
    auto* pColumns = reinterpret_cast<LPSPropTagArray>(columns.data());
    pColumns->cValues = static_cast<ULONG>(m_rowColumns.size());
    std::copy(m_rowColumns.begin(), m_rowColumns.end(), pColumns->aulPropTag);
    hr = pTable->SetColumns(pColumns, 0);
    if (SUCCEEDED(hr))
        hr = pTable->SeekRow(BOOKMARK_BEGINNING, 0, nullptr);
    if (FAILED(hr)) {
        Report("a table cannot be read", node.strPath, hr);
        return;
    }
    while (Continue()) {
        CRows rows;
        hr = pTable->QueryRows(kRowOnlyPage, 0, rows.Out());
        if (FAILED(hr)) {
            Report("the rows of a table cannot be read", node.strPath, hr);
            return;
        }
        if (!rows.Get() || rows.Get()->cRows == 0)
            return;
        for (ULONG i = 0; i < rows.Get()->cRows; ++i) {
            CPropValueArray values;
            values.AttachRow(rows.Get()->aRow[i]);
            ReportDamagedValues(values, node.strPath, "in its table row");
            m_writer.WriteRow(node.nDepth, rows.Get()->aRow[i]);
        }
    }
}

void CDumpWalker::AddMessageGroups(IMessage* pMessage, const CPropValueArray& row, const CPropValueArray* pEntry,
                                   Parent& node)
{
    for (const treerules::CMessageGroup& group : treerules::kGroups) {
        if (!treerules::GroupWanted(group, row, pEntry))
            continue;
        if (!Continue())
            return;
        const CGroupTable how = GroupTable(group.eTable);
        CRef<IMAPITable> table;
        HRESULT hr = (pMessage->*how.pfnTable)(MAPI_UNICODE, table.Out());
        if (FAILED(hr)) {
            Report(how.pszFailure, node.strPath, hr);
            continue;
        }
        // Each group appears only when its table has at least one row.
        Parent groupNode = node.Child(group.pszName);
        groupNode.pMessage = pMessage;
        groupNode.pszMailUser = "recipient";
        groupNode.nEmbedDepth = node.nEmbedDepth;
        ULONG ulCount = 0;
        hr = table->GetRowCount(0, &ulCount);
        if (FAILED(hr)) {
            Report("a table cannot be read", groupNode.strPath, hr);
            continue;
        }
        if (ulCount == 0)
            continue;
        m_writer.Write(node.nDepth, "category", group.pszName, {});
        AddTableRows(table.Get(), groupNode, PR_DISPLAY_NAME, group.nRowKind);
    }
}
