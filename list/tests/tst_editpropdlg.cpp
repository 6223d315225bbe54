// The property editor dialog on real stores: the demo store that pstgen
// writes and the sample stores, opened through a workspace connection.
#include "list/EditPropDlg.h"

#include "hexedit/HexEdit.h"
#include "mapi/MAPICommandView.h"
#include "mapi/TraceWriter.h"
#include "props/PropText.h"
#include "ScriptedPrompts.h"
#include "workspace/DravikDoc.h"

#include "mapi32/mapicode.h"
#include "mapi32/mapiguid.h"
#include "mapi32/mapitags.h"
#include "mapi32/mapiutil.h"
#include "mapi32/mapix.h"
#include "mapi32/propobject.h"

#include <QApplication>
#include <QDir>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

// Releases a MAPI object once.
struct CRelease
{
    void operator()(IUnknown* p) const
    {
        if (p)
            p->Release();
    }
};
template <class I>
using MapiPtr = std::unique_ptr<I, CRelease>;

struct CFreeRows
{
    void operator()(SRowSet* p) const { FreeProws(p); }
};
using RowsPtr = std::unique_ptr<SRowSet, CFreeRows>;

struct CFreeBuffer
{
    void operator()(void* p) const { MAPIFreeBuffer(p); }
};

// Every property of an object, as the list shows them in entry mode.
struct CProps
{
    ULONG cValues = 0;
    std::unique_ptr<SPropValue, CFreeBuffer> pValues;
    const SPropValue* Find(ULONG ulTag) const
    {
        return PpropFindProp(pValues.get(), cValues, ulTag);
    }
};

CProps AllProps(IMAPIProp* pObject)
{
    CProps props;
    LPSPropValue pValues = nullptr;
    if (SUCCEEDED(pObject->GetProps(nullptr, 0, &props.cValues, &pValues)))
        props.pValues.reset(pValues);
    else
        props.cValues = 0;
    return props;
}

RowsPtr AllRows(IMAPITable* pTable)
{
    LPSRowSet pRows = nullptr;
    if (!pTable || FAILED(HrQueryAllRows(pTable, nullptr, nullptr, nullptr, 0, &pRows)))
        return RowsPtr();
    return RowsPtr(pRows);
}

// A store file connected in a workspace, and its message store.
struct CConnectedStore
{
    CMAPICommandView pane;
    std::unique_ptr<CDravikDoc> pDoc = std::make_unique<CDravikDoc>();
    MapiPtr<IMsgStore> pStore;

    explicit CConnectedStore(const QString& strPath)
    {
        pDoc->m_ppTraceWriter = new CMAPITraceSlot(new CTraceWriter(&pane));
        if (FAILED(pDoc->ConnectFile(strPath)))
            return;
        IMAPISession* pSession = pDoc->GetSession()->Obj();
        LPMAPITABLE pTable = nullptr;
        if (!pSession || FAILED(pSession->GetMsgStoresTable(0, &pTable)))
            return;
        MapiPtr<IMAPITable> table(pTable);
        RowsPtr rows = AllRows(pTable);
        if (!rows || rows->cRows == 0)
            return;
        const SPropValue* pEntry = PpropFindProp(rows->aRow[0].lpProps, rows->aRow[0].cValues, PR_ENTRYID);
        LPMDB pMdb = nullptr;
        if (pEntry && SUCCEEDED(pSession->OpenMsgStore(0, pEntry->Value.bin.cb,
                                                       reinterpret_cast<LPENTRYID>(pEntry->Value.bin.lpb), nullptr,
                                                       MAPI_BEST_ACCESS, &pMdb)))
            pStore.reset(pMdb);
    }
    ~CConnectedStore()
    {
        pStore.reset();
        pDoc.reset();
    }

    template <class I>
    MapiPtr<I> Open(IMAPIProp* pFrom, const SPropValue* pEntry)
    {
        ULONG ulType = 0;
        LPUNKNOWN pUnk = nullptr;
        HRESULT hr = E_FAIL;
        const ULONG cb = pEntry ? pEntry->Value.bin.cb : 0;
        auto* pId = pEntry ? reinterpret_cast<LPENTRYID>(pEntry->Value.bin.lpb) : nullptr;
        if (auto* pContainer = dynamic_cast<IMAPIContainer*>(pFrom))
            hr = pContainer->OpenEntry(cb, pId, nullptr, MAPI_BEST_ACCESS, &ulType, &pUnk);
        else
            hr = pStore->OpenEntry(cb, pId, nullptr, MAPI_BEST_ACCESS, &ulType, &pUnk);
        MapiPtr<I> result(FAILED(hr) ? nullptr : dynamic_cast<I*>(pUnk));
        if (!result && pUnk)
            pUnk->Release();
        return result;
    }

