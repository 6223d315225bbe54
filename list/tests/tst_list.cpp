// The property list on real stores (the demo store pstgen writes, stores
// written here with a chosen set of named properties): row and entry mode
// for each kind of node, error rows and the value texts, a missing
// dictionary, sorting, the named-property list, command enabling, "Save ..."
// and printing to PDF read back with pdftotext.
#include "app/ChildFrame.h"
#include "app/MainFrame.h"
#include "list/DravikView.h"
#include "list/PropExport.h"
#include "mapi/Prompts.h"
#include "mapi/MAPICommandView.h"
#include "mapi/TraceWriter.h"
#include "props/IniFile.h"
#include "props/tests/FakeMapi.h"
#include "tree/LeftView.h"
#include "tree/TreeNode.h"
#include "workspace/CommandIds.h"
#include "workspace/DravikDoc.h"

#include "DemoStore.h"
#include "ListWorkspace.h"
#include "ScriptedPrompts.h"
#include "StoreWriter.h"

#include "mapi32/mapicode.h"
#include "mapi32/mapitags.h"
#include "mapi32/mapiutil.h"
#include "mapi32/mapix.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QPrinter>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QClipboard>
#include <QTimer>
#include "list/EditPropDlg.h"
#include <QTest>

#include <functional>
#include <memory>
#include <string>

namespace pw = dravik::pst::writer;
using listtest::CWorkspace;

namespace {

constexpr ULONG kTagHtml = 0x10130102;
constexpr ULONG kTagHeaders = 0x007D001E;

QString WriteStore(const QTemporaryDir& dir, const QString& strName, const pw::StoreDescription& description)
{
    const QString strPath = dir.filePath(strName);
    pw::writeStore(strPath.toStdString(), description);
    return strPath;
}

QByteArray ReadFile(const QString& strPath)
{
    QFile file(strPath);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// The text of a PDF's pages as pdftotext gives it (-layout keeps a line's
// words in their order across the page).
QString PdfText(const QString& strPdf, int nFirst = 0, int nLast = 0)
{
    QStringList args{QStringLiteral("-layout")};
    if (nFirst > 0)
        args << QStringLiteral("-f") << QString::number(nFirst) << QStringLiteral("-l") << QString::number(nLast);
    args << strPdf << QStringLiteral("-");
    QProcess process;
    process.start(QStringLiteral("pdftotext"), args);
    if (!process.waitForFinished(60000) || process.exitCode() != 0)
        return QStringLiteral("<pdftotext failed: %1>").arg(QString::fromLocal8Bit(process.readAllStandardError()));
    return QString::fromUtf8(process.readAllStandardOutput());
}

int PdfPages(const QString& strPdf)
{
    QProcess process;
    process.start(QStringLiteral("pdfinfo"), {strPdf});
    if (!process.waitForFinished(60000))
        return -1;
    const QRegularExpressionMatch match =
        QRegularExpression(QStringLiteral("Pages:\\s+(\\d+)")).match(QString::fromUtf8(process.readAllStandardOutput()));
    return match.hasMatch() ? match.captured(1).toInt() : -1;
}

// n values of PT_LONG with distinct tags 0x6000 + i and values i.
std::vector<SPropValue> LongValues(int n)
{
    std::vector<SPropValue> values(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        values[static_cast<size_t>(i)] = SPropValue{};
        values[static_cast<size_t>(i)].ulPropTag = PROP_TAG(PT_LONG, 0x6000 + i);
        values[static_cast<size_t>(i)].Value.l = i;
    }
    return values;
}

} // namespace

class TestList : public QObject
{
    Q_OBJECT
    QTemporaryDir m_profiles;
    QTemporaryDir m_stores;
    QString m_strDemo;
    QString m_strThreeNames;
    std::unique_ptr<CScriptedPrompts> m_pPrompts;

    void LoadDictionary()
    {
        GetIniFile().Clear();
        QVERIFY(GetIniFile().Load(std::string(DRAVIK_SOURCE_DIR) + "/Dravik.ini"));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_profiles.isValid());
        QVERIFY(m_stores.isValid());
        qputenv("DRAVIK_MAPI_PROFILES", m_profiles.path().toUtf8());
        QCOMPARE(MAPIInitialize(nullptr), S_OK);
        QCoreApplication::setApplicationName(QStringLiteral("Dravik"));
        // The dictionary is found in the current directory.
        QDir::setCurrent(QStringLiteral(DRAVIK_SOURCE_DIR));

        m_strDemo = WriteStore(m_stores, QStringLiteral("demo.pst"), pw::demoStore());
        // Every store the writer makes knows "Keywords" and one numeric name;
        // a third is added.
        pw::StoreDescription three;
        three.storeProps.set(pw::NamedProp{pw::kPsMapi, std::string("Third")}, pw::PropValue::i4(3));
        m_strThreeNames = WriteStore(m_stores, QStringLiteral("three.pst"), three);
    }

    void init()
    {
        LoadDictionary();
        m_pPrompts = std::make_unique<CScriptedPrompts>();
    }

    void cleanup()
    {
        QVERIFY2(m_pPrompts->m_unexpected.isEmpty(), qPrintable(m_pPrompts->m_unexpected.join(QLatin1Char('\n'))));
        m_pPrompts.reset();
    }

    void cleanupTestCase()
    {
        QStringList left = QDir(m_profiles.path()).entryList(QDir::Files);
        left.removeIf([](const QString& s) { return s.startsWith(QLatin1Char('.')) || s.endsWith(QStringLiteral(".lock")); });
        QCOMPARE(left, QStringList());
    }

