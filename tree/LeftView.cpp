#include "tree/LeftView.h"

#include "mapi/MsgBox.h"
#include "mapi/Prompts.h"
#include "mapi/WaitCursor.h"
#include "tree/AttachmentSave.h"
#include "tree/BodyView.h"
#include "tree/ExportFolderCommand.h"
#include "tree/MessageSave.h"
#include "tree/TreeIcons.h"
#include "tree/TreeRules.h"
#include "workspace/CommandIds.h"
#include "workspace/DravikDoc.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QFile>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLocale>
#include <QMenu>
#include <QMouseEvent>
#include <QSignalBlocker>

#include <malloc.h>

// jemalloc's control call, present when the program links jemalloc (the
// window does); null under glibc's allocator.
extern "C" int mallctl(const char* name, void* oldp, size_t* oldlenp, void* newp, size_t newlen)
    __attribute__((weak));

#include <algorithm>

#include <memory>
#include <utility>

namespace {

using namespace treerules;

// Hands the heap's free pages back to the system: jemalloc's arenas are
// purged (its thread cache first, so that what it holds is free in them),
// glibc's heap is trimmed.
void ReturnFreeMemory()
{
    if (mallctl != nullptr) {
        mallctl("thread.tcache.flush", nullptr, nullptr, nullptr, 0);
        // 4096 names every arena (MALLCTL_ARENAS_ALL).
        mallctl("arena.4096.purge", nullptr, nullptr, nullptr, 0);
        return;
    }
    ::malloc_trim(0);
}

// A typed view of a node's entry as a message: the same object and trace
// slot, borrowed for the calls and never released by the view.
class CMessageView : public CMessageWrapper
{
public:
    explicit CMessageView(const CMAPIWrapper* pEntry)
    {
        if (pEntry != nullptr)
            Attach(pEntry->m_pObj, pEntry->m_ppTrace);
    }
    ~CMessageView() { m_pObj = nullptr; }
    CMessageView(const CMessageView&) = delete;
    CMessageView& operator=(const CMessageView&) = delete;
};

QString ItemText(const std::string& strText)
{
    return QString::fromUtf8(strText.data(), static_cast<qsizetype>(strText.size()));
}

// A tree item whose text, record, image kinds and icon are its own fields,
// read through data(): an item of the tree holds no lists of role values, so
// making one allocates little and a large listing keeps less.
class CTreeItem : public QTreeWidgetItem
{
public:
    CTreeItem(QString strText, CTreeNode* pNode, int nImageKind, int nSelectedImageKind, QIcon icon)
        : QTreeWidgetItem(UserType), m_pNode(pNode), m_strText(std::move(strText)), m_icon(std::move(icon)),
          m_nImage(nImageKind), m_nSelImage(nSelectedImageKind)
    {
    }

    QVariant data(int nColumn, int nRole) const override
    {
        if (nColumn == 0) {
            switch (nRole) {
            case Qt::DisplayRole:
            case Qt::EditRole: return m_strText;
            case CLeftView::NodeRole: return QVariant::fromValue(reinterpret_cast<quintptr>(m_pNode));
            case CLeftView::ImageRole: return m_nImage;
            case CLeftView::SelImageRole: return m_nSelImage;
            case Qt::DecorationRole: return m_icon;
            default: break;
            }
        }
        return QTreeWidgetItem::data(nColumn, nRole);
    }

    void setData(int nColumn, int nRole, const QVariant& value) override
    {
        // A text set later (nothing in the tree does) replaces the item's own.
        if (nColumn == 0 && (nRole == Qt::DisplayRole || nRole == Qt::EditRole))
            m_strText = value.toString();
        QTreeWidgetItem::setData(nColumn, nRole, value);
    }

    CTreeNode* const m_pNode;

private:
    QString m_strText;
    const QIcon m_icon;
    const int m_nImage;
    const int m_nSelImage;
};

// The table of a root category.
HRESULT RootTable(CSessionWrapper& session, ERootTable eTable, CTableRef& table)
{
    switch (eTable) {
    case ERootTable::MsgStores: return session.GetMsgStoresTable(table);
    case ERootTable::Status: return session.GetStatusTable(table);
    case ERootTable::Profiles: return session.GetProfileTable(table);
    case ERootTable::Services: {
        CServiceAdminWrapper admin;
        const HRESULT hr = session.AdminServices(admin);
        return FAILED(hr) ? hr : admin.GetMsgServiceTable(table);
    }
    case ERootTable::AddressBook: break;
    }
    return MAPI_E_NO_SUPPORT;
}

// "Object: Message Stores/Store/Inbox/Subject" for an error report: the texts
// of an item's ancestors and its own, or of hParent's and strText for a row
// that has no item yet.
std::string ObjectDetails(const QTreeWidgetItem* hParent, const std::string& strText = std::string())
{
    QStringList parts;
    for (const QTreeWidgetItem* pItem = hParent; pItem != nullptr; pItem = pItem->parent())
        parts.prepend(pItem->text(0));
    if (!strText.empty())
        parts.append(ItemText(strText));
    return "Object: " + parts.join(QLatin1Char('/')).toStdString();
}

}  // namespace

CLeftView::CLeftView(CDravikDoc* pDoc, QWidget* pParent)
    : QTreeWidget(pParent), m_pDoc(pDoc)
{
    setObjectName(QStringLiteral("CLeftView"));
    setHeaderHidden(true);
    setColumnCount(1);
    setRootIsDecorated(true);
    setUniformRowHeights(true);
    setIconSize(QSize(16, 16));
    setSelectionMode(QAbstractItemView::SingleSelection);
    setExpandsOnDoubleClick(true);
    for (int i = 0; i < kImageKinds; ++i)
        m_images[static_cast<std::size_t>(i)] = TreeImage(i);
    connect(this, &QTreeWidget::itemExpanded, this, &CLeftView::OnItemExpanding);
    // Deep items keep their whole text: the tree scrolls sideways instead.
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    header()->setStretchLastSection(false);
    m_sliceTimer.setSingleShot(true);
    m_sliceTimer.setInterval(0);
    connect(&m_sliceTimer, &QTimer::timeout, this, &CLeftView::RunSlice);
    m_selectTimer.setSingleShot(true);
    m_selectTimer.setInterval(kKeyboardSelectMs);
    connect(&m_selectTimer, &QTimer::timeout, this, &CLeftView::SelectCurrentItem);
    connect(this, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* pItem) {
        if (pItem != nullptr)
            m_selectTimer.start();
    });
}

