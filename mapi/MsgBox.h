// The one error report of the program: a short message, the failing HRESULT
// and optional details, folded away until "Details >>" is pressed.
#pragma once

#include <QDialog>
#include <QString>

#include <cstdint>

class QLabel;
class QPlainTextEdit;
class QPushButton;
class QFrame;

class CMsgBox : public QDialog
{
    Q_OBJECT
public:
    explicit CMsgBox(QWidget* pParent = nullptr);

    int m_nFullHeight = 0;
    int m_nCollapsedHeight = 0;
    bool m_bExpanded = false;
    QString m_strMessage;
    QString m_strDetails;
    QString m_strHResult;
    // What the error means and its name: "No such file, profile or object
    // (MAPI_E_NOT_FOUND)".
    QString m_strMeaning;

    // Fills the controls from the fields and folds the dialog.
    void OnInitDialog();
    // Button "Details >>" / "<< Details".
    void OnDetails();

    int exec() override;

private:
    QPushButton* m_pOk = nullptr;
    QPushButton* m_pDetails = nullptr;
    QLabel* m_pMessage = nullptr;
    QLabel* m_pMeaning = nullptr;
    QFrame* m_pFold = nullptr;
    QLabel* m_pHResult = nullptr;
    QPlainTextEdit* m_pDetailsBox = nullptr;
};

// "HRESULT: %08x" of hr taken as an unsigned 32-bit number.
QString FormatHResultLine(std::int32_t hr);

// The plain meaning of hr and its name, as the report shows them below its
// message: "Not a PST or OST file, or damaged (MAPI_E_CORRUPT_DATA)"; a code
// without a meaning gives "Error (MAPI_E_...)" or "Error (0x80041234)".
QString ErrorMeaningLine(std::int32_t hr);

// Shows the report modally, through Prompts(), and returns when the user
// closes it. Null texts count as empty. Owned by the main window when there is one.
void ShowErrorReport(const char* pszMessage, const char* pszDetails, std::int32_t hr);