    // Row mode lists the node's row values, last first; entry mode lists
    // every property of the node's object and names the named properties;
    // a node without an object lists its row values in both modes.
    void rowAndEntryMode_data()
    {
        QTest::addColumn<QString>("node");
        for (const char* psz : {"store", "folder", "message", "attachment", "recipient"})
            QTest::newRow(psz) << QString::fromLatin1(psz);
    }
    void rowAndEntryMode()
    {
        QFETCH(QString, node);
        CWorkspace ws(m_strDemo);
        QVERIFY(ws.FindMessage("Welcome to Dravik"));
        CTreeNode* pNode = node == QLatin1String("store")        ? ws.store.get()
                           : node == QLatin1String("folder")     ? ws.folder.get()
                           : node == QLatin1String("message")    ? ws.message.get()
                           : node == QLatin1String("attachment") ? ws.attachment.get()
                                                                 : ws.recipient.get();
        QVERIFY(pNode != nullptr);

        ws.pDoc->SelectNode(pNode);
        const CPropValueArray& row = *pNode->m_pProps;
        QCOMPARE(ws.Rows(), static_cast<int>(row.Count()));
        QCOMPARE(ws.Text(0, 0), QString::asprintf("0x%08x", row.At(row.Count() - 1)->ulPropTag));
        QCOMPARE(ws.Text(ws.Rows() - 1, 0), QString::asprintf("0x%08x", row.At(0)->ulPropTag));
        for (int i = 0; i < ws.Rows(); ++i)
            QCOMPARE(ws.Text(i, 2), QString()); // row values have no object to name them

        ws.pDoc->OnToggleProps();
        IMAPIProp* pObject = EntryObject(*pNode);
        QCOMPARE(pObject == nullptr, node == QLatin1String("recipient"));
        if (!pObject) {
            QCOMPARE(ws.Rows(), static_cast<int>(row.Count()));
            return;
        }
        CPropValueArray all;
        QVERIFY(SUCCEEDED(all.LoadProps(pObject, TRUE)));
        QCOMPARE(ws.Rows(), static_cast<int>(all.Count()));
        const int nType = ws.RowOfTag(QStringLiteral("0x0ffe0003"));
        QVERIFY(nType >= 0);
        const QString strType = node == QLatin1String("store")    ? QStringLiteral("1 [MAPI_STORE]")
                                : node == QLatin1String("folder") ? QStringLiteral("3 [MAPI_FOLDER]")
                                : node == QLatin1String("message") ? QStringLiteral("5 [MAPI_MESSAGE]")
                                                                   : QStringLiteral("7 [MAPI_ATTACH]");
        QCOMPARE(ws.Text(nType, 4), strType);
        QCOMPARE(ws.Text(nType, 1), QStringLiteral("PR_OBJECT_TYPE"));
        QCOMPARE(ws.Text(nType, 3), QStringLiteral("PT_LONG"));
        if (node == QLatin1String("store")) {
            // The store's numeric name 0x0001 in the demo property set.
            const int nNamed = ws.RowOfTag(QStringLiteral("0x80020003"));
            QVERIFY(nNamed >= 0);
            QCOMPARE(ws.Text(nNamed, 2), QStringLiteral("0x00000001"));
            QCOMPARE(ws.Text(nNamed, 4), QStringLiteral("42"));
        }
    }

    // Error values, multi-valued values and cut binaries on a real message,
    // and the image of each row by its type.
    void valueTextsAndImages()
    {
        CWorkspace ws(m_strDemo);
        QVERIFY(ws.FindMessage("Large and unusual values"));
        ws.pDoc->m_bEntryProps = true;
        ws.pDoc->SelectNode(ws.message.get());

        const int nBody = ws.RowOfTag(QStringLiteral("0x1000000a"));
        QVERIFY(nBody >= 0);
        QCOMPARE(ws.Text(nBody, 1), QStringLiteral("PR_BODY"));
        QCOMPARE(ws.Text(nBody, 3), QStringLiteral("PT_ERROR"));
        QCOMPARE(ws.Text(nBody, 4), QStringLiteral("MAPI_E_NOT_ENOUGH_MEMORY (0x8007000E)"));
        QCOMPARE(ws.Model().Row(nBody).nImage, 8);
        QVERIFY(!ws.Model().index(nBody, 0).data(Qt::DecorationRole).value<QIcon>().isNull());

        const int nHtml = ws.RowOfTag(QString::asprintf("0x%08x", kTagHtml));
        QVERIFY(nHtml >= 0);
        QCOMPARE(ws.Text(nHtml, 4).size(), 672 + 5);
        QVERIFY(ws.Text(nHtml, 4).endsWith(QStringLiteral(" }etc")));
        QCOMPARE(ws.Model().Row(nHtml).nImage, 5);

        bool bKeywords = false, bNumbers = false, bError = false;
        for (int i = 0; i < ws.Rows(); ++i) {
            const QString strValue = ws.Text(i, 4);
            QVERIFY2(!strValue.contains(QStringLiteral("<Unknown Property Type")), qPrintable(ws.Text(i, 0)));
            bKeywords = bKeywords || strValue == QStringLiteral("3 values: [demo] [values] [Dravik]");
            bNumbers = bNumbers || strValue == QStringLiteral("3 values: [1] [-2] [300000]");
            bError = bError || strValue == QStringLiteral("MAPI_E_NOT_FOUND (0x8004010F)");
            QCOMPARE(ws.Model().Row(i).nImage, ImageFromType(PROP_TYPE(ws.Model().Row(i).item.pProp->ulPropTag)));
        }
        QVERIFY(bKeywords);
        QVERIFY(bNumbers);
        QVERIFY(bError);
        QCOMPARE(ImageFromType(PT_STRING8), 0);
        QCOMPARE(ImageFromType(PT_MV_STRING8), 1);
        QCOMPARE(ImageFromType(PT_SYSTIME), 2);
        QCOMPARE(ImageFromType(PT_APPTIME), 2);
        QCOMPARE(ImageFromType(PT_OBJECT), 3);
        QCOMPARE(ImageFromType(PT_UNICODE), 4);
        QCOMPARE(ImageFromType(PT_BOOLEAN), 6);
        QCOMPARE(ImageFromType(PT_CURRENCY), 7);
    }

    // Without a dictionary the keys stand for the names.
    void missingDictionary()
    {
        GetIniFile().Clear();
        CWorkspace ws(m_strDemo);
        QVERIFY(ws.FindMessage("Welcome to Dravik"));
        ws.pDoc->m_bEntryProps = true;
        ws.pDoc->SelectNode(ws.message.get());
        const int nType = ws.RowOfTag(QStringLiteral("0x0ffe0003"));
        QVERIFY(nType >= 0);
        QCOMPARE(ws.Text(nType, 1), QStringLiteral("0x00000ffe"));
        QCOMPARE(ws.Text(nType, 3), QStringLiteral("0x00000003"));
        QCOMPARE(ws.Text(nType, 4), QStringLiteral("5 []"));
        // The document's failed attempt to load it was reported once or not
        // at all (it is loaded once per process); the list reports nothing.
        for (const auto& report : m_pPrompts->m_errorReports)
            QCOMPARE(report.strMessage, QStringLiteral("Failed to load Dravik.ini"));
    }

