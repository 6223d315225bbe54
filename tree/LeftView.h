// The tree of MAPI objects of a workspace (left pane). Each item carries one
// CTreeNode; what a node shows and opens is decided by the tree rules
// (tree/TreeRules.h), which dravik-dump shares.
#pragma once

#include "tree/TreeNode.h"
#include "workspace/CmdTarget.h"

#include <QElapsedTimer>
#include <QIcon>
#include <QTimer>
#include <QTreeWidget>

#include <array>
#include <map>
#include <memory>
#include <string>
#include <utility>

class CBodyView;
class CDravikDoc;
class QMenu;

class CLeftView : public QTreeWidget, public CDocView, public CCmdTarget
{
    Q_OBJECT
public:
    // Item data roles beside the text: the node, and the image kinds.
    enum { NodeRole = Qt::UserRole, ImageRole, SelImageRole };

    explicit CLeftView(CDravikDoc* pDoc, QWidget* pParent = nullptr);
    ~CLeftView() override;

    CDravikDoc* GetDocument() const { return m_pDoc; }
    // Builds the tree once the document is connected; frees it all once not.
    void OnUpdate(CDocView* pSender, long lHint, void* pHint) override;

    // The record of an item, or null.
    static CTreeNode* NodeOf(const QTreeWidgetItem* pItem);

    // A new item for pNode (a fresh record when null) as the last child of
    // hParent (a top-level item when null); nChildren 1 shows an expand
    // button before anything is loaded. An image kind of -1 shows the
    // question mark.
    QTreeWidgetItem* InsertNode(QTreeWidgetItem* hParent, CTreeNode* pNode, int nImageKind, int nSelectedImageKind,
                                int nChildren, const std::string& strText);
    // Releases the records of every item (the current node of the document
    // included) and removes the items.
    void FreeNodes();

    // Loads an item's children on its first expansion.
    void OnItemExpanding(QTreeWidgetItem* pItem);

    // "Save Attachment...": handled while the tree is the active pane,
    // enabled when the current node is an attachment.
    bool OnUpdateCommand(int nId, CCmdUI& rUI) override;
    bool OnCommand(int nId) override;
    void OnSaveAttachment();
    // "Show Body...", enabled on an opened message: its body in a window of
    // its own (returned; it deletes itself when closed).
    CBodyView* OnShowBody();
    // "Save Message As...": enabled when the current node is a message (an embedded one too).
    void OnSaveMessageAs();
    // "Export Folder...": enabled when the current node is a folder.
    void OnExportFolder();
    static IMAPIFolder* FolderToExport(const CTreeNode* pNode);

    // The menu a right click shows (the workspace menu's "Item" popup).
    void SetItemMenu(QMenu* pMenu) { m_pItemMenu = pMenu; }

    // A node the keyboard moves to becomes current once the highlight has
    // rested this long, so that holding an arrow key opens nothing on the way.
    static constexpr int kKeyboardSelectMs = 300;
    // Makes the highlighted item's node current now if it is not yet (a
    // keyboard move still waiting for its pause).
    void SelectCurrentItem();

    // A listing is in progress. An expanded item's children are listed in
    // slices between which the window takes input; while one item is being
    // listed, expanding another is refused with a word in the status text.
    bool IsListing() const { return m_pListing != nullptr || m_nListing > 0; }
    // Ends the listing in progress after the row being listed: what was
    // listed stays, and the folder counts as listed. Escape does the same
    // while a listing runs.
    void StopListing();
    // Runs the listing in progress to its end now.
    void FinishListing();
    // Lists an item's children now, as an expansion does, and returns once
    // they are all listed (after the listing in progress, which ends first):
    // for callers that need the children at once.
    void ExpandNow(QTreeWidgetItem* pItem);
    // The most rows a slice lists besides its time (0: no limit), so that a
    // test can see a listing between its slices.
    void SetSliceRows(int nRows) { m_nSliceRows = nRows; }

    // Whether a listed message lets its opened objects go (see
    // CTreeNode::LetGo); on by default.
    void SetLetGo(bool bLetGo) { m_bLetGo = bLetGo; }

    // A slice lists rows for this long before the window takes input again.
    static constexpr qint64 kSliceMs = 20;
    // Rows read from a table at a time.
    static constexpr LONG kPageRows = 256;
    // A refused expansion's word stays in the status text this long.
    static constexpr qint64 kRefusalShownMs = 2000;

