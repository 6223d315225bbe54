#include "list/EditPropDlg.h"

#include "content/MessageBody.h"
#include "hexedit/HexEdit.h"
#include "mapi/Prompts.h"
#include "props/IniFile.h"
#include "props/MultiValueText.h"
#include "props/PropText.h"
#include "props/PropValueArray.h"

#include <QApplication>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>

#include <cstdio>
#include <cstring>

namespace {

// Dialog units of the dialog's font: a quarter of the average character
// width across, an eighth of the character height down.
struct CDialogUnits
{
    int nBaseX = 6;
    int nBaseY = 13;

    explicit CDialogUnits(const QFont& font)
    {
        const QFontMetrics metrics(font);
        const QString strAlphabet =
            QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
        nBaseX = std::max(1, (metrics.horizontalAdvance(strAlphabet) / 26 + 1) / 2);
        nBaseY = std::max(1, metrics.height());
    }
    QRect Rect(int x, int y, int cx, int cy) const
    {
        return QRect(x * nBaseX / 4, y * nBaseY / 8, cx * nBaseX / 4, cy * nBaseY / 8);
    }
};

std::string HexKey(ULONG ulValue)
{
    char sz[16];
    std::snprintf(sz, sizeof sz, "0x%08x", static_cast<unsigned>(ulValue));
    return sz;
}

// The text of a value as the viewer shows it: one value a line for a
// multi-valued property, else the value's own text.
std::string ViewerText(const SPropValue* pProp)
{
    if (pProp && (PROP_TYPE(pProp->ulPropTag) & MV_FLAG))
        return MultiValueLines(pProp, kViewerValueChars);
    return PropValueToText(pProp, kViewerValueChars);
}

// A 4096-byte buffer holding a text and its terminating NUL; cbValue is the
// text's length.
std::vector<BYTE> TextBuffer(const std::string& strText, ULONG& cbValue)
{
    std::vector<BYTE> buffer(kViewerValueChars, 0);
    const size_t cb = std::min<size_t>(strText.size(), kViewerValueChars - 1);
    std::memcpy(buffer.data(), strText.data(), cb);
    cbValue = static_cast<ULONG>(cb);
    return buffer;
}

} // namespace

CEditPropDlg::CEditPropDlg(QWidget* pParent) : QDialog(pParent)
{
    setObjectName(QStringLiteral("CEditPropDlg"));
    setWindowTitle(QStringLiteral("View/Edit Property"));
    setModal(true);
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
}

CEditPropDlg::~CEditPropDlg() = default;

void CEditPropDlg::SetValueBuffer(const BYTE* pValue, ULONG cbValue)
{
    m_pValue = pValue;
    m_cbValue = cbValue;
}

bool CEditPropDlg::IsBinary() const
{
    return m_pProp && PROP_TYPE(m_pProp->ulPropTag) == PT_BINARY;
}

QWidget* CEditPropDlg::Control(int nId) const
{
    const auto it = m_controls.find(nId);
    return it != m_controls.end() ? it->second : nullptr;
}

QString CEditPropDlg::ControlText(int nId) const
{
    QWidget* pControl = Control(nId);
    if (auto* pLine = qobject_cast<QLineEdit*>(pControl))
        return pLine->text();
    if (auto* pText = qobject_cast<QPlainTextEdit*>(pControl))
        return pText->toPlainText();
    return QString();
}

