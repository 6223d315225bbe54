// The object tree on real stores: the roots and their listings, expansion
// order, icons, groups, embedded messages, progress, loading once, click
// selection, and saving attachments. The tree is also compared, line for
// line, with dravik-dump's walk of the same store.
#include "app/ChildFrame.h"
#include "app/MainFrame.h"
#include "list/DravikView.h"
#include "mapi/MAPICommandView.h"
#include "mapi/Prompts.h"
#include "mapi/TraceWriter.h"
#include "DumpWriter.h"
#include "ScriptedPrompts.h"
#include "StoreProfile.h"
#include "tree/AttachmentSave.h"
#include "tree/LeftView.h"
#include "tree/TreeRules.h"
#include "workspace/CommandIds.h"
#include "workspace/DravikDoc.h"

#include "pst/writer/StoreWriter.h"
#include "Corrupters.h"

#include "mapi32/mapicode.h"
#include "mapi32/mapix.h"
#include "mapi32/mapiutil.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QKeyEvent>
#include <QPointer>
#include <QToolButton>
#include <QTest>

#include <sys/resource.h>

#include <csignal>
#include <functional>
#include <memory>

namespace pw = dravik::pst::writer;

namespace {

// A document with a trace pane and a tree, as a workspace window has them.
struct Workspace
{
    CMAPICommandView pane;
    std::unique_ptr<CDravikDoc> pDoc = std::make_unique<CDravikDoc>();
    std::unique_ptr<CLeftView> pTree;
    Workspace()
    {
        pDoc->m_ppTraceWriter = new CMAPITraceSlot(new CTraceWriter(&pane));
        pTree = std::make_unique<CLeftView>(pDoc.get());
        pDoc->AddView(pTree.get());
        pTree->resize(500, 700);
    }
    ~Workspace()
    {
        // The document goes first: closing it disconnects and frees the tree.
        pDoc.reset();
        pTree.reset();
    }
    QString Trace() const
    {
        QCoreApplication::processEvents();
        return pane.toPlainText();
    }
};

QTreeWidgetItem* Child(QTreeWidgetItem* pParent, const QString& strText)
{
    if (pParent == nullptr)
        return nullptr;
    for (int i = 0; i < pParent->childCount(); ++i) {
        if (pParent->child(i)->text(0) == strText)
            return pParent->child(i);
    }
    return nullptr;
}

// The folder of this name below the top folders of the first store, with
// everything above it expanded.
QTreeWidgetItem* StoreFolder(CLeftView& tree, const QString& strName)
{
    QTreeWidgetItem* pStore = tree.topLevelItem(0)->child(0);
    tree.ExpandNow(pStore);
    for (int i = 1; i < pStore->childCount(); ++i) {
        tree.ExpandNow(pStore->child(i));
        if (QTreeWidgetItem* pFolder = Child(pStore->child(i), strName))
            return pFolder;
    }
    return nullptr;
}

using Bytes = std::vector<uint8_t>;

// A copy of pstsdk-sample1.pst in dir, damaged by damage (which reads the good store);
// its path, or empty when it could not be written.
QString DamagedSample1(const QTemporaryDir& dir, const QString& strName,
                       const std::function<void(Bytes&, dravik::pst::Store&)>& damage)
{
    const std::string sample = std::string(DRAVIK_SAMPLES_DIR) + "/pstsdk-sample1.pst";
    QFile in(QString::fromStdString(sample));
    if (!in.open(QIODevice::ReadOnly))
        return QString();
    const QByteArray good = in.readAll();
    Bytes bytes(good.begin(), good.end());
    damage(bytes, *dravik::pst::Store::open(sample));
    const QString path = dir.filePath(strName);
    QFile out(path);
    if (!out.open(QIODevice::WriteOnly) ||
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size())) != good.size())
        return QString();
    return path;
}

int Kind(const QTreeWidgetItem* pItem)
{
    return CLeftView::NodeOf(pItem) ? CLeftView::NodeOf(pItem)->m_nKind : -100;
}

void ExpandAll(CLeftView& tree, QTreeWidgetItem* pItem)
{
    tree.ExpandNow(pItem);
    for (int i = 0; i < pItem->childCount(); ++i)
        ExpandAll(tree, pItem->child(i));
}

// Depth and text of every item below pItem, as the dump writes them.
void Lines(QTreeWidgetItem* pItem, int nDepth, QStringList& lines)
{
    lines << QString(nDepth * 2, QLatin1Char(' ')) + QString::fromStdString(TextLine(pItem->text(0).toStdString()));
    for (int i = 0; i < pItem->childCount(); ++i)
        Lines(pItem->child(i), nDepth + 1, lines);
}

const QString kSamples = QStringLiteral(DRAVIK_SAMPLES_DIR);

QByteArray ReadAll(const QString& strPath)
{
    QFile file(strPath);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

void WriteFile(const QString& strPath, const QByteArray& data)
{
    QFile file(strPath);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(data), data.size());
}

pw::Recipient Recipient(const std::string& strName)
{
    pw::Recipient r;
    r.props.set(PR_DISPLAY_NAME_W, pw::PropValue::unicode(strName))
        .set(PR_EMAIL_ADDRESS_W, pw::PropValue::unicode(strName + "@example.org"))
        .set(PR_ADDRTYPE_W, pw::PropValue::unicode("SMTP"))
        .set(PR_RECIPIENT_TYPE, pw::PropValue::i4(1));
    return r;
}

pw::Message Message(const std::string& strSubject)
{
    pw::Message m;
    m.props.set(PR_MESSAGE_CLASS_W, pw::PropValue::unicode("IPM.Note"))
        .set(PR_SUBJECT_W, pw::PropValue::unicode(strSubject));
    m.recipients.push_back(Recipient("Ada"));
    return m;
}

pw::Attachment FileAttachment(const std::string& strLongName, const std::string& strData)
{
    pw::Attachment a;
    a.props.set(PR_ATTACH_LONG_FILENAME_W, pw::PropValue::unicode(strLongName))
        .set(PR_ATTACH_FILENAME_W, pw::PropValue::unicode("FILE~1.BIN"));
    a.data.assign(strData.begin(), strData.end());
    return a;
}

pw::Attachment Embedded(pw::Message message)
{
    pw::Attachment a;
    a.props.set(PR_ATTACH_FILENAME_W, pw::PropValue::unicode("forward.msg"));
    a.embedded = std::make_shared<pw::Message>(std::move(message));
    return a;
}

// A store with a folder of three messages, a message with a file, an empty
// file, a file with a hostile name, and a message embedded two levels deep.
void WriteCraftedStore(const std::string& strPath)
{
    pw::StoreWriter w(strPath, {});
    const auto three = w.addFolder(w.ipmSubtree(), "Three", "IPF.Note");
    for (const char* pszSubject : {"one", "two", "three"})
        w.addMessage(three, Message(pszSubject));
    const auto files = w.addFolder(w.ipmSubtree(), "Files", "IPF.Note");
    pw::Message withFiles = Message("With files");
    withFiles.attachments.push_back(FileAttachment("hello.txt", "hello, attachment"));
    withFiles.attachments.push_back(FileAttachment("empty.txt", ""));
    withFiles.attachments.push_back(FileAttachment("../../evil\x01.txt", "evil"));
    pw::Message levelTwo = Message("Level two");
    levelTwo.recipients = {Recipient("Deep Reader")};
    levelTwo.attachments.push_back(FileAttachment("deep.txt", "deep"));
    pw::Message levelOne = Message("Level one");
    levelOne.attachments.push_back(Embedded(std::move(levelTwo)));
    withFiles.attachments.push_back(Embedded(std::move(levelOne)));
    w.addMessage(files, withFiles);
    w.finish();
}