    // Calls visit for the store and every folder, message and attachment, with
    // the object and, for folders and messages, the table row it was listed in.
    void Walk(const std::function<void(IMAPIProp*, const SRow*)>& visit)
    {
        visit(pStore.get(), nullptr);
        WalkFolder(Open<IMAPIFolder>(pStore.get(), nullptr).get(), nullptr, visit);
    }

    void WalkFolder(IMAPIFolder* pFolder, const SRow* pRow, const std::function<void(IMAPIProp*, const SRow*)>& visit)
    {
        if (!pFolder)
            return;
        visit(pFolder, pRow);
        LPMAPITABLE pTable = nullptr;
        if (SUCCEEDED(pFolder->GetContentsTable(0, &pTable))) {
            MapiPtr<IMAPITable> table(pTable);
            RowsPtr rows = AllRows(pTable);
            for (ULONG i = 0; rows && i < rows->cRows; ++i) {
                const SRow& row = rows->aRow[i];
                MapiPtr<IMessage> pMessage =
                    Open<IMessage>(pFolder, PpropFindProp(row.lpProps, row.cValues, PR_ENTRYID));
                if (pMessage)
                    WalkMessage(pMessage.get(), &row, visit);
            }
        }
        if (SUCCEEDED(pFolder->GetHierarchyTable(0, &pTable))) {
            MapiPtr<IMAPITable> table(pTable);
            RowsPtr rows = AllRows(pTable);
            for (ULONG i = 0; rows && i < rows->cRows; ++i) {
                const SRow& row = rows->aRow[i];
                WalkFolder(Open<IMAPIFolder>(pFolder, PpropFindProp(row.lpProps, row.cValues, PR_ENTRYID)).get(),
                           &row, visit);
            }
        }
    }

    void WalkMessage(IMessage* pMessage, const SRow* pRow, const std::function<void(IMAPIProp*, const SRow*)>& visit)
    {
        visit(pMessage, pRow);
        LPMAPITABLE pTable = nullptr;
        if (FAILED(pMessage->GetAttachmentTable(0, &pTable)))
            return;
        MapiPtr<IMAPITable> table(pTable);
        RowsPtr rows = AllRows(pTable);
        for (ULONG i = 0; rows && i < rows->cRows; ++i) {
            const SRow& row = rows->aRow[i];
            const SPropValue* pNum = PpropFindProp(row.lpProps, row.cValues, PR_ATTACH_NUM);
            LPATTACH pAttach = nullptr;
            if (pNum && SUCCEEDED(pMessage->OpenAttach(pNum->Value.ul, nullptr, MAPI_BEST_ACCESS, &pAttach))) {
                MapiPtr<IAttach> attach(pAttach);
                visit(pAttach, &row);
            }
        }
    }

    // The first message with this subject.
    MapiPtr<IMessage> FindMessage(const std::string& strSubject)
    {
        MapiPtr<IMessage> found;
        Walk([&](IMAPIProp* pObject, const SRow*) {
            auto* pMessage = dynamic_cast<IMessage*>(pObject);
            if (found || !pMessage)
                return;
            const CProps props = AllProps(pMessage);
            const SPropValue* pSubject = props.Find(PR_SUBJECT_A);
            if (pSubject && pSubject->Value.lpszA && strSubject == pSubject->Value.lpszA) {
                pMessage->AddRef();
                found.reset(pMessage);
            }
        });
        return found;
    }
};

// What the dialog showed when it was open.
struct CShown
{
    bool bShown = false;
    std::map<int, QString> texts;
    bool bHex = false;
    std::vector<std::uint8_t> bytes;
    bool bSaveEnabled = true;
    bool bHexFocused = false;

    QString Text(int nId) const
    {
        const auto it = texts.find(nId);
        return it != texts.end() ? it->second : QString();
    }
};

