#include "app/FindWindow.h"

#include "mapi/MAPITraceWriter.h"
#include "mapi32/table.h"
#include "tree/LeftView.h"
#include "tree/TreeNode.h"
#include "workspace/DravikDoc.h"

#include <QComboBox>
#include <QCompleter>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStringListModel>
#include <QTimer>
#include <QTreeView>
#include <QVBoxLayout>

#include <sys/resource.h>
#include <unistd.h>

using namespace dravik::query;

namespace {

constexpr int kDrainMs = 50;  // how often results, progress and trace lines are brought in while searching

std::vector<BYTE> EntryIdOf(const CTreeNode* pNode)
{
    const SPropValue* v = pNode && pNode->m_pProps ? pNode->m_pProps->Find(PR_ENTRYID) : nullptr;
    if (!v || !v->Value.bin.lpb)
        return {};
    return {v->Value.bin.lpb, v->Value.bin.lpb + v->Value.bin.cb};
}

std::string NameOf(const CTreeNode* pNode)
{
    std::string s;
    if (pNode && pNode->m_pProps) {
        for (ULONG i = 0; i < pNode->m_pProps->Count(); ++i) {
            const SPropValue* v = pNode->m_pProps->At(i);
            if (PROP_ID(v->ulPropTag) == PROP_ID(PR_DISPLAY_NAME) && PROP_TYPE(v->ulPropTag) != PT_ERROR) {
                dravik::mapi32::ValueText(*v, s);
                break;
            }
        }
    }
    return s;
}

QString Path(const SearchResult& r)
{
    QStringList parts;
    for (const std::string& p : r.folderPath)
        parts << QString::fromStdString(p);
    return parts.join(QLatin1Char('/'));
}

} // namespace

int CFindResultsModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_results.size());
}

int CFindResultsModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : 3;
}

QVariant CFindResultsModel::data(const QModelIndex& index, int role) const
{
    if (role != Qt::DisplayRole || !index.isValid() || index.row() >= rowCount())
        return {};
    const SearchResult& r = m_results[static_cast<size_t>(index.row())];
    switch (index.column()) {
    case 0: return Path(r);
    case 1: return QString::fromStdString(r.strSubject);
    default: return QString::fromStdString(r.strValue);
    }
}

QVariant CFindResultsModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    static const char* const kNames[] = {"Folder", "Subject", "Value"};
    return section >= 0 && section < 3 ? QString::fromLatin1(kNames[section]) : QVariant();
}

void CFindResultsModel::Append(std::vector<SearchResult> results)
{
    if (results.empty())
        return;
    const int first = rowCount();
    beginInsertRows({}, first, first + static_cast<int>(results.size()) - 1);
    for (SearchResult& r : results)
        m_results.push_back(std::move(r));
    endInsertRows();
}

void CFindResultsModel::Clear()
{
    beginResetModel();
    m_results.clear();
    endResetModel();
}

