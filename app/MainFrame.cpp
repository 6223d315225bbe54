#include "app/MainFrame.h"

#include "app/ChildFrame.h"
#include "app/LayoutSettings.h"
#include "list/DravikView.h"
#include "list/PropListRows.h"
#include "mapi/MAPICommandView.h"
#include "mapi/WaitCursor.h"
#include "res/Icons.h"
#include "tree/LeftView.h"
#include "workspace/CommandIds.h"
#include "workspace/DravikDoc.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QFontMetrics>
#include <QHeaderView>
#include <QLabel>
#include <QLayout>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenuBar>
#include <QMimeData>
#include <QPointer>
#include <QSplitter>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>

namespace {

struct ActionDef
{
    int nId;
    const char* pszText;
    const char* pszPrompt;
    std::vector<QKeySequence> keys;
};

// The edit commands of the trace pane while it is the active view.
class CTracePaneTarget : public CCmdTarget
{
public:
    CMAPICommandView* m_pPane = nullptr;

    bool OnUpdateCommand(int nId, CCmdUI& rUI) override
    {
        // The selection as the lines already traced leave it. The trace is
        // read-only: nothing to undo, cut or paste.
        m_pPane->Flush();
        switch (nId) {
        case ID_EDIT_UNDO:
        case ID_EDIT_CUT:
        case ID_EDIT_PASTE: rUI.bEnabled = false; return true;
        case ID_EDIT_COPY: rUI.bEnabled = m_pPane->HasSelection(); return true;
        default: return false;
        }
    }
    bool OnCommand(int nId) override
    {
        m_pPane->Flush();
        switch (nId) {
        case ID_EDIT_COPY: m_pPane->copy(); return true;
        default: return false;
        }
    }
};


// The local files among the URLs of a drag: store files to open. Anything
// else (remote URLs, text) is not taken.
QStringList DroppedFiles(const QMimeData* pData)
{
    QStringList files;
    if (pData == nullptr || !pData->hasUrls())
        return files;
    for (const QUrl& url : pData->urls()) {
        if (url.isLocalFile() && QFileInfo(url.toLocalFile()).isFile())
            files << url.toLocalFile();
    }
    return files;
}

} // namespace

CMainFrame::CMainFrame(CCmdTarget* pApp, QWidget* pParent)
    : QMainWindow(pParent), m_pApp(pApp), m_pPaneTarget(std::make_unique<CTracePaneTarget>())
{
    setObjectName(QStringLiteral("CMainFrame"));
    setWindowIcon(DravikAppIcon());
    setWindowTitle(QStringLiteral("Dravik"));
    m_pMdiArea = new QMdiArea(this);
    m_pMdiArea->setObjectName(QStringLiteral("mdiArea"));
    setCentralWidget(m_pMdiArea);
    connect(m_pMdiArea, &QMdiArea::subWindowActivated, this, &CMainFrame::OnActiveWindowChanged);

    CreateActions();
    BuildMenus();

    // Toolbar 128.
    m_wndToolBar = new QToolBar(QStringLiteral("Toolbar"), this);
    m_wndToolBar->setObjectName(QStringLiteral("toolbar128"));
    m_wndToolBar->setIconSize(QSize(16, 15));
    for (int nId : std::initializer_list<int>{ID_CONNECT_PROFILE, ID_DISCONNECT, 0, ID_OPEN_ADDRBOOK, 0, ID_FILE_PRINT,
                    ID_FILE_PRINT_PREVIEW, 0, ID_VIEW_ENTRYPROPS}) {
        if (nId == 0) {
            m_wndToolBar->addSeparator();
            continue;
        }
        // The picture buttons carry their own icon and tip, sharing the
        // command's action state through the router.
        m_wndToolBar->addAction(Action(nId));
    }
    addToolBar(Qt::TopToolBarArea, m_wndToolBar);

    // Status bar: message pane, then CAP, NUM, SCRL.
    statusBar()->setObjectName(QStringLiteral("statusBar"));
    for (const char* pszIndicator : {"CAP", "NUM", "SCRL"}) {
        auto* pLabel = new QLabel(QString::fromLatin1(pszIndicator), statusBar());
        pLabel->setObjectName(QString::fromLatin1(pszIndicator));
        pLabel->setEnabled(false);
        statusBar()->addPermanentWidget(pLabel);
    }
    statusBar()->showMessage(QStringLiteral("Ready"));

    // Enabling follows focus and activation; the idle refresh catches the
    // rest. The pane that had the focus last stays the active view while the
    // menu bar or a menu has the keyboard.
    connect(qApp, &QApplication::focusChanged, this, [this](QWidget*, QWidget* pNow) {
        if (pNow != nullptr && m_pMdiArea->isAncestorOf(pNow))
            m_pLastFocus = pNow;
        UpdateCommandUI();
    });
    // The title is the frame's own: a maximised workspace does not add its
    // title to it a second time.
    connect(this, &QWidget::windowTitleChanged, this, [this](const QString& strTitle) {
        if (strTitle != m_strTitle)
            setWindowTitle(m_strTitle);
    });
    auto* pIdle = new QTimer(this);
    pIdle->setInterval(250);
    connect(pIdle, &QTimer::timeout, this, &CMainFrame::UpdateCommandUI);
    pIdle->start();

    // Store files dropped anywhere on the window open in new workspaces.
    setAcceptDrops(true);

    SetRecentStores(CLayoutSettings::RecentStores());
    ShowMenu(128);
    UpdateCommandUI();
}