const int kFieldIds[] = {IDC_PROP_TAG_NAME, IDC_PROP_TYPE_NAME, IDC_PROP_VALUE, IDC_NAMED_ID,
                         IDC_NAMED_KIND,    IDC_NAMED_NAME,     IDC_NAMED_GUID, IDC_PROP_ID,
                         IDC_PROP_TYPE};

CShown Read(const CEditPropDlg& dlg)
{
    CShown shown;
    shown.bShown = true;
    for (int nId : kFieldIds)
        shown.texts[nId] = dlg.ControlText(nId);
    shown.bHex = dlg.HexValue() != nullptr;
    if (dlg.HexValue())
        shown.bytes = dlg.HexValue()->Model().Bytes();
    shown.bSaveEnabled = dlg.SaveButton()->isEnabled();
    shown.bHexFocused = dlg.HexValue() && dlg.focusWidget() == dlg.HexValue();
    return shown;
}

// Runs the editor as the list does and reads the dialog while it is open,
// then cancels it.
CShown RunAndRead(const SPropValue* pProp, IMAPIProp* pObject, bool bEntryProps)
{
    CShown shown;
    QTimer timer;
    timer.setInterval(0);
    QObject::connect(&timer, &QTimer::timeout, [&] {
        auto* pDlg = qobject_cast<CEditPropDlg*>(QApplication::activeModalWidget());
        if (!pDlg)
            return;
        timer.stop();
        shown = Read(*pDlg);
        pDlg->reject();
    });
    timer.start();
    RunPropertyEditor(pProp, pObject, bEntryProps);
    return shown;
}

// The dialog's state for a property without showing it.
CShown InitAndRead(const SPropValue* pProp, IMAPIProp* pObject, bool bEntryProps)
{
    ULONG cbValue = 0;
    const std::vector<BYTE> value = ReadPropertyValue(pProp, pObject, bEntryProps, cbValue);
    if (cbValue > value.size())
        return CShown{};
    CEditPropDlg dlg;
    dlg.SetValueBuffer(value.empty() ? nullptr : value.data(), cbValue);
    dlg.m_pProp = pProp;
    dlg.m_pObject = pObject;
    if (!dlg.OnInitDialog())
        return CShown{};
    return Read(dlg);
}

// The whole stream of a property, read independently of the dialog.
std::vector<std::uint8_t> WholeStream(IMAPIProp* pObject, ULONG ulTag)
{
    LPUNKNOWN pUnk = nullptr;
    std::vector<std::uint8_t> bytes;
    if (FAILED(pObject->OpenProperty(ulTag, &IID_IStream, 0, MAPI_BEST_ACCESS, &pUnk)) || !pUnk)
        return bytes;
    MapiPtr<IStream> stream(static_cast<IStream*>(pUnk));
    std::uint8_t chunk[777];
    for (ULONG n = 0; SUCCEEDED(stream->Read(chunk, sizeof chunk, &n)) && n > 0;)
        bytes.insert(bytes.end(), chunk, chunk + n);
    return bytes;
}

// An object of values held in memory, as the subsystem makes them for its
// own objects.
class CMemoryObject final : public dravik::mapi32::PropObject<IMAPIProp, IID_IMAPIProp>
{
public:
    explicit CMemoryObject(dravik::mapi32::PropSet props) : PropObject(std::move(props)) {}
};

const QString kDemo = QStringLiteral(DRAVIK_BINARY_DIR "/demo.pst");

} // namespace

class CEditPropDlgTest : public QObject
{
    Q_OBJECT
    QTemporaryDir m_profiles;
    // Any message box or error report that opens is a failure.
    CScriptedPrompts m_prompts;
    std::unique_ptr<CConnectedStore> m_pDemo;
    MapiPtr<IMessage> m_pUnusual;

private slots:
    void initTestCase();
    void cleanupTestCase();
    void cleanup() { QCOMPARE(m_prompts.m_unexpected, QStringList()); }
    void entryModeBinaryStream();
    void entryModeLargeText();
    void entryModeWithoutStream_data();
    void entryModeWithoutStream();
    void entryModeEmptyStream();
    void entryModeTextIsCutForTheViewer();
    void rowModeBinary();
    void namedProperty();
    void missingTypeName();
    void opensOnEveryProperty_data();
    void opensOnEveryProperty();
    void keyboardLeavesTheHexViewAndResizes();
};

