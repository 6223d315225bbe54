// "Show Body..." on real messages, through the command router as a user gives it: HTML
// rendered offline with its cid: images from the message's attachments, an RTF body as
// its text, and a message without a body that says so.
#include "app/ChildFrame.h"
#include "app/MainFrame.h"
#include "mapi/tests/support/ScriptedPrompts.h"
#include "mapi32/mapix.h"
#include "tree/BodyView.h"
#include "tree/LeftView.h"
#include "workspace/CommandIds.h"
#include "workspace/DravikDoc.h"

#include <QAction>
#include <QApplication>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString kSamples = QStringLiteral(DRAVIK_SAMPLES_DIR);

void ExpandAll(CLeftView& tree, QTreeWidgetItem* pItem)
{
    tree.ExpandNow(pItem);
    for (int i = 0; i < pItem->childCount(); ++i)
        ExpandAll(tree, pItem->child(i));
}

std::vector<CBodyView*> BodyViews()
{
    std::vector<CBodyView*> views;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* v = qobject_cast<CBodyView*>(w); v && v->isVisible())
            views.push_back(v);
    return views;
}

} // namespace

class TestBodyView : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;

    // Opens a sample in a workspace, makes the message with this subject current and gives
    // "Show Body..." through the frame's action. The view it opened, or null.
    CBodyView* ShowBody(CMainFrame& frame, const QString& strSample, const QString& strSubject,
                        CDravikDoc** ppDoc = nullptr)
    {
        CChildFrame* pChild = frame.AddWorkspace(std::make_unique<CDravikDoc>());
        CDravikDoc& doc = *pChild->GetDocument();
        if (ppDoc)
            *ppDoc = &doc;
        if (doc.ConnectFile(kSamples + QLatin1Char('/') + strSample) != S_OK)
            return nullptr;
        CLeftView& tree = *pChild->LeftView();
        ExpandAll(tree, tree.topLevelItem(0));
        QTreeWidgetItem* pItem = tree.findItems(strSubject, Qt::MatchRecursive).value(0);
        if (pItem == nullptr)
            return nullptr;
        QAction* pShow = frame.Action(ID_SHOW_BODY);
        tree.setFocus();
        // The tree is the active pane once its window has the focus.
        if (!QTest::qWaitFor([&tree]() { return tree.hasFocus(); }, 60000))
            return nullptr;
        doc.SelectNode(CLeftView::NodeOf(pItem->parent()));
        frame.UpdateCommandUI();
        if (pShow->isEnabled())  // a folder has no body
            return nullptr;
        tree.setCurrentItem(pItem);
        doc.SelectNode(CLeftView::NodeOf(pItem));
        frame.UpdateCommandUI();
        if (!pShow->isEnabled())
            return nullptr;
        const size_t before = BodyViews().size();
        pShow->trigger();
        const auto views = BodyViews();
        return views.size() == before + 1 ? views.back() : nullptr;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        qputenv("DRAVIK_MAPI_PROFILES", m_dir.path().toUtf8());
        QCOMPARE(MAPIInitialize(nullptr), S_OK);
        QDir::setCurrent(QStringLiteral(DRAVIK_SOURCE_DIR));
    }

    void cleanupTestCase() { MAPIUninitialize(); }

    void htmlWithInlineImagesOffline()
    {
        CScriptedPrompts prompts;
        CMainFrame frame(nullptr);
        frame.show();
        CBodyView* pView = ShowBody(frame, QStringLiteral("pst-extractor-outlookcom.ost"),
                                    QStringLiteral("Welcome to your new Outlook.com account"));
        QVERIFY(pView != nullptr);
        QCOMPARE(pView->Body().best, dravik::content::BodyKind::Html);
        QVERIFY(pView->SourceText().startsWith(QStringLiteral("HTML body from ")));
        QVERIFY2(pView->Browser()->m_nResolved > 0, qPrintable(pView->Browser()->m_refused.join(QLatin1Char(' '))));
        // Nothing else is loaded: every URL that is no image of the message is refused.
        for (const QString& url : pView->Browser()->m_refused)
            QVERIFY2(!url.startsWith(QStringLiteral("cid:")), qPrintable(url));
        QVERIFY(pView->Browser()->toPlainText().contains(QStringLiteral("Outlook.com")));
        pView->close();
        QVERIFY(prompts.m_unexpected.isEmpty());
    }

    void rtfBodyAndNoBody()
    {
        CScriptedPrompts prompts;
        CMainFrame frame(nullptr);
        frame.show();
        CDravikDoc* pDoc = nullptr;
        CBodyView* pView =
            ShowBody(frame, QStringLiteral("duckdb-pst-unittest.pst"), QStringLiteral("Linus Cat"), &pDoc);
        QVERIFY(pView != nullptr);
        QCOMPARE(QString::fromStdString(pView->Body().source), QStringLiteral("PR_RTF_COMPRESSED"));
        QVERIFY(!pView->Browser()->toPlainText().isEmpty());
        QVERIFY(pView->Browser()->toPlainText() != QLatin1String(CBodyView::kNoBody));
        // The view holds its message: the workspace may disconnect before it is closed.
        pDoc->OnDisconnect();
        pView->close();

        // A workspace of its own: commands go to the active one.
        CMainFrame other(nullptr);
        other.show();
        CBodyView* pNone = ShowBody(other, QStringLiteral("pst-extractor-outlookcom.ost"),
                                    QStringLiteral("just a regular meeting"));
        QVERIFY(pNone != nullptr);
        QCOMPARE(pNone->Browser()->toPlainText(), QLatin1String(CBodyView::kNoBody));
        QCOMPARE(pNone->SourceText(), QLatin1String(CBodyView::kNoBody));
        pNone->close();
        QVERIFY(prompts.m_unexpected.isEmpty());
    }
};

QTEST_MAIN(TestBodyView)
#include "tst_bodyview.moc"