CMainFrame::~CMainFrame()
{
    // Workspaces go before the frame's own parts.
    disconnect(qApp, nullptr, this, nullptr);
    for (QMdiSubWindow* pWindow : m_pMdiArea->subWindowList())
        delete pWindow;
}

void CMainFrame::CreateActions()
{
    const ActionDef defs[] = {
        {ID_FILE_NEW, "&New Workspace", "Open a new, empty workspace\nNew Workspace", {QKeySequence(Qt::CTRL | Qt::Key_N)}},
        {ID_FILE_OPEN, "&Open...", "Open an existing document\nOpen", {QKeySequence(Qt::CTRL | Qt::Key_O)}},
        {ID_FILE_SAVE, "&Save", "Save the active document\nSave", {QKeySequence(Qt::CTRL | Qt::Key_S)}},
        {ID_APP_EXIT, "E&xit", "Quit the application\nExit", {}},
        {ID_VIEW_TOOLBAR, "&Toolbar", "Show or hide the toolbar\nToggle ToolBar", {}},
        {ID_VIEW_STATUS_BAR, "&Status Bar", "Show or hide the status bar\nToggle StatusBar", {}},
        {ID_MAIL_CONTROL_PANEL, "&Mail Control Panel", "Create, change and delete mail profiles\nMail Control Panel", {}},
        {ID_APP_ABOUT, "&About Dravik...", "Display program information, version number and licence\nAbout", {}},
        {ID_CONNECT_PROFILE, "&Profile...", "Connect to a MAPI profile\nConnect to Profile", {}},
        {ID_CONNECT_FILE, "&File...", "Connect to a store file (.pst or .ost)\nConnect to File", {}},
        {ID_CONNECT_MAILBOX, "&Exchange Mailbox...", "Connect to an Exchange mailbox\nConnect to Mailbox", {}},
        {ID_DISCONNECT, "&Disconnect", "Disconnect from the MAPI session\nDisconnect", {}},
        {ID_OPEN_ADDRBOOK, "Open &Address Book", "Open the address book\nOpen Address Book", {}},
        {ID_FILE_PRINT, "&Print...", "Print the property list\nPrint", {QKeySequence(Qt::CTRL | Qt::Key_P)}},
        {ID_FILE_PRINT_PREVIEW, "Print Pre&view", "Display the printout of the property list\nPrint Preview", {}},
        {ID_VIEW_ROWPROPS, "&Row Properties", "Show the properties of the table row\nRow Properties", {}},
        {ID_VIEW_ENTRYPROPS, "&Entry Properties", "Show the properties of the opened object\nEntry Properties", {}},
        {ID_STOP_LISTING, "St&op Listing", "End the listing in progress, keeping what was listed\nStop", {}},
        {ID_TRACE_CLEAR, "&Clear Trace", "Remove every line from the trace pane\nClear Trace", {}},
        {ID_TRACE_SAVE, "Save Trace &As...", "Write the trace pane's lines to a file\nSave Trace As", {}},
        {ID_SAVE_ATTACHMENT, "&Save Attachment...", "Save the selected attachment to a file\nSave Attachment", {}},
        {ID_SHOW_BODY, "Show &Body...", "Show the message's body as it reads, with its headers\nShow Body", {}},
        {ID_SAVE_MESSAGE_AS, "Save &Message As...", "Save the current message as an Outlook message file (.msg) or an Internet message (.eml)\nSave Message As", {}},
        {ID_EXPORT_FOLDER, "&Export Folder...", "Write the current folder's messages as Internet messages (.eml), mbox or Outlook message files (.msg)\nExport Folder", {}},
        {ID_PROPERTY_OPEN, "&Open...", "View the selected property\nOpen Property", {}},
        {ID_PROPERTY_SAVE, "&Save...", "Save the selected property's value to a file\nSave Property", {}},
        {ID_COPY_VALUE, "Copy &Value", "Copy the selected property's whole value\nCopy Value",
         {QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_C)}},
        {ID_WINDOW_CASCADE, "&Cascade", "Arrange the workspaces so that they overlap\nCascade", {}},
        {ID_WINDOW_TILE_HORZ, "&Tile", "Arrange the workspaces side by side\nTile", {}},
        {ID_EDIT_UNDO, "&Undo", "Undo the last action\nUndo",
         {QKeySequence(Qt::CTRL | Qt::Key_Z), QKeySequence(Qt::ALT | Qt::Key_Backspace)}},
        {ID_EDIT_CUT, "Cu&t", "Cut the selection and put it on the Clipboard\nCut",
         {QKeySequence(Qt::CTRL | Qt::Key_X), QKeySequence(Qt::SHIFT | Qt::Key_Delete)}},
        {ID_EDIT_COPY, "&Copy", "Copy the selection and put it on the Clipboard\nCopy",
         {QKeySequence(Qt::CTRL | Qt::Key_C), QKeySequence(Qt::CTRL | Qt::Key_Insert)}},
        {ID_EDIT_PASTE, "&Paste", "Insert Clipboard contents\nPaste",
         {QKeySequence(Qt::CTRL | Qt::Key_V), QKeySequence(Qt::SHIFT | Qt::Key_Insert)}},
        {ID_EDIT_FIND, "&Find...", "Find messages by a query over any property\nFind",
         {QKeySequence(Qt::CTRL | Qt::Key_F)}},
        {ID_NEXT_PANE, "Next Pane", "Switch to the next window pane\nNext Pane", {QKeySequence(Qt::Key_F6)}},
        {ID_PREV_PANE, "Previous Pane", "Switch back to the previous window pane\nPrevious Pane",
         {QKeySequence(Qt::SHIFT | Qt::Key_F6)}},
    };
    for (const ActionDef& def : defs) {
        auto* pAction = new QAction(QString::fromLatin1(def.pszText), this);
        pAction->setData(def.nId);
        pAction->setObjectName(QStringLiteral("ID_%1").arg(def.nId));
        // The prompt's first line goes to the status bar, the second is the tip.
        const QStringList prompt = QString::fromLatin1(def.pszPrompt).split(QLatin1Char('\n'));
        pAction->setStatusTip(prompt.value(0));
        if (prompt.size() > 1)
            pAction->setToolTip(prompt.value(1));
        if (!def.keys.empty()) {
            pAction->setShortcuts(QList<QKeySequence>(def.keys.begin(), def.keys.end()));
            pAction->setShortcutContext(Qt::WindowShortcut);
            addAction(pAction); // accelerators work without a menu showing them
        }
        const QIcon icon = DravikCommandIcon(def.nId);
        if (!icon.isNull())
            pAction->setIcon(icon);
        connect(pAction, &QAction::triggered, this, [this, nId = def.nId]() { RouteCommand(nId); });
        m_actions[def.nId] = pAction;
    }
    // The recent store files: one action per place in the list, shown while
    // the list has an entry for it.
    for (int nId = ID_FILE_MRU_FILE1; nId <= ID_FILE_MRU_LAST; ++nId) {
        auto* pAction = new QAction(this);
        pAction->setData(nId);
        pAction->setObjectName(QStringLiteral("ID_%1").arg(nId));
        pAction->setStatusTip(QStringLiteral("Open this document"));
        pAction->setVisible(false);
        connect(pAction, &QAction::triggered, this, [this, nId]() { RouteCommand(nId); });
        m_actions[nId] = pAction;
    }
    for (int nId : {ID_VIEW_TOOLBAR, ID_VIEW_STATUS_BAR, ID_VIEW_ROWPROPS, ID_VIEW_ENTRYPROPS})
        Action(nId)->setCheckable(true);
}

