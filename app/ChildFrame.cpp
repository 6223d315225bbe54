#include "app/ChildFrame.h"

#include "app/FindWindow.h"
#include "app/ProgStatusBar.h"
#include "list/DravikView.h"
#include "mapi/MAPICommandView.h"
#include "mapi/TraceWriter.h"
#include "tree/LeftView.h"
#include "workspace/CommandIds.h"
#include "workspace/DravikDoc.h"

#include "mapi/MsgBox.h"
#include "mapi32/mapicode.h"
#include "mapi/Prompts.h"
#include "mapi/WaitCursor.h"

#include <QSaveFile>
#include <QToolButton>
#include <QLineEdit>
#include <QSplitter>
#include <QVBoxLayout>

CChildFrame::CChildFrame(std::unique_ptr<CDravikDoc> pDoc, QWidget* pParent)
    : QWidget(pParent), m_pDoc(std::move(pDoc))
{
    setObjectName(QStringLiteral("CChildFrame"));
    auto* pLayout = new QVBoxLayout(this);
    pLayout->setContentsMargins(0, 0, 0, 0);
    pLayout->setSpacing(0);

    m_wndOuterSplitter = new QSplitter(Qt::Vertical, this);
    m_wndOuterSplitter->setObjectName(QStringLiteral("outerSplitter"));
    m_wndOuterSplitter->setChildrenCollapsible(true);

    m_wndInnerSplitter = new QSplitter(Qt::Horizontal, m_wndOuterSplitter);
    m_wndInnerSplitter->setObjectName(QStringLiteral("innerSplitter"));

    m_pTraceView = new CMAPICommandView(m_wndOuterSplitter);
    // The workspace's trace slot with a writer bound to the pane; the
    // document owns both from here on.
    m_pDoc->m_ppTraceWriter = new CMAPITraceSlot(new CTraceWriter(m_pTraceView));

    m_pLeftView = new CLeftView(m_pDoc.get(), m_wndInnerSplitter);
    m_pListView = new CDravikView(m_pDoc.get(), m_wndInnerSplitter);
    // The tree's progress reaches the bar synchronously, while it lists.
    connect(m_pLeftView, &CLeftView::progress, this, [this](int nPercent) {
        OnProgress(static_cast<unsigned long>(nPercent), 0);
    });
    m_pDoc->AddView(m_pLeftView);
    m_pDoc->AddView(m_pListView);

    m_wndOuterSplitter->addWidget(m_wndInnerSplitter);
    m_wndOuterSplitter->addWidget(m_pTraceView);
    m_wndOuterSplitter->setSizes({225, 75});
    m_wndInnerSplitter->setSizes({200, 500});
    m_wndInnerSplitter->setStretchFactor(1, 1);
    m_wndOuterSplitter->setStretchFactor(0, 1);
    pLayout->addWidget(m_wndOuterSplitter, 1);

    m_wndStatusBar = new CProgStatusBar(this);
    m_wndStatusBar->SetProgressPane(1);
    pLayout->addWidget(m_wndStatusBar);

    // What a listing is doing, and a button that ends it (as Escape does).
    auto* pStop = new QToolButton(m_wndStatusBar);
    pStop->setObjectName(QStringLiteral("stopListing"));
    pStop->setText(QStringLiteral("Stop"));
    pStop->setToolTip(QStringLiteral("End the listing, keeping what was listed (Escape)"));
    pStop->hide();
    m_wndStatusBar->addPermanentWidget(pStop);
    connect(pStop, &QToolButton::clicked, m_pLeftView, &CLeftView::StopListing);
    connect(m_pLeftView, &CLeftView::listingStatus, this, [this, pStop](const QString& strText) {
        m_wndStatusBar->SetMessageText(strText.isEmpty() ? QStringLiteral("Ready") : strText);
        pStop->setVisible(!strText.isEmpty());
    });
}

CChildFrame::~CChildFrame()
{
    // The document goes first, while its views still exist: closing it logs
    // its session off and updates them. The window around this frame is
    // going, so the document's title no longer reaches it.
    QObject::disconnect(m_pDoc.get(), nullptr, nullptr, nullptr);
    delete m_pFindWindow;  // its search ends before the session goes
    m_pFindWindow = nullptr;
    m_pDoc.reset();
}

long CChildFrame::OnProgress(unsigned long wParam, long)
{
    m_wndStatusBar->SetProgress(static_cast<int>(wParam));
    return 0;
}

void CChildFrame::ActivateNextPane(bool bForward)
{
    QWidget* panes[] = {m_pLeftView, m_pListView, m_pTraceView};
    int nCurrent = -1;
    for (int i = 0; i < 3; ++i) {
        if (panes[i]->hasFocus() || panes[i]->isAncestorOf(focusWidget()))
            nCurrent = i;
    }
    const int nNext = nCurrent < 0 ? 0 : (nCurrent + (bForward ? 1 : 2)) % 3;
    panes[nNext]->setFocus(Qt::OtherFocusReason);
}

CFindWindow* CChildFrame::ShowFindWindow()
{
    if (!m_pFindWindow)
        m_pFindWindow = new CFindWindow(m_pDoc.get(), m_pLeftView, this);
    m_pFindWindow->show();
    m_pFindWindow->raise();
    m_pFindWindow->activateWindow();
    m_pFindWindow->QueryEdit()->setFocus();
    return m_pFindWindow;
}

bool CChildFrame::OnUpdateCommand(int nId, CCmdUI& rUI)
{
    switch (nId) {
    case ID_EDIT_FIND:
        rUI.bEnabled = m_pDoc->IsConnected();
        return true;
    case ID_NEXT_PANE:
    case ID_PREV_PANE:
        rUI.bEnabled = true;
        return true;
    case ID_TRACE_CLEAR:
    case ID_TRACE_SAVE:
        rUI.bEnabled = !m_pTraceView->IsEmpty();
        return true;
    case ID_STOP_LISTING:
        rUI.bEnabled = m_pLeftView->IsListing();
        return true;
    default:
        return false;
    }
}

bool CChildFrame::OnCommand(int nId)
{
    switch (nId) {
    case ID_EDIT_FIND:
        ShowFindWindow();
        return true;
    case ID_NEXT_PANE:
    case ID_PREV_PANE:
        ActivateNextPane(nId == ID_NEXT_PANE);
        return true;
    case ID_TRACE_CLEAR:
        m_pTraceView->clear();
        return true;
    case ID_TRACE_SAVE:
        SaveTrace();
        return true;
    case ID_STOP_LISTING:
        m_pLeftView->StopListing();
        return true;
    default:
        return false;
    }
}

void CChildFrame::SaveTrace()
{
    CFileRequest request;
    request.bOpen = false;
    request.strTitle = QStringLiteral("Save Trace As");
    request.strFileName = QStringLiteral("trace.txt");
    request.strDefaultExt = QStringLiteral("txt");
    request.filters = {QStringLiteral("Text Files (*.txt)"), QStringLiteral("All Files (*)")};
    const QString strPath = Prompts().GetFileName(this, request);
    if (strPath.isEmpty())
        return;
    m_pTraceView->Flush();
    // The file is replaced only once the whole trace is written.
    QSaveFile file(strPath);
    if (!file.open(QIODevice::WriteOnly) || !m_pTraceView->Model().WriteUtf8(file) || !file.commit()) {
        const QByteArray details = (QStringLiteral("Writing the trace to ") + strPath + QStringLiteral(": ") +
                                    file.errorString()).toUtf8();
        ShowErrorReport("Failed to save the trace", details.constData(), MAPI_E_DISK_ERROR);
    }
}