CFindWindow::CFindWindow(CDravikDoc* pDoc, CLeftView* pTree, QWidget* pParent)
    : QWidget(pParent, Qt::Window), m_pDoc(pDoc), m_pTree(pTree)
{
    setObjectName(QStringLiteral("CFindWindow"));
    setWindowTitle(QStringLiteral("Find"));
    resize(720, 420);
    auto* pLayout = new QVBoxLayout(this);

    auto* pRow = new QHBoxLayout;
    auto* pQueryLabel = new QLabel(QStringLiteral("&Query:"), this);
    m_pQuery = new QLineEdit(this);
    m_pQuery->setObjectName(QStringLiteral("query"));
    m_pQuery->setPlaceholderText(QStringLiteral("PR_SUBJECT contains \"budget\""));
    pQueryLabel->setBuddy(m_pQuery);
    pRow->addWidget(pQueryLabel);
    pRow->addWidget(m_pQuery, 1);
    pLayout->addLayout(pRow);

    pRow = new QHBoxLayout;
    auto* pScopeLabel = new QLabel(QStringLiteral("&In:"), this);
    m_pScope = new QComboBox(this);
    m_pScope->setObjectName(QStringLiteral("scope"));
    m_pScope->addItems({QStringLiteral("The current folder"), QStringLiteral("The current folder and its subfolders"),
                        QStringLiteral("The current store"), QStringLiteral("Every store of the workspace")});
    m_pScope->setCurrentIndex(ScopeAllStores);
    pScopeLabel->setBuddy(m_pScope);
    m_pFind = new QPushButton(QStringLiteral("&Find"), this);
    m_pFind->setDefault(true);
    m_pStop = new QPushButton(QStringLiteral("&Stop"), this);
    m_pStop->setEnabled(false);
    pRow->addWidget(pScopeLabel);
    pRow->addWidget(m_pScope, 1);
    pRow->addWidget(m_pFind);
    pRow->addWidget(m_pStop);
    pLayout->addLayout(pRow);

    m_pModel = new CFindResultsModel(this);
    m_pView = new QTreeView(this);
    m_pView->setObjectName(QStringLiteral("results"));
    m_pView->setModel(m_pModel);
    m_pView->setRootIsDecorated(false);
    m_pView->setUniformRowHeights(true);
    m_pView->setAllColumnsShowFocus(true);
    m_pView->header()->resizeSection(0, 260);
    m_pView->header()->resizeSection(1, 260);
    pLayout->addWidget(m_pView, 1);

    pRow = new QHBoxLayout;
    m_pStatus = new QLabel(this);
    m_pStatus->setObjectName(QStringLiteral("status"));
    m_pProgress = new QProgressBar(this);
    m_pProgress->setRange(0, 1);
    m_pProgress->setValue(0);
    m_pProgress->setMaximumWidth(160);
    m_pProgress->setTextVisible(false);
    pRow->addWidget(m_pStatus, 1);
    pRow->addWidget(m_pProgress);
    pLayout->addLayout(pRow);

    // Completion of the property name at the cursor.
    std::vector<std::string> names = PropertyNames();
    for (const char* set : {"PS_PUBLIC_STRINGS", "PS_INTERNET_HEADERS", "PS_MAPI", "PSETID_Appointment", "PSETID_Task",
                            "PSETID_Address", "PSETID_Common", "PSETID_Log", "PSETID_Note", "PSETID_Meeting"})
        names.emplace_back(set);
    QStringList list;
    for (const std::string& n : names)
        list << QString::fromStdString(n);
    m_pCompleter = new QCompleter(new QStringListModel(list, this), this);
    m_pCompleter->setCaseSensitivity(Qt::CaseInsensitive);
    m_pCompleter->setWidget(m_pQuery);
    connect(m_pQuery, &QLineEdit::textEdited, this, &CFindWindow::CompleteWord);
    connect(m_pCompleter, qOverload<const QString&>(&QCompleter::activated), this, [this](const QString& strName) {
        const QString text = m_pQuery->text();
        int end = m_pQuery->cursorPosition();
        int start = end;
        while (start > 0 && (text[start - 1].isLetterOrNumber() || text[start - 1] == QLatin1Char('_')))
            --start;
        m_pQuery->setText(text.left(start) + strName + text.mid(end));
        m_pQuery->setCursorPosition(start + static_cast<int>(strName.size()));
    });

    m_pTimer = new QTimer(this);
    m_pTimer->setInterval(kDrainMs);
    connect(m_pTimer, &QTimer::timeout, this, &CFindWindow::Drain);
    connect(m_pFind, &QPushButton::clicked, this, [this] { Start(); });
    connect(m_pQuery, &QLineEdit::returnPressed, this, [this] {
        if (!m_pCompleter->popup()->isVisible())
            Start();
    });
    connect(m_pStop, &QPushButton::clicked, this, &CFindWindow::Stop);
    connect(m_pView, &QTreeView::activated, this, [this](const QModelIndex& index) { ChooseResult(index.row()); });
    m_pDoc->AddView(this);
}

CFindWindow::~CFindWindow()
{
    Stop();
    Join();
    m_pDoc->RemoveView(this);
}

void CFindWindow::OnUpdate(CDocView*, long, void*)
{
    if (!m_pDoc->IsConnected() && m_thread.joinable()) {
        Stop();
        Join();
        Drain();
    }
}

void CFindWindow::CompleteWord()
{
    const QString text = m_pQuery->text();
    const int end = m_pQuery->cursorPosition();
    int start = end;
    while (start > 0 && (text[start - 1].isLetterOrNumber() || text[start - 1] == QLatin1Char('_')))
        --start;
    const QString word = text.mid(start, end - start);
    if (word.size() < 3 || !(word.startsWith(QLatin1String("PR_"), Qt::CaseInsensitive) ||
                             word.startsWith(QLatin1String("PS"), Qt::CaseInsensitive))) {
        m_pCompleter->popup()->hide();
        return;
    }
    m_pCompleter->setCompletionPrefix(word);
    m_pCompleter->complete();
}