void CEditPropDlgTest::initTestCase()
{
    QVERIFY(m_profiles.isValid());
    qputenv("DRAVIK_MAPI_PROFILES", m_profiles.path().toUtf8());
    QCOMPARE(MAPIInitialize(nullptr), S_OK);
    // The dictionary is found in the current folder, as at start-up.
    QDir::setCurrent(QStringLiteral(DRAVIK_SOURCE_DIR));
    QVERIFY2(QFileInfo::exists(kDemo), "the build writes the demo store");
    m_pDemo = std::make_unique<CConnectedStore>(kDemo);
    QVERIFY(m_pDemo->pStore);
    m_pUnusual = m_pDemo->FindMessage("Large and unusual values");
    QVERIFY(m_pUnusual);
}

void CEditPropDlgTest::cleanupTestCase()
{
    m_pUnusual.reset();
    m_pDemo.reset();
}

void CEditPropDlgTest::entryModeBinaryStream()
{
    // PR_HTML of 3000 bytes: the hex editor holds exactly the stream's bytes.
    const CProps props = AllProps(m_pUnusual.get());
    const SPropValue* pHtml = props.Find(PR_HTML);
    QVERIFY(pHtml && PROP_TYPE(pHtml->ulPropTag) == PT_BINARY);
    QCOMPARE(pHtml->Value.bin.cb, ULONG(3000));

    const CShown shown = RunAndRead(pHtml, m_pUnusual.get(), true);
    QVERIFY(shown.bShown);
    QVERIFY(shown.bHex);
    const std::vector<std::uint8_t> want(pHtml->Value.bin.lpb, pHtml->Value.bin.lpb + pHtml->Value.bin.cb);
    QCOMPARE(shown.bytes, want);
    QCOMPARE(shown.bytes, WholeStream(m_pUnusual.get(), pHtml->ulPropTag));
    QCOMPARE(shown.Text(IDC_PROP_TAG_NAME), QStringLiteral("PR_BODY_HTML"));
    QCOMPARE(shown.Text(IDC_PROP_TYPE_NAME), QStringLiteral("PT_BINARY"));
    QCOMPARE(shown.Text(IDC_PROP_ID), QStringLiteral("0x00001013"));
    QCOMPARE(shown.Text(IDC_PROP_TYPE), QStringLiteral("0x00000102"));
    QVERIFY(!shown.bSaveEnabled);
    QVERIFY(shown.bHexFocused);

    // Not a named property: the store answers with a warning and no name,
    // and the four fields stay empty.
    SPropTagArray tags{1, {pHtml->ulPropTag}};
    LPSPropTagArray pTags = &tags;
    ULONG cNames = 0;
    LPMAPINAMEID* ppNames = nullptr;
    QCOMPARE(m_pUnusual->GetNamesFromIDs(&pTags, nullptr, 0, &cNames, &ppNames), MAPI_W_ERRORS_RETURNED);
    QCOMPARE(cNames, ULONG(1));
    QVERIFY(ppNames && ppNames[0] == nullptr);
    MAPIFreeBuffer(ppNames);
    for (int nId : {IDC_NAMED_ID, IDC_NAMED_KIND, IDC_NAMED_NAME, IDC_NAMED_GUID})
        QCOMPARE(shown.Text(nId), QString());
}

void CEditPropDlgTest::entryModeLargeText()
{
    // A body too large to list comes as an error value; the viewer reads it
    // whole through the stream, as the export does.
    const CProps props = AllProps(m_pUnusual.get());
    const SPropValue* pBody = props.Find(CHANGE_PROP_TYPE(PR_BODY, PT_UNSPECIFIED));
    QVERIFY(pBody);
    QCOMPARE(PROP_TYPE(pBody->ulPropTag), ULONG(PT_ERROR));
    QCOMPARE(pBody->Value.err, MAPI_E_NOT_ENOUGH_MEMORY);

    const CShown shown = RunAndRead(pBody, m_pUnusual.get(), true);
    QVERIFY(shown.bShown);
    QVERIFY(!shown.bHex);
    const std::vector<std::uint8_t> body = WholeStream(m_pUnusual.get(), PR_BODY_A);
    QVERIFY(body.size() >= 40000);
    // The text box shows line breaks as single line feeds.
    QCOMPARE(shown.Text(IDC_PROP_VALUE).toUtf8(),
             QByteArray(reinterpret_cast<const char*>(body.data()), static_cast<qsizetype>(body.size()))
                 .replace("\r\n", "\n"));
    QVERIFY(shown.Text(IDC_PROP_VALUE).startsWith(QStringLiteral("Line 0 of a body longer than 32 KiB.\nLine 1 ")));
    QCOMPARE(shown.Text(IDC_PROP_TYPE), QStringLiteral("0x0000000a"));
}

