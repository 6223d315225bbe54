// The application shell driven as a user would: workspaces, menus, router,
// toolbar, progress status bar, splash ticks, close.
#include "app/ChildFrame.h"
#include "list/DravikView.h"
#include "app/DravikApp.h"
#include "app/MainFrame.h"
#include "app/ProgStatusBar.h"
#include "app/Splash.h"
#include "mapi/MAPICommandView.h"
#include "tree/LeftView.h"
#include "workspace/CommandIds.h"
#include "workspace/DravikDoc.h"

#include "ScriptedPrompts.h"
#include "mapi/Prompts.h"
#include "mapi/WaitCursor.h"
#include "mapi32/hooks.h"

#include "mapi32/mapicode.h"
#include "mapi32/mapix.h"

#include <QSet>
#include <QMenu>
#include "DravikVersion.h"
#include <QAction>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>
#include <QApplication>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenuBar>
#include <QProgressBar>
#include <QSplitter>
#include <QTest>
#include <QToolBar>
#include <QToolButton>

#include <csignal>
#include <functional>

namespace {

// MAPI's profile chooser, cancelled by the user.
struct CCancellingChooser : dravik::mapi32::IProfileChooser
{
    int nAsked = 0;
    HRESULT ChooseProfile(ULONG, const std::vector<std::string>&, const std::string&, std::string&) override
    {
        ++nAsked;
        return MAPI_E_USER_CANCEL;
    }
};

// The process leaves the ending state a signal put it in: the flag, and Qt's
// request to leave every event loop, which only the application loop clears.
void LeaveEndingState()
{
    ResetQuitRequestForTest();
    QTimer::singleShot(0, qApp, &QCoreApplication::quit);
    QCoreApplication::exec();
}

QStringList ProfileFiles(const QTemporaryDir& dir)
{
    QStringList names = QDir(dir.path()).entryList(QDir::Files);
    names.removeIf([](const QString& s) { return s.startsWith(QLatin1Char('.')) || s.endsWith(QStringLiteral(".lock")); });
    return names;
}

} // namespace

