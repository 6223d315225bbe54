// The "View/Edit Property" dialog: one property of the object whose
// properties the list shows, with its tag and type names, its named-property
// identity and its whole value (binary values in the hex editor).
#pragma once

#include "mapi32/mapidefs.h"

#include <QDialog>

#include <map>
#include <string>
#include <vector>

class CHexEdit;
class QPlainTextEdit;
class QPushButton;

// Control ids of the dialog.
enum : int {
    IDC_PROP_TAG_NAME = 1001,
    IDC_PROP_TYPE_NAME = 1002,
    IDC_PROP_VALUE = 1004,
    IDC_NAMED_ID = 1006,
    IDC_NAMED_KIND = 1007,
    IDC_NAMED_NAME = 1010,
    IDC_NAMED_GUID = 1011,
    IDC_DECODED_TEXT = 1012,  // the text of a body value, beside its bytes
    IDC_PROP_ID = 209,
    IDC_PROP_TYPE = 210,
    IDC_SAVE = 1,   // IDOK
    IDC_CANCEL = 2, // IDCANCEL
};

class CEditPropDlg : public QDialog
{
    Q_OBJECT
public:
    explicit CEditPropDlg(QWidget* pParent = nullptr);
    ~CEditPropDlg() override;

    // The value to show; the buffer stays the caller's and must outlive the
    // dialog's initialisation (the hex editor keeps its own copy).
    void SetValueBuffer(const BYTE* pValue, ULONG cbValue);

    // Fills the controls from m_pProp, m_pObject and the value buffer. Run by
    // DoModal; tests may run it alone.
    bool OnInitDialog();

    // Initialises the dialog and runs it modally; nothing opens once the
    // program is ending.
    int DoModal();

    // A control by its id, or null.
    QWidget* Control(int nId) const;
    // The text of a control by its id (the value box's text for 1004).
    QString ControlText(int nId) const;
    // The value control in use: the hex editor for PT_BINARY, else the text box.
    CHexEdit* HexValue() const { return m_hexValue; }
    QPlainTextEdit* EditValue() const { return m_editValue; }
    QPushButton* SaveButton() const { return m_pSave; }

    const SPropValue* m_pProp = nullptr; // the row's value; not owned
    IMAPIProp* m_pObject = nullptr;       // its object, or null; not owned, no reference taken
    std::string m_strTagName;
    std::string m_strTypeName;

private:
    void CreateControls();
    void DoDataExchange();
    bool IsBinary() const;

    QPlainTextEdit* m_editValue = nullptr;
    CHexEdit* m_hexValue = nullptr;
    QPlainTextEdit* m_decodedText = nullptr;
    QPushButton* m_pSave = nullptr;
    std::map<int, QWidget*> m_controls;
    const BYTE* m_pValue = nullptr;
    ULONG m_cbValue = 0;
};

// The value buffer the dialog shows for pProp: with bEntryProps the whole
// property read through pObject's stream, or, when it cannot be read that way,
// the value's text (at most 4095 bytes); else the text of the row's value.
// Multi-valued values give one value a line. cbValue receives the number of
// bytes that count; the buffer may be larger.
std::vector<BYTE> ReadPropertyValue(const SPropValue* pProp, IMAPIProp* pObject, bool bEntryProps, ULONG& cbValue);

// Runs the dialog modally for pProp, a value as the list row holds it.
// pObject is the object the property belongs to (not owned, may be null);
// bEntryProps reads the value whole through the object's stream, else the
// row's value text is shown.
void RunPropertyEditor(const SPropValue* pProp, IMAPIProp* pObject, bool bEntryProps);