void CEditPropDlgTest::entryModeWithoutStream_data()
{
    QTest::addColumn<ULONG>("tag");
    QTest::addColumn<QString>("text");
    // Fixed-size and multi-valued values have no stream: their text shows,
    // a multi-valued one value a line in the text of its base type.
    QTest::newRow("PT_LONG") << ULONG(PR_PRIORITY) << QStringLiteral("0");
    QTest::newRow("PT_DOUBLE") << ULONG(0x66020005) << QStringLiteral("3.250000e+00");
    QTest::newRow("PT_I8") << ULONG(0x66010014) << QStringLiteral("4294967296");
}

void CEditPropDlgTest::entryModeWithoutStream()
{
    QFETCH(ULONG, tag);
    QFETCH(QString, text);
    const CProps props = AllProps(m_pUnusual.get());
    const SPropValue* pProp = props.Find(tag);
    QVERIFY(pProp);
    const CShown shown = RunAndRead(pProp, m_pUnusual.get(), true);
    QVERIFY(shown.bShown);
    QVERIFY(!shown.bHex);
    QCOMPARE(shown.Text(IDC_PROP_VALUE), text);
}

void CEditPropDlgTest::namedProperty()
{
    // The multi-valued named properties of the demo message: their names and
    // their values one a line.
    const CProps props = AllProps(m_pUnusual.get());
    const SPropValue* pNumbers = nullptr;
    const SPropValue* pKeywords = nullptr;
    for (ULONG i = 0; i < props.cValues; ++i) {
        const SPropValue& v = props.pValues.get()[i];
        if (PROP_TYPE(v.ulPropTag) == PT_MV_LONG && PROP_ID(v.ulPropTag) >= 0x8000)
            pNumbers = &v;
        if (PROP_TYPE(v.ulPropTag) == PT_MV_STRING8 && PROP_ID(v.ulPropTag) >= 0x8000)
            pKeywords = &v;
    }
    QVERIFY(pNumbers && pKeywords);

    const CShown numbers = RunAndRead(pNumbers, m_pUnusual.get(), true);
    QVERIFY(numbers.bShown);
    QCOMPARE(numbers.Text(IDC_PROP_VALUE), QStringLiteral("1\n-2\n300000"));
    QCOMPARE(numbers.Text(IDC_NAMED_KIND), QStringLiteral("MNID_STRING"));
    QCOMPARE(numbers.Text(IDC_NAMED_NAME), QStringLiteral("Sample Numbers"));
    QCOMPARE(numbers.Text(IDC_NAMED_GUID), QStringLiteral("{6F1B3E2A-52C4-4D0B-9A57-3C1E8D2F4A60}"));
    QCOMPARE(numbers.Text(IDC_NAMED_ID), QString());
    QCOMPARE(numbers.Text(IDC_PROP_TYPE_NAME), QStringLiteral("PT_MV_LONG"));

    // In row mode the same lines come from the row's value.
    const CShown keywords = RunAndRead(pKeywords, m_pUnusual.get(), false);
    QVERIFY(keywords.bShown);
    QCOMPARE(keywords.Text(IDC_PROP_VALUE), QStringLiteral("demo\nvalues\nDravik"));
    QCOMPARE(keywords.Text(IDC_NAMED_NAME), QStringLiteral("Keywords"));
    QCOMPARE(keywords.Text(IDC_NAMED_GUID), QStringLiteral("{00020329-0000-0000-C000-000000000046}"));
}

