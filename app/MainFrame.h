// The main window: the workspaces' MDI area, menus 128 and 129, toolbar 128,
// the accelerators, the status bar, and the command router that runs and
// enables every command.
#pragma once

#include "workspace/CmdTarget.h"

#include <QMainWindow>
#include <QPointer>
#include <QStringList>

#include <map>
#include <memory>
#include <vector>

class CChildFrame;
class CDravikDoc;
class QAction;
class QLabel;
class QMdiArea;
class QMdiSubWindow;
class QMenu;
class QToolBar;

class CMainFrame : public QMainWindow, public CCmdTarget
{
    Q_OBJECT
public:
    // pApp is the last target on the command route (the application).
    explicit CMainFrame(CCmdTarget* pApp, QWidget* pParent = nullptr);
    ~CMainFrame() override;

    // Opens a new workspace window for the document.
    CChildFrame* AddWorkspace(std::unique_ptr<CDravikDoc> pDoc);

    CChildFrame* ActiveChild() const;
    std::vector<CChildFrame*> Workspaces() const;
    QMdiArea* MdiArea() const { return m_pMdiArea; }
    QToolBar* ToolBar() const { return m_wndToolBar; }

    // The one action of a command id (menus, toolbar and keys share it).
    QAction* Action(int nId) const;
    // The menu bar shows menu 128 without a workspace, 129 with one active.
    int CurrentMenuId() const { return m_nMenuId; }

    // Routes a command: the active view, its document, its workspace window,
    // this frame, the application. FALSE when no one handles it.
    bool RouteCommand(int nId);
    // Sets enabled and checked state of every action from the route.
    void UpdateCommandUI();

    // The store files opened last, most recent first, as the File menu
    // lists them.
    const QStringList& RecentStores() const { return m_recentStores; }
    // Keeps the main window's layout and the active workspace's panes and
    // columns for the next start.
    void SaveLayout();

    bool OnUpdateCommand(int nId, CCmdUI& rUI) override;
    bool OnCommand(int nId) override;

signals:
    // A store file the user dropped on the window, to open in a new workspace.
    void openStoreRequested(const QString& strPath);

protected:
    void closeEvent(QCloseEvent* pEvent) override;
    void dragEnterEvent(QDragEnterEvent* pEvent) override;
    void dropEvent(QDropEvent* pEvent) override;
    bool eventFilter(QObject* pObj, QEvent* pEvent) override;

private:
    void CreateActions();
    void BuildMenus();
    void AddRecentStoreActions(QMenu* pFile);
    void ShowMenu(int nMenuId);
    // The Window menu's list of workspaces, made anew as it opens.
    void FillWindowList();
    void OnActiveWindowChanged(QMdiSubWindow* pWindow);
    void UpdateTitle();
    void SetRecentStores(const QStringList& stores);
    void SaveWorkspaceLayout(CChildFrame* pChild);
    std::vector<CCmdTarget*> Route() const;
    CCmdTarget* ActiveViewTarget() const;

    CCmdTarget* m_pApp;
    QMdiArea* m_pMdiArea = nullptr;
    QToolBar* m_wndToolBar = nullptr;
    std::map<int, QAction*> m_actions;
    std::vector<QMenu*> m_menu128;
    std::vector<QMenu*> m_menu129;
    QMenu* m_pItemMenu = nullptr;
    QMenu* m_pPropertyMenu = nullptr;
    QMenu* m_pWindowMenu = nullptr;
    int m_nMenuId = 0;
    std::unique_ptr<CCmdTarget> m_pPaneTarget;
    QStringList m_recentStores;
    // The workspace pane that had the keyboard last.
    QPointer<QWidget> m_pLastFocus;
    // The title the frame shows.
    QString m_strTitle = QStringLiteral("Dravik");
    // Set while the main window closes every workspace: the active one's
    // layout is kept, not that of whichever closes last.
    bool m_bClosingAll = false;
};