    // A click on a heading sorts descending, the next ascending; the sort
    // holds for the next node, and the selected row stays selected.
    void sorting()
    {
        CWorkspace ws(m_strDemo);
        QVERIFY(ws.FindMessage("Welcome to Dravik"));
        ws.pDoc->m_bEntryProps = true;
        ws.pDoc->SelectNode(ws.message.get());
        ws.pView->show();
        QVERIFY(QTest::qWaitForWindowExposed(ws.pView.get()));

        auto clickHeading = [&](int nColumn) {
            QHeaderView* pHeader = ws.pView->header();
            const QPoint at(pHeader->sectionViewportPosition(nColumn) + pHeader->sectionSize(nColumn) / 2,
                            pHeader->height() / 2);
            QTest::mouseClick(pHeader->viewport(), Qt::LeftButton, {}, at);
        };
        auto sortedBy = [&](int nColumn, bool bDescending) {
            for (int i = 0; i + 1 < ws.Rows(); ++i) {
                const QByteArray a = ws.Text(i, nColumn).toUtf8(), b = ws.Text(i + 1, nColumn).toUtf8();
                if (bDescending ? a < b : b < a)
                    return false;
            }
            return true;
        };

        const int nSubject = ws.RowOfTag(QStringLiteral("0x0037001e"));
        QVERIFY(nSubject >= 0);
        ws.Select(nSubject);
        clickHeading(3);
        QCOMPARE(ws.pView->SortColumn(), 3);
        QVERIFY(ws.pView->SortDescending());
        QVERIFY(sortedBy(3, true));
        QVERIFY(!sortedBy(3, false));
        QCOMPARE(ws.Text(ws.pView->SelectedRow(), 0), QStringLiteral("0x0037001e"));
        clickHeading(3);
        QVERIFY(!ws.pView->SortDescending());
        QVERIFY(sortedBy(3, false));
        QCOMPARE(ws.Text(ws.pView->SelectedRow(), 0), QStringLiteral("0x0037001e"));

        // Another node, then back: still by type, ascending.
        ws.pDoc->SelectNode(ws.folder.get());
        QVERIFY(!ws.pView->SortDescending());
        QVERIFY(ws.Rows() > 1);
        QVERIFY(sortedBy(3, false));
        ws.pDoc->SelectNode(ws.message.get());
        QVERIFY(sortedBy(3, false));

        // Byte-wise text order: the TAG column sorts numerically, the value
        // column by characters.
        clickHeading(0);
        QVERIFY(sortedBy(0, true));
        QVERIFY(ws.Text(0, 0) > ws.Text(ws.Rows() - 1, 0));
        std::vector<SPropValue> values = LongValues(3);
        values[0].Value.l = 9;
        values[1].Value.l = 10;
        values[2].Value.l = -1;
        ws.ShowValues(values);
        ws.pView->SortByColumn(4);
        ws.pView->SortByColumn(4);
        QCOMPARE(ws.Text(0, 4), QStringLiteral("-1"));
        QCOMPARE(ws.Text(1, 4), QStringLiteral("10"));
        QCOMPARE(ws.Text(2, 4), QStringLiteral("9"));
    }

