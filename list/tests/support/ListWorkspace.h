// A workspace for tests and benchmarks of the property list: a document
// connected to a store file, the list as its view, and the nodes the tree
// would make for the store, a folder, a message, an attachment, a recipient
// and the store's named properties.
#pragma once

#include "list/DravikView.h"
#include "mapi/MAPICommandView.h"
#include "mapi/TraceWriter.h"
#include "tree/TreeNode.h"
#include "workspace/CommandIds.h"
#include "workspace/DravikDoc.h"

#include "mapi32/mapicode.h"
#include "mapi32/mapitags.h"
#include "mapi32/mapiutil.h"
#include "mapi32/mapix.h"

#include <memory>
#include <string>
#include <vector>

namespace listtest {

// The rows of a table; each row's values are handed over to whoever takes
// them (the row's pointer is then cleared).
struct CRows
{
    LPSRowSet p = nullptr;
    explicit CRows(LPMAPITABLE pTable)
    {
        if (pTable) {
            HrQueryAllRows(pTable, nullptr, nullptr, nullptr, 0, &p);
            pTable->Release();
        }
    }
    ~CRows()
    {
        if (p)
            FreeProws(p);
    }
    ULONG Count() const { return p ? p->cRows : 0; }
    SRow& operator[](ULONG i) { return p->aRow[i]; }
};

inline const SPropValue* FindIn(const SRow& row, ULONG ulTag)
{
    for (ULONG i = 0; i < row.cValues; ++i) {
        if (PROP_ID(row.lpProps[i].ulPropTag) == PROP_ID(ulTag))
            return &row.lpProps[i];
    }
    return nullptr;
}

inline std::string StringIn(const SRow& row, ULONG ulTag)
{
    const SPropValue* p = FindIn(row, ulTag);
    if (!p)
        return {};
    if (PROP_TYPE(p->ulPropTag) == PT_STRING8 && p->Value.lpszA)
        return p->Value.lpszA;
    return {};
}

// A node made from a table row: it takes the row's values.
inline std::unique_ptr<CTreeNode> NodeFromRow(SRow& row, int nKind)
{
    auto pNode = std::make_unique<CTreeNode>();
    pNode->m_nKind = nKind;
    pNode->m_pRowValues = row.lpProps;
    pNode->m_pProps = new CPropValueArray;
    pNode->m_pProps->AttachValues(row.lpProps, row.cValues);
    row.lpProps = nullptr;
    row.cValues = 0;
    return pNode;
}

// A workspace connected to a store file, with the list as its view and the
// nodes the tree would make for the store, a folder, a message, one of its
// attachments and one of its recipients (a node without an object), and the
// store's "Named Properties".
struct CWorkspace
{
    CMAPICommandView pane;
    std::unique_ptr<CDravikDoc> pDoc;
    std::unique_ptr<CDravikView> pView;
    std::unique_ptr<CTreeNode> store, folder, message, attachment, recipient, named;
    // A node of the test's own values, without an object.
    std::vector<SPropValue> plainValues;
    std::unique_ptr<CTreeNode> plain;

    explicit CWorkspace(const QString& strPath)
    {
        pDoc = std::make_unique<CDravikDoc>();
        pDoc->OnNewDocument();
        pDoc->m_ppTraceWriter = new CMAPITraceSlot(new CTraceWriter(&pane));
        pView = std::make_unique<CDravikView>(pDoc.get());
        pDoc->AddView(pView.get());
        pView->resize(900, 400);
        if (!strPath.isEmpty() && pDoc->ConnectFile(strPath) == S_OK)
            OpenStore();
    }

    ~CWorkspace()
    {
        pDoc->SelectNode(nullptr);
        plain.reset();
        recipient.reset();
        attachment.reset();
        message.reset();
        folder.reset();
        named.reset();
        store.reset();
        pDoc->RemoveView(pView.get());
        pView.reset();
        pDoc.reset();
    }

    void OpenStore()
    {
        LPMAPITABLE pTable = nullptr;
        pDoc->GetSession()->Obj()->GetMsgStoresTable(0, &pTable);
        CRows stores(pTable);
        if (stores.Count() == 0)
            return;
        const SPropValue* pEid = FindIn(stores[0], PR_ENTRYID);
        if (!pEid)
            return;
        auto pStore = std::make_unique<CMsgStoreWrapper>();
        if (pDoc->GetSession()->OpenMsgStore(*pEid, *pStore) != S_OK)
            return;
        store = NodeFromRow(stores[0], MAPI_STORE);
        store->m_pStore = pStore.release();
        store->m_bOwns = TRUE;
        named = std::make_unique<CTreeNode>();
        named->m_nKind = NODE_NAMED_PROPS;
        named->m_pStore = store->m_pStore;
    }