CLeftView::~CLeftView()
{
    // The document may be gone already: only the records are released, and
    // the window around the view hears no more of it.
    m_pDoc = nullptr;
    disconnect(this, &CLeftView::listingStatus, nullptr, nullptr);
    disconnect(this, &CLeftView::progress, nullptr, nullptr);
    FreeNodes();
}

CTreeNode* CLeftView::NodeOf(const QTreeWidgetItem* pItem)
{
    // Every item of the tree is made by MakeItem.
    return pItem != nullptr && pItem->type() == QTreeWidgetItem::UserType ? static_cast<const CTreeItem*>(pItem)->m_pNode
                                                                         : nullptr;
}

void CLeftView::OnUpdate(CDocView*, long, void*)
{
    // The views update in the order they were added, the tree first: the
    // node made current holds its object again before the property list
    // reads it.
    if (m_pDoc->IsConnected() && m_pDoc->GetSelectedNode() != m_kept[0])
        KeepOpen(m_pDoc->GetSelectedNode());
    if (!m_bRootsBuilt && m_pDoc->IsConnected()) {
        BuildRoots();
        m_bRootsBuilt = true;
    }
    if (!m_pDoc->IsConnected()) {
        FreeNodes();
        m_bRootsBuilt = false;
    }
}

const QIcon& CLeftView::ItemIcon(int nImageKind, int nSelectedImageKind)
{
    const auto key = std::make_pair(ShownImageKind(nImageKind), ShownImageKind(nSelectedImageKind));
    auto it = m_itemIcons.find(key);
    if (it != m_itemIcons.end())
        return it->second;
    QIcon icon;
    const auto Add = [&](int nKind, QIcon::Mode mode) {
        if (nKind < 0 || nKind >= kImageKinds)
            return;
        const QIcon& image = m_images[static_cast<std::size_t>(nKind)];
        for (const QSize& size : image.availableSizes())
            icon.addPixmap(image.pixmap(size), mode);
    };
    Add(key.first, QIcon::Normal);
    Add(key.first, QIcon::Active);
    Add(key.second, QIcon::Selected);
    return m_itemIcons.emplace(key, icon).first->second;
}

QTreeWidgetItem* CLeftView::MakeItem(CTreeNode* pNode, int nImageKind, int nSelectedImageKind, int nChildren,
                                     const std::string& strText)
{
    auto* pItem = new CTreeItem(ItemText(strText), pNode, ShownImageKind(nImageKind),
                                ShownImageKind(nSelectedImageKind), ItemIcon(nImageKind, nSelectedImageKind));
    pItem->setChildIndicatorPolicy(nChildren > 0 ? QTreeWidgetItem::ShowIndicator
                                                 : QTreeWidgetItem::DontShowIndicatorWhenChildless);
    return pItem;
}

QTreeWidgetItem* CLeftView::InsertNode(QTreeWidgetItem* hParent, CTreeNode* pNode, int nImageKind,
                                       int nSelectedImageKind, int nChildren, const std::string& strText)
{
    if (pNode == nullptr)
        pNode = new CTreeNode;
    QTreeWidgetItem* pItem = MakeItem(pNode, nImageKind, nSelectedImageKind, nChildren, strText);
    if (hParent != nullptr)
        hParent->addChild(pItem);
    else
        addTopLevelItem(pItem);
    return pItem;
}

void CLeftView::FreeNodes()
{
    // A listing in progress ends first: it holds items and a table.
    EndListing();
    m_kept = {};
    if (m_pDoc != nullptr)
        m_pDoc->m_pSelectedNode = nullptr;
    // Every record first (a parent's before those below it; releasing one
    // never reads another), then the items, which go with their records'
    // addresses unread.
    std::vector<QTreeWidgetItem*> pending;
    for (int i = 0; i < topLevelItemCount(); ++i)
        pending.push_back(topLevelItem(i));
    while (!pending.empty()) {
        QTreeWidgetItem* pItem = pending.back();
        pending.pop_back();
        delete NodeOf(pItem);
        for (int i = 0; i < pItem->childCount(); ++i)
            pending.push_back(pItem->child(i));
    }
    clear();
    // A large tree leaves much memory free in the heap: it goes back to the
    // system rather than stay with the program until it ends.
    ReturnFreeMemory();
}

// One listing of an expanded item's children, made a slice at a time: the
// item's hierarchy table, then its contents table, then (below a store) its
// recovered items. The table being listed is read a page of rows at a time.
struct CLeftView::CListing
{
    enum class EStep { Hierarchy, Contents, Recovered, Done };

    QTreeWidgetItem* hItem = nullptr;
    CTreeNode* pNode = nullptr;
    QString strWhat;
    EStep eStep = EStep::Hierarchy;
    // The table of the step, once opened, and how far it is listed.
    CTableRef table;
    bool bTableOpen = false;
    ULONG ulTotal = 0;
    ULONG ulDone = 0;
    // The page of rows read last and the next of its rows to list.
    CRowSet page{TRUE};
    ULONG ulNext = 0;
    // Items made since the last insertion.
    QList<QTreeWidgetItem*> items;

    // Ends the step's table: its rows go and the next step follows.
    void NextStep()
    {
        page.Release();
        ulNext = 0;
        table.Release();
        bTableOpen = false;
        ulTotal = ulDone = 0;
        eStep = static_cast<EStep>(static_cast<int>(eStep) + 1);
    }
};

void CLeftView::SendProgress(int nPercent, const QString& strWhat, unsigned long ulDone, unsigned long ulTotal)
{
    if (nPercent == m_nLastPercent)
        return;
    m_nLastPercent = nPercent;
    emit progress(nPercent);
    // A refusal said lately stays readable a while before the progress
    // replaces it.
    if (m_refusalShown.isValid() && m_refusalShown.elapsed() < kRefusalShownMs)
        return;
    const QLocale locale = QLocale::system();
    emit listingStatus(QStringLiteral("Listing %1: %2 of %3")
                           .arg(strWhat, locale.toString(static_cast<qulonglong>(ulDone)),
                                locale.toString(static_cast<qulonglong>(ulTotal))));
}