void CEditPropDlgTest::entryModeEmptyStream()
{
    // Values whose stream yields no bytes: nothing to show, in either box.
    dravik::mapi32::PropSet set;
    set.SetBinary(PR_ENTRYID, {});
    set.SetText(PR_SUBJECT_A, "");
    MapiPtr<IMAPIProp> pObject(new CMemoryObject(std::move(set)));
    const CProps props = AllProps(pObject.get());

    const CShown binary = RunAndRead(props.Find(PR_ENTRYID), pObject.get(), true);
    QVERIFY(binary.bShown);
    QVERIFY(binary.bHex);
    QVERIFY(binary.bytes.empty());
    const CShown text = RunAndRead(props.Find(PR_SUBJECT_A), pObject.get(), true);
    QVERIFY(text.bShown);
    QCOMPARE(text.Text(IDC_PROP_VALUE), QString());
    QCOMPARE(text.Text(IDC_PROP_TAG_NAME), QStringLiteral("PR_SUBJECT"));
}

void CEditPropDlgTest::entryModeTextIsCutForTheViewer()
{
    // A value without a stream whose text is longer than the viewer's buffer:
    // 1000 values of nine characters and a line feed, cut to 4095 bytes.
    std::vector<std::string> strings(1000, "abcdefghi");
    std::vector<LPSTR> pointers;
    for (std::string& str : strings)
        pointers.push_back(str.data());
    SPropValue many{};
    many.ulPropTag = PROP_TAG(PT_MV_STRING8, 0x6710);
    many.Value.MVszA = {static_cast<ULONG>(pointers.size()), pointers.data()};
    dravik::mapi32::PropSet set;
    set.SetValue(many);
    MapiPtr<IMAPIProp> pObject(new CMemoryObject(std::move(set)));
    const CProps props = AllProps(pObject.get());
    const SPropValue* pMany = props.Find(many.ulPropTag);
    QVERIFY(pMany);

    ULONG cbValue = 0;
    const std::vector<BYTE> value = ReadPropertyValue(pMany, pObject.get(), true, cbValue);
    QCOMPARE(cbValue, ULONG(4095));
    QVERIFY(value.size() > cbValue);
    QCOMPARE(value[cbValue], BYTE(0));
    const CShown shown = RunAndRead(pMany, pObject.get(), true);
    QVERIFY(shown.bShown);
    QCOMPARE(shown.Text(IDC_PROP_VALUE).size(), qsizetype(4095));
    QVERIFY(shown.Text(IDC_PROP_VALUE).startsWith(QStringLiteral("abcdefghi\nabcdefghi\n")));
}

void CEditPropDlgTest::rowModeBinary()
{
    // In row mode the hex editor shows the bytes of the value's hexadecimal
    // text, not the value's bytes; without an object no name is asked for.
    const CProps props = AllProps(m_pUnusual.get());
    const SPropValue* pRecordKey = props.Find(PR_RECORD_KEY);
    QVERIFY(pRecordKey && pRecordKey->Value.bin.cb > 0);
    const std::string strText = PropValueToText(pRecordKey, kViewerValueChars);

    const CShown shown = RunAndRead(pRecordKey, nullptr, false);
    QVERIFY(shown.bShown);
    QVERIFY(shown.bHex);
    QCOMPARE(shown.bytes, std::vector<std::uint8_t>(strText.begin(), strText.end()));
    QCOMPARE(shown.bytes.size(), 2 * size_t(pRecordKey->Value.bin.cb));
    QVERIFY(!shown.bSaveEnabled);
    QCOMPARE(shown.Text(IDC_NAMED_KIND), QString());

    // The value of 3000 bytes gives the text cut for the viewer's buffer.
    const CShown html = InitAndRead(props.Find(PR_HTML), m_pUnusual.get(), false);
    QVERIFY(html.bShown);
    QVERIFY(html.bytes.size() < 4096);
    QVERIFY(std::string(html.bytes.begin(), html.bytes.end()).find(" }etc") != std::string::npos);
}

