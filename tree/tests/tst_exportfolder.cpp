// "Export Folder..." through the main window's action, answered through the
// program's prompts: the action is enabled on folders only; a folder exported
// with or without its subfolders gives the same files, byte for byte, as
// dravik-export gives for it; a cancel midway leaves whole files only; what
// is not written is shown at the end.
#include "app/ChildFrame.h"
#include "app/MainFrame.h"
#include "mapi/tests/support/ScriptedPrompts.h"
#include "mapi32/mapix.h"
#include "tree/ExportFolderCommand.h"
#include "tree/LeftView.h"
#include "workspace/CommandIds.h"
#include "workspace/DravikDoc.h"

#include <QAction>
#include <QDirIterator>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <map>

namespace {

const QString kSamples = QStringLiteral(DRAVIK_SAMPLES_DIR);
const QString kStore = QStringLiteral("pst-extractor-enron.pst");
// A folder with one message of its own and four subfolders holding 70 more.
const QStringList kFolderPath = {QStringLiteral("Top of Personal Folders"), QStringLiteral("lokay-m"),
                                 QStringLiteral("MLOKAY (Non-Privileged)")};

// Every file below dir by its path relative to dir, with its bytes.
std::map<QString, QByteArray> Files(const QString& strDir)
{
    std::map<QString, QByteArray> files;
    QDirIterator it(strDir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString strPath = it.next();
        QFile file(strPath);
        files[QDir(strDir).relativeFilePath(strPath)] = file.open(QIODevice::ReadOnly) ? file.readAll() : "<unreadable>";
    }
    return files;
}

// What dravik-export writes for the folder, in the given format.
std::map<QString, QByteArray> ToolExport(const QString& strFormat, const QString& strOut)
{
    QProcess tool;
    tool.start(QStringLiteral(DRAVIK_EXPORT_EXE), {QStringLiteral("--format"), strFormat, QStringLiteral("--folder"),
                                                  kFolderPath.join(QLatin1Char('/')), kSamples + QLatin1Char('/') + kStore,
                                                  strOut});
    if (!tool.waitForFinished(120000) || tool.exitCode() != 0)
        qWarning() << "dravik-export failed:" << tool.readAllStandardError();
    return Files(strOut);
}

} // namespace