bool CLeftView::eventFilter(QObject* pObj, QEvent* pEvent)
{
    // While a listing runs, Escape pressed anywhere in this view's window
    // (not in a dialog of its own) stops it; all other input goes its way.
    if (pEvent->type() == QEvent::KeyPress && static_cast<QKeyEvent*>(pEvent)->key() == Qt::Key_Escape &&
        m_pListing != nullptr && pObj->isWidgetType() && static_cast<QWidget*>(pObj)->window() == window()) {
        StopListing();
        return true;
    }
    return false;
}

void CLeftView::StopListing()
{
    m_bStopRequested = IsListing();
}

void CLeftView::BuildRoots()
{
    CSessionWrapper& session = *m_pDoc->GetSession();
    for (const CRootCategory& root : kRoots) {
        if (root.eTable == ERootTable::AddressBook) {
            auto* pNode = new CTreeNode;
            pNode->m_nKind = NODE_ADDRBOOK_ROOT;
            pNode->m_bOwns = TRUE;
            pNode->m_pAddrBook = new CAddrBookWrapper;
            session.OpenAddressBook(0, nullptr, 0, *pNode->m_pAddrBook);
            pNode->m_pProps = new CPropValueArray;
            if (IAddrBook* pBook = pNode->m_pAddrBook->Obj())
                pNode->m_pProps->LoadProps(pBook, TRUE);
            pNode->m_pContainer = new CFolderWrapper;
            pNode->m_pAddrBook->OpenRoot(*pNode->m_pContainer);
            InsertNode(nullptr, pNode, root.nImageKind, root.nImageKind, 1, root.pszName);
            continue;
        }
        QTreeWidgetItem* pItem = InsertNode(nullptr, nullptr, root.nImageKind, root.nImageKind, 1, root.pszName);
        CTableRef table;
        if (SUCCEEDED(RootTable(session, root.eTable, table)))
            AddTableRows(table, pItem, root.ulDisplayTag, root.nForcedKind);
    }
}

QTreeWidgetItem* CLeftView::NamedPropsItem(QTreeWidgetItem* hParent, const QList<QTreeWidgetItem*>& pending)
{
    const CTreeNode* pParent = NodeOf(hParent);
    if (pParent == nullptr || !NamedPropsFirst(pParent->m_nKind) || !pParent->m_bOwns)
        return nullptr;
    for (int i = 0; i < hParent->childCount(); ++i) {
        const CTreeNode* pChild = NodeOf(hParent->child(i));
        if (pChild && pChild->m_nKind == NODE_NAMED_PROPS)
            return nullptr;
    }
    for (const QTreeWidgetItem* pItem : pending) {
        const CTreeNode* pChild = NodeOf(pItem);
        if (pChild && pChild->m_nKind == NODE_NAMED_PROPS)
            return nullptr;
    }
    auto* pNamed = new CTreeNode;
    pNamed->m_nKind = NODE_NAMED_PROPS;
    pNamed->m_pStore = pParent->m_pStore;
    pNamed->m_bChildrenLoaded = TRUE;
    return MakeItem(pNamed, IMAGE_NAMED_PROPS, IMAGE_NAMED_PROPS, 0, kNamedPropsText);
}

HRESULT CLeftView::AddTableRows(CTableRef& table, QTreeWidgetItem* hParent, ULONG ulDisplayTag, int nForcedKind)
{
    const bool bOuter = m_nListing == 0;
    std::unique_ptr<CWaitCursor> wait;
    if (bOuter) {
        wait = std::make_unique<CWaitCursor>();
        m_nLastPercent = -1;
        m_bStopRequested = false;
    }
    ++m_nListing;
    struct CLeave
    {
        CLeftView& view;
        bool bOuter;
        ~CLeave()
        {
            --view.m_nListing;
            // A listing that said how far it got says that it ended.
            if (bOuter && view.m_nLastPercent >= 0)
                emit view.listingStatus(QString());
        }
    } leave{*this, bOuter};
    const QString strWhat = hParent != nullptr ? hParent->text(0) : QString();

    // The rows' values move into the nodes; the rows not taken are freed.
    CRowSet rows(TRUE);
    HRESULT hr = rows.QueryAll(table);
    if (FAILED(hr))
        return hr;
    LPSRowSet pRows = rows.Rows();
    if (pRows == nullptr || pRows->cRows == 0)
        return E_FAIL;

    QList<QTreeWidgetItem*> items;
    if (QTreeWidgetItem* pNamed = NamedPropsItem(hParent, items))
        items.push_back(pNamed);
    HRESULT hrResult = S_OK;
    const ULONG n = pRows->cRows;
    for (ULONG i = 0; i < n; ++i) {
        if (QuitRequested() || m_bStopRequested) {
            hrResult = E_FAIL;
            break;
        }
        if (bOuter)
            SendProgress(static_cast<int>((static_cast<unsigned long long>(i) + 1) * 100 / n), strWhat, i + 1, n);
        QTreeWidgetItem* pItem = nullptr;
        hrResult = ListRow(pRows->aRow[i], hParent, ulDisplayTag, nForcedKind, pItem);
        if (pItem != nullptr)
            items.push_back(pItem);
        if (hrResult != S_OK)
            break;
    }
    // One insertion for the whole listing: the view lays out once.
    hParent->addChildren(items);
    return hrResult;
}