// The keyboard is never caught in the hex view: Tab and Shift+Tab move to the
// buttons and Escape closes the viewer; the viewer grows, and its value with it.
void CEditPropDlgTest::keyboardLeavesTheHexViewAndResizes()
{
    const CProps props = AllProps(m_pUnusual.get());
    const SPropValue* pRecordKey = props.Find(PR_RECORD_KEY);
    QVERIFY(pRecordKey != nullptr);
    CEditPropDlg dlg;
    dlg.m_pProp = pRecordKey;
    QVERIFY(dlg.OnInitDialog());
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    dlg.activateWindow();
    QVERIFY(dlg.HexValue() != nullptr);
    dlg.HexValue()->setFocus();
    QTest::keyClick(dlg.HexValue(), Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), dlg.Control(IDC_CANCEL)); // Save is disabled
    dlg.HexValue()->setFocus();
    QTest::keyClick(dlg.HexValue(), Qt::Key_Backtab, Qt::ShiftModifier);
    QCOMPARE(QApplication::focusWidget(), dlg.Control(IDC_CANCEL));

    const QSize before = dlg.HexValue()->size();
    dlg.resize(dlg.width() + 200, dlg.height() + 150);
    QCOMPARE(dlg.HexValue()->size(), before + QSize(200, 150));
    QVERIFY(dlg.Control(IDC_CANCEL)->geometry().right() < dlg.width());

    dlg.HexValue()->setFocus();
    QTest::keyClick(dlg.HexValue(), Qt::Key_Escape);
    QVERIFY(!dlg.isVisible());
    QCOMPARE(dlg.result(), int(QDialog::Rejected));
}

void CEditPropDlgTest::missingTypeName()
{
    // A type the dictionary does not name: the name stays empty, the number shows.
    SPropValue value{};
    value.ulPropTag = PROP_TAG(0x0049, 0x6700);
    const CShown shown = RunAndRead(&value, nullptr, false);
    QVERIFY(shown.bShown);
    QCOMPARE(shown.Text(IDC_PROP_TYPE_NAME), QString());
    QCOMPARE(shown.Text(IDC_PROP_TYPE), QStringLiteral("0x00000049"));
    QCOMPARE(shown.Text(IDC_PROP_ID), QStringLiteral("0x00006700"));
    QCOMPARE(shown.Text(IDC_PROP_VALUE), QStringLiteral("<Unknown Property Type: 00000049>"));
}

void CEditPropDlgTest::opensOnEveryProperty_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("demo") << kDemo;
    QTest::newRow("pstsdk-sample1") << QStringLiteral(DRAVIK_SAMPLES_DIR "/pstsdk-sample1.pst");
    QTest::newRow("pstsdk-submessage") << QStringLiteral(DRAVIK_SAMPLES_DIR "/pstsdk-submessage.pst");
    QTest::newRow("java-libpst-dist-list") << QStringLiteral(DRAVIK_SAMPLES_DIR "/java-libpst-dist-list.pst");
}

void CEditPropDlgTest::opensOnEveryProperty()
{
    // Every property of every object, in both modes: the dialog initialises,
    // names the tag's halves, and in entry mode shows exactly the value's
    // bytes for a binary value and the value's text for a string.
    QFETCH(QString, path);
    CConnectedStore store(path);
    QVERIFY(store.pStore);
    size_t nProps = 0;
    size_t nBinary = 0;
    store.Walk([&](IMAPIProp* pObject, const SRow* pRow) {
        const CProps props = AllProps(pObject);
        for (ULONG i = 0; i < props.cValues; ++i) {
            const SPropValue* pProp = &props.pValues.get()[i];
            const ULONG ulType = PROP_TYPE(pProp->ulPropTag);
            const CShown entry = InitAndRead(pProp, pObject, true);
            QVERIFY(entry.bShown);
            char sz[16];
            std::snprintf(sz, sizeof sz, "0x%08x", static_cast<unsigned>(PROP_ID(pProp->ulPropTag)));
            QCOMPARE(entry.Text(IDC_PROP_ID), QString::fromLatin1(sz));
            QCOMPARE(entry.bHex, ulType == PT_BINARY);
            if (ulType == PT_BINARY) {
                QCOMPARE(entry.bytes, std::vector<std::uint8_t>(pProp->Value.bin.lpb,
                                                                 pProp->Value.bin.lpb + pProp->Value.bin.cb));
                ++nBinary;
            } else if (ulType == PT_STRING8 && pProp->Value.lpszA) {
                QCOMPARE(entry.Text(IDC_PROP_VALUE),
                         QString::fromUtf8(pProp->Value.lpszA).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
            }
            QVERIFY(InitAndRead(pProp, pObject, false).bShown);
            ++nProps;
        }
        // The values of the row the object was listed in.
        for (ULONG i = 0; pRow && i < pRow->cValues; ++i)
            QVERIFY(InitAndRead(&pRow->lpProps[i], nullptr, false).bShown);
    });
    QVERIFY(nProps > 100);
    QVERIFY(nBinary > 10);
}

QTEST_MAIN(CEditPropDlgTest)
#include "tst_editpropdlg.moc"
