// A workspace window: tree and property list side by side above the trace
// pane, and its own progress status bar. Owns its document.
#pragma once

#include "workspace/CmdTarget.h"

#include <QWidget>

#include <memory>

class CDravikDoc;
class CLeftView;
class CDravikView;
class CFindWindow;
class CMAPICommandView;
class CProgStatusBar;
class QSplitter;

class CChildFrame : public QWidget, public CCmdTarget
{
    Q_OBJECT
public:
    // Takes ownership of the document and builds the panes.
    explicit CChildFrame(std::unique_ptr<CDravikDoc> pDoc, QWidget* pParent = nullptr);
    ~CChildFrame() override;

    CDravikDoc* GetDocument() const { return m_pDoc.get(); }
    CLeftView* LeftView() const { return m_pLeftView; }
    CDravikView* ListView() const { return m_pListView; }
    CMAPICommandView* TraceView() const { return m_pTraceView; }
    CProgStatusBar* StatusBar() const { return m_wndStatusBar; }
    QSplitter* InnerSplitter() const { return m_wndInnerSplitter; }
    QSplitter* OuterSplitter() const { return m_wndOuterSplitter; }

    // The workspace's Find window, made on the first Find command; shown and raised.
    CFindWindow* ShowFindWindow();
    CFindWindow* FindWindow() const { return m_pFindWindow; }

    // The progress message of the workspace: wParam is the percentage.
    long OnProgress(unsigned long wParam, long lParam);

    // Moves the focus to the next (or previous) pane.
    void ActivateNextPane(bool bForward);

    bool OnUpdateCommand(int nId, CCmdUI& rUI) override;
    bool OnCommand(int nId) override;

    // "Save Trace As...": the trace pane's lines to a file the user names.
    void SaveTrace();

private:
    std::unique_ptr<CDravikDoc> m_pDoc;
    CProgStatusBar* m_wndStatusBar = nullptr;
    QSplitter* m_wndInnerSplitter = nullptr;
    QSplitter* m_wndOuterSplitter = nullptr;
    CLeftView* m_pLeftView = nullptr;
    CDravikView* m_pListView = nullptr;
    CMAPICommandView* m_pTraceView = nullptr;
    CFindWindow* m_pFindWindow = nullptr;
};