    // The store's names, the last reported first; a store without names says
    // so in a message box.
    void namedPropertyList()
    {
        CWorkspace ws(m_strThreeNames);
        QVERIFY(ws.named);
        ws.pDoc->SelectNode(ws.named.get());
        QCOMPARE(ws.Model().columnCount(), 5);
        QStringList headings;
        for (int i = 0; i < 5; ++i)
            headings << ws.Model().headerData(i, Qt::Horizontal, Qt::DisplayRole).toString();
        QCOMPARE(headings, (QStringList{"ID", "KIND", "NAME", "GUID", "Canonical Name"}));
        QCOMPARE(ws.Rows(), 3);

        // The store's own order, from its name-to-ID map.
        LPSPropTagArray pTags = nullptr;
        ULONG cNames = 0;
        LPMAPINAMEID* ppNames = nullptr;
        QCOMPARE(ws.store->m_pStore->Obj()->GetNamesFromIDs(&pTags, nullptr, 0, &cNames, &ppNames), S_OK);
        QCOMPARE(cNames, 3u);
        QStringList order;
        for (ULONG i = 0; i < cNames; ++i)
            order.prepend(ppNames[i]->ulKind == MNID_STRING ? QString::fromUtf16(ppNames[i]->Kind.lpwstrName)
                                                            : QString::asprintf("0x%08x", ppNames[i]->Kind.lID));
        MAPIFreeBuffer(ppNames);
        MAPIFreeBuffer(pTags);
        QStringList shown;
        for (int i = 0; i < 3; ++i)
            shown << (ws.Text(i, 1) == QStringLiteral("MNID_STRING") ? ws.Text(i, 2) : ws.Text(i, 0));
        QCOMPARE(shown, order);
        QVERIFY(shown.contains(QStringLiteral("Keywords")));
        QVERIFY(shown.contains(QStringLiteral("0x00008580")));
        const int nThird = static_cast<int>(shown.indexOf(QStringLiteral("Third")));
        QCOMPARE(ws.Text(nThird, 3), QStringLiteral("{00020328-0000-0000-C000-000000000046}"));
        // The canonical names and sets of the public property list; the GUID
        // column is wide enough for a whole GUID.
        QCOMPARE(ws.Text(nThird, 4), QStringLiteral("PS_MAPI"));
        QCOMPARE(ws.Text(static_cast<int>(shown.indexOf(QStringLiteral("Keywords"))), 4),
                 QStringLiteral("PidNameKeywords (PS_PUBLIC_STRINGS)"));
        QCOMPARE(ws.Text(static_cast<int>(shown.indexOf(QStringLiteral("0x00008580"))), 4),
                 QStringLiteral("PidLidInternetAccountName (PSETID_Common)"));
        QVERIFY(ws.pView->header()->sectionSize(3) >=
                ws.pView->fontMetrics().horizontalAdvance(QStringLiteral("{00020328-0000-0000-C000-000000000046}")));
        QCOMPARE(ws.Model().Row(nThird).nImage, -1);

        // Rows without a property: "Open ..." is disabled, "Save ..." says why
        // it cannot save.
        QVERIFY(!ws.Enabled(ID_PROPERTY_SAVE));
        ws.Select(0);
        QVERIFY(!ws.Enabled(ID_PROPERTY_OPEN));
        QVERIFY(ws.Enabled(ID_PROPERTY_SAVE));
        m_pPrompts->AnswerMessage(QMessageBox::Ok);
        ws.pView->OnCommand(ID_PROPERTY_SAVE);
        QCOMPARE(m_pPrompts->m_messageRequests.size(), size_t{1});
        QVERIFY(m_pPrompts->m_messageRequests[0].strText.contains(QStringLiteral("nothing to save")));
        QVERIFY(m_pPrompts->m_fileRequests.empty());

        // Back to a property list: its columns return.
        ws.pDoc->SelectNode(ws.store.get());
        QCOMPARE(ws.Model().columnCount(), 5);
        QVERIFY(ws.Rows() > 0);

        // A store that reports no names says so; one whose call fails shows
        // an empty list and nothing else.
        fake::PropObject noNames;
        CMsgStoreWrapper noNamesStore;
        noNamesStore.m_pObj = &noNames;
        CTreeNode noNamesNode;
        noNamesNode.m_nKind = NODE_NAMED_PROPS;
        noNamesNode.m_pStore = &noNamesStore;
        m_pPrompts->AnswerMessage(QMessageBox::Ok);
        ws.pDoc->SelectNode(&noNamesNode);
        QCOMPARE(ws.Rows(), 0);
        QCOMPARE(ws.Model().columnCount(), 5);
        QCOMPARE(m_pPrompts->m_messageRequests.size(), size_t{2});
        QCOMPARE(m_pPrompts->m_messageRequests[1].strText, QStringLiteral("cPropNames == 0"));
        QCOMPARE(m_pPrompts->m_messageRequests[1].strTitle, QStringLiteral("Error!"));
        QCOMPARE(m_pPrompts->m_messageRequests[1].nButtons, static_cast<int>(QMessageBox::Ok));
        noNames.hrGetNames = MAPI_E_NO_SUPPORT;
        ws.pDoc->SelectNode(&noNamesNode);
        QCOMPARE(ws.Rows(), 0);
        QCOMPARE(m_pPrompts->m_messageRequests.size(), size_t{2});
        ws.pDoc->SelectNode(nullptr);
        noNamesStore.m_pObj = nullptr;
        noNamesNode.m_pStore = nullptr;
    }

    // The Named ID column names the named properties of the demo store's
    // appointment and contacts by their canonical names and sets.
    void namedIdsOfAppointmentsAndContacts_data()
    {
        QTest::addColumn<QString>("subject");
        QTest::addColumn<QString>("namedId");
        QTest::newRow("appointment start") << "Design review"
                                           << "0x0000820D PidLidAppointmentStartWhole (PSETID_Appointment)";
        QTest::newRow("appointment location") << "Design review" << "0x00008208 PidLidLocation (PSETID_Appointment)";
        QTest::newRow("distribution list") << "Engine team"
                                           << "0x00008055 PidLidDistributionListMembers (PSETID_Address)";
        QTest::newRow("string name") << "Large and unusual values" << "\"Keywords\" PidNameKeywords (PS_PUBLIC_STRINGS)";
    }
    void namedIdsOfAppointmentsAndContacts()
    {
        QFETCH(QString, subject);
        QFETCH(QString, namedId);
        CWorkspace ws(m_strDemo);
        QVERIFY(ws.FindMessage(subject.toStdString()));
        ws.pDoc->m_bEntryProps = true;
        ws.pDoc->SelectNode(ws.message.get());
        QStringList ids;
        for (int i = 0; i < ws.Rows(); ++i)
            ids << ws.Text(i, 2);
        QVERIFY2(ids.contains(namedId), qPrintable(ids.join(QLatin1Char('|'))));
        // The column is wide enough for the text.
        QVERIFY(ws.pView->header()->sectionSize(2) >= ws.pView->fontMetrics().horizontalAdvance(
                                                          QStringLiteral("0x00008205 PidLidBusyStatus")));
        ws.pDoc->SelectNode(nullptr);
    }