void CEditPropDlg::CreateControls()
{
    // Template 171: positions and sizes in dialog units.
    const CDialogUnits du(font());
    setFixedSize(du.Rect(0, 0, 318, 225).size());

    const auto group = [&](const char* szText, int x, int y, int cx, int cy) {
        auto* pBox = new QGroupBox(QString::fromLatin1(szText), this);
        pBox->setGeometry(du.Rect(x, y, cx, cy));
        pBox->lower();
    };
    const auto label = [&](const char* szText, int x, int y, int cx, int cy) {
        auto* pLabel = new QLabel(QString::fromLatin1(szText), this);
        pLabel->setGeometry(du.Rect(x, y, cx, cy));
    };
    // The read-only fields take no focus from the keyboard.
    const auto field = [&](int nId, int x, int y, int cx, int cy) {
        auto* pEdit = new QLineEdit(this);
        pEdit->setObjectName(QString::number(nId));
        pEdit->setReadOnly(true);
        pEdit->setFocusPolicy(Qt::ClickFocus);
        pEdit->setGeometry(du.Rect(x, y, cx, cy));
        m_controls[nId] = pEdit;
    };

    group("Property Tag", 7, 3, 304, 43);
    label("Tag:", 12, 15, 32, 10);
    field(IDC_PROP_TAG_NAME, 33, 13, 182, 12);
    field(IDC_PROP_ID, 218, 13, 88, 12);
    label("Type:", 12, 30, 32, 10);
    field(IDC_PROP_TYPE_NAME, 33, 28, 182, 12);
    field(IDC_PROP_TYPE, 218, 28, 88, 12);
    group("Named Property", 7, 47, 304, 36);
    label("ID:", 12, 57, 22, 10);
    field(IDC_NAMED_ID, 33, 56, 54, 11);
    label("NAME:", 90, 57, 32, 10);
    field(IDC_NAMED_NAME, 114, 56, 191, 11);
    label("GUID:", 11, 70, 19, 10);
    field(IDC_NAMED_GUID, 33, 69, 179, 11);
    label("KIND:", 216, 69, 32, 9);
    field(IDC_NAMED_KIND, 236, 69, 70, 11);
    group("Value", 7, 83, 304, 117);

    // Control 1004 is the hex editor for a binary value, else a text box.
    const QRect rectValue = du.Rect(12, 92, 293, 104);
    if (IsBinary()) {
        m_hexValue = new CHexEdit(this);
        m_hexValue->setGeometry(rectValue);
        m_controls[IDC_PROP_VALUE] = m_hexValue;
    } else {
        m_editValue = new QPlainTextEdit(this);
        m_editValue->setGeometry(rectValue);
        m_editValue->setLineWrapMode(QPlainTextEdit::NoWrap);
        m_editValue->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        m_editValue->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        m_editValue->setTabChangesFocus(true);
        m_controls[IDC_PROP_VALUE] = m_editValue;
    }
    Control(IDC_PROP_VALUE)->setObjectName(QString::number(IDC_PROP_VALUE));

    m_pSave = new QPushButton(QStringLiteral("Save"), this);
    m_pSave->setGeometry(du.Rect(207, 204, 50, 14));
    m_pSave->setDefault(true);
    m_pSave->setEnabled(false);
    m_controls[IDC_SAVE] = m_pSave;
    auto* pCancel = new QPushButton(QStringLiteral("Cancel"), this);
    pCancel->setGeometry(du.Rect(261, 204, 50, 14));
    pCancel->setAutoDefault(false);
    connect(pCancel, &QPushButton::clicked, this, &QDialog::reject);
    m_controls[IDC_CANCEL] = pCancel;

    // Tab order: the value, Save, Cancel.
    setTabOrder(Control(IDC_PROP_VALUE), m_pSave);
    setTabOrder(m_pSave, pCancel);

    // A body value (PR_RTF_COMPRESSED, PR_HTML) also shows the text it holds,
    // beside its bytes: the dialog grows to the right for it.
    if (IsBinary() && (m_pProp->ulPropTag == PROP_TAG(PT_BINARY, 0x1009) || m_pProp->ulPropTag == PROP_TAG(PT_BINARY, 0x1013))) {
        setFixedSize(du.Rect(0, 0, 318 + 230, 225).size());
        group("Decoded", 316, 83, 225, 117);
        m_decodedText = new QPlainTextEdit(this);
        m_decodedText->setObjectName(QString::number(IDC_DECODED_TEXT));
        m_decodedText->setGeometry(du.Rect(321, 92, 215, 104));
        m_decodedText->setReadOnly(true);
        m_decodedText->setLineWrapMode(QPlainTextEdit::WidgetWidth);
        m_controls[IDC_DECODED_TEXT] = m_decodedText;
    }
}

void CEditPropDlg::DoDataExchange()
{
    static_cast<QLineEdit*>(Control(IDC_PROP_TAG_NAME))->setText(QString::fromStdString(m_strTagName));
    static_cast<QLineEdit*>(Control(IDC_PROP_TYPE_NAME))->setText(QString::fromStdString(m_strTypeName));
}

