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

    // Fills the controls from the fields and folds the dialog.
    void OnInitDialog();
    // Button "Details >>" / "<< Details".
    void OnDetails();

    int exec() override;

private:
    QPushButton* m_pOk = nullptr;
    QPushButton* m_pDetails = nullptr;
    QLabel* m_pMessage = nullptr;
    QFrame* m_pFold = nullptr;
    QLabel* m_pHResult = nullptr;
    QPlainTextEdit* m_pDetailsBox = nullptr;
};

// "HRESULT: %08x" of hr taken as an unsigned 32-bit number.
QString FormatHResultLine(std::int32_t hr);

// Shows the report modally, through Prompts(), and returns when the user
// closes it. Null texts count as empty. Owned by the main window when there is one.
void ShowErrorReport(const char* pszMessage, const char* pszDetails, std::int32_t hr);