    // Ctrl+C copies the selected rows to the clipboard, tab-separated, in the
    // order the columns show; "Copy Value" copies a value whole: the 40 KB
    // body (too large for the list) and the 3,000-byte HTML as hex digits.
    void copyRowsAndWholeValues()
    {
        CWorkspace ws(m_strDemo);
        QVERIFY(ws.FindMessage("Large and unusual values"));
        ws.pDoc->m_bEntryProps = true;
        ws.pDoc->SelectNode(ws.message.get());
        ws.pView->show();
        QVERIFY(QTest::qWaitForWindowExposed(ws.pView.get()));
        ws.pView->setFocus();
        QClipboard* pClipboard = QApplication::clipboard();

        const int nPriority = ws.RowOfTag(QStringLiteral("0x00260003"));
        const int nDouble = ws.RowOfTag(QStringLiteral("0x66020005"));
        QVERIFY(nPriority >= 0 && nDouble >= 0);
        ws.Select(nPriority);
        ws.pView->selectionModel()->select(ws.Model().index(nDouble, 0),
                                           QItemSelectionModel::Select | QItemSelectionModel::Rows);
        QVERIFY(ws.Enabled(ID_EDIT_COPY));
        pClipboard->clear();
        ws.pView->OnCommand(ID_EDIT_COPY);
        const QString strFirst = QStringLiteral("0x00260003\tPR_PRIORITY\t\tPT_LONG\t0\n");
        const QString strSecond = QStringLiteral("0x66020005\t0x00006602\t\tPT_DOUBLE\t3.250000e+00\n");
        QCOMPARE(pClipboard->text(), nPriority < nDouble ? strFirst + strSecond : strSecond + strFirst);

        // The shown order of the columns: Value moved first.
        ws.pView->header()->moveSection(4, 0);
        ws.Select(nPriority);
        ws.pView->OnCommand(ID_EDIT_COPY);
        QCOMPARE(pClipboard->text(), QStringLiteral("0\t0x00260003\tPR_PRIORITY\t\tPT_LONG\n"));
        ws.pView->header()->moveSection(0, 4);

        // Copy Value: whole, whatever the list shows.
        std::string body;
        for (int i = 0; body.size() < 40000; ++i)
            body += "Line " + std::to_string(i) + " of a body longer than 32 KiB.\r\n";
        ws.Select(ws.RowOfTag(QStringLiteral("0x1000000a")));
        QVERIFY(ws.Enabled(ID_COPY_VALUE));
        ws.pView->OnCommand(ID_COPY_VALUE);
        QCOMPARE(pClipboard->text().toStdString(), body);
        QString strHtml;
        for (int i = 0; i < 3000; ++i)
            strHtml += QStringLiteral("%1").arg(static_cast<uint8_t>(i * 7 + 3), 2, 16, QLatin1Char('0')).toUpper();
        ws.Select(ws.RowOfTag(QStringLiteral("0x10130102")));
        QVERIFY(ws.Text(ws.RowOfTag(QStringLiteral("0x10130102")), 4).endsWith(QStringLiteral(" }etc")));
        ws.pView->OnCommand(ID_COPY_VALUE);
        QCOMPARE(pClipboard->text(), strHtml);

        // Ctrl+C reaches the list through the keyboard too.
        ws.Select(nPriority);
        pClipboard->clear();
        QTest::keyClick(ws.pView.get(), Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(pClipboard->text(), strFirst);
        ws.pDoc->SelectNode(nullptr);
    }

    // Return on a property row opens the viewer for that row.
    void returnOpensTheViewer()
    {
        CWorkspace ws(m_strDemo);
        QVERIFY(ws.FindMessage("Large and unusual values"));
        ws.pDoc->m_bEntryProps = true;
        ws.pDoc->SelectNode(ws.message.get());
        ws.pView->show();
        QVERIFY(QTest::qWaitForWindowExposed(ws.pView.get()));
        ws.pView->setFocus();
        const int nRow = ws.RowOfTag(QStringLiteral("0x00260003"));
        ws.Select(nRow);
        ws.pView->selectionModel()->setCurrentIndex(ws.Model().index(nRow, 0), QItemSelectionModel::NoUpdate);
        QString strShown;
        QTimer closer;
        closer.setInterval(10);
        connect(&closer, &QTimer::timeout, this, [&]() {
            if (auto* pDlg = qobject_cast<CEditPropDlg*>(QApplication::activeModalWidget())) {
                strShown = pDlg->ControlText(IDC_PROP_TAG_NAME);
                pDlg->reject();
            }
        });
        closer.start();
        QTest::keyClick(ws.pView.get(), Qt::Key_Return);
        closer.stop();
        QCOMPARE(strShown, QStringLiteral("PR_PRIORITY"));
        ws.pDoc->SelectNode(nullptr);
    }

    // "Open ..." wants a row with a property; "Save ..." any row; the print
    // commands belong to the list.
    void commandEnabling()
    {
        CWorkspace ws(m_strDemo);
        QVERIFY(!ws.Enabled(ID_PROPERTY_OPEN));
        QVERIFY(!ws.Enabled(ID_PROPERTY_SAVE));
        QVERIFY(ws.Enabled(ID_FILE_PRINT));
        QVERIFY(ws.Enabled(ID_FILE_PRINT_PREVIEW));
        ws.pDoc->SelectNode(ws.store.get());
        QVERIFY(!ws.Enabled(ID_PROPERTY_OPEN));
        ws.Select(0);
        QVERIFY(ws.Enabled(ID_PROPERTY_OPEN));
        QVERIFY(ws.Enabled(ID_PROPERTY_SAVE));
        CCmdUI ui;
        QVERIFY(!ws.pView->OnUpdateCommand(ID_CONNECT_FILE, ui));

        // Disconnected: an empty list that keeps its columns.
        ws.pDoc->OnDisconnect();
        QCOMPARE(ws.Rows(), 0);
        QCOMPARE(ws.Model().columnCount(), 5);
        QVERIFY(!ws.Enabled(ID_PROPERTY_SAVE));
    }

    // Once the program is ending a listing stops and no print dialog opens.
    void programEnding()
    {
        CWorkspace ws(m_strDemo);
        ws.ShowValues(LongValues(50));
        QCOMPARE(ws.Rows(), 50);
        RequestQuit();
        ws.pDoc->SelectNode(ws.plain.get());
        const int nRows = ws.Rows();
        ws.pView->OnCommand(ID_FILE_PRINT);
        ws.pView->OnCommand(ID_FILE_PRINT_PREVIEW);
        ResetQuitRequestForTest();
        QCOMPARE(nRows, 0);
    }

    // In the program's window the list's commands are the shared actions of
    // menu, toolbar and context menu, enabled while the list has the focus.
    void commandsThroughTheMainFrame()
    {
        CMainFrame frame(nullptr);
        auto pOwnedDoc = std::make_unique<CDravikDoc>();
        pOwnedDoc->OnNewDocument();
        CChildFrame* pChild = frame.AddWorkspace(std::move(pOwnedDoc));
        CDravikDoc* pDoc = pChild->GetDocument();
        CDravikView* pList = pChild->ListView();
        frame.show();
        frame.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&frame));

        QVERIFY(pList->PropertyMenu() != nullptr);
        QVERIFY(pList->PropertyMenu()->actions().contains(frame.Action(ID_PROPERTY_OPEN)));
        QVERIFY(pList->PropertyMenu()->actions().contains(frame.Action(ID_PROPERTY_SAVE)));

        QCOMPARE(pDoc->ConnectFile(m_strDemo), S_OK);
        std::vector<SPropValue> values = LongValues(2);
        CTreeNode plain;
        plain.m_pProps = new CPropValueArray;
        plain.m_pProps->AttachValues(values.data(), 2);
        pDoc->SelectNode(&plain);