QAction* CMainFrame::Action(int nId) const
{
    const auto it = m_actions.find(nId);
    return it == m_actions.end() ? nullptr : it->second;
}

void CMainFrame::AddRecentStoreActions(QMenu* pFile)
{
    // Hidden entries leave no gap: the menu folds the separators around them.
    for (int nId = ID_FILE_MRU_FILE1; nId <= ID_FILE_MRU_LAST; ++nId)
        pFile->addAction(Action(nId));
    pFile->addSeparator();
}

void CMainFrame::BuildMenus()
{
    // Every menu is built here, from the one action of each command; a
    // command is added to a menu by adding its id to a list below.
    const auto Menu = [this](const char* pszTitle, std::initializer_list<int> ids) {
        auto* pMenu = new QMenu(QString::fromLatin1(pszTitle), this);
        for (int nId : ids) {
            if (nId == 0)
                pMenu->addSeparator();
            else
                pMenu->addAction(Action(nId));
        }
        return pMenu;
    };

    // Menu 128: no workspace open.
    QMenu* pFile = Menu("&File", {ID_FILE_NEW, 0});
    AddRecentStoreActions(pFile);
    pFile->addAction(Action(ID_APP_EXIT));
    m_menu128 = {pFile, Menu("&View", {ID_VIEW_TOOLBAR, ID_VIEW_STATUS_BAR}), Menu("&Tools", {ID_MAIL_CONTROL_PANEL}),
                 Menu("&Help", {ID_APP_ABOUT})};

    // Menu 129: a workspace active.
    pFile = Menu("&File", {ID_FILE_NEW, 0});
    QMenu* pConnect = pFile->addMenu(QStringLiteral("&Connect"));
    for (int nId : std::initializer_list<int>{ID_CONNECT_PROFILE, ID_CONNECT_FILE, ID_CONNECT_MAILBOX})
        pConnect->addAction(Action(nId));
    for (int nId : std::initializer_list<int>{ID_DISCONNECT, 0, ID_SAVE_MESSAGE_AS, ID_EXPORT_FOLDER, 0, ID_FILE_PRINT, ID_FILE_PRINT_PREVIEW, 0}) {
        if (nId == 0)
            pFile->addSeparator();
        else
            pFile->addAction(Action(nId));
    }
    AddRecentStoreActions(pFile);
    pFile->addAction(Action(ID_APP_EXIT));
    QMenu* pView = Menu("&View", {ID_VIEW_ROWPROPS, ID_VIEW_ENTRYPROPS, 0, ID_STOP_LISTING, 0, ID_TRACE_CLEAR,
                                  ID_TRACE_SAVE, 0, ID_VIEW_TOOLBAR, ID_VIEW_STATUS_BAR});
    QMenu* pItem = Menu("&Item", {ID_SAVE_ATTACHMENT, ID_SAVE_MESSAGE_AS, ID_EXPORT_FOLDER, ID_SHOW_BODY});
    QMenu* pProperty = Menu("&Property", {ID_PROPERTY_OPEN, ID_PROPERTY_SAVE, 0, ID_EDIT_COPY, ID_COPY_VALUE});
    m_pWindowMenu = Menu("&Window", {ID_WINDOW_CASCADE, ID_WINDOW_TILE_HORZ});
    // The list of workspaces follows the separator, made as the menu opens.
    m_pWindowMenu->addSeparator();
    connect(m_pWindowMenu, &QMenu::aboutToShow, this, &CMainFrame::FillWindowList);
    m_pItemMenu = pItem;
    m_pPropertyMenu = pProperty;
    m_menu129 = {pFile, pView, pItem, pProperty, Menu("&Tools", {ID_EDIT_FIND, ID_MAIL_CONTROL_PANEL}), m_pWindowMenu,
                 Menu("&Help", {ID_APP_ABOUT})};

    // Opening a menu asks the router again, from the pane that was active
    // before the menu bar took the keyboard.
    for (QMenu* pMenu : m_menu129)
        connect(pMenu, &QMenu::aboutToShow, this, &CMainFrame::UpdateCommandUI);
    for (QMenu* pMenu : m_menu128)
        connect(pMenu, &QMenu::aboutToShow, this, &CMainFrame::UpdateCommandUI);
}