// Damages a copy of a good Unicode store: the root page of its node B-tree
// (named by the header's ROOT.BREFNBT, MS-PST 2.2.2.5) is overwritten with
// zeros, so that no node of the store can be found.
void ZeroNodeBTreeRoot(const QString& strPath)
{
    QFile file(strPath);
    QVERIFY(file.open(QIODevice::ReadWrite));
    const QByteArray header = file.read(512);
    QCOMPARE(header.size(), 512);
    QVERIFY2(static_cast<unsigned char>(header[10]) >= 23, "not a Unicode store");  // wVer
    quint64 ibNbt = 0;
    for (int i = 7; i >= 0; --i)
        ibNbt = (ibNbt << 8) | static_cast<unsigned char>(header[224 + i]);
    QVERIFY(ibNbt >= 512 && ibNbt + 512 <= static_cast<quint64>(file.size()));
    QVERIFY(file.seek(static_cast<qint64>(ibNbt)));
    QCOMPARE(file.write(QByteArray(512, '\0')), qint64(512));
}

// Clicks the item's text with the left button.
void Click(CLeftView& tree, QTreeWidgetItem* pItem)
{
    tree.scrollToItem(pItem);
    const QRect rect = tree.visualItemRect(pItem);
    QTest::mouseClick(tree.viewport(), Qt::LeftButton, {}, rect.center());
}

} // namespace