class TestExportFolder : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;

    // Opens the store in a workspace of the frame and makes the folder of
    // kFolderPath current, expanding only the folders on the way.
    CLeftView* OpenFolder(CMainFrame& frame)
    {
        CChildFrame* pChild = frame.AddWorkspace(std::make_unique<CDravikDoc>());
        CDravikDoc& doc = *pChild->GetDocument();
        if (doc.ConnectFile(kSamples + QLatin1Char('/') + kStore) != S_OK)
            return nullptr;
        CLeftView& tree = *pChild->LeftView();
        QTreeWidgetItem* pItem = tree.topLevelItem(0);
        tree.ExpandNow(pItem);
        pItem = pItem->child(0); // the store
        for (const QString& strName : kFolderPath) {
            tree.ExpandNow(pItem);
            QTreeWidgetItem* pNext = nullptr;
            for (int i = 0; i < pItem->childCount() && !pNext; ++i)
                if (pItem->child(i)->text(0) == strName)
                    pNext = pItem->child(i);
            if (!pNext)
                return nullptr;
            pItem = pNext;
        }
        // The tree takes the keyboard in an active window, as a user's click gives it.
        frame.activateWindow();
        if (!QTest::qWaitForWindowActive(&frame))
            return nullptr;
        tree.setFocus();
        tree.setCurrentItem(pItem);
        doc.SelectNode(CLeftView::NodeOf(pItem));
        return &tree;
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

    void enabledOnFoldersOnly()
    {
        CScriptedPrompts prompts;
        CMainFrame frame(nullptr);
        frame.show();
        CLeftView* pTree = OpenFolder(frame);
        QVERIFY(pTree != nullptr);
        QAction* pExport = frame.Action(ID_EXPORT_FOLDER);
        frame.UpdateCommandUI();
        QVERIFY(pExport->isEnabled());
        QTreeWidgetItem* pFolder = pTree->currentItem();
        pTree->ExpandNow(pFolder);
        // The store above it, a message in it.
        for (QTreeWidgetItem* pOther : {pTree->topLevelItem(0)->child(0), pFolder->child(pFolder->childCount() - 1)}) {
            QVERIFY(pOther != nullptr);
            pTree->setCurrentItem(pOther);
            pTree->GetDocument()->SelectNode(CLeftView::NodeOf(pOther));
            frame.UpdateCommandUI();
            QVERIFY2(!pExport->isEnabled(), qPrintable(pOther->text(0)));
        }
        QVERIFY(prompts.m_unexpected.isEmpty());
    }

    void exportsAsTheToolDoes_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<QString>("toolFormat");
        QTest::addColumn<bool>("subfolders");
        QTest::newRow("eml with subfolders") << kExportFormatEml << "eml" << true;
        QTest::newRow("eml without subfolders") << kExportFormatEml << "eml" << false;
        QTest::newRow("mbox with subfolders") << kExportFormatMbox << "mbox" << true;
        QTest::newRow("msg without subfolders") << kExportFormatMsg << "msg" << false;
    }

    // The window's export of the folder equals the tool's (without the
    // subfolders: the tool's files of the folder itself); the summary is the tool's.
    void exportsAsTheToolDoes()
    {
        QFETCH(int, format);
        QFETCH(QString, toolFormat);
        QFETCH(bool, subfolders);
        const QString strCase = m_dir.filePath(QStringLiteral("%1-%2").arg(toolFormat).arg(subfolders));
        std::map<QString, QByteArray> expected = ToolExport(toolFormat, strCase + QStringLiteral("-tool"));
        QVERIFY(expected.size() > 1);
        if (!subfolders)
            std::erase_if(expected, [](const auto& file) { return file.first.contains(QLatin1Char('/')); });
        QVERIFY(!expected.empty());

        CScriptedPrompts prompts;
        CMainFrame frame(nullptr);
        frame.show();
        QVERIFY(OpenFolder(frame) != nullptr);
        prompts.AnswerChoice(format);
        prompts.AnswerMessage(subfolders ? QMessageBox::Yes : QMessageBox::No);
        prompts.AnswerFile(strCase);
        prompts.AnswerMessage(QMessageBox::Ok);
        frame.UpdateCommandUI();
        frame.Action(ID_EXPORT_FOLDER)->trigger();
        QVERIFY2(prompts.m_unexpected.isEmpty(), qPrintable(prompts.m_unexpected.join(QLatin1Char('\n'))));
        QCOMPARE(prompts.m_fileRequests.size(), std::size_t(1));
        QVERIFY(prompts.m_fileRequests[0].bFolder);
        QCOMPARE(prompts.m_progressRequests.size(), std::size_t(1));
        QCOMPARE(prompts.m_progressRequests[0].nTotal, subfolders ? 71 : 1);

        const std::map<QString, QByteArray> written = Files(strCase + QLatin1Char('/') + kFolderPath.back());
        QCOMPARE(written.size(), expected.size());
        for (const auto& [strName, bytes] : expected) {
            QVERIFY2(written.count(strName), qPrintable(strName));
            QVERIFY2(written.at(strName) == bytes, qPrintable(strName));
        }
        // The closing message: done, with the tool's summary.
        const CMessageRequest& done = prompts.m_messageRequests.back();
        QCOMPARE(done.nIcon, CMessageRequest::Information);
        const QString strCount = subfolders ? QStringLiteral("71 messages written in 5 folders")
                                            : QStringLiteral("1 message written in 1 folder");
        QVERIFY2(done.strText.contains(strCount) && done.strText.contains(QStringLiteral("; 0 not written.")),
                 qPrintable(done.strText));
    }

    // A cancel midway: fewer files than the whole export, each of them whole
    // (the bytes of the whole export's file of that name), no temporary file
    // left, and the message says it was cancelled. A second export into the
    // same folder asks first and, refused, writes nothing.
    void cancelLeavesWholeFiles()
    {
        const QString strWhole = m_dir.filePath(QStringLiteral("cancel-whole"));
        const std::map<QString, QByteArray> whole = ToolExport(QStringLiteral("eml"), strWhole);
        QCOMPARE(whole.size(), std::size_t(71));

        CScriptedPrompts prompts;
        CMainFrame frame(nullptr);
        frame.show();
        QVERIFY(OpenFolder(frame) != nullptr);
        const QString strCase = m_dir.filePath(QStringLiteral("cancel"));
        prompts.AnswerChoice(kExportFormatEml);
        prompts.AnswerMessage(QMessageBox::Yes);
        prompts.AnswerFile(strCase);
        prompts.CancelProgressAt(40);
        prompts.AnswerMessage(QMessageBox::Ok);
        frame.UpdateCommandUI();
        frame.Action(ID_EXPORT_FOLDER)->trigger();
        QVERIFY2(prompts.m_unexpected.isEmpty(), qPrintable(prompts.m_unexpected.join(QLatin1Char('\n'))));
        QCOMPARE(prompts.m_progressSteps.size(), std::size_t(40));

        const std::map<QString, QByteArray> written = Files(strCase + QLatin1Char('/') + kFolderPath.back());
        QVERIFY(!written.empty());
        QVERIFY2(written.size() < whole.size(), qPrintable(QString::number(written.size())));
        for (const auto& [strName, bytes] : written) {
            QVERIFY2(!strName.endsWith(QStringLiteral(".part~")), qPrintable(strName));
            QVERIFY2(whole.count(strName) && whole.at(strName) == bytes, qPrintable(strName));
        }
        QVERIFY2(prompts.m_messageRequests.back().strText.contains(QStringLiteral("cancelled")),
                 qPrintable(prompts.m_messageRequests.back().strText));

        // Again into the same folder: asked whether to write into it; No writes nothing.
        const std::size_t nBefore = written.size();
        prompts.AnswerChoice(kExportFormatEml);
        prompts.AnswerMessage(QMessageBox::Yes);
        prompts.AnswerFile(strCase);
        prompts.AnswerMessage(QMessageBox::No);
        frame.Action(ID_EXPORT_FOLDER)->trigger();
        QVERIFY2(prompts.m_unexpected.isEmpty(), qPrintable(prompts.m_unexpected.join(QLatin1Char('\n'))));
        QVERIFY(prompts.m_messageRequests.back().strText.contains(QStringLiteral("already exists")));
        QCOMPARE(Files(strCase + QLatin1Char('/') + kFolderPath.back()).size(), nBefore);
        QCOMPARE(prompts.m_progressRequests.size(), std::size_t(1));
    }

    // What is not written is shown at the end with its path and reason, and the
    // box warns: here the folder to write into cannot be made (a file is in the way).
    void problemsAreShown()
    {
        const QString strFile = m_dir.filePath(QStringLiteral("not-a-folder"));
        QFile file(strFile);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();

        CScriptedPrompts prompts;
        CMainFrame frame(nullptr);
        frame.show();
        QVERIFY(OpenFolder(frame) != nullptr);
        prompts.AnswerChoice(kExportFormatMbox);
        prompts.AnswerMessage(QMessageBox::No);
        prompts.AnswerFile(strFile);
        prompts.AnswerMessage(QMessageBox::Ok);
        frame.UpdateCommandUI();
        frame.Action(ID_EXPORT_FOLDER)->trigger();
        QVERIFY2(prompts.m_unexpected.isEmpty(), qPrintable(prompts.m_unexpected.join(QLatin1Char('\n'))));
        const CMessageRequest& done = prompts.m_messageRequests.back();
        QCOMPARE(done.nIcon, CMessageRequest::Warning);
        QVERIFY2(done.strText.contains(QStringLiteral("0 messages written in 0 folders")) &&
                     done.strText.contains(QStringLiteral("Not written:\n/") + kFolderPath.back() +
                                           QStringLiteral(": the folder ")) &&
                     done.strText.contains(QStringLiteral("cannot be made")),
                 qPrintable(done.strText));
    }
};

QTEST_MAIN(TestExportFolder)
#include "tst_exportfolder.moc"