bool CEditPropDlg::OnInitDialog()
{
    if (!m_pProp)
        return false;
    if (m_controls.empty())
        CreateControls();
    const ULONG ulTag = m_pProp->ulPropTag;

    // The value.
    if (m_hexValue) {
        m_hexValue->SetOptions(true, true, true, false);
        m_hexValue->SetData(m_pValue, m_pValue ? m_cbValue : 0);
        m_hexValue->SetOptions(true, true, true, true);
        m_hexValue->SetContextMenu(IDR_HEXEDIT_POPUP);
        m_hexValue->setFocus();
    } else {
        // Narrow text, up to its first NUL or the buffer's end.
        const char* psz = reinterpret_cast<const char*>(m_pValue);
        const size_t cb = psz ? strnlen(psz, m_cbValue) : 0;
        m_editValue->setPlainText(QString::fromUtf8(psz, static_cast<qsizetype>(cb)));
    }

    if (m_decodedText) {
        // PR_HTML is in the message's Internet code page, when it names one.
        uint32_t ulCodePage = 0;
        if (m_pObject) {
            SPropTagArray cpid{1, {PROP_TAG(PT_LONG, 0x3FDE)}};
            ULONG cValues = 0;
            LPSPropValue pValues = nullptr;
            if (SUCCEEDED(m_pObject->GetProps(&cpid, 0, &cValues, &pValues)) && cValues == 1 &&
                PROP_TYPE(pValues[0].ulPropTag) == PT_LONG)
                ulCodePage = static_cast<uint32_t>(pValues[0].Value.l);
            MAPIFreeBuffer(pValues);
        }
        const std::vector<uint8_t> bytes(m_pValue, m_pValue ? m_pValue + m_cbValue : m_pValue);
        m_decodedText->setPlainText(
            QString::fromStdString(dravik::content::DecodedBodyValue(ulTag, bytes, ulCodePage).value_or(std::string())));
    }

    // The names of the ID and the type; a name missing from the dictionary
    // leaves the field empty.
    const std::string strIdKey = HexKey(PROP_ID(ulTag));
    const std::string strTypeKey = HexKey(PROP_TYPE(ulTag));
    m_strTagName.clear();
    m_strTypeName.clear();
    LookupName("PropIDs", strIdKey.c_str(), m_strTagName);
    LookupName("PropType", strTypeKey.c_str(), m_strTypeName);
    DoDataExchange();

    // Saving is never offered.
    m_pSave->setEnabled(false);

    // The named-property identity, asked of the object directly (untraced).
    if (m_pObject) {
        SPropTagArray tags{1, {ulTag}};
        LPSPropTagArray pTags = &tags;
        ULONG cNames = 0;
        LPMAPINAMEID* ppNames = nullptr;
        const HRESULT hr = m_pObject->GetNamesFromIDs(&pTags, nullptr, 0, &cNames, &ppNames);
        if (SUCCEEDED(hr) && cNames == 1 && ppNames && ppNames[0]) {
            const CNamedPropText text = FormatNamedProp(ppNames[0]);
            static_cast<QLineEdit*>(Control(IDC_NAMED_ID))->setText(QString::fromStdString(text.strId));
            static_cast<QLineEdit*>(Control(IDC_NAMED_KIND))->setText(QString::fromStdString(text.strKind));
            static_cast<QLineEdit*>(Control(IDC_NAMED_NAME))->setText(QString::fromStdString(text.strName));
            static_cast<QLineEdit*>(Control(IDC_NAMED_GUID))->setText(QString::fromStdString(text.strGuid));
        }
        if (ppNames)
            MAPIFreeBuffer(ppNames);
    }

    static_cast<QLineEdit*>(Control(IDC_PROP_ID))->setText(QString::fromStdString(strIdKey));
    static_cast<QLineEdit*>(Control(IDC_PROP_TYPE))->setText(QString::fromStdString(strTypeKey));
    return true;
}

int CEditPropDlg::DoModal()
{
    if (QuitRequested() || !OnInitDialog())
        return QDialog::Rejected;
    return exec();
}

std::vector<BYTE> ReadPropertyValue(const SPropValue* pProp, IMAPIProp* pObject, bool bEntryProps, ULONG& cbValue)
{
    cbValue = 0;
    if (!pProp)
        return {};
    if (!bEntryProps)
        return TextBuffer(ViewerText(pProp), cbValue);

    // The whole property through its stream; the values read here are freed
    // with the array (nothing keeps pointers into them).
    CPropValueArray props;
    props.LoadProps(pObject, TRUE);
    std::vector<BYTE> data;
    ULONG cbRead = 0;
    // A value too large to be listed stands as an error value in the list; its
    // stream is asked for in the 8-bit form, as the export asks for it.
    ULONG ulStreamTag = pProp->ulPropTag;
    if (PROP_TYPE(ulStreamTag) == PT_ERROR && pProp->Value.err == MAPI_E_NOT_ENOUGH_MEMORY)
        ulStreamTag = CHANGE_PROP_TYPE(ulStreamTag, PT_STRING8);
    if (SUCCEEDED(props.ReadStream(ulStreamTag, data, cbRead))) {
        cbValue = cbRead;
        return data;
    }
    // No stream for this value: its text, as the object reports the value.
    std::string strText;
    if (const SPropValue* pFound = props.Find(pProp->ulPropTag); pFound && (PROP_TYPE(pFound->ulPropTag) & MV_FLAG))
        strText = MultiValueLines(pFound, kViewerValueChars);
    else
        props.FormatProp(strText, kViewerValueChars, pProp->ulPropTag);
    return TextBuffer(strText, cbValue);
}

void RunPropertyEditor(const SPropValue* pProp, IMAPIProp* pObject, bool bEntryProps)
{
    if (!pProp)
        return;
    ULONG cbValue = 0;
    const std::vector<BYTE> value = ReadPropertyValue(pProp, pObject, bEntryProps, cbValue);
    CEditPropDlg dlg(QApplication::activeWindow());
    dlg.SetValueBuffer(value.empty() ? nullptr : value.data(), cbValue);
    dlg.m_pProp = pProp;
    dlg.m_pObject = pObject;
    dlg.DoModal();
}