void CFindWindow::SetQuery(const QString& strQuery)
{
    m_pQuery->setText(strQuery);
}

void CFindWindow::SetScope(Scope scope)
{
    m_pScope->setCurrentIndex(scope);
}

QString CFindWindow::StatusText() const
{
    return m_pStatus->text();
}

SearchStart CFindWindow::StartFromCurrentNode(Scope scope, bool& ok) const
{
    SearchStart start;
    ok = true;
    start.scope = scope == ScopeFolder               ? SearchScope::Folder
                  : scope == ScopeFolderAndSubfolders ? SearchScope::FolderAndSubfolders
                  : scope == ScopeStore               ? SearchScope::Store
                                                      : SearchScope::AllStores;
    if (start.scope == SearchScope::AllStores)
        return start;
    // From the current item up to its store: the folders on the way, nearest first.
    std::vector<const CTreeNode*> folders;
    const CTreeNode* pStore = nullptr;
    for (const QTreeWidgetItem* pItem = m_pTree->currentItem(); pItem; pItem = pItem->parent()) {
        const CTreeNode* pNode = CLeftView::NodeOf(pItem);
        if (!pNode)
            continue;
        if (pNode->m_nKind == static_cast<int>(MAPI_FOLDER))
            folders.push_back(pNode);
        else if (pNode->m_nKind == static_cast<int>(MAPI_STORE)) {
            pStore = pNode;
            break;
        }
    }
    if (!pStore) {
        ok = false;
        return start;
    }
    start.storeEntryId = EntryIdOf(pStore);
    start.folderPath.push_back(NameOf(pStore));
    std::reverse(folders.begin(), folders.end());
    for (const CTreeNode* pFolder : folders) {
        start.folderPath.push_back(NameOf(pFolder));
        start.folderPathEntryIds.push_back(EntryIdOf(pFolder));
    }
    if (start.scope != SearchScope::Store) {
        if (folders.empty()) {
            start.scope = start.scope == SearchScope::Folder ? SearchScope::Folder : SearchScope::Store;
            if (start.scope == SearchScope::Folder) {
                ok = false;  // a store itself holds no messages: choose a folder
                return start;
            }
        } else {
            start.folderEntryId = start.folderPathEntryIds.back();
        }
    } else {
        start.folderPath.resize(1);
        start.folderPathEntryIds.clear();
    }
    return start;
}

bool CFindWindow::Start()
{
    Stop();
    Join();
    m_pModel->Clear();
    QueryError error;
    std::optional<CQuery> query = CQuery::Parse(m_pQuery->text().toStdString(), error);
    if (!query) {
        m_strMessage = QString::fromStdString(error.message);
        m_pStatus->setText(m_strMessage);
        // Points at the place: the cursor goes there (offsets are bytes of UTF-8).
        const QByteArray utf8 = m_pQuery->text().toUtf8();
        m_pQuery->setCursorPosition(static_cast<int>(QString::fromUtf8(utf8.left(static_cast<int>(error.offset))).size()));
        m_pQuery->setFocus();
        return false;
    }
    IMAPISession* pSession = m_pDoc->IsConnected() ? m_pDoc->GetSession()->Obj() : nullptr;
    if (!pSession) {
        m_pStatus->setText(QStringLiteral("The workspace is not connected."));
        return false;
    }
    bool ok = true;
    const SearchStart start = StartFromCurrentNode(static_cast<Scope>(m_pScope->currentIndex()), ok);
    if (!ok) {
        m_pStatus->setText(QStringLiteral("Choose a folder in the tree first."));
        return false;
    }
    m_pQueryParsed = std::make_unique<CQuery>(std::move(*query));
    CSearch::Callbacks cb;
    cb.onResult = [this](const SearchResult& r) {
        {
            std::lock_guard guard(m_mutex);
            m_pending.push_back(r);
        }
        if (m_resultHook)
            m_resultHook();
    };
    cb.onTrace = [this](const std::string& line) {
        std::lock_guard guard(m_mutex);
        m_traceLines.push_back(line);
    };
    cb.onProgress = [this](std::uint64_t, const std::string& folder) {
        std::lock_guard guard(m_mutex);
        m_strFolder = folder;
    };
    cb.onError = [this](const std::string& where, HRESULT hr) {
        std::lock_guard guard(m_mutex);
        ++m_nErrors;
        char sz[16];
        std::snprintf(sz, sizeof sz, "%08X", static_cast<unsigned>(hr));
        m_traceLines.push_back("Find: " + where + " cannot be read: error " + sz);
    };
    m_nErrors = 0;
    m_nDrains = 0;
    m_strFolder.clear();
    m_pSearch = std::make_unique<CSearch>(pSession, *m_pQueryParsed, start, cb);
    pSession->AddRef();
    m_bFinished.store(false);
    m_thread = std::thread([this, pSession] {
        // The search yields to the window's thread, so that the window stays responsive.
        ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 10);
        const HRESULT hr = m_pSearch->Run();
        pSession->Release();
        {
            std::lock_guard guard(m_mutex);
            m_hrResult = hr;
        }
        m_bFinished.store(true);
    });
    m_pFind->setEnabled(false);
    m_pStop->setEnabled(true);
    m_pProgress->setRange(0, 0);  // busy
    m_pStatus->setText(QStringLiteral("Searching..."));
    m_clock.start();
    m_pTimer->start();
    return true;
}