HRESULT CLeftView::ListRow(SRow& row, QTreeWidgetItem* hParent, ULONG ulDisplayTag, int nForcedKind,
                           QTreeWidgetItem*& pItemOut)
{
    pItemOut = nullptr;
    // Only this row comes from the folder's contents table, not the rows
    // listed below it.
    CFolderWrapper* const pListedFrom = std::exchange(m_pListedFrom, nullptr);
    CTreeNode* pParent = NodeOf(hParent);
    HRESULT hr = S_OK;
    HRESULT hrResult = S_OK;
    auto pNode = std::make_unique<CTreeNode>();
    pNode->m_pProps = new CPropValueArray;
    pNode->m_pProps->AttachRow(row);
    pNode->m_pRowValues = row.lpProps;
    row.lpProps = nullptr;
    const CPropValueArray& rowProps = *pNode->m_pProps;
    if (pParent != nullptr) {
        pNode->m_pStore = pParent->m_pStore;
        pNode->m_nEmbedDepth = pParent->m_nEmbedDepth;
    }
    CNodeLook look = LookFromRow(rowProps, ulDisplayTag, nForcedKind);
    pNode->m_nKind = look.nKind;

    // The object behind the row, read-only, with all its properties.
    const SPropValue* pEid = EntryIdOf(rowProps);
    const EEntryOpen eOpen = EntryOpening(look, rowProps, pNode->m_pStore != nullptr);
    CPropValueArray entryProps;
    bool bEntry = false;
    if (eOpen != EEntryOpen::None) {
        pNode->m_pEntry = new CMAPIWrapper;
        pNode->m_bOwns = TRUE;
        if (eOpen == EEntryOpen::ThroughStore)
            pNode->m_pStore->OpenEntry(*pEid, *pNode->m_pEntry, 0);
        else if (pParent != nullptr && pParent->m_pAddrBook != nullptr)
            pParent->m_pAddrBook->OpenEntry(*pEid, *pNode->m_pEntry, 0);
        if (auto* pObj = dynamic_cast<IMAPIProp*>(pNode->m_pEntry->m_pObj)) {
            bEntry = true;
            entryProps.LoadProps(pObj, TRUE);
            RefineWithEntry(look, entryProps, rowProps, ulDisplayTag, nForcedKind);
            pNode->m_nKind = look.nKind;
        }
    }

    CPropValueArray attachProps;
    switch (WorkForKind(pNode->m_nKind)) {
    case EKindWork::Store: {
        pNode->m_bOwns = TRUE;
        pNode->m_pStore = new CMsgStoreWrapper;
        pNode->m_pContainer = new CFolderWrapper;
        hr = pEid ? m_pDoc->GetSession()->OpenMsgStore(*pEid, *pNode->m_pStore) : MAPI_E_INVALID_ENTRYID;
        if (FAILED(hr)) {
            ShowErrorReport("MAPI GetMessageStore Failure", ObjectDetails(hParent, look.strText).c_str(), hr);
            hrResult = E_FAIL;
            break;
        }
        // A store whose root folder cannot be opened is damaged, not empty: it is
        // reported, and its node stays for its own properties, without children.
        hr = pNode->m_pStore->OpenRoot(*pNode->m_pContainer);
        if (FAILED(hr) || pNode->m_pContainer->Obj() == nullptr) {
            delete pNode->m_pContainer;
            pNode->m_pContainer = nullptr;
            ShowErrorReport("Failed to open the root folder", "", FAILED(hr) ? hr : MAPI_E_INTERFACE_NOT_SUPPORTED);
            look.bChildren = false;
            break;
        }
        look.bChildren = true;
        break;
    }
    case EKindWork::Folder: {
        FolderImages(look, rowProps);
        pNode->m_pContainer = new CFolderWrapper;
        hr = MAPI_E_INVALID_ENTRYID;
        if (pEid && pParent && pParent->m_pContainer)
            hr = pParent->m_pContainer->OpenEntry(*pEid, *pNode->m_pContainer);
        if (FAILED(hr) || pNode->m_pContainer->Obj() == nullptr) {
            delete pNode->m_pContainer;
            pNode->m_pContainer = nullptr;
            ShowErrorReport("Failed to locate subfolder", ObjectDetails(hParent, look.strText).c_str(),
                            FAILED(hr) ? hr : MAPI_E_INTERFACE_NOT_SUPPORTED);
        }
        break;
    }
    case EKindWork::AbContainer:
        pNode->m_pAddrBook = pParent ? pParent->m_pAddrBook : nullptr;
        pNode->m_pContainer = new CFolderWrapper;
        if (pEid && pNode->m_pAddrBook)
            pNode->m_pAddrBook->OpenEntry(*pEid, *pNode->m_pContainer, 0);
        break;
    case EKindWork::Attachment: {
        pNode->m_pAttach = new LPATTACH(nullptr);
        pNode->m_bOwns = TRUE;
        pNode->m_pMessageNode = pParent ? pParent->m_pMessageNode : nullptr;
        CMessageView message(pParent ? pParent->Entry() : nullptr);
        hr = message.OpenAttach(static_cast<ULONG>(rowProps.GetLong(PR_ATTACH_NUM)), *pNode->m_pAttach);
        if (!(FAILED(hr) || *pNode->m_pAttach == nullptr) && !RowHasAttachMethod(rowProps))
            attachProps.LoadProps(*pNode->m_pAttach, TRUE);
        AttachmentText(look, rowProps, *pNode->m_pAttach);
        if (FAILED(hr) || *pNode->m_pAttach == nullptr)
            ShowErrorReport("Failure opening attachment", ObjectDetails(hParent, look.strText).c_str(),
                            FAILED(hr) ? hr : MAPI_E_NOT_FOUND);
        break;
    }
    case EKindWork::None: break;
    }
    if (hrResult != S_OK)
        return hrResult;

    CTreeNode* pRaw = pNode.release();
    QTreeWidgetItem* pItem =
        MakeItem(pRaw, look.nImage, look.nSelImage, look.bChildren ? 1 : 0, look.strText);
    if (MessageGetsGroups(pRaw->m_nKind, bEntry)) {
        AddMessageGroups(pItem, pRaw, rowProps, &entryProps, hParent);
        if (eOpen == EEntryOpen::ThroughStore && m_bLetGo) {
            pRaw->m_pRowFolder = pListedFrom;
            pRaw->m_ulRowNum = m_ulListedRow;
            LetGoOfMessage(pItem);
            if (pRaw->m_bLetGo && pItem->childCount() > 0)
                DropGroups(pItem);
        }
    } else if (pRaw->Attach() != nullptr && AttachmentIsEmbedded(rowProps, &attachProps))
        AddEmbeddedMessage(pItem, pRaw);
    pItemOut = pItem;
    return S_OK;
}