void CMainFrame::FillWindowList()
{
    // Everything after the separator is the previous list.
    const QList<QAction*> actions = m_pWindowMenu->actions();
    bool bAfter = false;
    for (QAction* pAction : actions) {
        if (bAfter) {
            m_pWindowMenu->removeAction(pAction);
            delete pAction;
        } else if (pAction->isSeparator()) {
            bAfter = true;
        }
    }
    int n = 0;
    QMdiSubWindow* pActive = m_pMdiArea->activeSubWindow();
    for (QMdiSubWindow* pWindow : m_pMdiArea->subWindowList(QMdiArea::CreationOrder)) {
        ++n;
        QString strTitle = pWindow->windowTitle();
        strTitle.replace(QLatin1Char('&'), QStringLiteral("&&"));
        QAction* pAction = m_pWindowMenu->addAction(n < 10 ? QStringLiteral("&%1 %2").arg(n).arg(strTitle)
                                                            : QStringLiteral("%1 %2").arg(n).arg(strTitle));
        pAction->setCheckable(true);
        pAction->setChecked(pWindow == pActive);
        connect(pAction, &QAction::triggered, this, [this, pWindow = QPointer<QMdiSubWindow>(pWindow)]() {
            if (pWindow)
                m_pMdiArea->setActiveSubWindow(pWindow);
        });
    }
}

