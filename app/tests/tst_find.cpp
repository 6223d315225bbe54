// The Find window on real stores, driven through its seams: the results fill,
// choosing one makes it the tree's current node and lists its properties, the
// trace pane shows the restriction calls, Stop stops, a bad query is refused.
#include "app/ChildFrame.h"
#include "app/FindWindow.h"
#include "list/DravikView.h"
#include "mapi/MAPICommandView.h"
#include "tree/LeftView.h"
#include "tree/TreeNode.h"
#include "workspace/CommandIds.h"
#include "workspace/DravikDoc.h"

#include "ScriptedPrompts.h"
#include "mapi32/mapix.h"

#include <QDir>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <future>

class TestFind : public QObject
{
    Q_OBJECT
    QTemporaryDir m_profiles;
    QTemporaryDir m_stores;
    std::unique_ptr<CScriptedPrompts> m_pPrompts;  // no message box is expected

    static std::unique_ptr<CChildFrame> Workspace(const QString& strStore)
    {
        auto frame = std::make_unique<CChildFrame>(std::make_unique<CDravikDoc>());
        frame->resize(700, 400);
        frame->show();
        if (frame->GetDocument()->ConnectFile(strStore) != S_OK)
            return nullptr;
        return frame;
    }

private slots:
    void initTestCase()
    {
        qputenv("DRAVIK_MAPI_PROFILES", m_profiles.path().toUtf8());
        QDir::setCurrent(QStringLiteral(DRAVIK_SOURCE_DIR));  // Dravik.ini
        m_pPrompts = std::make_unique<CScriptedPrompts>();
        MAPIINIT_0 init{MAPI_INIT_VERSION, 0};
        QCOMPARE(MAPIInitialize(&init), S_OK);
    }
    void cleanup()
    {
        QVERIFY2(m_pPrompts->m_unexpected.isEmpty(), qPrintable(m_pPrompts->m_unexpected.join(QLatin1Char('\n'))));
        QVERIFY(m_pPrompts->m_errorReports.empty());
    }
    void cleanupTestCase()
    {
        m_pPrompts.reset();
        MAPIUninitialize();
    }

    void resultsFillAndChoosingOneShowsItsProperties()
    {
        auto frame = Workspace(QStringLiteral(DRAVIK_SAMPLES_DIR "/pst-extractor-enron.pst"));
        QVERIFY(frame);
        QVERIFY(frame->OnCommand(ID_EDIT_FIND));
        CFindWindow* pFind = frame->FindWindow();
        QVERIFY(pFind && pFind->isVisible());
        pFind->SetQuery(QStringLiteral("PR_SUBJECT contains \"report\""));
        pFind->SetScope(CFindWindow::ScopeAllStores);
        QVERIFY(pFind->Start());
        QTRY_VERIFY_WITH_TIMEOUT(!pFind->Running(), 60000);
        QTRY_VERIFY(pFind->StatusText().startsWith(QStringLiteral("Done")));
        CFindResultsModel* pResults = pFind->Results();
        QVERIFY(pResults->rowCount() >= 2);
        for (int row = 0; row < pResults->rowCount(); ++row) {
            QVERIFY(pResults->data(pResults->index(row, 1), Qt::DisplayRole).toString().contains(QStringLiteral("report"), Qt::CaseInsensitive));
            QVERIFY(pResults->data(pResults->index(row, 0), Qt::DisplayRole).toString().startsWith(QStringLiteral("Personal folders/")));
        }
        // The restriction behind the query, in the trace pane.
        frame->TraceView()->Flush();
        QVERIFY(frame->TraceView()->toPlainText().contains(
            QStringLiteral("IMAPITable->FindRow(CONTENT(PR_SUBJECT 0x0037001F, FL_SUBSTRING|FL_IGNORECASE, \"report\")")));

        // Choosing the last result: the tree expands to it and the list shows its properties.
        const int last = pResults->rowCount() - 1;
        QVERIFY(pFind->ChooseResult(last));
        CTreeNode* pNode = frame->GetDocument()->GetSelectedNode();
        QVERIFY(pNode && pNode->m_nKind == static_cast<int>(MAPI_MESSAGE));
        QCOMPARE(frame->LeftView()->currentItem() ? CLeftView::NodeOf(frame->LeftView()->currentItem()) : nullptr, pNode);
        const SPropValue* eid = pNode->m_pProps->Find(PR_ENTRYID);
        QVERIFY(eid);
        QCOMPARE(std::vector<BYTE>(eid->Value.bin.lpb, eid->Value.bin.lpb + eid->Value.bin.cb), pResults->Result(last).entryId);
        bool subjectListed = false;
        CPropListModel* pList = frame->ListView()->Model();
        for (int row = 0; row < pList->rowCount(); ++row)
            for (int col = 0; col < pList->columnCount(); ++col)
                subjectListed |= pList->data(pList->index(row, col), Qt::DisplayRole).toString() ==
                                 QString::fromStdString(pResults->Result(last).strSubject);
        QVERIFY(subjectListed);
    }