void CLeftView::DropGroups(QTreeWidgetItem* pItem)
{
    // A folder of many messages keeps one item and one record a message:
    // the groups (their rows and records) were listed, and go until the
    // message is expanded.
    std::vector<QTreeWidgetItem*> pending;
    for (int i = 0; i < pItem->childCount(); ++i)
        pending.push_back(pItem->child(i));
    while (!pending.empty()) {
        QTreeWidgetItem* p = pending.back();
        pending.pop_back();
        delete NodeOf(p);
        for (int i = 0; i < p->childCount(); ++i)
            pending.push_back(p->child(i));
    }
    qDeleteAll(pItem->takeChildren());
    NodeOf(pItem)->m_bGroupsLater = TRUE;
    pItem->setChildIndicatorPolicy(QTreeWidgetItem::ShowIndicator);
}

void CLeftView::ListGroupsAgain(QTreeWidgetItem* pItem, CTreeNode* pNode)
{
    pNode->m_bGroupsLater = FALSE;
    // Listed at once, inside any folder listing in progress (between two of
    // its slices), which keeps its progress and status.
    ++m_nListing;
    CPropValueArray entryProps;
    if (pNode->OpenAgain() && pNode->Message() != nullptr)
        entryProps.LoadProps(pNode->Message(), TRUE);
    if (pNode->Message() != nullptr)
        AddMessageGroups(pItem, pNode, *pNode->m_pProps, &entryProps);
    --m_nListing;
    pItem->setChildIndicatorPolicy(QTreeWidgetItem::DontShowIndicatorWhenChildless);
    // Its objects go again unless it is (or was just) current.
    if (std::find(m_kept.begin(), m_kept.end(), pNode) == m_kept.end())
        LetGoOfMessage(pItem);
}

void CLeftView::OnItemExpanding(QTreeWidgetItem* pItem)
{
    CTreeNode* pNode = NodeOf(pItem);
    if (pNode != nullptr && pNode->m_bGroupsLater) {
        ListGroupsAgain(pItem, pNode);
        return;
    }
    if (pNode == nullptr || pNode->m_bChildrenLoaded || pNode->m_pContainer == nullptr ||
        pNode->m_pContainer->m_pObj == nullptr)
        return;
    if (m_pListing != nullptr) {
        if (m_pListing->hItem == pItem)
            return;  // expanded again while it is being listed
        // One listing at a time: this one is refused, and says so.
        {
            const QSignalBlocker block(this);
            collapseItem(pItem);
        }
        m_refusalShown.start();
        emit listingStatus(QStringLiteral("Still listing %1: expand %2 again once it ends (Escape stops it)")
                               .arg(m_pListing->strWhat, pItem->text(0)));
        return;
    }
    m_pListing = std::make_unique<CListing>();
    m_pListing->hItem = pItem;
    m_pListing->pNode = pNode;
    m_pListing->strWhat = pItem->text(0);
    m_nLastPercent = -1;
    m_bStopRequested = false;
    m_refusalShown.invalidate();
    qApp->installEventFilter(this);
    viewport()->setCursor(Qt::BusyCursor);
    // The column follows its widest text, which costs a pass over many rows
    // at each layout: while rows arrive it keeps its width, and takes the
    // widest once they are all there.
    header()->setSectionResizeMode(0, QHeaderView::Interactive);
    // The first slice runs at once, so a small folder is listed before the
    // expansion returns; a large one goes on between events.
    RunSlice();
}

bool CLeftView::ListingStep(CListing& listing)
{
    CTreeNode* pNode = listing.pNode;
    const bool bAddrBookRoot = pNode->m_nKind == NODE_ADDRBOOK_ROOT;
    switch (listing.eStep) {
    case CListing::EStep::Hierarchy:
    case CListing::EStep::Contents: {
        const bool bHierarchy = listing.eStep == CListing::EStep::Hierarchy;
        if (QuitRequested() || m_bStopRequested || (!bHierarchy && bAddrBookRoot)) {
            listing.NextStep();
            return false;
        }
        if (!listing.bTableOpen) {
            // The address book's root shows only its sub-containers.
            CFolderWrapper& container = *pNode->m_pContainer;
            const HRESULT hr = bHierarchy ? container.GetHierarchyTable(listing.table)
                                          : container.GetContentsTable(listing.table);
            LPMAPITABLE pTable = listing.table.Get();
            if (FAILED(hr) || pTable == nullptr || FAILED(pTable->SeekRow(BOOKMARK_BEGINNING, 0, nullptr)) ||
                FAILED(pTable->GetRowCount(0, &listing.ulTotal)) || listing.ulTotal == 0) {
                listing.NextStep();
                return false;
            }
            listing.bTableOpen = true;
            m_nLastPercent = -1;
            if (QTreeWidgetItem* pNamed = NamedPropsItem(listing.hItem, listing.items))
                listing.items.push_back(pNamed);
        }
        LPSRowSet pPage = listing.page.Rows();
        if (pPage == nullptr || listing.ulNext >= pPage->cRows) {
            listing.page.Release();
            listing.ulNext = 0;
            if (FAILED(listing.table.Get()->QueryRows(kPageRows, 0, &listing.page.m_pRows)) ||
                listing.page.Rows() == nullptr || listing.page.Rows()->cRows == 0) {
                listing.NextStep();
                return false;
            }
            pPage = listing.page.Rows();
        }
        // A table that grew past its count still reports at most 100 percent.
        ++listing.ulDone;
        const ULONG ulTotal = std::max(listing.ulTotal, listing.ulDone);
        SendProgress(static_cast<int>(static_cast<unsigned long long>(listing.ulDone) * 100 / ulTotal),
                     listing.strWhat, listing.ulDone, ulTotal);
        QTreeWidgetItem* pItem = nullptr;
        if (!bHierarchy) {
            m_pListedFrom = pNode->m_pContainer;
            m_ulListedRow = listing.ulDone - 1;
        }
        const HRESULT hr = ListRow(pPage->aRow[listing.ulNext++], listing.hItem, PR_DISPLAY_NAME, -1, pItem);
        m_pListedFrom = nullptr;
        if (pItem != nullptr)
            listing.items.push_back(pItem);
        if (hr != S_OK)
            listing.NextStep();  // a store that cannot be opened ends its table
        return true;
    }
    case CListing::EStep::Recovered:
        if (RecoveredItemsBelow(pNode->m_nKind) && pNode->m_bOwns && !bAddrBookRoot) {
            InsertPending(listing);
            AddRecoveredItems(listing.hItem, pNode);
        }
        listing.NextStep();
        return true;
    case CListing::EStep::Done: break;
    }
    return false;
}