void CMainFrame::ShowMenu(int nMenuId)
{
    if (nMenuId == m_nMenuId)
        return;
    m_nMenuId = nMenuId;
    menuBar()->clear();
    for (QMenu* pMenu : nMenuId == 128 ? m_menu128 : m_menu129)
        menuBar()->addMenu(pMenu);
}

CChildFrame* CMainFrame::AddWorkspace(std::unique_ptr<CDravikDoc> pDoc)
{
    CDravikDoc* pRawDoc = pDoc.get();
    auto* pFrame = new CChildFrame(std::move(pDoc));
    // A right click in the tree shows the workspace menu's "Item" popup.
    pFrame->LeftView()->SetItemMenu(m_pItemMenu);
    QMdiSubWindow* pWindow = m_pMdiArea->addSubWindow(pFrame);
    pWindow->setAttribute(Qt::WA_DeleteOnClose);
    pWindow->setWindowIcon(DravikAppIcon());
    pWindow->setWindowTitle(pRawDoc->GetTitle());
    connect(pRawDoc, &CDravikDoc::storeFileConnected, this, [this](const QString& strPath) {
        SetRecentStores(CLayoutSettings::AddRecentStore(strPath));
    });
    connect(pRawDoc, &CDravikDoc::titleChanged, pWindow, [this, pWindow](const QString& strTitle) {
        pWindow->setWindowTitle(strTitle);
        UpdateTitle();
    });
    connect(pWindow, &QObject::destroyed, this, [this]() {
        QTimer::singleShot(0, this, [this]() { OnActiveWindowChanged(m_pMdiArea->activeSubWindow()); });
    });
    // Maximised in the MDI area, or at the size the user left the last one
    // with, within the area and a step down and right of the one before, so
    // that two never lie exactly on top of each other; with the panes and
    // columns the user left the last workspace with.
    const CLayoutSettings::CWorkspaceWindow saved = CLayoutSettings::WorkspaceWindow();
    QSize size = saved.size;
    const QSize area = m_pMdiArea->viewport()->size();
    if (area.width() > 100 && area.height() > 80)
        size = size.boundedTo(area);
    const int nStep = QFontMetrics(font()).height() + 6;
    int nOthers = static_cast<int>(m_pMdiArea->subWindowList().size()) - 1;
    if (area.width() > 100 && area.height() > 80) {
        // Steps while at least half the area is left; then from the top again.
        const int nSteps = std::max(1, std::min(area.width(), area.height()) / 2 / nStep);
        nOthers %= nSteps;
        size = size.boundedTo(area - QSize(nStep * nOthers, nStep * nOthers));
    }
    const QPoint topLeft(nStep * nOthers, nStep * nOthers);
    pWindow->setGeometry(QRect(topLeft, size));
    pFrame->installEventFilter(this);
    // The trace pane takes dropped text as any editor does; a dropped store
    // file still opens, as anywhere else on the window.
    pFrame->TraceView()->installEventFilter(this);
    pFrame->TraceView()->viewport()->installEventFilter(this);
    // A right click on the property list shows the "Property" menu, whose
    // actions are the menu bar's.
    pFrame->ListView()->SetPropertyMenu(m_pPropertyMenu);
    if (saved.bMaximized)
        pWindow->showMaximized();
    else
        pWindow->show();
    // The panes at the window's final size, so that the sizes kept are the
    // sizes shown.
    if (QLayout* pLayout = pWindow->layout())
        pLayout->activate();
    if (QLayout* pLayout = pFrame->layout())
        pLayout->activate();
    CLayoutSettings::RestoreSplitters(*pFrame->InnerSplitter(), *pFrame->OuterSplitter());
    CLayoutSettings::RestoreColumns(*pFrame->ListView()->header(), kPropColumns);
    m_pMdiArea->setActiveSubWindow(pWindow);
    OnActiveWindowChanged(pWindow);
    return pFrame;
}