void CFindWindow::Stop()
{
    if (m_pSearch && !m_bFinished.load())
        m_pSearch->Stop();
}

void CFindWindow::Join()
{
    if (m_thread.joinable())
        m_thread.join();
}

void CFindWindow::Drain()
{
    std::vector<SearchResult> results;
    std::vector<std::string> lines;
    std::string folder;
    HRESULT hr;
    int nErrors;
    const bool bDone = m_bFinished.load();
    {
        std::lock_guard guard(m_mutex);
        results.swap(m_pending);
        lines.swap(m_traceLines);
        folder = m_strFolder;
        hr = m_hrResult;
        nErrors = m_nErrors;
    }
    ++m_nDrains;
    for (const std::string& line : lines)
        TraceThroughSlot(m_pDoc->m_ppTraceWriter, (line + "\n").c_str());
    m_pModel->Append(std::move(results));
    if (!m_pSearch)
        return;
    const QString counts = QStringLiteral("%1 found, %2 messages examined, %3 s")
                               .arg(m_pModel->rowCount())
                               .arg(static_cast<qulonglong>(m_pSearch->Examined()))
                               .arg(static_cast<double>(m_clock.elapsed()) / 1000.0, 0, 'f', 1);
    const QString errors = nErrors ? QStringLiteral(", %1 could not be read").arg(nErrors) : QString();
    if (!bDone) {
        m_pStatus->setText(QStringLiteral("Searching %1: %2%3").arg(QString::fromStdString(folder), counts, errors));
        return;
    }
    Join();
    m_pTimer->stop();
    m_pFind->setEnabled(true);
    m_pStop->setEnabled(false);
    m_pProgress->setRange(0, 1);
    m_pProgress->setValue(1);
    const QString state = hr == MAPI_E_USER_CANCEL ? QStringLiteral("Stopped")
                          : FAILED(hr)            ? QStringLiteral("Failed (error %1)").arg(static_cast<unsigned>(hr), 8, 16, QLatin1Char('0'))
                                                  : QStringLiteral("Done");
    m_pStatus->setText(QStringLiteral("%1: %2%3").arg(state, counts, errors));
    emit finished();
}

bool CFindWindow::ChooseResult(int row)
{
    if (row < 0 || row >= m_pModel->rowCount())
        return false;
    const SearchResult& r = m_pModel->Result(row);
    // "Message Stores", then the store, each folder, the message: expanding each on the way.
    QTreeWidgetItem* pItem = m_pTree->topLevelItemCount() > 0 ? m_pTree->topLevelItem(0) : nullptr;
    const auto expand = [this](QTreeWidgetItem* p) {
        if (!p->isExpanded() || !p->childCount())
            m_pTree->ExpandNow(p);  // lists the children at once
    };
    const auto child = [&](QTreeWidgetItem* pParent, const std::vector<BYTE>& eid) -> QTreeWidgetItem* {
        if (!pParent)
            return nullptr;
        expand(pParent);
        for (int i = 0; i < pParent->childCount(); ++i)
            if (EntryIdOf(CLeftView::NodeOf(pParent->child(i))) == eid)
                return pParent->child(i);
        return nullptr;
    };
    pItem = child(pItem, r.storeEntryId);
    for (const std::vector<BYTE>& eid : r.folderPathEntryIds)
        pItem = child(pItem, eid);
    pItem = child(pItem, r.entryId);
    if (!pItem) {
        m_pStatus->setText(QStringLiteral("The tree does not show this message."));
        return false;
    }
    m_pTree->setCurrentItem(pItem);
    m_pTree->scrollToItem(pItem);
    m_pDoc->SelectNode(CLeftView::NodeOf(pItem));
    return true;
}