    void scopeIsTheCurrentFolder()
    {
        auto frame = Workspace(QStringLiteral(DRAVIK_SAMPLES_DIR "/pst-extractor-enron.pst"));
        QVERIFY(frame);
        CFindWindow* pFind = frame->ShowFindWindow();
        pFind->SetQuery(QStringLiteral("exists PR_SUBJECT"));
        pFind->SetScope(CFindWindow::ScopeFolder);
        QVERIFY(!pFind->Start());  // nothing chosen in the tree yet
        QCOMPARE(pFind->StatusText(), QStringLiteral("Choose a folder in the tree first."));
        // Every message of all stores, then those of one result's folder only.
        pFind->SetScope(CFindWindow::ScopeAllStores);
        QVERIFY(pFind->Start());
        QTRY_VERIFY_WITH_TIMEOUT(!pFind->Running(), 60000);
        QTRY_VERIFY(pFind->StatusText().startsWith(QStringLiteral("Done")));
        const dravik::query::SearchResult first = pFind->Results()->Result(0);
        int inFolder = 0;
        for (int row = 0; row < pFind->Results()->rowCount(); ++row)
            inFolder += pFind->Results()->Result(row).folderEntryId == first.folderEntryId;
        QVERIFY(inFolder < pFind->Results()->rowCount());
        QVERIFY(pFind->ChooseResult(0));
        frame->LeftView()->setCurrentItem(frame->LeftView()->currentItem()->parent());  // the message's folder
        pFind->SetScope(CFindWindow::ScopeFolder);
        QVERIFY(pFind->Start());
        QTRY_VERIFY_WITH_TIMEOUT(!pFind->Running(), 60000);
        QTRY_VERIFY(pFind->StatusText().startsWith(QStringLiteral("Done")));
        QCOMPARE(pFind->Results()->rowCount(), inFolder);
        QCOMPARE(pFind->Results()->Result(0).folderPath, first.folderPath);
    }

    void stopStops()
    {
        const QString store = m_stores.filePath(QStringLiteral("scale.pst"));
        QCOMPARE(QProcess::execute(QStringLiteral(DRAVIK_PSTGEN_EXE),
                                   {QStringLiteral("scale"), store, QStringLiteral("--folders"), QStringLiteral("2"),
                                    QStringLiteral("--messages"), QStringLiteral("400"),
                                    QStringLiteral("--attachments"), QStringLiteral("0"), QStringLiteral("--body-size"),
                                    QStringLiteral("200")}),
                 0);
        auto frame = Workspace(store);
        QVERIFY(frame);
        CFindWindow* pFind = frame->ShowFindWindow();
        // The search is held after its first result until Stop is pressed.
        std::promise<void> reached, released;
        std::shared_future<void> release = released.get_future().share();
        bool bFirst = true;
        pFind->SetResultHook([&] {
            if (!std::exchange(bFirst, false))
                return;
            reached.set_value();
            release.wait();
        });
        pFind->SetQuery(QStringLiteral("not exists {PS_PUBLIC_STRINGS, \"Nothing of that name\"}"));
        QVERIFY(pFind->Start());
        reached.get_future().wait();
        QVERIFY(pFind->Running());
        pFind->Stop();
        released.set_value();
        QTRY_VERIFY_WITH_TIMEOUT(!pFind->Running(), 60000);
        QTRY_VERIFY(pFind->StatusText().startsWith(QStringLiteral("Stopped: 1 found")));
        QCOMPARE(pFind->Results()->rowCount(), 1);
        pFind->SetResultHook({});
    }

    void badQueryIsRefusedPointingAtIt()
    {
        auto frame = Workspace(QStringLiteral(DRAVIK_SAMPLES_DIR "/pstsdk-sample1.pst"));
        QVERIFY(frame);
        CFindWindow* pFind = frame->ShowFindWindow();
        pFind->SetQuery(QStringLiteral("PR_SUBJECT contains budget"));
        QVERIFY(!pFind->Start());
        QCOMPARE(pFind->StatusText(), QStringLiteral("column 21: expected a string in quotes or x\"hex\", found \"budget\""));
        QCOMPARE(pFind->QueryEdit()->cursorPosition(), 20);
        QVERIFY(!pFind->Running());
    }

    void closingTheWorkspaceEndsTheSearch()
    {
        auto frame = Workspace(QStringLiteral(DRAVIK_SAMPLES_DIR "/pst-extractor-enron.pst"));
        QVERIFY(frame);
        CFindWindow* pFind = frame->ShowFindWindow();
        pFind->SetQuery(QStringLiteral("not exists PR_BODY"));
        QVERIFY(pFind->Start());
        frame.reset();  // joins the search before the session goes
    }
};

QTEST_MAIN(TestFind)
#include "tst_find.moc"