class TestTree : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    QString m_strCrafted;
    QString m_strDemo;

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QDir().mkpath(m_dir.filePath(QStringLiteral("profiles")));
        qputenv("DRAVIK_MAPI_PROFILES", m_dir.filePath(QStringLiteral("profiles")).toUtf8());
        QCOMPARE(MAPIInitialize(nullptr), S_OK);
        QDir::setCurrent(QStringLiteral(DRAVIK_SOURCE_DIR));
        m_strCrafted = m_dir.filePath(QStringLiteral("crafted.pst"));
        WriteCraftedStore(m_strCrafted.toStdString());
        m_strDemo = m_dir.filePath(QStringLiteral("demo.pst"));
        QCOMPARE(QProcess::execute(QStringLiteral(DRAVIK_PSTGEN_EXE), {QStringLiteral("demo"), m_strDemo}), 0);
    }

    void cleanupTestCase() { MAPIUninitialize(); }

    // The five roots in order, with their images, and the four listings.
    void rootsAndListings()
    {
        CScriptedPrompts prompts;
        Workspace ws;
        QCOMPARE(ws.pDoc->ConnectFile(m_strCrafted), S_OK);
        CLeftView& tree = *ws.pTree;
        QVERIFY(tree.m_bRootsBuilt);
        const QStringList names = {"Message Stores", "Status Tables", "Profiles", "Services", "Address Book(s)"};
        const int images[] = {1, 10, 13, 3, 14};
        QCOMPARE(tree.topLevelItemCount(), 5);
        for (int i = 0; i < 5; ++i) {
            QTreeWidgetItem* pRoot = tree.topLevelItem(i);
            QCOMPARE(pRoot->text(0), names[i]);
            QCOMPARE(pRoot->data(0, CLeftView::ImageRole).toInt(), images[i]);
            QCOMPARE(pRoot->data(0, CLeftView::SelImageRole).toInt(), images[i]);
        }
        QCOMPARE(Kind(tree.topLevelItem(4)), NODE_ADDRBOOK_ROOT);
        const int rowKinds[] = {MAPI_STORE, MAPI_STATUS, MAPI_PROFSECT, MAPI_STATUS};
        for (int i = 0; i < 4; ++i) {
            QTreeWidgetItem* pRoot = tree.topLevelItem(i);
            QVERIFY2(pRoot->childCount() >= 1, qPrintable(names[i]));
            for (int j = 0; j < pRoot->childCount(); ++j)
                QCOMPARE(Kind(pRoot->child(j)), rowKinds[i]);
        }
        QCOMPARE(tree.topLevelItem(0)->child(0)->data(0, CLeftView::ImageRole).toInt(), 1);
        QCOMPARE(tree.topLevelItem(4)->childCount(), 0);  // loaded on expansion

        // The calls in the order the roots are built.
        const QString strTrace = ws.Trace();
        const QStringList order = {"IMAPISession->GetMsgStoresTable()", "IMAPISession->OpenMsgStore()",
                                   "IMAPIStore->OpenEntry()",           "IMAPISession->GetStatusTable()",
                                   "IProfAdmin->GetProfileTable()",     "IMAPISession->AdminServices()",
                                   "IServiceAdmin->GetMsgServiceTable()", "IMAPISession->OpenAddressBook()",
                                   "IADRBook->OpenEntry()"};
        qsizetype nAt = strTrace.indexOf(QStringLiteral("MAPILogonEx()"));
        for (const QString& strCall : order) {
            const qsizetype nNext = strTrace.indexOf(strCall, nAt);
            QVERIFY2(nNext > nAt, qPrintable(strCall + QStringLiteral(" in order in:\n") + strTrace));
            nAt = nNext;
        }
        QVERIFY(prompts.m_unexpected.isEmpty());
        QVERIFY(prompts.m_errorReports.empty());

        // Disconnecting frees the tree and the current node with it.
        ws.pDoc->SelectNode(CLeftView::NodeOf(tree.topLevelItem(0)->child(0)));
        ws.pDoc->OnDisconnect();
        QCOMPARE(tree.topLevelItemCount(), 0);
        QVERIFY(!tree.m_bRootsBuilt);
        QCOMPARE(ws.pDoc->GetSelectedNode(), nullptr);
        QCOMPARE(ws.pDoc->ConnectFile(m_strCrafted), S_OK);
        QCOMPARE(tree.topLevelItemCount(), 5);
    }

    // A store shows "Named Properties", then subfolders, then messages, with
    // the folders' class images; messages get their groups; an embedded
    // message shows below its attachment, two levels deep.
    void expansionOrderGroupsAndEmbedded()
    {
        CScriptedPrompts prompts;
        Workspace ws;
        QCOMPARE(ws.pDoc->ConnectFile(m_strCrafted), S_OK);
        CLeftView& tree = *ws.pTree;
        QTreeWidgetItem* pStore = tree.topLevelItem(0)->child(0);
        tree.ExpandNow(pStore);
        QVERIFY(pStore->childCount() >= 2);
        QCOMPARE(pStore->child(0)->text(0), QStringLiteral("Named Properties"));
        QCOMPARE(Kind(pStore->child(0)), NODE_NAMED_PROPS);
        QCOMPARE(pStore->child(0)->data(0, CLeftView::ImageRole).toInt(), 17);
        for (int i = 1; i < pStore->childCount(); ++i)
            QCOMPARE(Kind(pStore->child(i)), MAPI_FOLDER);

        QTreeWidgetItem* pThree = StoreFolder(tree, QStringLiteral("Three"));
        QVERIFY(pThree != nullptr);
        QCOMPARE(pThree->data(0, CLeftView::ImageRole).toInt(), 21);  // IPF.Note
        tree.ExpandNow(pThree);
        QCOMPARE(pThree->childCount(), 3);
        QTreeWidgetItem* pMessage = pThree->child(0);
        QCOMPARE(pMessage->text(0), QStringLiteral("one"));
        QCOMPARE(Kind(pMessage), MAPI_MESSAGE);
        QCOMPARE(pMessage->data(0, CLeftView::ImageRole).toInt(), 25);  // IPM.Note
        // Its groups were listed and went with its opened message: the
        // message lists them again when expanded.
        QCOMPARE(pMessage->childCount(), 0);
        QCOMPARE(pMessage->childIndicatorPolicy(), QTreeWidgetItem::ShowIndicator);
        const QString strTrace = ws.Trace();
        tree.ExpandNow(pMessage);
        QVERIFY(ws.Trace().size() > strTrace.size());
        // No attachments: only its recipients.
        QCOMPARE(pMessage->childCount(), 1);
        QCOMPARE(pMessage->child(0)->text(0), QStringLiteral("Recipients"));
        QCOMPARE(pMessage->child(0)->data(0, CLeftView::ImageRole).toInt(), 30);
        QCOMPARE(pMessage->child(0)->data(0, CLeftView::SelImageRole).toInt(), 29);
        QCOMPARE(pMessage->child(0)->child(0)->text(0), QStringLiteral("Ada"));
        QCOMPARE(Kind(pMessage->child(0)->child(0)), MAPI_MAILUSER);
        // The group shares its message's object and does not own it.
        ws.pDoc->SelectNode(CLeftView::NodeOf(pMessage->child(0)));
        QVERIFY(CLeftView::NodeOf(pMessage)->Message() != nullptr);
        QCOMPARE(CLeftView::NodeOf(pMessage->child(0))->Entry(), CLeftView::NodeOf(pMessage)->Entry());
        QVERIFY(!CLeftView::NodeOf(pMessage->child(0))->m_bOwns);

        QTreeWidgetItem* pFiles = Child(pThree->parent(), QStringLiteral("Files"));
        QVERIFY(pFiles != nullptr);
        tree.ExpandNow(pFiles);
        QTreeWidgetItem* pWith = Child(pFiles, QStringLiteral("With files"));
        QVERIFY(pWith != nullptr);
        // An embedded message keeps its attachment, its message and their groups open.
        QCOMPARE(pWith->childCount(), 2);
        QCOMPARE(pWith->child(0)->text(0), QStringLiteral("Attachments"));
        QCOMPARE(pWith->child(1)->text(0), QStringLiteral("Recipients"));
        QTreeWidgetItem* pAttachments = pWith->child(0);
        QCOMPARE(pAttachments->childCount(), 4);
        for (int i = 0; i < 4; ++i) {
            QCOMPARE(Kind(pAttachments->child(i)), MAPI_ATTACH);
            QCOMPARE(pAttachments->child(i)->data(0, CLeftView::ImageRole).toInt(), 7);
        }
        // Two levels of embedded messages, each with its own groups.
        QTreeWidgetItem* pForward = pAttachments->child(3);
        QCOMPARE(pForward->text(0), QStringLiteral("forward.msg"));
        QCOMPARE(pForward->childCount(), 1);
        QTreeWidgetItem* pOne = pForward->child(0);
        QCOMPARE(pOne->text(0), QStringLiteral("Level one"));
        QCOMPARE(Kind(pOne), MAPI_MESSAGE);
        QTreeWidgetItem* pTwo = Child(Child(Child(pOne, QStringLiteral("Attachments")), QStringLiteral("forward.msg")),
                                      QStringLiteral("Level two"));
        QVERIFY(pTwo != nullptr);
        QCOMPARE(CLeftView::NodeOf(pTwo)->m_nEmbedDepth, 2);
        QVERIFY(Child(Child(pTwo, QStringLiteral("Recipients")), QStringLiteral("Deep Reader")) != nullptr);
        QVERIFY(Child(Child(pTwo, QStringLiteral("Attachments")), QStringLiteral("FILE~1.BIN")) != nullptr);
        QVERIFY(prompts.m_errorReports.empty());
        QVERIFY(prompts.m_unexpected.isEmpty());
    }

    // A profile of three stores lists them in the profile's order. When the
    // second store's file is damaged, the store provider cannot log on to it,
    // so the profile's logon fails as a whole: one error report, no tree, and
    // no store of the profile is opened.
    void profileOfThreeStores()
    {
        const QString strGood = m_dir.filePath(QStringLiteral("second-good.pst"));
        const QString strDamaged = m_dir.filePath(QStringLiteral("second-damaged.pst"));
        QVERIFY(QFile::copy(m_strDemo, strGood));
        QVERIFY(QFile::copy(m_strDemo, strDamaged));
        const std::string strCrafted = m_strCrafted.toStdString(), strDemo = m_strDemo.toStdString();
        QCOMPARE(CreateStoreProfile("Three Good", {strCrafted, strGood.toStdString(), strDemo}), S_OK);
        // A damaged file cannot be configured: it is damaged afterwards.
        QCOMPARE(CreateStoreProfile("Second Damaged", {strCrafted, strDamaged.toStdString(), strDemo}), S_OK);
        ZeroNodeBTreeRoot(strDamaged);
        if (QTest::currentTestFailed())
            return;

        {
            CScriptedPrompts prompts;
            Workspace ws;
            QCOMPARE(ws.pDoc->ConnectProfile("Three Good"), S_OK);
            QTreeWidgetItem* pStores = ws.pTree->topLevelItem(0);
            QVERIFY(pStores != nullptr);
            QCOMPARE(pStores->childCount(), 3);
            for (int i = 0; i < 3; ++i) {
                QCOMPARE(Kind(pStores->child(i)), static_cast<int>(MAPI_STORE));
                QVERIFY(CLeftView::NodeOf(pStores->child(i))->m_pContainer->Obj() != nullptr);
            }
            QVERIFY(prompts.m_errorReports.empty());
            QVERIFY(prompts.m_unexpected.isEmpty());
        }
        {
            CScriptedPrompts prompts;
            Workspace ws;
            QCOMPARE(ws.pDoc->ConnectProfile("Second Damaged"), MAPI_E_CORRUPT_DATA);
            QCOMPARE(prompts.m_errorReports.size(), size_t(1));
            QVERIFY(prompts.m_errorReports[0].strMessage.startsWith(QStringLiteral("MAPI Logon Failure: ")));
            QCOMPARE(prompts.m_errorReports[0].hr, static_cast<std::int32_t>(MAPI_E_CORRUPT_DATA));
            QVERIFY(!ws.pDoc->IsConnected());
            QVERIFY(!ws.pTree->m_bRootsBuilt);
            QCOMPARE(ws.pTree->topLevelItemCount(), 0);
            QVERIFY(!ws.Trace().contains(QStringLiteral("OpenMsgStore")));
            QVERIFY(prompts.m_unexpected.isEmpty());
        }
    }

    // Three rows send 33, 66 and 100; collapsing and expanding again loads
    // nothing twice.
    void progressAndLoadingOnce()
    {
        CScriptedPrompts prompts;
        Workspace ws;
        QCOMPARE(ws.pDoc->ConnectFile(m_strCrafted), S_OK);
        CLeftView& tree = *ws.pTree;
        QTreeWidgetItem* pThree = StoreFolder(tree, QStringLiteral("Three"));
        QVERIFY(pThree != nullptr);
        QList<int> sent;
        connect(&tree, &CLeftView::progress, this, [&sent](int n) { sent << n; });
        tree.ExpandNow(pThree);
        QCOMPARE(sent, (QList<int>{33, 66, 100}));

        const QString strTrace = ws.Trace();
        tree.collapseItem(pThree);
        tree.ExpandNow(pThree);
        tree.collapseItem(pThree);
        tree.ExpandNow(pThree);
        QCOMPARE(pThree->childCount(), 3);
        QCOMPARE(ws.Trace(), strTrace);
        QCOMPARE(sent.size(), 3);
    }

    // A store whose root folder cannot be opened (its property context is
    // damaged, the block's CRC made right) is reported through the prompts,
    // and its node has no children rather than looking like an empty store.
    void damagedRootFolderIsReported()
    {
        const QString damaged = DamagedSample1(m_dir, QStringLiteral("damaged-root.pst"), [](Bytes& bytes, dravik::pst::Store& store) {
            const dravik::pst::NodeRef root = store.ndb().node(store.rootFolderNid());
            dravik::pst::corrupters::rewriteBlock(bytes, store.ndb(), root.bidData,
                                                  [](std::span<uint8_t> b) { b[2] = 0x00; });  // HNHDR bSig
        });
        QVERIFY(!damaged.isEmpty());

        CScriptedPrompts prompts;
        Workspace ws;
        QCOMPARE(ws.pDoc->ConnectFile(damaged), S_OK);
        CLeftView& tree = *ws.pTree;
        QTreeWidgetItem* pStores = tree.topLevelItem(0);
        tree.ExpandNow(pStores);
        QCOMPARE(pStores->childCount(), 1);
        QTreeWidgetItem* pStore = pStores->child(0);
        tree.ExpandNow(pStore);
        QCOMPARE(prompts.m_errorReports.size(), size_t{1});
        QCOMPARE(prompts.m_errorReports[0].strMessage, QStringLiteral("Failed to open the root folder"));
        QCOMPARE(prompts.m_errorReports[0].hr, static_cast<std::int32_t>(MAPI_E_CORRUPT_DATA));
        QCOMPARE(pStore->childCount(), 0);
        QVERIFY(prompts.m_unexpected.isEmpty());
    }

    // A message's recipient or attachment table that cannot be read (its subnode's NID
    // damaged) is reported when the message is listed; the other group stays.
    void damagedMessageTableIsReported_data()
    {
        QTest::addColumn<quint32>("from");
        QTest::addColumn<quint32>("to");
        QTest::addColumn<QString>("report");
        QTest::addColumn<QString>("remaining");
        QTest::newRow("recipients") << quint32{0x692} << quint32{0x693} << QStringLiteral("Failed to list the recipients")
                                    << QStringLiteral("Attachments");
        QTest::newRow("attachments") << quint32{0x671} << quint32{0x661} << QStringLiteral("Failed to list the attachments")
                                     << QStringLiteral("Recipients");
    }

    void damagedMessageTableIsReported()
    {
        QFETCH(quint32, from);
        QFETCH(quint32, to);
        QFETCH(QString, report);
        QFETCH(QString, remaining);
        const QString damaged = DamagedSample1(m_dir, QStringLiteral("damaged-table-%1.pst").arg(from, 0, 16),
                                               [&](Bytes& bytes, dravik::pst::Store& store) {
            for (const dravik::pst::NodeEntry& n : store.ndb().allNodes())
                if ((n.nid & 0x1F) == dravik::pst::NID_TYPE_NORMAL_MESSAGE)
                    QCOMPARE(dravik::pst::corrupters::changeSubnodeNid(bytes, store.ndb(), n, from, to), 1);
        });
        QVERIFY(!damaged.isEmpty());

        CScriptedPrompts prompts;
        Workspace ws;
        QCOMPARE(ws.pDoc->ConnectFile(damaged), S_OK);
        CLeftView& tree = *ws.pTree;
        QTreeWidgetItem* pFolder = StoreFolder(tree, QStringLiteral("Sample1"));
        QVERIFY(pFolder != nullptr);
        tree.ExpandNow(pFolder);
        QCOMPARE(pFolder->childCount(), 1);
        QTreeWidgetItem* pMessage = pFolder->child(0);
        QCOMPARE(prompts.m_errorReports.size(), size_t{1});
        QCOMPARE(prompts.m_errorReports[0].strMessage, report);
        QVERIFY2(prompts.m_errorReports[0].strDetails.endsWith(QStringLiteral("/Sample1/Here is a sample message")),
                 qPrintable(prompts.m_errorReports[0].strDetails));
        QCOMPARE(prompts.m_errorReports[0].hr, static_cast<std::int32_t>(MAPI_E_CORRUPT_DATA));
        // A listed message shows its groups once expanded; the damaged table is
        // met, and reported, again there.
        tree.ExpandNow(pMessage);
        QCOMPARE(prompts.m_errorReports.size(), size_t{2});
        QCOMPARE(prompts.m_errorReports[1].strMessage, report);
        QCOMPARE(pMessage->childCount(), 1);
        QCOMPARE(pMessage->child(0)->text(0), remaining);
        QVERIFY(prompts.m_unexpected.isEmpty());
    }

    // A listing stops at once when the program is asked to end; the rows
    // listed so far stay and nothing is left half made.
    void listingStopsWhenQuitting()
    {
        CScriptedPrompts prompts;
        Workspace ws;
        QCOMPARE(ws.pDoc->ConnectFile(m_strCrafted), S_OK);
        CLeftView& tree = *ws.pTree;
        QTreeWidgetItem* pThree = StoreFolder(tree, QStringLiteral("Three"));
        QVERIFY(pThree != nullptr);
        RequestQuit();
        tree.ExpandNow(pThree);
        ResetQuitRequestForTest();
        QCOMPARE(pThree->childCount(), 0);
        QVERIFY(prompts.m_unexpected.isEmpty());
    }

    // A listing goes on a slice at a time between events. Escape, the Stop
    // button and closing the workspace each end it between two rows: the rows
    // listed stay whole, the folder counts as listed, the status says the
    // listing ended and the Stop command is enabled only while it runs; a
    // closed workspace leaves nothing behind to run.
    void listingInterrupted_data()
    {
        QTest::addColumn<QString>("how");
        for (const char* pszHow : {"escape", "stop", "close"})
            QTest::newRow(pszHow) << QString::fromLatin1(pszHow);
    }

    void listingInterrupted()
    {
        QFETCH(QString, how);
        CScriptedPrompts prompts;
        CMainFrame frame(nullptr);
        auto pOwnedDoc = std::make_unique<CDravikDoc>();
        pOwnedDoc->OnNewDocument();
        CChildFrame* pChild = frame.AddWorkspace(std::move(pOwnedDoc));
        frame.show();
        CDravikDoc* pDoc = pChild->GetDocument();
        QPointer<CLeftView> pTree = pChild->LeftView();
        QCOMPARE(pDoc->ConnectFile(m_strCrafted), S_OK);
        QTreeWidgetItem* pThree = StoreFolder(*pTree, QStringLiteral("Three"));
        QVERIFY(pThree != nullptr);
        QStringList statuses;
        connect(pTree, &CLeftView::listingStatus, this, [&](const QString& strText) { statuses << strText; });
        pTree->SetSliceRows(1);
        pTree->expandItem(pThree);
        // The first slice ran at once; the rest waits for the event loop.
        QVERIFY(pTree->IsListing());
        QCOMPARE(pThree->childCount(), 1);
        frame.UpdateCommandUI();
        QVERIFY(frame.Action(ID_STOP_LISTING)->isEnabled());
        QToolButton* pStop = pChild->findChild<QToolButton*>(QStringLiteral("stopListing"));
        QVERIFY(pStop != nullptr && pStop->isVisible());

        if (how == QLatin1String("close")) {
            QVERIFY(pChild->parentWidget()->close());
            QTRY_VERIFY_WITH_TIMEOUT(pTree.isNull(), 60000);
            QTRY_VERIFY_WITH_TIMEOUT(frame.Workspaces().empty(), 60000);
            QCoreApplication::processEvents();
            QVERIFY(prompts.m_unexpected.isEmpty());
            return;
        }
        if (how == QLatin1String("escape"))
            QTest::keyClick(pTree, Qt::Key_Escape);
        else
            QTest::mouseClick(pStop, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!pTree->IsListing(), 60000);
        QCOMPARE(pThree->childCount(), 1);
        QCOMPARE(statuses, (QStringList{QStringLiteral("Listing Three: 1 of 3"), QString()}));
        QVERIFY(!pStop->isVisible());
        frame.UpdateCommandUI();
        QVERIFY(!frame.Action(ID_STOP_LISTING)->isEnabled());
        // The row listed is whole: its groups are below it.
        QTreeWidgetItem* pFirst = pThree->child(0);
        QCOMPARE(Kind(pFirst), static_cast<int>(MAPI_MESSAGE));
        pDoc->SelectNode(CLeftView::NodeOf(pFirst));
        QVERIFY(CLeftView::NodeOf(pFirst)->Message() != nullptr);
        // What was listed stays listed; the next listing runs to its end.
        pTree->collapseItem(pThree);
        pTree->expandItem(pThree);
        QVERIFY(!pTree->IsListing());
        QCOMPARE(pThree->childCount(), 1);
        QTreeWidgetItem* pFiles = StoreFolder(*pTree, QStringLiteral("Files"));
        pTree->expandItem(pFiles);
        QTRY_VERIFY_WITH_TIMEOUT(!pTree->IsListing(), 60000);
        QCOMPARE(pFiles->childCount(), 1);
        QVERIFY(prompts.m_unexpected.isEmpty());
    }

    // While a folder is listed the window takes input: a click elsewhere
    // makes that node current at once, and expanding a second folder is
    // refused with a word rather than mixed into the first listing.
    void inputDuringAListing()
    {
        CScriptedPrompts prompts;
        Workspace ws;
        QCOMPARE(ws.pDoc->ConnectFile(m_strCrafted), S_OK);
        CLeftView& tree = *ws.pTree;
        tree.show();
        QTreeWidgetItem* pThree = StoreFolder(tree, QStringLiteral("Three"));
        QTreeWidgetItem* pFiles = StoreFolder(tree, QStringLiteral("Files"));
        QVERIFY(pThree != nullptr && pFiles != nullptr);
        QStringList statuses;
        connect(&tree, &CLeftView::listingStatus, this, [&](const QString& strText) { statuses << strText; });
        tree.SetSliceRows(1);
        tree.expandItem(pThree);
        QVERIFY(tree.IsListing());

        QTreeWidgetItem* pStore = tree.topLevelItem(0)->child(0);
        Click(tree, pStore);
        QVERIFY(tree.IsListing());
        QCOMPARE(ws.pDoc->GetSelectedNode(), CLeftView::NodeOf(pStore));

        tree.expandItem(pFiles);
        QVERIFY(!pFiles->isExpanded());
        QCOMPARE(pFiles->childCount(), 0);
        QVERIFY(statuses.contains(QStringLiteral("Still listing Three: expand Files again once it ends (Escape stops it)")));

        QTRY_VERIFY_WITH_TIMEOUT(!tree.IsListing(), 60000);
        QCOMPARE(pThree->childCount(), 3);
        QCOMPARE(statuses.last(), QString());
        tree.expandItem(pFiles);
        QTRY_VERIFY_WITH_TIMEOUT(!tree.IsListing(), 60000);
        QCOMPARE(pFiles->childCount(), 1);
        QVERIFY(prompts.m_unexpected.isEmpty());
    }

    // Listed a row a slice through the event loop, every sample's tree is the
    // one listed at once, with the same MAPI calls in the same order.
    void slicedListingSameAsWhole_data()
    {
        QTest::addColumn<QString>("path");
        const QStringList files = QDir(kSamples).entryList({QStringLiteral("*.pst"), QStringLiteral("*.ost")}, QDir::Files, QDir::Name);
        for (const QString& strFile : files)
            QTest::newRow(qPrintable(strFile)) << kSamples + QLatin1Char('/') + strFile;
        QTest::newRow("demo") << m_strDemo;
    }

    void slicedListingSameAsWhole()
    {
        QFETCH(QString, path);
        QStringList lines[2];
        QString traces[2];
        for (int nSliced : {0, 1}) {
            CScriptedPrompts prompts;
            Workspace ws;
            if (ws.pDoc->ConnectFile(path) != S_OK)
                QSKIP("the store does not open");
            CLeftView& tree = *ws.pTree;
            tree.SetSliceRows(nSliced);
            std::function<void(QTreeWidgetItem*)> expandAll = [&](QTreeWidgetItem* pItem) {
                if (nSliced) {
                    tree.expandItem(pItem);
                    QTRY_VERIFY_WITH_TIMEOUT(!tree.IsListing(), 120000);
                } else {
                    tree.ExpandNow(pItem);
                }
                for (int i = 0; i < pItem->childCount(); ++i)
                    expandAll(pItem->child(i));
            };
            // The stores and the address book (the other roots name the
            // workspace's own temporary profile).
            for (int i : {0, 4}) {
                expandAll(tree.topLevelItem(i));
                Lines(tree.topLevelItem(i), 0, lines[nSliced]);
            }
            traces[nSliced] = ws.Trace();
        }
        QCOMPARE(lines[1], lines[0]);
        QCOMPARE(traces[1], traces[0]);
    }

    // Listed messages and their attachments let their opened objects go and
    // open them again when made current: every node of every sample shows
    // the same properties, from the row and from the object, as when the
    // listing keeps every object open; and the commands on the current node
    // find its message and attachment.
    void nodesOpenAgainWhenCurrent_data() { slicedListingSameAsWhole_data(); }

    void nodesOpenAgainWhenCurrent()
    {
        QFETCH(QString, path);
        CScriptedPrompts prompts;
        Workspace ws[2];
        std::unique_ptr<CDravikView> lists[2];
        for (int i : {0, 1}) {
            if (ws[i].pDoc->ConnectFile(path) != S_OK)
                QSKIP("the store does not open");
            lists[i] = std::make_unique<CDravikView>(ws[i].pDoc.get());
            ws[i].pDoc->AddView(lists[i].get());
            ws[i].pTree->SetLetGo(i == 0);
            ExpandAll(*ws[i].pTree, ws[i].pTree->topLevelItem(0));
        }
        // Each logon gives the store a record key of its own, which its
        // entry IDs carry: it reads the same in both.
        QString keys[2];
        for (int i : {0, 1}) {
            const CTreeNode* pStore = CLeftView::NodeOf(ws[i].pTree->topLevelItem(0)->child(0));
            const SPropValue* pKey = pStore && pStore->m_pProps ? pStore->m_pProps->Find(PR_RECORD_KEY) : nullptr;
            if (pKey != nullptr)
                keys[i] = QByteArray(reinterpret_cast<const char*>(pKey->Value.bin.lpb),
                                     static_cast<qsizetype>(pKey->Value.bin.cb)).toHex().toUpper();
        }
        const auto Shown = [&keys, &lists](const CDravikView& list) {
            const QString& strKey = keys[&list == lists[0].get() ? 0 : 1];
            QStringList rows;
            const QAbstractItemModel& model = *list.Model();
            for (int r = 0; r < model.rowCount(); ++r) {
                QStringList cells;
                for (int c = 0; c < model.columnCount(); ++c)
                    cells << model.data(model.index(r, c)).toString();
                QString strRow = cells.join(QLatin1Char('\t'));
                if (!strKey.isEmpty())
                    strRow.replace(strKey, QStringLiteral("<store>"));
                rows << strRow;
            }
            return rows;
        };
        int nOpenedAgain = 0;
        int nTrimmed = 0;
        std::function<void(QTreeWidgetItem*, QTreeWidgetItem*)> compare = [&](QTreeWidgetItem* pLetGo,
                                                                              QTreeWidgetItem* pKept) {
            QCOMPARE(pLetGo->childCount(), pKept->childCount());
            CTreeNode* pNode = CLeftView::NodeOf(pLetGo);
            if (pNode != nullptr) {
                nOpenedAgain += pNode->m_bLetGo ? 1 : 0;
                // A message let go kept part of its row; every other one is
                // sent to a wrong position, where its key finds it again.
                if (pNode->m_bRowTrimmed) {
                    // What it kept reads as the whole row does.
                    const CTreeNode* pWhole = CLeftView::NodeOf(pKept);
                    QVERIFY(pNode->m_pProps->Count() > 0);
                    QVERIFY(pNode->m_pProps->Count() < pWhole->m_pProps->Count());
                    for (ULONG v = 0; v < pNode->m_pProps->Count(); ++v) {
                        const ULONG ulTag = pNode->m_pProps->At(v)->ulPropTag;
                        std::string strText[2];
                        QVERIFY(pNode->m_pProps->GetPropText(ulTag, strText[0], 4096));
                        QVERIFY(pWhole->m_pProps->GetPropText(ulTag, strText[1], 4096));
                        QString texts[2];
                        for (int i : {0, 1}) {
                            texts[i] = QString::fromStdString(strText[i]).toUpper();
                            if (!keys[i].isEmpty())
                                texts[i].replace(keys[i], QStringLiteral("<store>"));
                        }
                        QCOMPARE(texts[0], texts[1]);
                    }
                    if (nTrimmed++ % 2 == 1)
                        pNode->m_ulRowNum += 1;
                }
                for (bool bEntry : {false, true}) {
                    for (int i : {0, 1}) {
                        ws[i].pDoc->m_bEntryProps = bEntry;
                        ws[i].pDoc->SelectNode(CLeftView::NodeOf(i == 0 ? pLetGo : pKept));
                    }
                    QCOMPARE(Shown(*lists[0]), Shown(*lists[1]));
                    QVERIFY(!pNode->m_bRowTrimmed);
                }
                CTreeNode* pKeptNode = CLeftView::NodeOf(pKept);
                QCOMPARE(pNode->Message() != nullptr, pKeptNode->Message() != nullptr);
                QCOMPARE(pNode->Attach() != nullptr, pKeptNode->Attach() != nullptr);
            }
            for (int i = 0; i < pLetGo->childCount(); ++i)
                compare(pLetGo->child(i), pKept->child(i));
        };
        compare(ws[0].pTree->topLevelItem(0), ws[1].pTree->topLevelItem(0));
        for (int i : {0, 1}) {
            ws[i].pDoc->SelectNode(nullptr);
            ws[i].pDoc->RemoveView(lists[i].get());
        }
        QVERIFY(prompts.m_unexpected.isEmpty());
        if (path == m_strDemo) {
            QVERIFY(nOpenedAgain > 0);
            QVERIFY(nTrimmed > 1);
        }
    }

    // "Save Attachment..." is enabled through the command router only while
    // the tree is the active pane and an attachment is current.
    void saveAttachmentEnabledThroughRouter()
    {
        CScriptedPrompts prompts;
        CMainFrame frame(nullptr);
        CChildFrame* pChild = frame.AddWorkspace(std::make_unique<CDravikDoc>());
        frame.show();
        frame.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&frame));
        CDravikDoc& doc = *pChild->GetDocument();
        QCOMPARE(doc.ConnectFile(kSamples + QStringLiteral("/pstsdk-sample1.pst")), S_OK);
        CLeftView& tree = *pChild->LeftView();
        ExpandAll(tree, tree.topLevelItem(0));
        QTreeWidgetItem* pAttach = tree.findItems(QStringLiteral("leah_t~1.jpg"), Qt::MatchRecursive).value(0);
        QVERIFY(pAttach != nullptr);
        QAction* pSave = frame.Action(ID_SAVE_ATTACHMENT);

        tree.setFocus();
        doc.SelectNode(CLeftView::NodeOf(pAttach->parent()));
        frame.UpdateCommandUI();
        QVERIFY(!pSave->isEnabled());
        doc.SelectNode(CLeftView::NodeOf(pAttach));
        frame.UpdateCommandUI();
        QVERIFY(pSave->isEnabled());
        pChild->ListView()->setFocus();
        frame.UpdateCommandUI();
        QVERIFY(!pSave->isEnabled());
        tree.setFocus();
        frame.UpdateCommandUI();
        QVERIFY(pSave->isEnabled());
        QVERIFY(prompts.m_unexpected.isEmpty());
        doc.OnDisconnect();
    }

    // What makes a node current, on the demo store: a click and a right
    // click at once; a keyboard move once the highlight has rested (holding
    // an arrow key selects only where it stops); Return at once.
    void keyboardAndMouseMakeCurrent_data()
    {
        QTest::addColumn<QString>("actions");
        QTest::addColumn<QString>("current");   // the text of the current node
        QTest::addColumn<int>("selections");    // how often a node became current
        // c:Text click, r:Text right click, d: Down, u: Up, e: Return,
        // w: wait for the keyboard pause, n: check nothing changed yet.
        QTest::newRow("click") << "c:Status Tables" << "Status Tables" << 1;
        QTest::newRow("right click") << "c:Status Tables,r:Profiles" << "Profiles" << 2;
        QTest::newRow("arrow after a pause") << "c:Status Tables,d,n,w" << "Profiles" << 2;
        QTest::newRow("held arrow selects where it stops") << "c:Message Stores,d,d,d,n,w" << "Profiles" << 2;
        QTest::newRow("return at once") << "c:Message Stores,d,e" << "Dravik Demo Store" << 2;
        QTest::newRow("up and return") << "c:Profiles,u,e,w" << "Status Tables" << 2;
    }
    void keyboardAndMouseMakeCurrent()
    {
        QFETCH(QString, actions);
        QFETCH(QString, current);
        QFETCH(int, selections);
        struct CCounter : CDocView
        {
            int n = 0;
            void OnUpdate(CDocView*, long, void*) override { ++n; }
        } counter;
        CScriptedPrompts prompts;
        Workspace ws;
        ws.pDoc->AddView(&counter);
        ws.pTree->show();
        QVERIFY(QTest::qWaitForWindowExposed(ws.pTree.get()));
        QCOMPARE(ws.pDoc->ConnectFile(m_strDemo), S_OK);
        CLeftView& tree = *ws.pTree;
        tree.setFocus();
        tree.ExpandNow(tree.topLevelItem(0));
        counter.n = 0;
        CTreeNode* pBefore = nullptr;
        for (const QString& action : actions.split(QLatin1Char(','))) {
            const QString strText = action.mid(2);
            if (action.startsWith(QStringLiteral("c:")) || action.startsWith(QStringLiteral("r:"))) {
                QTreeWidgetItem* pItem = tree.findItems(strText, Qt::MatchExactly | Qt::MatchRecursive).value(0);
                QVERIFY2(pItem != nullptr, qPrintable(strText));
                tree.scrollToItem(pItem);
                QTest::mouseClick(tree.viewport(), action[0] == QLatin1Char('c') ? Qt::LeftButton : Qt::RightButton,
                                  {}, tree.visualItemRect(pItem).center());
                QCOMPARE(ws.pDoc->GetSelectedNode(), CLeftView::NodeOf(pItem));
                pBefore = ws.pDoc->GetSelectedNode();
            } else if (action == QStringLiteral("d") || action == QStringLiteral("u")) {
                QTest::keyClick(tree.viewport(), action == QStringLiteral("d") ? Qt::Key_Down : Qt::Key_Up);
            } else if (action == QStringLiteral("e")) {
                QTest::keyClick(tree.viewport(), Qt::Key_Return);
                QCOMPARE(ws.pDoc->GetSelectedNode(), CLeftView::NodeOf(tree.currentItem()));
            } else if (action == QStringLiteral("n")) {
                QCOMPARE(ws.pDoc->GetSelectedNode(), pBefore);
            } else if (action == QStringLiteral("w")) {
                QTRY_COMPARE_WITH_TIMEOUT(ws.pDoc->GetSelectedNode(), CLeftView::NodeOf(tree.currentItem()), 10000);
            }
        }
        QCOMPARE(tree.currentItem()->text(0), current);
        QCOMPARE(ws.pDoc->GetSelectedNode(), CLeftView::NodeOf(tree.currentItem()));
        // Nothing more becomes current once the keys have rested.
        QTest::qWait(CLeftView::kKeyboardSelectMs * 2);
        QCOMPARE(counter.n, selections);
        ws.pDoc->RemoveView(&counter);
        QVERIFY(prompts.m_unexpected.isEmpty());
    }

    // The whole tree of each store, fully expanded, is what dravik-dump walks.
    void sameAsDump_data()
    {
        QTest::addColumn<QString>("path");
        for (const char* pszFile : {"pstsdk-sample1.pst", "pstsdk-sample2.pst", "pstsdk-submessage.pst",
                                    "java-libpst-dist-list.pst", "pst-extractor-enron.pst",
                                    "pst-extractor-outlookcom.ost"})
            QTest::newRow(pszFile) << kSamples + QLatin1Char('/') + QLatin1String(pszFile);
        QTest::newRow("demo") << m_strDemo;
        QTest::newRow("crafted") << m_strCrafted;
    }

    void sameAsDump()
    {
        QFETCH(QString, path);
        QProcess dump;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DRAVIK_MAPI_PROFILES"), m_dir.filePath(QStringLiteral("dump-profiles")));
        QDir().mkpath(m_dir.filePath(QStringLiteral("dump-profiles")));
        dump.setProcessEnvironment(env);
        dump.start(QStringLiteral(DRAVIK_DUMP_EXE), {QStringLiteral("--file"), path});
        QVERIFY(dump.waitForFinished(300000));
        QCOMPARE(dump.exitCode(), 0);
        QStringList expected;
        bool bKeep = false;
        for (const QString& strLine : QString::fromUtf8(dump.readAllStandardOutput()).split(QLatin1Char('\n'))) {
            if (!strLine.startsWith(QLatin1Char(' ')))
                bKeep = strLine == QStringLiteral("category: Message Stores") ||
                        strLine == QStringLiteral("category: Address Book(s)");
            if (bKeep) {
                // "  kind: text" -> "  text"
                const qsizetype nIndent = strLine.indexOf(QRegularExpression(QStringLiteral("[^ ]")));
                const qsizetype nColon = strLine.indexOf(QStringLiteral(": "));
                expected << strLine.left(nIndent) + strLine.mid(nColon + 2);
            }
        }

        CScriptedPrompts prompts;
        Workspace ws;
        QCOMPARE(ws.pDoc->ConnectFile(path), S_OK);
        QStringList shown;
        for (int i : {0, 4}) {
            ExpandAll(*ws.pTree, ws.pTree->topLevelItem(i));
            Lines(ws.pTree->topLevelItem(i), 0, shown);
        }
        // The tree shows what a store recovered below it; the dump's plain walk
        // does not recover (only --recover does, after the walk).
        for (qsizetype i = 0; i < shown.size(); ++i) {
            const qsizetype nIndent = shown[i].indexOf(QRegularExpression(QStringLiteral("[^ ]")));
            if (shown[i].mid(nIndent) != QLatin1String(treerules::kRecoveredItemsText))
                continue;
            qsizetype nEnd = i + 1;
            // Deeper lines, and lines of nodes without text, belong to it.
            while (nEnd < shown.size() && (shown[nEnd].trimmed().isEmpty() ||
                                           shown[nEnd].indexOf(QRegularExpression(QStringLiteral("[^ ]"))) > nIndent))
                ++nEnd;
            shown.remove(i, nEnd - i);
            --i;
        }
        QCOMPARE(shown, expected);
        QVERIFY(prompts.m_unexpected.isEmpty());
        QVERIFY(prompts.m_errorReports.empty());
    }

    // A store with a deleted message: the tree shows "Recovered Items" as the
    // store's last node, in italics, with "Orphaned" and "Deleted" below it;
    // the deleted message's property list holds its provenance; the file is
    // unchanged.
    void recoveredItems()
    {
        const QString strPath = m_dir.filePath(QStringLiteral("removed.pst"));
        {
            pw::StoreWriter w(strPath.toStdString(), {});
            const auto inbox = w.addFolder(w.ipmSubtree(), "Inbox", "IPF.Note");
            std::vector<uint32_t> nids;
            for (const char* pszSubject : {"kept", "deleted one", "kept too"})
                nids.push_back(w.addMessage(inbox, Message(pszSubject)));
            w.removeMessage(nids[1], pw::Removal::Deleted);
            w.finish();
        }
        const QByteArray before = ReadAll(strPath);
        {
            CScriptedPrompts prompts;
            CMainFrame frame(nullptr);
            CChildFrame* pChild = frame.AddWorkspace(std::make_unique<CDravikDoc>());
            CDravikDoc& doc = *pChild->GetDocument();
            QCOMPARE(doc.ConnectFile(strPath), S_OK);
            CLeftView& tree = *pChild->LeftView();
            QTreeWidgetItem* pStore = tree.topLevelItem(0)->child(0);
            QVERIFY(pStore != nullptr);
            tree.ExpandNow(pStore);
            QVERIFY(pStore->childCount() >= 2);
            QTreeWidgetItem* pRecovered = pStore->child(pStore->childCount() - 1);
            QCOMPARE(pRecovered->text(0), QString::fromLatin1(treerules::kRecoveredItemsText));
            QVERIFY(pRecovered->font(0).italic());
            for (int i = 0; i < pStore->childCount() - 1; ++i)
                QVERIFY(!pStore->child(i)->font(0).italic());
            tree.ExpandNow(pRecovered);
            QCOMPARE(pRecovered->childCount(), 2);
            QCOMPARE(pRecovered->child(0)->text(0), QStringLiteral("Orphaned"));
            QTreeWidgetItem* pDeleted = pRecovered->child(1);
            QCOMPARE(pDeleted->text(0), QStringLiteral("Deleted"));
            tree.ExpandNow(pDeleted);
            QCOMPARE(pDeleted->childCount(), 1);
            QTreeWidgetItem* pMessage = pDeleted->child(0);
            QCOMPARE(pMessage->text(0), QStringLiteral("deleted one"));
            QCOMPARE(Kind(pMessage), static_cast<int>(MAPI_MESSAGE));

            doc.SelectNode(CLeftView::NodeOf(pMessage));
            const CPropListModel& model = *pChild->ListView()->Model();
            QStringList cells;
            for (int r = 0; r < model.rowCount(); ++r) {
                QString strRow;
                for (int c = 0; c < model.columnCount(); ++c)
                    strRow += model.data(model.index(r, c), Qt::DisplayRole).toString() + QLatin1Char('|');
                cells << strRow;
            }
            const QString strAll = cells.join(QLatin1Char('\n'));
            // The provenance, whichever string form the list shows it in.
            auto has = [&](const char* pszTag) {
                return strAll.contains(QLatin1String(pszTag) + QLatin1String("001f"), Qt::CaseInsensitive) ||
                       strAll.contains(QLatin1String(pszTag) + QLatin1String("001e"), Qt::CaseInsensitive);
            };
            QVERIFY2(has("0x67e0") && has("0x67e1") && has("0x67e2"), qPrintable(strAll));
            QVERIFY2(strAll.contains(QStringLiteral("|deleted: ")), qPrintable(strAll));
            QVERIFY2(strAll.contains(QStringLiteral("|complete|")), qPrintable(strAll));
            QVERIFY2(strAll.contains(QStringLiteral("deleted one")), qPrintable(strAll));
            QVERIFY(prompts.m_unexpected.isEmpty());
            QVERIFY(prompts.m_errorReports.empty());
            doc.OnDisconnect();
        }
        QVERIFY(ReadAll(strPath) == before);
    }

    // "Save Attachment...": enabled only for an attachment, the proposed
    // names, the bytes pffexport exports, an empty file, cancelling, a
    // failed write that leaves the old file whole.
    void saveAttachment()
    {
        CScriptedPrompts prompts;
        Workspace ws;
        QCOMPARE(ws.pDoc->ConnectFile(kSamples + QStringLiteral("/pstsdk-sample1.pst")), S_OK);
        CLeftView& tree = *ws.pTree;
        CCmdUI ui;
        QVERIFY(tree.OnUpdateCommand(ID_SAVE_ATTACHMENT, ui));
        QVERIFY(!ui.bEnabled);

        QTreeWidgetItem* pStore = tree.topLevelItem(0)->child(0);
        ExpandAll(tree, pStore);
        QTreeWidgetItem* pAttach = tree.findItems(QStringLiteral("leah_t~1.jpg"), Qt::MatchRecursive).value(0);
        QVERIFY(pAttach != nullptr);
        ws.pDoc->SelectNode(CLeftView::NodeOf(pAttach->parent()->parent()));
        QVERIFY(tree.OnUpdateCommand(ID_SAVE_ATTACHMENT, ui));
        QVERIFY(!ui.bEnabled);
        ws.pDoc->SelectNode(CLeftView::NodeOf(pAttach));
        QVERIFY(tree.OnUpdateCommand(ID_SAVE_ATTACHMENT, ui));
        QVERIFY(ui.bEnabled);

        // Cancelled: nothing written, nothing shown.
        prompts.AnswerFile(QString());
        QVERIFY(tree.OnCommand(ID_SAVE_ATTACHMENT));
        QCOMPARE(prompts.m_fileRequests.size(), std::size_t(1));
        QCOMPARE(prompts.m_fileRequests[0].strFileName, QStringLiteral("leah_thumper.jpg"));
        QVERIFY(!prompts.m_fileRequests[0].bOpen);
        QVERIFY(prompts.m_errorReports.empty());

        // Over an existing file: replaced by exactly what pffexport exports.
        const QString strOut = m_dir.filePath(QStringLiteral("leah.jpg"));
        WriteFile(strOut, QByteArray("old content"));
        prompts.AnswerFile(strOut);
        tree.OnSaveAttachment();
        QVERIFY(prompts.m_errorReports.empty());
        QTemporaryDir exportDir;
        QProcess pff;
        pff.setProcessChannelMode(QProcess::MergedChannels);
        pff.start(QStringLiteral("pffexport"), {QStringLiteral("-q"), QStringLiteral("-m"), QStringLiteral("all"),
                                                QStringLiteral("-f"), QStringLiteral("all"), QStringLiteral("-t"),
                                                exportDir.filePath(QStringLiteral("x")),
                                                kSamples + QStringLiteral("/pstsdk-sample1.pst")});
        QVERIFY(pff.waitForFinished(120000));
        QCOMPARE(pff.exitCode(), 0);
        const QString strPff = exportDir.filePath(
            QStringLiteral("x.export/Top of Outlook data file/Sample1/Message00001/Attachments/1_leah_thumper.jpg"));
        const QByteArray expected = ReadAll(strPff);
        QVERIFY(expected.size() > 1000);
        QCOMPARE(ReadAll(strOut), expected);
        QCOMPARE(QDir(m_dir.path()).entryList({QStringLiteral("leah.jpg.*")}, QDir::Files), QStringList());

        // A write that fails part-way (the file size limit) leaves the old file
        // whole and no temporary file behind.
        WriteFile(strOut, QByteArray("the user's file"));
        struct rlimit old = {};
        QCOMPARE(::getrlimit(RLIMIT_FSIZE, &old), 0);
        struct rlimit small = old;
        small.rlim_cur = 100;
        auto* const pfnOld = std::signal(SIGXFSZ, SIG_IGN);
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
        prompts.AnswerFile(strOut);
        tree.OnSaveAttachment();
        ::setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, pfnOld);
        QCOMPARE(prompts.m_errorReports.size(), std::size_t(1));
        QCOMPARE(prompts.m_errorReports[0].strMessage, QStringLiteral("Failed to save attachment"));
        QCOMPARE(prompts.m_errorReports[0].hr & kSystemErrorBit, kSystemErrorBit);
        QCOMPARE(ReadAll(strOut), QByteArray("the user's file"));
        QCOMPARE(QDir(m_dir.path()).entryList({QStringLiteral("leah.jpg.*")}, QDir::Files), QStringList());
        QVERIFY(prompts.m_unexpected.isEmpty());
    }

    // An empty attachment gives an empty file; a hostile name is proposed as
    // a plain base name.
    void saveEmptyAndHostile()
    {
        CScriptedPrompts prompts;
        Workspace ws;
        QCOMPARE(ws.pDoc->ConnectFile(m_strCrafted), S_OK);
        CLeftView& tree = *ws.pTree;
        ExpandAll(tree, tree.topLevelItem(0));
        QTreeWidgetItem* pAttachments =
            tree.findItems(QStringLiteral("With files"), Qt::MatchRecursive).value(0)->child(0);
        QVERIFY(pAttachments != nullptr);

        const QString strEmpty = m_dir.filePath(QStringLiteral("empty-out.txt"));
        WriteFile(strEmpty, QByteArray("not empty before"));
        ws.pDoc->SelectNode(CLeftView::NodeOf(pAttachments->child(1)));
        prompts.AnswerFile(strEmpty);
        tree.OnSaveAttachment();
        QCOMPARE(prompts.m_fileRequests.back().strFileName, QStringLiteral("empty.txt"));
        QVERIFY(QFile::exists(strEmpty));
        QCOMPARE(QFileInfo(strEmpty).size(), 0);

        ws.pDoc->SelectNode(CLeftView::NodeOf(pAttachments->child(2)));
        prompts.AnswerFile(QString());
        tree.OnSaveAttachment();
        QCOMPARE(prompts.m_fileRequests.back().strFileName, QStringLiteral("evil.txt"));
        QVERIFY(prompts.m_errorReports.empty());
        QVERIFY(prompts.m_unexpected.isEmpty());
    }

    // "Save Message As...": a .msg file opened as a store, its message and
    // its embedded message saved as .msg through the file dialog's seam and
    // read back; enabled only for messages; a failed write leaves the old
    // file whole and nothing behind.
    void saveMessageAs()
    {
        CScriptedPrompts prompts;
        Workspace ws;
        QCOMPARE(ws.pDoc->ConnectFile(kSamples + QStringLiteral("/../msg/msgreader-msg-in-msg.msg")), S_OK);
        CLeftView& tree = *ws.pTree;
        CCmdUI ui;
        QVERIFY(tree.OnUpdateCommand(ID_SAVE_MESSAGE_AS, ui));
        QVERIFY(!ui.bEnabled);
        ExpandAll(tree, tree.topLevelItem(0));
        // The message and the message attached to it.
        const QString strInner = QStringLiteral("Microsoft Outlook テスト メッセージ");
        QList<QTreeWidgetItem*> messages = tree.findItems(QStringLiteral("I have attachments!"), Qt::MatchRecursive);
        for (QTreeWidgetItem* pItem : tree.findItems(strInner, Qt::MatchRecursive))
            if (CLeftView::NodeOf(pItem)->m_nKind == static_cast<int>(MAPI_MESSAGE))
                messages.append(pItem);
        QCOMPARE(messages.size(), 2);
        QTreeWidgetItem* pGreen = tree.findItems(QStringLiteral("green.png"), Qt::MatchRecursive).value(0);
        QVERIFY(pGreen != nullptr);
        ws.pDoc->SelectNode(CLeftView::NodeOf(pGreen));
        QVERIFY(tree.OnUpdateCommand(ID_SAVE_MESSAGE_AS, ui));
        QVERIFY(!ui.bEnabled);

        for (QTreeWidgetItem* pMessage : messages) {
            ws.pDoc->SelectNode(CLeftView::NodeOf(pMessage));
            QVERIFY(tree.OnUpdateCommand(ID_SAVE_MESSAGE_AS, ui));
            QVERIFY(ui.bEnabled);
            const QString strOut = m_dir.filePath(QStringLiteral("saved.msg"));
            QFile::remove(strOut);
            prompts.AnswerFile(strOut);
            QVERIFY(tree.OnCommand(ID_SAVE_MESSAGE_AS));
            QCOMPARE(prompts.m_fileRequests.back().strFileName, pMessage->text(0) + QStringLiteral(".msg"));
            QVERIFY(!prompts.m_fileRequests.back().bOpen);
            QVERIFY(prompts.m_errorReports.empty());
            // The saved file opens as a store holding the message.
            Workspace again;
            QCOMPARE(again.pDoc->ConnectFile(strOut), S_OK);
            ExpandAll(*again.pTree, again.pTree->topLevelItem(0));
            QVERIFY(!again.pTree->findItems(pMessage->text(0), Qt::MatchRecursive).isEmpty());
            again.pDoc->OnDisconnect();
        }

        // The same dialog offers .eml: a name ending in .eml gets an Internet message
        // with the attached message inside it.
        QVERIFY(prompts.m_fileRequests.back().filters.contains(QStringLiteral("Internet Message (*.eml)")));
        ws.pDoc->SelectNode(CLeftView::NodeOf(messages.front()));
        const QString strEml = m_dir.filePath(QStringLiteral("saved.eml"));
        prompts.AnswerFile(strEml);
        QVERIFY(tree.OnCommand(ID_SAVE_MESSAGE_AS));
        QVERIFY(prompts.m_errorReports.empty());
        QFile eml(strEml);
        QVERIFY(eml.open(QIODevice::ReadOnly));
        const QByteArray bytes = eml.readAll();
        QVERIFY(bytes.contains("MIME-Version: 1.0\n"));
        QVERIFY(bytes.contains("Content-Type: message/rfc822"));
        QVERIFY(bytes.contains("Subject: I have attachments!\n"));

        // Cancelled: nothing written.
        prompts.AnswerFile(QString());
        tree.OnSaveMessageAs();
        QVERIFY(prompts.m_errorReports.empty());

        // A write that fails part-way leaves the user's file whole and no temporary file.
        const QString strOut = m_dir.filePath(QStringLiteral("kept.msg"));
        WriteFile(strOut, QByteArray("the user's file"));
        struct rlimit old = {};
        QCOMPARE(::getrlimit(RLIMIT_FSIZE, &old), 0);
        struct rlimit small = old;
        small.rlim_cur = 100;
        auto* const pfnOld = std::signal(SIGXFSZ, SIG_IGN);
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
        prompts.AnswerFile(strOut);
        tree.OnSaveMessageAs();
        ::setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, pfnOld);
        QCOMPARE(prompts.m_errorReports.size(), std::size_t(1));
        QCOMPARE(prompts.m_errorReports[0].strMessage, QStringLiteral("Failed to save message"));
        QCOMPARE(ReadAll(strOut), QByteArray("the user's file"));
        QCOMPARE(QDir(m_dir.path()).entryList({QStringLiteral("kept.msg.*")}, QDir::Files), QStringList());
        QVERIFY(prompts.m_unexpected.isEmpty());
        ws.pDoc->OnDisconnect();
    }
};

QTEST_MAIN(TestTree)
#include "tst_tree.moc"
