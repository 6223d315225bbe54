// What a desktop user relies on between and around runs: store files given on
// the command line or dropped on the window, the File menu's recent stores,
// and the layout kept in the settings from one start to the next.
#include "app/ChildFrame.h"
#include "app/CommandLineInfo.h"
#include "app/DravikApp.h"
#include "app/LayoutSettings.h"
#include "app/MainFrame.h"
#include "list/DravikView.h"
#include "mapi/MAPICommandView.h"
#include "workspace/CommandIds.h"
#include "workspace/DravikDoc.h"

#include "ScriptedPrompts.h"

#include <QAction>
#include <QDir>
#include <QDropEvent>
#include <QFileInfo>
#include <QHeaderView>
#include <QMdiSubWindow>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QSettings>
#include <QSplitter>
#include <QTemporaryDir>
#include <QTest>
#include <QToolBar>
#include <QUrl>

namespace {

QString Sample(const char* pszName)
{
    return QStringLiteral(DRAVIK_SAMPLES_DIR "/") + QString::fromLatin1(pszName);
}

QStringList ConnectedStores(const CMainFrame& frame)
{
    QStringList titles;
    for (CChildFrame* pChild : frame.Workspaces()) {
        if (pChild->GetDocument()->IsConnected())
            titles << pChild->GetDocument()->GetTitle();
    }
    return titles;
}

QStringList RecentMenuTexts(const CMainFrame& frame)
{
    QStringList texts;
    for (int nId = ID_FILE_MRU_FILE1; nId <= ID_FILE_MRU_LAST; ++nId) {
        if (frame.Action(nId)->isVisible())
            texts << frame.Action(nId)->text();
    }
    return texts;
}

// Sends a drag of the mime data over the window and drops it; TRUE when the
// window took the drag.
bool DragAndDrop(QWidget* pTarget, const QMimeData& data)
{
    const QPoint pos = pTarget->rect().center();
    QDragEnterEvent enter(pos, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(pTarget, &enter);
    if (!enter.isAccepted())
        return false;
    QDropEvent drop(QPointF(pos), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(pTarget, &drop);
    return drop.isAccepted();
}

struct CColumns
{
    QList<int> widths;
    QList<int> order;
    bool operator==(const CColumns&) const = default;
};

CColumns ColumnsOf(const QHeaderView& header)
{
    CColumns columns;
    for (int i = 0; i < header.count(); ++i) {
        columns.widths << header.sectionSize(i);
        columns.order << header.logicalIndex(i);
    }
    return columns;
}

} // namespace

class TestDesktop : public QObject
{
    Q_OBJECT
    QTemporaryDir m_profiles;
    QTemporaryDir m_settings;
    CScriptedPrompts* m_pPrompts = nullptr;

private slots:
    void initTestCase()
    {
        qputenv("DRAVIK_MAPI_PROFILES", m_profiles.path().toUtf8());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_settings.path());
        CDravikApp::SetIdentity();
        QDir::setCurrent(QStringLiteral(DRAVIK_SOURCE_DIR));
    }
    void init()
    {
        QSettings().clear();
        m_pPrompts = new CScriptedPrompts;
    }
    void cleanup()
    {
        // Nothing asked for a file or showed a message the test did not plan.
        QVERIFY(m_pPrompts->m_unexpected.isEmpty());
        QCOMPARE(m_pPrompts->m_errorReports.size(), size_t(0));
        delete m_pPrompts;
        m_pPrompts = nullptr;
    }

    void firstStartFitsTheScreen_data()
    {
        QTest::addColumn<QRect>("available");
        QTest::addColumn<QSize>("size");
        QTest::newRow("large screen") << QRect(0, 0, 1920, 1040) << QSize(1000, 700);
        QTest::newRow("netbook") << QRect(0, 24, 1024, 576) << QSize(921, 518);
        QTest::newRow("portrait") << QRect(0, 0, 800, 1280) << QSize(720, 700);
        QTest::newRow("no screen known") << QRect() << QSize(1000, 700);
    }
    void firstStartFitsTheScreen()
    {
        QFETCH(QRect, available);
        QFETCH(QSize, size);
        QCOMPARE(CLayoutSettings::FitToScreen(QSize(1000, 700), available), size);
    }

    void commandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("parsed");
        QTest::addColumn<bool>("helpOrVersion");
        QTest::addColumn<QStringList>("stores");
        QTest::addColumn<bool>("splash");
        QTest::newRow("nothing") << QStringList{} << true << false << QStringList{} << true;
        QTest::newRow("bare paths") << QStringList{"a.pst", "b.ost"} << true << false
                                    << QStringList{"a.pst", "b.ost"} << true;
        QTest::newRow("--connect-file first") << QStringList{"b.pst", "--connect-file", "a.pst"} << true << false
                                              << QStringList{"a.pst", "b.pst"} << true;
        QTest::newRow("-Embedding") << QStringList{"-Embedding", "a.pst"} << true << false
                                    << QStringList{"a.pst"} << false;
        QTest::newRow("--version") << QStringList{"--version"} << true << true << QStringList{} << true;
        QTest::newRow("-h") << QStringList{"-h"} << true << true << QStringList{} << true;
        // A store named like an option is a store, not a request for help.
        QTest::newRow("-h as the store") << QStringList{"--connect-file", "-h"} << true << false
                                         << QStringList{"-h"} << true;
        QTest::newRow("unknown option") << QStringList{"--frobnicate"} << false << false << QStringList{} << true;
        QTest::newRow("value missing") << QStringList{"--connect-file"} << false << false << QStringList{} << true;
    }
    void commandLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(bool, parsed);
        QFETCH(bool, helpOrVersion);
        QFETCH(QStringList, stores);
        QFETCH(bool, splash);
        CCommandLineInfo info;
        QCOMPARE(info.Parse(QStringList{QStringLiteral("dravik")} + arguments), parsed);
        if (!parsed) {
            QVERIFY(!info.ErrorText().isEmpty());
            return;
        }
        QCOMPARE(info.WantsHelpOrVersion(), helpOrVersion);
        QCOMPARE(info.StoreFiles(), stores);
        QCOMPARE(info.ShowSplash(), splash);
        QVERIFY(!info.ConnectsProfile());
    }

    // dravik FILE connects the first workspace as --connect-file does; each
    // further file gets a workspace of its own.
    void storeFilesOnTheCommandLine()
    {
        const QString first = Sample("pstsdk-sample1.pst");
        const QString second = Sample("pst-extractor-outlookcom.ost");
        CDravikApp app;
        QVERIFY(app.InitInstance({QStringLiteral("dravik"), QStringLiteral("-Embedding"), first, second}));
        CMainFrame* pFrame = app.MainFrame();
        QCOMPARE(pFrame->Workspaces().size(), size_t(2));
        QCOMPARE(ConnectedStores(*pFrame), (QStringList{first, second}));
        QCOMPARE(pFrame->RecentStores(), (QStringList{second, first}));
    }

    void droppedStoreOpensInANewWorkspace()
    {
        CDravikApp app;
        QVERIFY(app.InitInstance({QStringLiteral("dravik"), QStringLiteral("-Embedding")}));
        CMainFrame* pFrame = app.MainFrame();

        // Nothing but local files is taken: not a web address, not a folder.
        QMimeData other;
        other.setUrls({QUrl(QStringLiteral("https://example.org/store.pst")),
                       QUrl::fromLocalFile(QStringLiteral(DRAVIK_SAMPLES_DIR))});
        QVERIFY(!DragAndDrop(pFrame, other));
        QMimeData text;
        text.setText(Sample("pstsdk-sample2.pst"));
        QVERIFY(!DragAndDrop(pFrame, text));
        QCOMPARE(pFrame->Workspaces().size(), size_t(1));

        QMimeData store;
        store.setUrls({QUrl::fromLocalFile(Sample("pstsdk-sample2.pst"))});
        QVERIFY(DragAndDrop(pFrame, store));
        QCOMPARE(pFrame->Workspaces().size(), size_t(2));
        // The empty first workspace stays as it was; the new one is active.
        CChildFrame* pFirst = pFrame->Workspaces().front();
        QVERIFY(!pFirst->GetDocument()->IsConnected());
        QCOMPARE(pFrame->ActiveChild(), pFrame->Workspaces().back());
        QCOMPARE(ConnectedStores(*pFrame), QStringList{Sample("pstsdk-sample2.pst")});

        // Dropped on the trace pane, which takes text, a store still opens
        // and no text goes into the pane.
        const QString strTrace = pFirst->TraceView()->toPlainText();
        QMimeData another;
        another.setUrls({QUrl::fromLocalFile(Sample("pstsdk-sample1.pst"))});
        QVERIFY(DragAndDrop(pFirst->TraceView()->viewport(), another));
        QCOMPARE(pFrame->Workspaces().size(), size_t(3));
        QCOMPARE(pFirst->TraceView()->toPlainText(), strTrace);
        QCOMPARE(ConnectedStores(*pFrame), (QStringList{Sample("pstsdk-sample2.pst"), Sample("pstsdk-sample1.pst")}));
    }

    void fileMenuListsTheStoresOpenedLast()
    {
        const QStringList stores{Sample("pstsdk-sample1.pst"), Sample("pstsdk-sample2.pst"),
                                 Sample("java-libpst-dist-list.pst"), Sample("pst-extractor-enron.pst"),
                                 Sample("pstsdk-submessage.pst")};
        {
            CDravikApp app;
            QVERIFY(app.InitInstance({QStringLiteral("dravik"), QStringLiteral("-Embedding")}));
            CMainFrame* pFrame = app.MainFrame();
            pFrame->UpdateCommandUI();
            QCOMPARE(RecentMenuTexts(*pFrame), QStringList());
            QVERIFY(!pFrame->Action(ID_FILE_MRU_FILE1)->isEnabled());

            for (const QString& strPath : stores)
                QVERIFY(app.OpenStore(strPath) != nullptr);
            // Opening one again moves it to the top instead of listing it twice.
            QVERIFY(app.OpenStore(stores[2]) != nullptr);
            QCOMPARE(pFrame->RecentStores(), (QStringList{stores[2], stores[4], stores[3], stores[1]}));
        }
        // The next start lists them in the same order, in both File menus.
        CDravikApp app;
        QVERIFY(app.InitInstance({QStringLiteral("dravik"), QStringLiteral("-Embedding")}));
        CMainFrame* pFrame = app.MainFrame();
        QCOMPARE(RecentMenuTexts(*pFrame),
                 (QStringList{"&1 " + stores[2], "&2 " + stores[4], "&3 " + stores[3], "&4 " + stores[1]}));
        QMenu* pFile = pFrame->menuBar()->actions().front()->menu();
        QVERIFY(pFile->actions().contains(pFrame->Action(ID_FILE_MRU_FILE1)));

        // Choosing the third opens it in a new workspace, through the router.
        pFrame->UpdateCommandUI();
        QVERIFY(pFrame->Action(ID_FILE_MRU_LAST)->isEnabled());
        pFrame->Action(ID_FILE_MRU_FILE1 + 2)->trigger();
        QCOMPARE(pFrame->Workspaces().size(), size_t(2));
        QCOMPARE(ConnectedStores(*pFrame), QStringList{stores[3]});
        QCOMPARE(pFrame->RecentStores().front(), stores[3]);
    }

    void layoutIsKeptBetweenRuns()
    {
        QSize size;
        QList<int> treeAndList, panesAndTrace;
        CColumns columns;
        {
            CDravikApp app;
            QVERIFY(app.InitInstance({QStringLiteral("dravik"), QStringLiteral("-Embedding")}));
            CMainFrame* pFrame = app.MainFrame();
            pFrame->resize(640, 480);
            pFrame->Action(ID_VIEW_TOOLBAR)->trigger();
            QVERIFY(pFrame->ToolBar()->isHidden());
            // The window laid out anew without its toolbar (the workspace
            // fills the frame) before the panes are sized.
            QCoreApplication::processEvents();
            CChildFrame* pChild = pFrame->ActiveChild();
            pChild->InnerSplitter()->setSizes({310, 380});
            pChild->OuterSplitter()->setSizes({180, 120});
            QHeaderView* pHeader = pChild->ListView()->header();
            pHeader->resizeSection(4, 333);
            pHeader->moveSection(0, 3);
            size = pFrame->size();
            treeAndList = pChild->InnerSplitter()->sizes();
            panesAndTrace = pChild->OuterSplitter()->sizes();
            columns = ColumnsOf(*pHeader);
            pFrame->Action(ID_APP_EXIT)->trigger();
            QTRY_VERIFY(pFrame->Workspaces().empty());
        }
        QVERIFY(QFileInfo(m_settings.filePath(QStringLiteral("Dravik/Dravik.conf"))).isFile());

        CDravikApp app;
        QVERIFY(app.InitInstance({QStringLiteral("dravik"), QStringLiteral("-Embedding")}));
        CMainFrame* pFrame = app.MainFrame();
        QCOMPARE(pFrame->size(), size);
        QVERIFY(pFrame->ToolBar()->isHidden());
        CChildFrame* pChild = pFrame->ActiveChild();
        QCOMPARE(pChild->InnerSplitter()->sizes(), treeAndList);
        QCOMPARE(pChild->OuterSplitter()->sizes(), panesAndTrace);
        QCOMPARE(ColumnsOf(*pChild->ListView()->header()), columns);

        // A workspace window closed on its own leaves its panes to the next one.
        pChild->InnerSplitter()->setSizes({120, 570});
        treeAndList = pChild->InnerSplitter()->sizes();
        pChild->parentWidget()->close();
        QTRY_VERIFY(pFrame->Workspaces().empty());
        CChildFrame* pNext = app.OnFileNew();
        QCOMPARE(pNext->InnerSplitter()->sizes(), treeAndList);
    }

    // Damaged or foreign values in the settings file are not applied.
    void unusableSettingsAreIgnored()
    {
        QSettings settings;
        settings.setValue(QStringLiteral("MainWindow/Geometry"), QByteArray("not a geometry"));
        settings.setValue(QStringLiteral("Workspace/TreeAndList"), QVariantList{QStringLiteral("wide"), 10});
        settings.setValue(QStringLiteral("Workspace/PanesAndTrace"), QVariantList{1, 2, 3});
        settings.setValue(QStringLiteral("PropertyList/ColumnWidths"), QVariantList{-5, 10, 10, 10, 10});
        settings.setValue(QStringLiteral("PropertyList/ColumnOrder"), QVariantList{0, 0, 1, 2, 3});
        settings.sync();
        CDravikApp app;
        QVERIFY(app.InitInstance({QStringLiteral("dravik"), QStringLiteral("-Embedding")}));
        CChildFrame* pChild = app.MainFrame()->ActiveChild();
        QCOMPARE(pChild->InnerSplitter()->sizes().value(0), 200);
        QCOMPARE(ColumnsOf(*pChild->ListView()->header()).order, (QList<int>{0, 1, 2, 3, 4}));
        QVERIFY(!app.MainFrame()->ToolBar()->isHidden());
    }
};

QTEST_MAIN(TestDesktop)
#include "tst_desktop.moc"