    // Finds the message with this subject below the store's root folder and
    // makes its folder, message, attachment and recipient nodes.
    bool FindMessage(const std::string& strSubject)
    {
        if (!store)
            return false;
        CFolderWrapper root;
        if (store->m_pStore->OpenRoot(root) != S_OK)
            return false;
        return Search(root.Obj(), nullptr, strSubject);
    }

    bool Search(IMAPIContainer* pFolder, SRow* pFolderRow, const std::string& strSubject)
    {
        LPMAPITABLE pTable = nullptr;
        pFolder->GetContentsTable(0, &pTable);
        CRows contents(pTable);
        for (ULONG i = 0; i < contents.Count(); ++i) {
            if (StringIn(contents[i], PR_SUBJECT) != strSubject || !pFolderRow)
                continue;
            const SPropValue* pEid = FindIn(contents[i], PR_ENTRYID);
            auto pEntry = std::make_unique<CMAPIWrapper>();
            if (!pEid || store->m_pStore->OpenEntry(*pEid, *pEntry, MAPI_BEST_ACCESS) != S_OK)
                return false;
            message = NodeFromRow(contents[i], MAPI_MESSAGE);
            message->m_pEntry = pEntry.release();
            message->m_bOwns = TRUE;
            message->m_pStore = store->m_pStore;
            folder = NodeFromRow(*pFolderRow, MAPI_FOLDER);
            folder->m_pStore = store->m_pStore;
            folder->m_pContainer = new CFolderWrapper;
            folder->m_pContainer->Attach(pFolder, pDoc->m_ppTraceWriter);
            pFolder->AddRef();
            MakeAttachmentAndRecipient();
            return true;
        }
        pTable = nullptr;
        pFolder->GetHierarchyTable(0, &pTable);
        CRows subfolders(pTable);
        for (ULONG i = 0; i < subfolders.Count(); ++i) {
            const SPropValue* pEid = FindIn(subfolders[i], PR_ENTRYID);
            CFolderWrapper sub;
            if (!pEid || store->m_pStore->OpenEntry(*pEid, sub, MAPI_BEST_ACCESS) != S_OK || !sub.Obj())
                continue;
            if (Search(sub.Obj(), &subfolders[i], strSubject))
                return true;
        }
        return false;
    }

    void MakeAttachmentAndRecipient()
    {
        IMessage* pMessage = message->Message();
        LPMAPITABLE pTable = nullptr;
        pMessage->GetAttachmentTable(0, &pTable);
        CRows attachments(pTable);
        if (attachments.Count() > 0) {
            const SPropValue* pNum = FindIn(attachments[0], PR_ATTACH_NUM);
            LPATTACH pAttach = nullptr;
            if (pNum && pMessage->OpenAttach(static_cast<ULONG>(pNum->Value.l), nullptr, MAPI_BEST_ACCESS,
                                             &pAttach) == S_OK) {
                attachment = NodeFromRow(attachments[0], MAPI_ATTACH);
                attachment->m_pAttach = new LPATTACH(pAttach);
                attachment->m_pStore = store->m_pStore;
            }
        }
        pTable = nullptr;
        pMessage->GetRecipientTable(0, &pTable);
        CRows recipients(pTable);
        if (recipients.Count() > 0) {
            recipient = NodeFromRow(recipients[0], MAPI_MAILUSER);
            recipient->m_pStore = store->m_pStore;
        }
    }

    // Lists the values as the row values of a node without an object.
    void ShowValues(std::vector<SPropValue> values)
    {
        pDoc->SelectNode(nullptr);
        plainValues = std::move(values);
        plain = std::make_unique<CTreeNode>();
        plain->m_pProps = new CPropValueArray;
        plain->m_pProps->AttachValues(plainValues.data(), static_cast<ULONG>(plainValues.size()));
        pDoc->SelectNode(plain.get());
    }

    CPropListModel& Model() const { return *pView->Model(); }
    int Rows() const { return Model().rowCount(); }
    QString Text(int nRow, int nColumn) const
    {
        return Model().index(nRow, nColumn).data().toString();
    }
    // The row whose TAG is strTag, or -1.
    int RowOfTag(const QString& strTag) const
    {
        for (int i = 0; i < Rows(); ++i) {
            if (Text(i, 0) == strTag)
                return i;
        }
        return -1;
    }
    void Select(int nRow)
    {
        pView->selectionModel()->clearSelection();
        if (nRow >= 0)
            pView->selectionModel()->select(Model().index(nRow, 0),
                                            QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
    bool Enabled(int nId) const
    {
        CCmdUI ui;
        return pView->OnUpdateCommand(nId, ui) && ui.bEnabled;
    }
};

} // namespace listtest