class TestApp : public QObject
{
    Q_OBJECT
    QTemporaryDir m_profiles;
    QTemporaryDir m_settings;

private slots:
    void initTestCase()
    {
        qputenv("DRAVIK_MAPI_PROFILES", m_profiles.path().toUtf8());
        // Each test starts as a first start: no layout kept from before.
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_settings.path());
        CDravikApp::SetIdentity();
        // The dictionary of the source tree, as from the start directory.
        QDir::setCurrent(QStringLiteral(DRAVIK_SOURCE_DIR));
    }

    void init() { QSettings().clear(); }

    void startShowsFirstWorkspace()
    {
        CDravikApp app;
        QVERIFY(app.InitInstance({QStringLiteral("dravik"), QStringLiteral("-Embedding")}));
        CMainFrame* pFrame = app.MainFrame();
        QVERIFY(pFrame->isVisible());
        QVERIFY(app.m_pSplashThread == nullptr); // -Embedding: no splash
        QCOMPARE(pFrame->Workspaces().size(), size_t(1));
        CChildFrame* pChild = pFrame->Workspaces().front();
        QCOMPARE(pChild->GetDocument()->GetTitle(), QStringLiteral("New Workspace"));
        QCOMPARE(pFrame->windowTitle(), QStringLiteral("Dravik - New Workspace"));
        QCOMPARE(pFrame->CurrentMenuId(), 129);

        // Maximised in the frame at a first start; tree 200 wide; trace pane below.
        auto* pWindow = qobject_cast<QMdiSubWindow*>(pChild->parentWidget());
        QVERIFY(pWindow->isMaximized());
        QCOMPARE(pChild->InnerSplitter()->sizes().value(0), 200);
        QCOMPARE(pChild->OuterSplitter()->widget(1), static_cast<QWidget*>(pChild->TraceView()));

        // Menu texts of menu 129 in order.
        QStringList titles;
        for (QAction* pMenu : pFrame->menuBar()->actions())
            titles << pMenu->text();
        QCOMPARE(titles, (QStringList{"&File", "&View", "&Item", "&Property", "&Tools", "&Window", "&Help"}));

        // Closing the last workspace brings menu 128 back.
        pWindow->close();
        QTRY_COMPARE(pFrame->CurrentMenuId(), 128);
        titles.clear();
        for (QAction* pMenu : pFrame->menuBar()->actions())
            titles << pMenu->text();
        QCOMPARE(titles, (QStringList{"&File", "&View", "&Tools", "&Help"}));
        QCOMPARE(pFrame->windowTitle(), QStringLiteral("Dravik"));

        // Ctrl+N opens a new workspace.
        pFrame->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(pFrame));
        QTest::keyClick(pFrame, Qt::Key_N, Qt::ControlModifier);
        QTRY_COMPARE(pFrame->Workspaces().size(), size_t(1));
        QCOMPARE(pFrame->CurrentMenuId(), 129);
    }

    // Every menu item can be reached from the keyboard: each text has a
    // mnemonic, unique within its menu; the About item keeps its text.
    void everyMenuItemHasAMnemonic()
    {
        CDravikApp app;
        QVERIFY(app.InitInstance({QStringLiteral("dravik"), QStringLiteral("-Embedding")}));
        CMainFrame* pFrame = app.MainFrame();
        const std::function<void(QMenu*)> check = [&](QMenu* pMenu) {
            QSet<QChar> keys;
            for (QAction* pAction : pMenu->actions()) {
                if (pAction->isSeparator() || !pAction->isVisible())
                    continue;
                const QString strText = pAction->text();
                const qsizetype i = strText.indexOf(QLatin1Char('&'));
                QVERIFY2(i >= 0 && i + 1 < strText.size(), qPrintable(pMenu->title() + QStringLiteral(": ") + strText));
                QVERIFY2(!keys.contains(strText[i + 1].toLower()), qPrintable(strText));
                keys.insert(strText[i + 1].toLower());
                if (pAction->menu() != nullptr)
                    check(pAction->menu());
            }
        };
        for (int nMenu : {129, 128}) {
            if (nMenu == 128)
                pFrame->Workspaces().front()->parentWidget()->close();
            QTRY_COMPARE(pFrame->CurrentMenuId(), nMenu);
            for (QAction* pTitle : pFrame->menuBar()->actions()) {
                QVERIFY(pTitle->text().contains(QLatin1Char('&')));
                check(pTitle->menu());
            }
            QCOMPARE(pFrame->Action(ID_APP_ABOUT)->text(), QStringLiteral("&About Dravik..."));
        }
    }

    // Opening a menu from the keyboard (the menu bar takes the focus) leaves
    // the commands of the pane that had it enabled, as the mouse finds them.
    void openingAMenuKeepsTheActiveView()
    {
        CDravikApp app;
        QVERIFY(app.InitInstance({QStringLiteral("dravik"), QStringLiteral("-Embedding")}));
        CMainFrame* pFrame = app.MainFrame();
        CChildFrame* pChild = pFrame->Workspaces().front();
        pFrame->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(pFrame));
        pChild->ListView()->setFocus();
        pFrame->UpdateCommandUI();
        QVERIFY(pFrame->Action(ID_FILE_PRINT)->isEnabled());
        QVERIFY(pFrame->Action(ID_FILE_PRINT_PREVIEW)->isEnabled());
        // Alt+F: the menu bar has the keyboard, the File menu opens.
        pFrame->menuBar()->setFocus(Qt::MenuBarFocusReason);
        QMenu* pFile = pFrame->menuBar()->actions().front()->menu();
        pFile->popup(QPoint(0, 0));
        QTRY_VERIFY(pFile->isVisible());
        pFrame->UpdateCommandUI();
        QVERIFY(pFrame->Action(ID_FILE_PRINT)->isEnabled());
        QVERIFY(pFrame->Action(ID_FILE_PRINT_PREVIEW)->isEnabled());
        pFile->close();
        // A pane of the workspace that takes the focus is the active view again.
        pChild->LeftView()->setFocus();
        pFrame->UpdateCommandUI();
        QVERIFY(!pFrame->Action(ID_FILE_PRINT)->isEnabled());
    }

    // The About box says what Dravik is, its version, licence and Qt version.
    void aboutTextSaysWhatDravikIs()
    {
        const QString strText = CDravikApp::AboutText();
        QVERIFY(strText.contains(QStringLiteral(DRAVIK_VERSION)));
        QVERIFY(strText.contains(QStringLiteral("raw MAPI objects and properties")));
        QVERIFY(strText.contains(QStringLiteral("licence")));
        QVERIFY(strText.contains(QString::fromLatin1(qVersion())));
    }

    // A workspace opens maximised at a first start; the state and size the
    // user leaves it with are kept for the next start, at any scale factor
    // (the test runs at scale 1 and 2). Two workspaces never lie exactly on
    // top of each other.
    void layoutKeptAcrossRestarts()
    {
        QSize kept;
        {
            CDravikApp app;
            QVERIFY(app.InitInstance({QStringLiteral("dravik"), QStringLiteral("-Embedding")}));
            CMainFrame* pFrame = app.MainFrame();
            auto* pWindow = qobject_cast<QMdiSubWindow*>(pFrame->Workspaces().front()->parentWidget());
            QVERIFY(pWindow->isMaximized());
            QVERIFY(pWindow->width() >= pFrame->MdiArea()->viewport()->width() - 2);
            pWindow->showNormal();
            pWindow->resize(420, 260);
            kept = pWindow->size();
            pFrame->close();
        }
        {
            CDravikApp app;
            QVERIFY(app.InitInstance({QStringLiteral("dravik"), QStringLiteral("-Embedding")}));
            CMainFrame* pFrame = app.MainFrame();
            auto* pFirst = qobject_cast<QMdiSubWindow*>(pFrame->Workspaces().front()->parentWidget());
            QVERIFY(!pFirst->isMaximized());
            QCOMPARE(pFirst->size(), kept.boundedTo(pFrame->MdiArea()->viewport()->size()));
            pFrame->Action(ID_FILE_NEW)->trigger();
            QCOMPARE(pFrame->Workspaces().size(), size_t(2));
            auto* pSecond = qobject_cast<QMdiSubWindow*>(pFrame->Workspaces().back()->parentWidget());
            QVERIFY(pSecond->geometry() != pFirst->geometry());
            // The Window menu's commands arrange them.
            pFrame->Action(ID_WINDOW_TILE_HORZ)->trigger();
            QVERIFY(!pFirst->geometry().intersects(pSecond->geometry()));
            pSecond->showMaximized();
            pFrame->close();
        }
        {
            CDravikApp app;
            QVERIFY(app.InitInstance({QStringLiteral("dravik"), QStringLiteral("-Embedding")}));
            auto* pWindow = qobject_cast<QMdiSubWindow*>(app.MainFrame()->Workspaces().front()->parentWidget());
            QVERIFY(pWindow->isMaximized());
            // The title names the workspace once.
            QCOMPARE(app.MainFrame()->windowTitle(), QStringLiteral("Dravik - New Workspace"));
        }
    }

    // The trace pane is the program's record: typing does not change it; it
    // is saved whole to a file and cleared through its commands.
    void tracePaneIsReadOnlySavedAndCleared()
    {
        CScriptedPrompts prompts;
        CDravikApp app;
        QVERIFY(app.InitInstance({QStringLiteral("dravik"), QStringLiteral("-Embedding")}));
        CMainFrame* pFrame = app.MainFrame();
        CChildFrame* pChild = pFrame->Workspaces().front();
        CMAPICommandView* pTrace = pChild->TraceView();
        pTrace->AppendRaw(QStringLiteral("MAPILogonEx()\nIMAPISession->Logoff()\n"));
        pTrace->Flush();
        const QString strTrace = pTrace->toPlainText();
        pTrace->setFocus();
        QTest::keyClicks(pTrace, QStringLiteral("typed"));
        QTest::keyClick(pTrace, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(pTrace, Qt::Key_Backspace);
        QCOMPARE(pTrace->toPlainText(), strTrace);

        QTemporaryDir dir;
        const QString strPath = dir.filePath(QStringLiteral("trace.txt"));
        prompts.AnswerFile(strPath);
        pFrame->UpdateCommandUI();
        QVERIFY(pFrame->Action(ID_TRACE_SAVE)->isEnabled());
        pFrame->Action(ID_TRACE_SAVE)->trigger();
        QFile file(strPath);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(file.readAll()), strTrace);
        pFrame->Action(ID_TRACE_CLEAR)->trigger();
        QCOMPARE(pTrace->toPlainText(), QString());
        pFrame->UpdateCommandUI();
        QVERIFY(!pFrame->Action(ID_TRACE_CLEAR)->isEnabled());
        QVERIFY(prompts.m_unexpected.isEmpty());
    }

    void enablingFollowsTheRoute()
    {
        CDravikApp app;
        QVERIFY(app.InitInstance({QStringLiteral("dravik"), QStringLiteral("-Embedding")}));
        CMainFrame* pFrame = app.MainFrame();
        CChildFrame* pChild = pFrame->Workspaces().front();
        pFrame->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(pFrame));
        pFrame->UpdateCommandUI();
        // No handler anywhere: the address book button and Ctrl+S.
        QVERIFY(!pFrame->Action(ID_OPEN_ADDRBOOK)->isEnabled());
        QVERIFY(!pFrame->Action(ID_FILE_SAVE)->isEnabled());
        QVERIFY(pFrame->Action(ID_FILE_NEW)->isEnabled());
        QVERIFY(pFrame->Action(ID_VIEW_TOOLBAR)->isChecked());

        // Edit commands only while the trace pane is the active view.
        pChild->LeftView()->setFocus();
        pFrame->UpdateCommandUI();
        QVERIFY(!pFrame->Action(ID_EDIT_PASTE)->isEnabled());
        QVERIFY(!pFrame->Action(ID_EDIT_COPY)->isEnabled());
        CMAPICommandView* pTrace = pChild->TraceView();
        pTrace->AppendRaw(QStringLiteral("MAPILogonEx()\n"));
        pTrace->setFocus();
        pTrace->selectAll();
        pFrame->UpdateCommandUI();
        QVERIFY(pFrame->Action(ID_EDIT_COPY)->isEnabled());
        // A line traced meanwhile puts the caret at the new end, which ends
        // the selection, before the commands are asked.
        pTrace->AppendRaw(QStringLiteral("IMAPISession->Logoff()\n"));
        pFrame->UpdateCommandUI();
        QVERIFY(!pFrame->Action(ID_EDIT_COPY)->isEnabled());

        // F6 moves to the next pane: from the trace pane back to the tree.
        QTest::keyClick(pTrace, Qt::Key_F6);
        QVERIFY(pChild->LeftView()->hasFocus());

        // The toggle through the toolbar button and the menu items.
        auto* pButton = qobject_cast<QToolButton*>(
            pFrame->ToolBar()->widgetForAction(pFrame->Action(ID_VIEW_ENTRYPROPS)));
        QVERIFY(pButton != nullptr && pButton->isEnabled());
        QTest::mouseClick(pButton, Qt::LeftButton);
        QVERIFY(pChild->GetDocument()->m_bEntryProps);
        QVERIFY(pFrame->Action(ID_VIEW_ENTRYPROPS)->isChecked());
        QVERIFY(!pFrame->Action(ID_VIEW_ROWPROPS)->isChecked());
        pFrame->Action(ID_VIEW_ENTRYPROPS)->trigger(); // the checked item still switches
        QVERIFY(!pChild->GetDocument()->m_bEntryProps);
        QVERIFY(pFrame->Action(ID_VIEW_ROWPROPS)->isChecked());
        QVERIFY(!pFrame->Action(ID_VIEW_ENTRYPROPS)->isChecked());

        // The status bar toggle.
        pFrame->Action(ID_VIEW_STATUS_BAR)->trigger();
        QVERIFY(pFrame->statusBar()->isHidden());
        QVERIFY(!pFrame->Action(ID_VIEW_STATUS_BAR)->isChecked());
    }

    void progressValues_data()
    {
        QTest::addColumn<QList<int>>("values");
        QTest::addColumn<bool>("visible");
        QTest::addColumn<int>("position");
        QTest::newRow("50") << QList<int>{50} << true << 50;
        QTest::newRow("50 then 100") << QList<int>{50, 100} << false << 100;
        QTest::newRow("100 alone") << QList<int>{100} << false << 100;
        QTest::newRow("1 and 98 show") << QList<int>{98, 1} << true << 1;
        QTest::newRow("99 hides") << QList<int>{40, 99} << false << 99;
        QTest::newRow("0 hides") << QList<int>{30, 0} << false << 0;
    }
    void progressValues()
    {
        QFETCH(QList<int>, values);
        QFETCH(bool, visible);
        QFETCH(int, position);
        auto pDoc = std::make_unique<CDravikDoc>();
        CChildFrame frame(std::move(pDoc));
        frame.resize(700, 400);
        frame.show();
        frame.StatusBar()->SetMessageText(QStringLiteral("Listing"));
        for (int n : values)
            frame.OnProgress(static_cast<unsigned long>(n), 0);
        QProgressBar* pBar = frame.StatusBar()->ProgressControl();
        QCOMPARE(pBar->isVisible(), visible);
        QCOMPARE(pBar->value(), position);
        QCOMPARE(frame.StatusBar()->MessageText(),
                 values.last() == 0 ? QStringLiteral("Ready") : QStringLiteral("Listing"));
    }

    void splashTicks_data()
    {
        QTest::addColumn<int>("displayTime");
        QTest::addColumn<int>("closesOnTick");
        QTest::newRow("3") << 3 << 4;
        QTest::newRow("0") << 0 << 1;
        QTest::newRow("default of the thread") << -1 << 9;
    }
    void splashTicks()
    {
        QFETCH(int, displayTime);
        QFETCH(int, closesOnTick);
        QWidget owner;
        owner.setGeometry(100, 100, 800, 600);
        owner.show();
        CSplashThread thread(&owner);
        thread.SetDialogId(131);
        if (displayTime >= 0)
            thread.SetDisplayTime(displayTime);
        CSplashScreen* pSplash = thread.Splash();
        QVERIFY(pSplash->Create(thread.m_nDialogId, &owner, thread.m_nDisplayTime));
        pSplash->show();
        QVERIFY(pSplash->windowFlags() & Qt::FramelessWindowHint);
        QVERIFY((pSplash->geometry().center() - owner.frameGeometry().center()).manhattanLength() <= 2);
        for (int nTick = 1; nTick < closesOnTick; ++nTick) {
            pSplash->OnTimer();
            QVERIFY2(pSplash->isVisible(), qPrintable(QStringLiteral("tick %1").arg(nTick)));
        }
        pSplash->OnTimer();
        QVERIFY(!pSplash->isVisible());
    }

    void connectThroughMenusAndExit()
    {
        CDravikApp app;
        QVERIFY(app.InitInstance({QStringLiteral("dravik"), QStringLiteral("-Embedding")}));
        CMainFrame* pFrame = app.MainFrame();
        CScriptedPrompts prompts;
        CCancellingChooser chooser;
        dravik::mapi32::SetProfileChooser(&chooser);

        // "File ...": the file dialog answers a real sample store.
        prompts.AnswerFile(QStringLiteral(DRAVIK_SAMPLES_DIR "/pstsdk-sample1.pst"));
        pFrame->Action(ID_CONNECT_FILE)->trigger();
        CChildFrame* pFirst = pFrame->ActiveChild();
        QCOMPARE(prompts.m_fileRequests.size(), size_t(1));
        QVERIFY(prompts.m_fileRequests.front().bOpen);
        QCOMPARE(prompts.m_fileRequests.front().strDefaultExt, QStringLiteral("pst"));
        QCOMPARE(prompts.m_fileRequests.front().filters.value(0), QStringLiteral("Outlook Stores (*.pst *.ost)"));
        QCOMPARE(prompts.m_fileRequests.front().strTitle, QStringLiteral("Connect to File"));
        QVERIFY(pFirst->GetDocument()->IsConnected());
        // The logon, then the tree lists the session's tables.
        pFirst->TraceView()->Flush();
        QVERIFY(pFirst->TraceView()->toPlainText().contains(
            QStringLiteral("MAPILogonEx()\nIMAPISession->GetMsgStoresTable()\n")));
        pFrame->UpdateCommandUI();
        QVERIFY(!pFrame->Action(ID_CONNECT_FILE)->isEnabled());
        QVERIFY(pFrame->Action(ID_DISCONNECT)->isEnabled());

        // A second workspace; "Profile ..." cancelled in MAPI's chooser.
        pFrame->Action(ID_FILE_NEW)->trigger();
        CChildFrame* pSecond = pFrame->ActiveChild();
        QVERIFY(pSecond != pFirst);
        pFrame->Action(ID_CONNECT_PROFILE)->trigger();
        QCOMPARE(chooser.nAsked, 1);
        QCOMPARE(prompts.m_errorReports.size(), size_t(1));
        QVERIFY(prompts.m_errorReports.back().strMessage.startsWith(QStringLiteral("MAPI Logon Failure: ")));
        QVERIFY(prompts.m_errorReports.back().strDetails.contains(QStringLiteral("MAPI_E_USER_CANCEL")));
        QCOMPARE(prompts.m_errorReports.back().hr, HRESULT(MAPI_E_USER_CANCEL));
        QCOMPARE(pSecond->GetDocument()->GetTitle(), QStringLiteral("Local Profile"));
        QVERIFY(!pSecond->GetDocument()->IsConnected());

        // A cancelled file dialog connects nothing.
        pFrame->Action(ID_CONNECT_FILE)->trigger();
        QCOMPARE(prompts.m_fileRequests.size(), size_t(2));
        QVERIFY(!pSecond->GetDocument()->IsConnected());
        QCOMPARE(prompts.m_unexpected.size(), 1);  // the cancelled one
        prompts.m_unexpected.clear();

        // And a store file connected from the command line's path.
        QCOMPARE(pSecond->GetDocument()->ConnectFile(QStringLiteral(DRAVIK_SAMPLES_DIR "/pstsdk-sample2.pst")), S_OK);
        QCOMPARE(ProfileFiles(m_profiles).size(), 2);

        // E&xit closes both workspaces, which log off and delete their profiles.
        pFrame->Action(ID_APP_EXIT)->trigger();
        QTRY_VERIFY(pFrame->Workspaces().empty());
        QCOMPARE(ProfileFiles(m_profiles), QStringList());
        QVERIFY(prompts.m_unexpected.isEmpty());
        dravik::mapi32::SetProfileChooser(nullptr);
    }

    // A close asked for by the window system while a listing runs (the
    // listing lets the window repaint) waits until the listing has returned.
    void closeWaitsForARunningListing()
    {
        CDravikApp app;
        QVERIFY(app.InitInstance({QStringLiteral("dravik"), QStringLiteral("-Embedding")}));
        CMainFrame* pFrame = app.MainFrame();
        {
            CWaitCursor listing;
            pFrame->close();
            QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
            QCOMPARE(pFrame->Workspaces().size(), size_t(1));
            QVERIFY(pFrame->isVisible());
        }
        QTRY_VERIFY(pFrame->Workspaces().empty());
        QVERIFY(!pFrame->isVisible());
    }

    // A signal while the program waits in a dialog (Qt's real ones here: no
    // answers are installed) closes it as cancelled; the command that opened
    // it returns, and nothing is torn down under it. Nothing opens afterwards.
    void signalClosesTheOpenDialog_data()
    {
        QTest::addColumn<int>("command");
        QTest::addColumn<int>("signal");
        QTest::newRow("file dialog, SIGTERM") << int(ID_CONNECT_FILE) << int(SIGTERM);
        QTest::newRow("file dialog, SIGINT") << int(ID_CONNECT_FILE) << int(SIGINT);
        QTest::newRow("about box, SIGTERM") << int(ID_APP_ABOUT) << int(SIGTERM);
    }
    void signalClosesTheOpenDialog()
    {
        QFETCH(int, command);
        QFETCH(int, signal);
        CDravikApp app;
        QVERIFY(app.InitInstance({QStringLiteral("dravik"), QStringLiteral("-Embedding")}));
        CMainFrame* pFrame = app.MainFrame();
        CChildFrame* pChild = pFrame->ActiveChild();
        bool bSent = false;
        QTimer sender;
        sender.setInterval(10);
        connect(&sender, &QTimer::timeout, [&]() {
            // Only looks whether a dialog is up; the signal does the rest.
            if (!bSent && QApplication::activeModalWidget() != nullptr) {
                bSent = true;
                ::raise(signal);
            }
        });
        sender.start();
        pFrame->RouteCommand(command);
        sender.stop();
        QVERIFY(bSent);
        QVERIFY(QuitRequested());
        QCOMPARE(QApplication::activeModalWidget(), nullptr);
        QVERIFY(!pChild->GetDocument()->IsConnected());
        // No further dialog opens while the program ends.
        QCOMPARE(Prompts().GetFileName(nullptr, CFileRequest{}), QString());
        LeaveEndingState();
        QCOMPARE(ProfileFiles(m_profiles), QStringList());
    }

    void splashThreadShowsAndStops()
    {
        QWidget owner;
        owner.show();
        auto* pThread = new CSplashThread(&owner);
        pThread->SetDialogId(131);
        pThread->SetDisplayTime(0);
        pThread->m_nTickInterval = 20;
        pThread->start();
        QTRY_VERIFY(pThread->Splash()->IsDestroyed());
        delete pThread; // stops the idle thread and deletes the dialog once
    }
};

QTEST_MAIN(TestApp)
#include "tst_app.moc"
