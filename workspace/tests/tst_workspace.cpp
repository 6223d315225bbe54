// The workspace document: row/entry toggle, views updated, dictionary loaded
// once per process with a report while it is missing.
#include "workspace/CommandIds.h"
#include "workspace/DravikDoc.h"

#include "ScriptedPrompts.h"

#include <QApplication>
#include <QTemporaryDir>
#include <QTest>

namespace {

struct CountingView : CDocView
{
    int nUpdates = 0;
    void OnUpdate(CDocView*, long lHint, void* pHint) override
    {
        QCOMPARE(lHint, 0L);
        QVERIFY(pHint == nullptr);
        ++nUpdates;
    }
};

// Counts the error reports shown while constructing documents.
struct ReportCounter
{
    CScriptedPrompts prompts;
    int Count() const { return static_cast<int>(prompts.m_errorReports.size()); }
    QString Last() const { return prompts.m_errorReports.empty() ? QString() : prompts.m_errorReports.back().strMessage; }
};

} // namespace

class TestWorkspace : public QObject
{
    Q_OBJECT
private slots:
    void toggleSwitchesWhicheverItemIsChosen()
    {
        QTemporaryDir dir;
        QDir::setCurrent(QStringLiteral(DRAVIK_SOURCE_DIR));
        CDravikDoc doc;
        CountingView view;
        doc.AddView(&view);
        CCmdUI row, entry;
        QVERIFY(doc.OnUpdateCommand(ID_VIEW_ROWPROPS, row));
        QVERIFY(doc.OnUpdateCommand(ID_VIEW_ENTRYPROPS, entry));
        QVERIFY(row.bChecked && !entry.bChecked);

        // Choosing the checked item still switches.
        QVERIFY(doc.OnCommand(ID_VIEW_ROWPROPS));
        QVERIFY(doc.m_bEntryProps);
        QVERIFY(doc.OnCommand(ID_VIEW_ROWPROPS));
        QVERIFY(!doc.m_bEntryProps);
        QVERIFY(doc.OnCommand(ID_VIEW_ENTRYPROPS));
        QVERIFY(doc.m_bEntryProps);
        QCOMPARE(view.nUpdates, 3);

        row = entry = CCmdUI{};
        doc.OnUpdateCommand(ID_VIEW_ROWPROPS, row);
        doc.OnUpdateCommand(ID_VIEW_ENTRYPROPS, entry);
        QVERIFY(!row.bChecked && entry.bChecked);
        doc.RemoveView(&view);
    }

    void dictionaryReportedUntilLoaded()
    {
        CDravikDoc::ResetDictionaryLoaded();
        QTemporaryDir empty;
        QDir::setCurrent(empty.path());
        if (!CDravikDoc::FindDictionary().isEmpty())
            QSKIP("a Dravik.ini is installed next to the test or in the data folder");
        ReportCounter reports;
        { CDravikDoc first; }
        { CDravikDoc second; }
        QCOMPARE(reports.Count(), 2);
        QCOMPARE(reports.Last(), QStringLiteral("Failed to load Dravik.ini"));

        QDir::setCurrent(QStringLiteral(DRAVIK_SOURCE_DIR));
        { CDravikDoc third; }
        QDir::setCurrent(empty.path());
        { CDravikDoc fourth; }
        QCOMPARE(reports.Count(), 2);
    }

    void newDocumentTitle()
    {
        QDir::setCurrent(QStringLiteral(DRAVIK_SOURCE_DIR));
        CDravikDoc doc;
        QString strSeen;
        connect(&doc, &CDravikDoc::titleChanged, [&](const QString& s) { strSeen = s; });
        QVERIFY(doc.OnNewDocument());
        QCOMPARE(strSeen, QStringLiteral("New Workspace"));
        QVERIFY(!doc.IsConnected());
    }
};

QTEST_MAIN(TestWorkspace)
#include "tst_workspace.moc"