    bool m_bRootsBuilt = false;

signals:
    // The progress of a listing in percent, sent synchronously.
    void progress(int nPercent);
    // What is being listed and how far ("Listing Inbox: 1,200 of 3,000");
    // empty once the listing ends.
    void listingStatus(const QString& strText);

protected:
    void mousePressEvent(QMouseEvent* pEvent) override;
    void keyPressEvent(QKeyEvent* pEvent) override;
    void contextMenuEvent(QContextMenuEvent* pEvent) override;
    // While a listing runs, Escape in this view's window stops it.
    bool eventFilter(QObject* pObj, QEvent* pEvent) override;

private:
    // Makes the item's node the document's current one.
    void SelectItem(QTreeWidgetItem* pItem);
    void BuildRoots();
    // The rows of the table as children of hParent, listed at once (the
    // roots, a message's groups). S_OK; the failure of reading the table;
    // E_FAIL for an empty table, after a store failed to open or when the
    // program is ending.
    HRESULT AddTableRows(CTableRef& table, QTreeWidgetItem* hParent, ULONG ulDisplayTag, int nForcedKind);
    // One row as a new item (pItemOut, not yet inserted) below hParent, with
    // everything it opens. S_OK; E_FAIL when the row's store cannot be
    // opened, which ends its table.
    HRESULT ListRow(SRow& row, QTreeWidgetItem* hParent, ULONG ulDisplayTag, int nForcedKind,
                    QTreeWidgetItem*& pItemOut);
    // The "Named Properties" item a store's first listing starts with, when
    // neither hParent nor the pending items have it yet; null otherwise.
    QTreeWidgetItem* NamedPropsItem(QTreeWidgetItem* hParent, const QList<QTreeWidgetItem*>& pending);
    struct CListing;
    // One row or one step of the listing; false when it listed nothing.
    bool ListingStep(CListing& listing);
    // Lists rows for a slice's time, shows them, and schedules the next slice.
    void RunSlice();
    void InsertPending(CListing& listing);
    // Ends the listing, freeing what it read and did not list.
    void EndListing();
    // A message item's node and its attachments let their objects go.
    void LetGoOfMessage(QTreeWidgetItem* pItem);
    // A message item let go loses its groups until it is expanded, when
    // ListGroupsAgain lists them again.
    void DropGroups(QTreeWidgetItem* pItem);
    void ListGroupsAgain(QTreeWidgetItem* pItem, CTreeNode* pNode);
    // pNode (and its message) hold their objects again, with the node
    // current before; the objects of the nodes kept before go.
    void KeepOpen(CTreeNode* pNode);
    // A message's "Attachments" and "Recipients" under its item; hParent is the item it
    // is about to be added to, when it has no parent yet.
    void AddMessageGroups(QTreeWidgetItem* hItem, CTreeNode* pNode, const CPropValueArray& row,
                          const CPropValueArray* pEntry, const QTreeWidgetItem* hParent = nullptr);
    // The message embedded in an attachment, as the attachment's child.
    void AddEmbeddedMessage(QTreeWidgetItem* hItem, CTreeNode* pAttachNode);
    // The store's "Recovered Items" node, after its folders, when the store has one.
    void AddRecoveredItems(QTreeWidgetItem* hStore, CTreeNode* pStoreNode);
    QTreeWidgetItem* MakeItem(CTreeNode* pNode, int nImageKind, int nSelectedImageKind, int nChildren,
                              const std::string& strText);
    void SendProgress(int nPercent, const QString& strWhat, unsigned long ulDone, unsigned long ulTotal);
    const QIcon& ItemIcon(int nImageKind, int nSelectedImageKind);

    CDravikDoc* m_pDoc;
    QMenu* m_pItemMenu = nullptr;
    // Runs out kKeyboardSelectMs after the highlight last moved.
    QTimer m_selectTimer;
    // The picture of each image kind, drawn once per view.
    std::array<QIcon, 32> m_images;
    // Icons pairing a normal and a selected picture.
    std::map<std::pair<int, int>, QIcon> m_itemIcons;
    // Listings in progress: only the outermost one sends progress (a
    // message's groups are listed inside its folder's).
    int m_nListing = 0;
    int m_nLastPercent = -1;
    bool m_bStopRequested = false;
    // The expansion being listed, a slice at a time.
    std::unique_ptr<CListing> m_pListing;
    // Runs the next slice from the event loop.
    QTimer m_sliceTimer;
    bool m_bInSlice = false;
    bool m_bFinishing = false;
    int m_nSliceRows = 0;
    bool m_bLetGo = true;
    // The contents table and row position of the row ListRow is about to
    // list (set by the folder listing for each contents row, taken and
    // cleared by ListRow).
    CFolderWrapper* m_pListedFrom = nullptr;
    ULONG m_ulListedRow = 0;
    // The nodes holding their objects again: the current node, its message,
    // the node current before and its message.
    std::array<CTreeNode*, 4> m_kept{};
    // Since an expansion was last refused (invalid: not lately).
    QElapsedTimer m_refusalShown;
};
