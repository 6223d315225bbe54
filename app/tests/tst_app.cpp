// The application shell driven as a user would: workspaces, menus, router,
// toolbar, progress status bar, splash ticks, close.
#include "app/ChildFrame.h"
#include "app/DravikApp.h"
#include "app/MainFrame.h"
#include "app/ProgStatusBar.h"
#include "app/Splash.h"
#include "mapi/MAPICommandView.h"
#include "tree/LeftView.h"
#include "workspace/CommandIds.h"
#include "workspace/DravikDoc.h"

#include "mapi32/mapicode.h"
#include "mapi32/mapix.h"

#include <QAction>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
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

#include <functional>

namespace {

// Answers the next modal dialog as a person would.
void WhenModal(std::function<void(QWidget*)> fn)
{
    QTimer::singleShot(10, [fn]() {
        QWidget* pModal = QApplication::activeModalWidget();
        if (pModal == nullptr)
            WhenModal(fn);
        else
            fn(pModal);
    });
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

private slots:
    void initTestCase()
    {
        qputenv("DRAVIK_MAPI_PROFILES", m_profiles.path().toUtf8());
        // The dictionary of the source tree, as from the start directory.
        QDir::setCurrent(QStringLiteral(DRAVIK_SOURCE_DIR));
    }

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

        // 700 by 400 at the top left; tree 200 wide; trace pane below.
        auto* pWindow = qobject_cast<QMdiSubWindow*>(pChild->parentWidget());
        QCOMPARE(pWindow->geometry(), QRect(0, 0, 700, 400));
        QCOMPARE(pChild->InnerSplitter()->sizes().value(0), 200);
        QCOMPARE(pChild->OuterSplitter()->widget(1), static_cast<QWidget*>(pChild->TraceView()));

        // Menu texts of menu 129 in order.
        QStringList titles;
        for (QAction* pMenu : pFrame->menuBar()->actions())
            titles << pMenu->text();
        QCOMPARE(titles, (QStringList{"&File", "View", "Item", "Property", "Tools", "&Help"}));

        // Closing the last workspace brings menu 128 back.
        pWindow->close();
        QTRY_COMPARE(pFrame->CurrentMenuId(), 128);
        titles.clear();
        for (QAction* pMenu : pFrame->menuBar()->actions())
            titles << pMenu->text();
        QCOMPARE(titles, (QStringList{"&File", "&View", "Tools", "&Help"}));
        QCOMPARE(pFrame->windowTitle(), QStringLiteral("Dravik"));

        // Ctrl+N opens a new workspace.
        pFrame->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(pFrame));
        QTest::keyClick(pFrame, Qt::Key_N, Qt::ControlModifier);
        QTRY_COMPARE(pFrame->Workspaces().size(), size_t(1));
        QCOMPARE(pFrame->CurrentMenuId(), 129);
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
        pFrame->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(pFrame));

        // Every dialog is answered as a person would: the file dialog with a
        // real sample store, MAPI's profile chooser cancelled, reports closed.
        QStringList seen;
        QTimer answer;
        answer.setInterval(10);
        connect(&answer, &QTimer::timeout, [&]() {
            QWidget* pModal = QApplication::activeModalWidget();
            if (pModal == nullptr)
                return;
            if (auto* pDialog = qobject_cast<QFileDialog*>(pModal)) {
                seen << QStringLiteral("file");
                pDialog->selectFile(QStringLiteral(DRAVIK_SAMPLES_DIR "/pstsdk-sample1.pst"));
                static_cast<QDialog*>(pDialog)->accept();
            } else if (pModal->findChild<QListWidget*>(QStringLiteral("profiles")) != nullptr) {
                seen << QStringLiteral("chooser");
                static_cast<QDialog*>(pModal)->reject();
            } else if (auto* pMessage = pModal->findChild<QLabel*>(QStringLiteral("message"))) {
                seen << pMessage->text();
                pModal->close();
            } else {
                seen << pModal->objectName();
                pModal->close();
            }
        });
        answer.start();

        pFrame->Action(ID_CONNECT_FILE)->trigger();
        CChildFrame* pFirst = pFrame->ActiveChild();
        QCOMPARE(seen, QStringList{QStringLiteral("file")});
        QVERIFY(pFirst->GetDocument()->IsConnected());
        QVERIFY(pFirst->TraceView()->toPlainText().endsWith(QStringLiteral("MAPILogonEx()\n")));
        pFrame->UpdateCommandUI();
        QVERIFY(!pFrame->Action(ID_CONNECT_FILE)->isEnabled());
        QVERIFY(pFrame->Action(ID_DISCONNECT)->isEnabled());

        // A second workspace; "Profile ..." cancelled in MAPI's chooser.
        pFrame->Action(ID_FILE_NEW)->trigger();
        CChildFrame* pSecond = pFrame->ActiveChild();
        QVERIFY(pSecond != pFirst);
        seen.clear();
        pFrame->Action(ID_CONNECT_PROFILE)->trigger();
        QVERIFY(seen.endsWith(QStringLiteral("MAPI Logon Failure")));
        QCOMPARE(pSecond->GetDocument()->GetTitle(), QStringLiteral("Local Profile"));
        QVERIFY(!pSecond->GetDocument()->IsConnected());

        // And a store file connected from the command line's path.
        QCOMPARE(pSecond->GetDocument()->ConnectFile(QStringLiteral(DRAVIK_SAMPLES_DIR "/pstsdk-sample2.pst")), S_OK);
        QCOMPARE(ProfileFiles(m_profiles).size(), 2);

        // E&xit closes both workspaces, which log off and delete their profiles.
        pFrame->Action(ID_APP_EXIT)->trigger();
        QTRY_VERIFY(pFrame->Workspaces().empty());
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