void CLeftView::InsertPending(CListing& listing)
{
    if (listing.items.isEmpty())
        return;
    listing.hItem->addChildren(listing.items);
    listing.items.clear();
}

void CLeftView::RunSlice()
{
    // A slice is never entered twice (an error report's own event loop
    // lets the timer run).
    if (m_pListing == nullptr || m_bInSlice)
        return;
    m_bInSlice = true;
    ++m_nListing;
    CListing& listing = *m_pListing;
    QElapsedTimer elapsed;
    elapsed.start();
    int nRows = 0;
    while (listing.eStep != CListing::EStep::Done) {
        if (ListingStep(listing))
            ++nRows;
        if (!m_bFinishing && listing.eStep != CListing::EStep::Done &&
            ((m_nSliceRows > 0 && nRows >= m_nSliceRows) || elapsed.elapsed() >= kSliceMs))
            break;
    }
    // What the slices made is shown at the end of one: the first slice's at
    // once, later ones once they are half as many as the rows shown. Each
    // insertion lays out every row of the folder again, so a large folder
    // is laid out a few dozen times rather than at every slice.
    if (listing.eStep == CListing::EStep::Done || listing.hItem->childCount() == 0 ||
        listing.items.size() >= listing.hItem->childCount() / 2)
        InsertPending(listing);
    --m_nListing;
    m_bInSlice = false;
    if (listing.eStep == CListing::EStep::Done) {
        // A stopped listing counts as done: what was listed stays.
        listing.pNode->m_bChildrenLoaded = TRUE;
        EndListing();
    } else {
        m_sliceTimer.start();
    }
}

void CLeftView::FinishListing()
{
    if (m_bInSlice)
        return;
    m_bFinishing = true;
    while (m_pListing != nullptr)
        RunSlice();
    m_bFinishing = false;
}

void CLeftView::ExpandNow(QTreeWidgetItem* pItem)
{
    FinishListing();
    if (pItem->isExpanded())
        OnItemExpanding(pItem);
    else
        expandItem(pItem);
    FinishListing();
}

void CLeftView::EndListing()
{
    if (m_pListing == nullptr)
        return;
    m_sliceTimer.stop();
    // The rows read and not listed go with it; items made and not yet shown
    // go with their records.
    for (QTreeWidgetItem* pItem : m_pListing->items) {
        delete NodeOf(pItem);
        delete pItem;
    }
    m_pListing.reset();
    m_bStopRequested = false;
    qApp->removeEventFilter(this);
    viewport()->unsetCursor();
    header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    // A listing that said how far it got says that it ended.
    if (m_nLastPercent >= 0)
        emit listingStatus(QString());
    m_nLastPercent = -1;
}

void CLeftView::AddMessageGroups(QTreeWidgetItem* hItem, CTreeNode* pNode, const CPropValueArray& row,
                                 const CPropValueArray* pEntry, const QTreeWidgetItem* hParent)
{
    CMessageView message(pNode->m_pEntry);
    // One table for both groups: asking for the second releases the first.
    CTableRef table;
    for (const CMessageGroup& group : kGroups) {
        if (!GroupWanted(group, row, pEntry))
            continue;
        const HRESULT hr = group.eTable == EGroupTable::Attachments ? message.GetAttachmentTable(table)
                                                                    : message.GetRecipientTable(table);
        if (FAILED(hr)) {
            // A table that cannot be read is damage, not a message without that group.
            if (GroupFailureReported(row, pEntry)) {
                const std::string strDetails = hParent ? ObjectDetails(hParent) + "/" + hItem->text(0).toStdString()
                                                       : ObjectDetails(hItem);
                ShowErrorReport(group.eTable == EGroupTable::Attachments ? "Failed to list the attachments"
                                                                         : "Failed to list the recipients",
                                strDetails.c_str(), hr);
            }
            continue;
        }
        ULONG ulCount = 0;
        if (table.Get() == nullptr || FAILED(table.Get()->GetRowCount(0, &ulCount)) || ulCount == 0)
            continue;
        auto* pGroup = new CTreeNode;
        pGroup->m_pMessageNode = pNode;
        pGroup->m_pStore = pNode->m_pStore;
        pGroup->m_nEmbedDepth = pNode->m_nEmbedDepth;
        pGroup->m_bChildrenLoaded = TRUE;
        QTreeWidgetItem* pGroupItem = InsertNode(hItem, pGroup, kGroupImage, kGroupSelImage, 1, group.pszName);
        if (FAILED(AddTableRows(table, pGroupItem, PR_DISPLAY_NAME, group.nRowKind)) &&
            pGroupItem->childCount() == 0) {
            // The rows could not be read after all: the group goes with its
            // record rather than stay as an empty item.
            delete pGroup;
            delete pGroupItem;
        }
    }
}

void CLeftView::LetGoOfMessage(QTreeWidgetItem* pItem)
{
    // Its attachments first; one that holds an embedded message keeps it
    // open, and so keeps its message.
    bool bAll = true;
    for (int i = 0; i < pItem->childCount(); ++i) {
        QTreeWidgetItem* pGroup = pItem->child(i);
        for (int j = 0; j < pGroup->childCount(); ++j) {
            CTreeNode* pChild = NodeOf(pGroup->child(j));
            if (pChild == nullptr || pChild->m_nKind != static_cast<int>(MAPI_ATTACH) || pChild->Attach() == nullptr)
                continue;
            if (pGroup->child(j)->childCount() > 0)
                bAll = false;
            else
                pChild->LetGo();
        }
    }
    if (bAll)
        NodeOf(pItem)->LetGo();
}

void CLeftView::KeepOpen(CTreeNode* pNode)
{
    // The current node and the one before it hold their objects: the
    // property list of the one before may still point into its object
    // while the views update.
    std::array<CTreeNode*, 4> keep{};
    const auto Add = [&keep](std::size_t nAt, CTreeNode* p) {
        keep[nAt] = p;
        keep[nAt + 1] = p != nullptr ? p->m_pMessageNode : nullptr;
    };
    Add(0, pNode);
    Add(2, m_kept[0]);
    // A message is opened before its attachment.
    for (std::size_t i : {1, 0, 3, 2})
        if (keep[i] != nullptr)
            keep[i]->OpenAgain();
    // The property list shows the current node's row: a message that kept
    // only part of it reads it again.
    if (pNode != nullptr)
        pNode->ReadRowAgain();
    for (CTreeNode* pOld : m_kept)
        if (pOld != nullptr && std::find(keep.begin(), keep.end(), pOld) == keep.end())
            pOld->LetGo();
    m_kept = keep;
}