CChildFrame* CMainFrame::ActiveChild() const
{
    QMdiSubWindow* pWindow = m_pMdiArea->activeSubWindow();
    if (pWindow == nullptr) {
        // Without a focused window (offscreen, minimised) the most recent one.
        const QList<QMdiSubWindow*> windows = m_pMdiArea->subWindowList(QMdiArea::ActivationHistoryOrder);
        if (windows.isEmpty())
            return nullptr;
        pWindow = windows.last();
    }
    return qobject_cast<CChildFrame*>(pWindow->widget());
}

std::vector<CChildFrame*> CMainFrame::Workspaces() const
{
    std::vector<CChildFrame*> frames;
    for (QMdiSubWindow* pWindow : m_pMdiArea->subWindowList(QMdiArea::CreationOrder)) {
        if (auto* pFrame = qobject_cast<CChildFrame*>(pWindow->widget()))
            frames.push_back(pFrame);
    }
    return frames;
}

void CMainFrame::OnActiveWindowChanged(QMdiSubWindow*)
{
    ShowMenu(ActiveChild() != nullptr ? 129 : 128);
    UpdateTitle();
    UpdateCommandUI();
}

void CMainFrame::UpdateTitle()
{
    CChildFrame* pChild = ActiveChild();
    // The store (or workspace) once, after the program's name; a workspace
    // named after the program (disconnected) adds nothing.
    const QString strDoc = pChild != nullptr ? pChild->GetDocument()->GetTitle() : QString();
    m_strTitle = strDoc.isEmpty() || strDoc == QStringLiteral("Dravik") ? QStringLiteral("Dravik")
                                                                         : QStringLiteral("Dravik - ") + strDoc;
    setWindowTitle(m_strTitle);
}