        pList->setFocus();
        QTRY_VERIFY(pList->hasFocus());
        frame.UpdateCommandUI();
        QVERIFY(frame.Action(ID_FILE_PRINT)->isEnabled());
        QVERIFY(frame.Action(ID_FILE_PRINT_PREVIEW)->isEnabled());
        QVERIFY(!frame.Action(ID_PROPERTY_OPEN)->isEnabled());
        QVERIFY(!frame.Action(ID_PROPERTY_SAVE)->isEnabled());
        pList->selectionModel()->select(pList->Model()->index(1, 0),
                                        QItemSelectionModel::Select | QItemSelectionModel::Rows);
        frame.UpdateCommandUI();
        QVERIFY(frame.Action(ID_PROPERTY_OPEN)->isEnabled());
        QVERIFY(frame.Action(ID_PROPERTY_SAVE)->isEnabled());

        QTemporaryDir out;
        m_pPrompts->AnswerFile(out.filePath(QStringLiteral("value.txt")));
        frame.Action(ID_PROPERTY_SAVE)->trigger();
        QCOMPARE(ReadFile(out.filePath(QStringLiteral("value.txt"))), QByteArray("0"));

        // With the tree active the list's commands are not reachable.
        pChild->LeftView()->setFocus();
        QTRY_VERIFY(pChild->LeftView()->hasFocus());
        frame.UpdateCommandUI();
        QVERIFY(!frame.Action(ID_FILE_PRINT)->isEnabled());
        QVERIFY(!frame.Action(ID_PROPERTY_SAVE)->isEnabled());
        pDoc->SelectNode(nullptr);
    }

    // Every object the tree shows of a store lists, in both modes, a row for
    // each of its properties with a text for every value the store holds.
    void everyObjectOfAStore_data()
    {
        QTest::addColumn<QString>("path");
        QTest::newRow("demo") << m_strDemo;
        for (const char* psz : {"pstsdk-sample1.pst", "pstsdk-sample2.pst", "pstsdk-submessage.pst",
                                "java-libpst-dist-list.pst", "pst-extractor-enron.pst", "pst-extractor-outlookcom.ost"})
            QTest::newRow(psz) << QStringLiteral(DRAVIK_SAMPLES_DIR "/%1").arg(QString::fromLatin1(psz));
    }
    void everyObjectOfAStore()
    {
        QFETCH(QString, path);
        CMainFrame frame(nullptr);
        auto pOwnedDoc = std::make_unique<CDravikDoc>();
        pOwnedDoc->OnNewDocument();
        CChildFrame* pChild = frame.AddWorkspace(std::move(pOwnedDoc));
        CDravikDoc* pDoc = pChild->GetDocument();
        CLeftView* pTree = pChild->LeftView();
        CDravikView* pList = pChild->ListView();
        QCOMPARE(pDoc->ConnectFile(path), S_OK);
        QVERIFY(pTree->topLevelItemCount() > 0);

        int nObjects = 0, nRows = 0, nNames = 0;
        QStringList faults;
        std::function<void(QTreeWidgetItem*)> visit = [&](QTreeWidgetItem* pItem) {
            pTree->OnItemExpanding(pItem);
            pTree->FinishListing();
            CTreeNode* pNode = CLeftView::NodeOf(pItem);
            if (pNode && pNode->m_nKind == NODE_NAMED_PROPS) {
                pDoc->SelectNode(pNode);
                nNames += pList->Model()->rowCount();
                QCOMPARE(pList->Model()->columnCount(), 5);
            } else if (pNode) {
                ++nObjects;
                for (bool bEntry : {false, true}) {
                    pDoc->m_bEntryProps = bEntry;
                    pDoc->SelectNode(pNode);
                    const CPropListModel& model = *pList->Model();
                    if (pNode->m_pProps && (!bEntry || !EntryObject(*pNode)))
                        QCOMPARE(model.rowCount(), static_cast<int>(pNode->m_pProps->Count()));
                    for (int i = 0; i < model.rowCount(); ++i) {
                        ++nRows;
                        const QString strValue = model.index(i, 4).data().toString();
                        const SPropValue* pProp = model.Row(i).item.pProp;
                        const ULONG ulType = PROP_TYPE(pProp->ulPropTag);
                        const bool bEmptyValue = (ulType == PT_STRING8 && pProp->Value.lpszA && !*pProp->Value.lpszA) ||
                                                 (ulType == PT_UNICODE && pProp->Value.lpszW && !*pProp->Value.lpszW) ||
                                                 (ulType == PT_BINARY && pProp->Value.bin.cb == 0);
                        if (strValue.contains(QStringLiteral("<Unknown Property Type")) ||
                            (strValue.isEmpty() && !bEmptyValue))
                            faults << pItem->text(0) + QLatin1Char(' ') + model.index(i, 0).data().toString() +
                                          QStringLiteral(": \"") + strValue + QLatin1Char('"');
                    }
                }
            }
            for (int i = 0; i < pItem->childCount(); ++i)
                visit(pItem->child(i));
        };
        visit(pTree->topLevelItem(0)); // "Message Stores"
        qInfo("%d objects, %d rows, %d named properties", nObjects, nRows, nNames);
        pDoc->SelectNode(nullptr);
        QVERIFY(nObjects > 3);
        QVERIFY(nRows > 100);
        QVERIFY(nNames > 0);
        QVERIFY2(faults.isEmpty(), qPrintable(faults.mid(0, 20).join(QLatin1Char('\n'))));
    }

    // "Save ..." writes the value's text (cut to the export's 5000 bytes),
    // or the whole value through its stream when GetProps could not give it;
    // an existing file is replaced only when the new one is complete.
    void saveProperty()
    {
        CWorkspace ws(m_strDemo);
        QVERIFY(ws.FindMessage("Large and unusual values"));
        ws.pDoc->m_bEntryProps = true;
        ws.pDoc->SelectNode(ws.message.get());
        QTemporaryDir out;

        auto save = [&](ULONG ulTag, const QString& strName) {
            ws.Select(ws.RowOfTag(QString::asprintf("0x%08x", ulTag)));
            const QString strPath = out.filePath(strName);
            m_pPrompts->AnswerFile(strPath);
            ws.pView->OnCommand(ID_PROPERTY_SAVE);
            return ReadFile(strPath);
        };

        QCOMPARE(save(PR_OBJECT_TYPE, QStringLiteral("type.txt")), QByteArray("5"));
        QCOMPARE(m_pPrompts->m_fileRequests.back().strFileName, QStringLiteral("export.txt"));
        QVERIFY(!m_pPrompts->m_fileRequests.back().bOpen);

        const QByteArray headers = save(kTagHeaders, QStringLiteral("headers.txt"));
        QCOMPARE(headers.size(), 4999);
        QVERIFY(headers.startsWith("X-Dravik-Header-0: filler\r\n")); // line ends kept as they are

        const QByteArray html = save(kTagHtml, QStringLiteral("html.txt"));
        QCOMPARE(html.size(), 3324 + 5);
        QVERIFY(html.endsWith(" }etc"));
        QVERIFY(html.startsWith("030A1118"));

        // The body above 32 KiB, whole, through its stream, replacing a file.
        QFile old(out.filePath(QStringLiteral("body.txt")));
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("old content");
        old.close();
        std::string expected;
        for (int i = 0; expected.size() < 40000; ++i)
            expected += "Line " + std::to_string(i) + " of a body longer than 32 KiB.\r\n";
        const QByteArray body = save(PROP_TAG(PT_ERROR, PROP_ID(PR_BODY)), QStringLiteral("body.txt"));
        QCOMPARE(m_pPrompts->m_fileRequests.back().strFileName, QStringLiteral("export.txt"));
        QCOMPARE(body.size(), static_cast<qsizetype>(expected.size()));
        QVERIFY(body == QByteArray::fromStdString(expected));

        // Cancelled: the file stays as it was.
        ws.Select(ws.RowOfTag(QStringLiteral("0x0ffe0003")));
        m_pPrompts->AnswerFile(QString());
        ws.pView->OnCommand(ID_PROPERTY_SAVE);
        QCOMPARE(ReadFile(out.filePath(QStringLiteral("type.txt"))), QByteArray("5"));

        // A stream that fails to read: reported, the file left as it was.
        fake::PropObject broken;
        broken.streams[PROP_ID(PR_BODY)] = fake::StreamSpec{std::vector<BYTE>(5000, 'x'), 1024, MAPI_E_CORRUPT_DATA};
        const CExportResult failed =
            SaveStreamToFile(&broken, CHANGE_PROP_TYPE(PR_BODY, PT_STRING8), out.filePath(QStringLiteral("body.txt")));
        QCOMPARE(failed.hr, MAPI_E_CORRUPT_DATA);
        QCOMPARE(ReadFile(out.filePath(QStringLiteral("body.txt"))).size(), static_cast<qsizetype>(expected.size()));
        QCOMPARE(SaveStreamToFile(&broken, PR_SUBJECT, out.filePath(QStringLiteral("none.txt"))).hr != S_OK, true);
        QVERIFY(!QFile::exists(out.filePath(QStringLiteral("none.txt"))));

        // A folder that does not exist: reported, nothing written.
        save(PR_OBJECT_TYPE, QStringLiteral("missing/type.txt"));
        QCOMPARE(m_pPrompts->m_errorReports.size(), size_t{1});
        QCOMPARE(m_pPrompts->m_errorReports[0].strMessage, QStringLiteral("Failure saving property"));
        QCOMPARE(m_pPrompts->m_errorReports[0].hr, static_cast<std::int32_t>(MAPI_E_DISK_ERROR));
        QVERIFY(m_pPrompts->m_unexpected.isEmpty());
    }

    // An attachment's too-large data proposes the attachment's file name; a
    // too-large value of a node without an object is refused.
    void saveStreamNames()
    {
        // The stream export's name comes from the node's row values.
        SPropValue longName{};
        longName.ulPropTag = PROP_TAG(PT_STRING8, 0x3707);
        longName.Value.lpszA = const_cast<LPSTR>("Quarterly report.txt");
        CPropValueArray row;
        row.AttachValues(&longName, 1);
        QCOMPARE(StreamExportFileName(&row), QStringLiteral("Quarterly report.txt"));
        QCOMPARE(StreamExportFileName(nullptr), QStringLiteral("export.txt"));

        SPropValue tooLarge{};
        tooLarge.ulPropTag = PROP_TAG(PT_ERROR, 0x3701);
        tooLarge.Value.err = MAPI_E_NOT_ENOUGH_MEMORY;
        QVERIFY(IsTooLargeValue(&tooLarge));
        SPropValue sameBits{};
        sameBits.ulPropTag = PROP_TAG(PT_LONG, 0x6000);
        sameBits.Value.l = MAPI_E_NOT_ENOUGH_MEMORY;
        QVERIFY(!IsTooLargeValue(&sameBits)); // a number that happens to hold the code is a number

        CWorkspace ws(m_strDemo);
        ws.ShowValues({tooLarge});
        ws.Select(0);
        m_pPrompts->AnswerMessage(QMessageBox::Ok);
        ws.pView->OnCommand(ID_PROPERTY_SAVE);
        QCOMPARE(m_pPrompts->m_messageRequests.size(), size_t{1});
        QVERIFY(m_pPrompts->m_messageRequests[0].strText.contains(QStringLiteral("no object")));
        QVERIFY(m_pPrompts->m_fileRequests.empty());
    }

    // 100 rows at 40 rows a page print as 3 pages; page 3 holds rows 80 to
    // 99; headings follow the displayed column order.
    void printToPdf()
    {
        CWorkspace ws(m_strDemo);
        ws.ShowValues(LongValues(100));
        QCOMPARE(ws.Rows(), 100);
        // Row i shows value 99 - i (rows are inserted at the top).

        QTemporaryDir out;
        QPrinter printer(QPrinter::HighResolution);
        printer.setOutputFormat(QPrinter::PdfFormat);
        printer.setPageMargins(QMarginsF(0, 0, 0, 0));
        // Find the page height that holds exactly 40 rows below the headings.
        CListViewPrint& print = ws.pView->Printing();
        print.Reset();
        print.BeginPrinting(&printer);
        const int nLine = print.BodyChar().height();
        const int nFixed = 150 + 150 + 2 * print.TitleChar().height() + 2 * print.FooterChar().height();
        const int nHeightPx = nFixed + nLine + 40 * nLine + nLine / 2;
        const double dPoints = nHeightPx * 72.0 / printer.resolution();
        printer.setPageSize(QPageSize(QSizeF(595, dPoints), QPageSize::Point));
        printer.setPageMargins(QMarginsF(0, 0, 0, 0));
        print.Reset();
        print.BeginPrinting(&printer);
        QCOMPARE(print.RowsPerPage(), 40);
        QCOMPARE(print.Pages(), 3);

        const QString strPdf = out.filePath(QStringLiteral("list.pdf"));
        printer.setOutputFileName(strPdf);
        print.Reset();
        QVERIFY(print.Print(&printer));
        if (QStandardPaths::findExecutable(QStringLiteral("pdftotext")).isEmpty())
            QFAIL("pdftotext (poppler-utils) is not installed");
        QCOMPARE(PdfPages(strPdf), 3);
        const QString all = PdfText(strPdf);
        QVERIFY2(all.contains(QStringLiteral("Dravik")), qPrintable(all.left(400)));
        QVERIFY(all.contains(QStringLiteral("New Workspace")));
        QVERIFY(all.contains(QStringLiteral("Page 1 of 3")));
        QVERIFY(all.contains(QStringLiteral("Page 3 of 3")));
        const QString page3 = PdfText(strPdf, 3, 3);
        QVERIFY(page3.contains(QStringLiteral("TAG Name")));
        QVERIFY(page3.contains(QStringLiteral("Named ID")));
        QVERIFY(page3.contains(QStringLiteral("Page 3 of 3")));
        // Row 80 shows the value 19 with the tag 0x60130003; row 79 is on page 2.
        QVERIFY2(page3.contains(QStringLiteral("0x60130003")), qPrintable(page3));
        QVERIFY(page3.contains(QStringLiteral("0x60000003")));
        QVERIFY(!page3.contains(QStringLiteral("0x60140003")));
        QCOMPARE(page3.count(QStringLiteral("0x600")) + page3.count(QStringLiteral("0x601")), 20);

        // The "Value" column dragged to the front prints first.
        auto headingLine = [](const QString& text) {
            for (const QString& line : text.split(QLatin1Char('\n'))) {
                if (line.contains(QStringLiteral("TAG Name")))
                    return line;
            }
            return QString();
        };
        QVERIFY(headingLine(page3).indexOf(QStringLiteral("TAG")) < headingLine(page3).indexOf(QStringLiteral("Type")));
        ws.pView->header()->moveSection(ws.pView->header()->visualIndex(3), 0);
        const QString strMoved = out.filePath(QStringLiteral("moved.pdf"));
        printer.setOutputFileName(strMoved);
        print.Reset();
        QVERIFY(print.Print(&printer, 3, 3));
        QCOMPARE(PdfPages(strMoved), 1);
        const QString moved = headingLine(PdfText(strMoved));
        QVERIFY2(moved.indexOf(QStringLiteral("Type")) < moved.indexOf(QStringLiteral("TAG")), qPrintable(moved));
    }

    // A long value wraps within the page (the last column reaching the
    // page's right edge) instead of being cut at it; the printout's header
    // names the workspace and the object listed.
    void longValuesWrapAndTheHeaderNamesTheObject()
    {
        CWorkspace ws(m_strDemo);
        std::string strLong;
        for (int i = 0; i < 90; ++i)
            strLong += "0123456789";
        strLong += "END";
        std::vector<SPropValue> values(2);
        values[0].ulPropTag = PR_SUBJECT_A;
        values[0].Value.lpszA = strLong.data();
        values[1].ulPropTag = PR_PRIORITY;
        values[1].Value.l = 1;
        ws.ShowValues(values);
        ws.pDoc->m_strSelectedPath = QStringLiteral("Message Stores/Demo/Inbox");
        QCOMPARE(ws.pView->PrintTitle(), ws.pDoc->GetTitle() + QStringLiteral(": Message Stores/Demo/Inbox"));

        QTemporaryDir out;
        QPrinter printer(QPrinter::HighResolution);
        printer.setOutputFormat(QPrinter::PdfFormat);
        const QString strPdf = out.filePath(QStringLiteral("long.pdf"));
        printer.setOutputFileName(strPdf);
        CListViewPrint& print = ws.pView->Printing();
        print.SetDocTitle(ws.pView->PrintTitle());
        print.Reset();
        QVERIFY(print.Print(&printer));
        if (QStandardPaths::findExecutable(QStringLiteral("pdftotext")).isEmpty())
            QFAIL("pdftotext (poppler-utils) is not installed");
        const QString all = PdfText(strPdf);
        // The value's lines, read one after another, give it whole.
        QVERIFY2(QString(all).remove(QRegularExpression(QStringLiteral("\\s"))).contains(QString::fromStdString(strLong)),
                 qPrintable(all));
        QVERIFY(all.contains(QStringLiteral("Message Stores/Demo/Inbox")));
        QCOMPARE(PdfPages(strPdf), 1);
        ws.pDoc->SelectNode(nullptr);
    }

    // A page with no room for a row below the headings still prints every
    // row, one a page, without dividing by zero.
    void tinyPage()
    {
        CWorkspace ws(m_strDemo);
        ws.ShowValues(LongValues(3));
        QTemporaryDir out;
        QPrinter printer(QPrinter::ScreenResolution);
        printer.setOutputFormat(QPrinter::PdfFormat);
        printer.setPageSize(QPageSize(QSizeF(400, 200), QPageSize::Point));
        printer.setPageMargins(QMarginsF(0, 0, 0, 0));
        printer.setOutputFileName(out.filePath(QStringLiteral("tiny.pdf")));
        CListViewPrint& print = ws.pView->Printing();
        print.Reset();
        QVERIFY(print.Print(&printer));
        QCOMPARE(print.RowsPerPage(), 1);
        QCOMPARE(print.Pages(), 3);

        // An empty list prints one page with its headings.
        ws.pDoc->SelectNode(nullptr);
        print.Reset();
        QCOMPARE(print.BeginPrinting(&printer), 1);
        print.EndPrinting();
    }
};

QTEST_MAIN(TestList)
#include "tst_list.moc"