void CLeftView::AddEmbeddedMessage(QTreeWidgetItem* hItem, CTreeNode* pAttachNode)
{
    const int nDepth = pAttachNode->m_nEmbedDepth + 1;
    if (EmbedTooDeep(nDepth)) {
        ShowErrorReport("Embedded messages nest too deeply", ObjectDetails(hItem).c_str(), MAPI_E_CORRUPT_DATA);
        return;
    }
    CMAPITraceSlot* ppTrace = m_pDoc->m_ppTraceWriter;
    TraceThroughSlot(ppTrace, "IAttach->OpenProperty()\n");
    LPUNKNOWN pUnk = nullptr;
    HRESULT hr = pAttachNode->Attach()->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, 0, &pUnk);
    IMessage* pMessage = SUCCEEDED(hr) ? dynamic_cast<IMessage*>(pUnk) : nullptr;
    if (pMessage == nullptr) {
        if (pUnk != nullptr)
            pUnk->Release();
        ShowErrorReport("Failed to open embedded message", ObjectDetails(hItem).c_str(),
                        FAILED(hr) ? hr : MAPI_E_INTERFACE_NOT_SUPPORTED);
        return;
    }
    auto* pNode = new CTreeNode;
    pNode->m_nKind = static_cast<int>(MAPI_MESSAGE);
    pNode->m_pEntry = new CMAPIWrapper;
    pNode->m_pEntry->Attach(pMessage, ppTrace);
    pNode->m_bOwns = TRUE;
    pNode->m_pStore = pAttachNode->m_pStore;
    pNode->m_nEmbedDepth = nDepth;
    pNode->m_bChildrenLoaded = TRUE;
    // Its own values stand for its row: the list shows them.
    pNode->m_pProps = new CPropValueArray;
    pNode->m_pProps->LoadProps(pMessage, TRUE);
    const CNodeLook look = EmbeddedMessageLook(*pNode->m_pProps);
    QTreeWidgetItem* pItem = InsertNode(hItem, pNode, look.nImage, look.nSelImage, 0, look.strText);
    AddMessageGroups(pItem, pNode, *pNode->m_pProps, nullptr);
}

void CLeftView::SelectCurrentItem()
{
    m_selectTimer.stop();
    QTreeWidgetItem* pItem = currentItem();
    CTreeNode* pNode = NodeOf(pItem);
    if (pNode == nullptr || m_pDoc == nullptr || pNode == m_pDoc->GetSelectedNode() || CWaitCursor::Busy())
        return;
    SelectItem(pItem);
}

void CLeftView::SelectItem(QTreeWidgetItem* pItem)
{
    QStringList parts;
    for (const QTreeWidgetItem* p = pItem; p != nullptr; p = p->parent())
        parts.prepend(p->text(0));
    m_pDoc->m_strSelectedPath = parts.join(QLatin1Char('/'));
    m_pDoc->SelectNode(NodeOf(pItem));
}

void CLeftView::AddRecoveredItems(QTreeWidgetItem* hStore, CTreeNode* pStoreNode)
{
    IMsgStore* pStore = pStoreNode->m_pStore ? pStoreNode->m_pStore->Obj() : nullptr;
    if (pStore == nullptr)
        return;
    CPropValueArray storeProps;
    if (FAILED(storeProps.LoadProps(pStore, TRUE)))
        return;
    const SPropValue* pEid = RecoveredItemsEntryId(storeProps);
    if (pEid == nullptr)
        return;
    auto pNode = std::make_unique<CTreeNode>();
    pNode->m_nKind = static_cast<int>(MAPI_FOLDER);
    pNode->m_pStore = pStoreNode->m_pStore;
    pNode->m_pContainer = new CFolderWrapper;
    // Opening the folder runs no recovery: listing what is below it does.
    const HRESULT hr = pStoreNode->m_pStore->OpenEntry(*pEid, *pNode->m_pContainer, 0);
    IMAPIContainer* pFolder = pNode->m_pContainer->Obj();
    if (FAILED(hr) || pFolder == nullptr) {
        ShowErrorReport("Failed to open the recovered items", "", FAILED(hr) ? hr : MAPI_E_INTERFACE_NOT_SUPPORTED);
        return;
    }
    pNode->m_pProps = new CPropValueArray;
    pNode->m_pProps->LoadProps(pFolder, TRUE);
    QTreeWidgetItem* pItem =
        InsertNode(hStore, pNode.release(), IMAGE_PLAIN_FOLDER, IMAGE_PLAIN_FOLDER_SELECTED, 1, kRecoveredItemsText);
    QFont font = pItem->font(0);
    font.setItalic(true);
    pItem->setFont(0, font);
}

void CLeftView::mousePressEvent(QMouseEvent* pEvent)
{
    // A left or right click makes the item current before the control
    // handles the press (its expand button included), so that a menu opened
    // by the right click acts on the item clicked.
    if (pEvent->button() == Qt::LeftButton || pEvent->button() == Qt::RightButton) {
        if (QTreeWidgetItem* pItem = itemAt(pEvent->position().toPoint())) {
            setCurrentItem(pItem);
            m_selectTimer.stop();
            if (NodeOf(pItem) != m_pDoc->GetSelectedNode())
                SelectItem(pItem);
        }
    }
    QTreeWidget::mousePressEvent(pEvent);
}

void CLeftView::keyPressEvent(QKeyEvent* pEvent)
{
    // Return and Enter make the highlighted node current at once.
    if ((pEvent->key() == Qt::Key_Return || pEvent->key() == Qt::Key_Enter) && pEvent->modifiers() == Qt::NoModifier) {
        SelectCurrentItem();
        pEvent->accept();
        return;
    }
    QTreeWidget::keyPressEvent(pEvent);
}