CCmdTarget* CMainFrame::ActiveViewTarget() const
{
    CChildFrame* pChild = ActiveChild();
    if (pChild == nullptr)
        return nullptr;
    QWidget* pFocus = QApplication::focusWidget();
    // The menu bar (Alt+F), a menu or another window has the keyboard: the
    // workspace's active view stays the pane that had it.
    if ((pFocus == nullptr || !pChild->isAncestorOf(pFocus)) && m_pLastFocus && pChild->isAncestorOf(m_pLastFocus))
        pFocus = m_pLastFocus;
    if (pFocus != nullptr && pFocus == pChild->LeftView())
        return pChild->LeftView();
    if (pFocus != nullptr && pFocus == pChild->TraceView()) {
        static_cast<CTracePaneTarget*>(m_pPaneTarget.get())->m_pPane = pChild->TraceView();
        return m_pPaneTarget.get();
    }
    // The property list while it (or its header) has the focus.
    CDravikView* pList = pChild->ListView();
    if (pFocus != nullptr && pList != nullptr && (pFocus == pList || pList->isAncestorOf(pFocus)))
        return pList;
    return nullptr;
}

std::vector<CCmdTarget*> CMainFrame::Route() const
{
    std::vector<CCmdTarget*> route;
    if (CCmdTarget* pView = ActiveViewTarget())
        route.push_back(pView);
    if (CChildFrame* pChild = ActiveChild()) {
        route.push_back(pChild->GetDocument());
        route.push_back(pChild);
    }
    route.push_back(const_cast<CMainFrame*>(this));
    if (m_pApp != nullptr)
        route.push_back(m_pApp);
    return route;
}

bool CMainFrame::RouteCommand(int nId)
{
    for (CCmdTarget* pTarget : Route()) {
        CCmdUI ui;
        if (pTarget->OnUpdateCommand(nId, ui)) {
            const bool bDone = ui.bEnabled && pTarget->OnCommand(nId);
            UpdateCommandUI();
            return bDone;
        }
    }
    return false;
}

void CMainFrame::UpdateCommandUI()
{
    const std::vector<CCmdTarget*> route = Route();
    for (auto& [nId, pAction] : m_actions) {
        CCmdUI ui;
        bool bHandled = false;
        for (CCmdTarget* pTarget : route) {
            if (pTarget->OnUpdateCommand(nId, ui)) {
                bHandled = true;
                break;
            }
        }
        pAction->setEnabled(bHandled && ui.bEnabled);
        if (pAction->isCheckable())
            pAction->setChecked(bHandled && ui.bChecked);
    }
}

bool CMainFrame::OnUpdateCommand(int nId, CCmdUI& rUI)
{
    switch (nId) {
    case ID_WINDOW_CASCADE:
    case ID_WINDOW_TILE_HORZ:
        rUI.bEnabled = !m_pMdiArea->subWindowList().isEmpty();
        return true;
    case ID_APP_EXIT:
        rUI.bEnabled = true;
        return true;
    case ID_VIEW_TOOLBAR:
        rUI.bEnabled = true;
        rUI.bChecked = m_wndToolBar != nullptr && !m_wndToolBar->isHidden();
        return true;
    case ID_VIEW_STATUS_BAR:
        rUI.bEnabled = true;
        rUI.bChecked = !statusBar()->isHidden();
        return true;
    default:
        return false;
    }
}

bool CMainFrame::OnCommand(int nId)
{
    switch (nId) {
    case ID_WINDOW_CASCADE:
        m_pMdiArea->cascadeSubWindows();
        return true;
    case ID_WINDOW_TILE_HORZ:
        m_pMdiArea->tileSubWindows();
        return true;
    case ID_APP_EXIT:
        close();
        return true;
    case ID_VIEW_TOOLBAR:
        m_wndToolBar->setVisible(m_wndToolBar->isHidden());
        return true;
    case ID_VIEW_STATUS_BAR:
        statusBar()->setVisible(statusBar()->isHidden());
        return true;
    default:
        return false;
    }
}

void CMainFrame::closeEvent(QCloseEvent* pEvent)
{
    // The window system may ask to close while a listing lets the window
    // repaint; the workspaces it uses close once it has returned.
    if (CWaitCursor::Busy()) {
        pEvent->ignore();
        QTimer::singleShot(0, this, &QWidget::close);
        return;
    }
    SaveLayout();
    // Every workspace closes first and is destroyed at once, so each logs off
    // and deletes its temporary profile before the program goes on to end.
    m_bClosingAll = true;
    for (QMdiSubWindow* pWindow : m_pMdiArea->subWindowList()) {
        if (!pWindow->close()) {
            m_bClosingAll = false;
            pEvent->ignore();
            return;
        }
        delete pWindow;
    }
    m_bClosingAll = false;
    pEvent->accept();
}

void CMainFrame::dragEnterEvent(QDragEnterEvent* pEvent)
{
    if (!DroppedFiles(pEvent->mimeData()).isEmpty())
        pEvent->acceptProposedAction();
}

void CMainFrame::dropEvent(QDropEvent* pEvent)
{
    const QStringList files = DroppedFiles(pEvent->mimeData());
    if (files.isEmpty())
        return;
    pEvent->acceptProposedAction();
    for (const QString& strPath : files)
        emit openStoreRequested(strPath);
}

void CMainFrame::SetRecentStores(const QStringList& stores)
{
    m_recentStores = stores;
    for (int i = 0; i < CLayoutSettings::kMaxRecentStores; ++i) {
        QAction* pAction = Action(ID_FILE_MRU_FILE1 + i);
        const bool bUsed = i < stores.size();
        pAction->setVisible(bUsed);
        if (!bUsed)
            continue;
        // "&1 /path/store.pst": the number is the mnemonic; an ampersand in
        // the path is doubled so that it shows as itself.
        QString strPath = QDir::toNativeSeparators(stores[i]);
        strPath.replace(QLatin1Char('&'), QStringLiteral("&&"));
        pAction->setText(QStringLiteral("&%1 %2").arg(i + 1).arg(strPath));
    }
}

void CMainFrame::SaveWorkspaceLayout(CChildFrame* pChild)
{
    if (pChild == nullptr)
        return;
    if (auto* pWindow = qobject_cast<QMdiSubWindow*>(pChild->parentWidget())) {
        CLayoutSettings::CWorkspaceWindow window;
        window.bMaximized = pWindow->isMaximized();
        window.size = window.bMaximized ? QSize() : pWindow->size();
        CLayoutSettings::SaveWorkspaceWindow(window);
    }
    CLayoutSettings::SaveSplitters(*pChild->InnerSplitter(), *pChild->OuterSplitter());
    // The widths kept are those of the property columns, not of the
    // named-property list's.
    if (!pChild->ListView()->Model()->NamedColumns())
        CLayoutSettings::SaveColumns(*pChild->ListView()->header(), kPropColumns);
}

void CMainFrame::SaveLayout()
{
    CLayoutSettings::SaveMainWindow(*this);
    SaveWorkspaceLayout(ActiveChild());
}

bool CMainFrame::eventFilter(QObject* pObj, QEvent* pEvent)
{
    // A workspace window the user closes leaves its panes and columns for
    // the next one.
    if (pEvent->type() == QEvent::Close && !m_bClosingAll)
        SaveWorkspaceLayout(qobject_cast<CChildFrame*>(pObj));
    switch (pEvent->type()) {
    case QEvent::DragEnter:
    case QEvent::DragMove:
        if (!DroppedFiles(static_cast<QDropEvent*>(pEvent)->mimeData()).isEmpty()) {
            static_cast<QDropEvent*>(pEvent)->acceptProposedAction();
            return true;
        }
        break;
    case QEvent::Drop:
        if (!DroppedFiles(static_cast<QDropEvent*>(pEvent)->mimeData()).isEmpty()) {
            dropEvent(static_cast<QDropEvent*>(pEvent));
            return true;
        }
        break;
    default:
        break;
    }
    return QMainWindow::eventFilter(pObj, pEvent);
}