void CLeftView::contextMenuEvent(QContextMenuEvent* pEvent)
{
    // The menu acts on the current node: the item the right click made
    // current, or the highlighted one for the keyboard's menu key.
    SelectCurrentItem();
    QPoint pos = pEvent->globalPos();
    if (pEvent->reason() == QContextMenuEvent::Keyboard && currentItem() != nullptr)
        pos = viewport()->mapToGlobal(visualItemRect(currentItem()).bottomLeft());
    if (m_pItemMenu != nullptr)
        m_pItemMenu->exec(pos);
    pEvent->accept();
}

bool CLeftView::OnUpdateCommand(int nId, CCmdUI& rUI)
{
    if (nId == ID_SHOW_BODY) {
        const CTreeNode* pNode = m_pDoc->GetSelectedNode();
        rUI.bEnabled = pNode != nullptr && pNode->Message() != nullptr;
        return true;
    }
    if (nId == ID_EXPORT_FOLDER) {
        rUI.bEnabled = FolderToExport(m_pDoc->GetSelectedNode()) != nullptr;
        return true;
    }
    if (nId == ID_SAVE_MESSAGE_AS) {
        const CTreeNode* pNode = m_pDoc->GetSelectedNode();
        rUI.bEnabled = pNode != nullptr && pNode->m_nKind == static_cast<int>(MAPI_MESSAGE) && pNode->Message();
        return true;
    }
    if (nId != ID_SAVE_ATTACHMENT)
        return false;
    const CTreeNode* pNode = m_pDoc->GetSelectedNode();
    rUI.bEnabled = pNode != nullptr && pNode->m_nKind == static_cast<int>(MAPI_ATTACH);
    return true;
}

bool CLeftView::OnCommand(int nId)
{
    if (nId == ID_SHOW_BODY) {
        OnShowBody();
        return true;
    }
    if (nId == ID_SAVE_MESSAGE_AS) {
        OnSaveMessageAs();
        return true;
    }
    if (nId == ID_EXPORT_FOLDER) {
        OnExportFolder();
        return true;
    }
    if (nId != ID_SAVE_ATTACHMENT)
        return false;
    OnSaveAttachment();
    return true;
}

CBodyView* CLeftView::OnShowBody()
{
    const CTreeNode* pNode = m_pDoc->GetSelectedNode();
    IMessage* pMessage = pNode ? pNode->Message() : nullptr;
    if (pMessage == nullptr)
        return nullptr;
    const QTreeWidgetItem* pItem = currentItem();
    auto* pView = new CBodyView(pMessage, pItem ? pItem->text(0) : QString(), window());
    pView->setWindowFlag(Qt::Window);
    pView->show();
    return pView;
}

void CLeftView::OnSaveAttachment()
{
    CTreeNode* pNode = m_pDoc->GetSelectedNode();
    if (pNode == nullptr || pNode->m_nKind != static_cast<int>(MAPI_ATTACH))
        return;
    HRESULT hr = S_OK;
    QString strPath;
    if (pNode->Attach() == nullptr) {
        // It could not be opened: there is nothing to save, so no file is asked for.
        hr = MAPI_E_NOT_FOUND;
    } else {
        CFileRequest request;
        request.bOpen = false;
        request.strTitle = QStringLiteral("Save Attachment");
        const CPropValueArray none;
        request.strFileName =
            QString::fromStdString(ProposeAttachmentName(pNode->m_pProps ? *pNode->m_pProps : none));
        strPath = Prompts().GetFileName(nullptr, request);
        if (!strPath.isEmpty())
            hr = WriteAttachmentFile(pNode->m_pAttach, QFile::encodeName(strPath).constData());
    }
    // A file that could not be written gives a system error code, which is
    // not negative: every result but S_OK is a failure here.
    if (hr != S_OK) {
        // The attachment's item is the current one.
        std::string strDetails = ObjectDetails(currentItem());
        if (!strPath.isEmpty())
            strDetails += "\nFile: " + strPath.toStdString();
        ShowErrorReport("Failed to save attachment", strDetails.c_str(), hr);
    }
}

void CLeftView::OnSaveMessageAs()
{
    CTreeNode* pNode = m_pDoc->GetSelectedNode();
    if (pNode == nullptr || pNode->m_nKind != static_cast<int>(MAPI_MESSAGE) || pNode->Message() == nullptr)
        return;
    CFileRequest request;
    request.bOpen = false;
    request.strTitle = QStringLiteral("Save Message As");
    request.strDefaultExt = QStringLiteral("msg");
    request.filters = {QStringLiteral("Outlook Message (*.msg)"), QStringLiteral("Internet Message (*.eml)"),
                       QStringLiteral("All Files (*.*)")};
    std::string strSubject;
    if (pNode->m_pProps != nullptr)
        pNode->m_pProps->GetPropText(PR_SUBJECT, strSubject, 256);
    request.strFileName = QString::fromStdString(ProposeMessageFileName(strSubject));
    const QString strPath = Prompts().GetFileName(nullptr, request);
    if (strPath.isEmpty())
        return;
    CWaitCursor wait;
    const HRESULT hr = WriteMessageFile(pNode->Message(), QFile::encodeName(strPath).constData());
    if (hr != S_OK) {
        const std::string strDetails = ObjectDetails(currentItem()) + "\nFile: " + strPath.toStdString();
        ShowErrorReport("Failed to save message", strDetails.c_str(), hr);
    }
}

// The folder "Export Folder..." writes for a node: a folder node's opened
// folder, in a store; null for any other node.
IMAPIFolder* CLeftView::FolderToExport(const CTreeNode* pNode)
{
    if (pNode == nullptr || pNode->m_nKind != static_cast<int>(MAPI_FOLDER) || pNode->m_pStore == nullptr ||
        pNode->m_pStore->Obj() == nullptr || pNode->m_pEntry == nullptr)
        return nullptr;
    return dynamic_cast<IMAPIFolder*>(pNode->m_pEntry->m_pObj);
}

void CLeftView::OnExportFolder()
{
    const CTreeNode* pNode = m_pDoc->GetSelectedNode();
    IMAPIFolder* pFolder = FolderToExport(pNode);
    if (pFolder == nullptr)
        return;
    std::string strName;
    if (pNode->m_pProps != nullptr)
        pNode->m_pProps->GetPropText(PR_DISPLAY_NAME, strName, 256);
    ExportFolderWithPrompts(pNode->m_pStore->Obj(), pFolder, QString::fromStdString(strName), window());
}
