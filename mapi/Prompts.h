// The one seam through which the program asks the user something: a file
// name, a message box, the error report. The program always calls Prompts();
// it shows Qt's real dialogs unless a test has installed its own answers with
// SetPrompts(). The same module knows whether the program is ending: once
// SIGTERM or SIGINT has arrived, no new dialog opens (each request is answered
// as cancelled) and every open one is closed, so the stack can unwind before
// anything is torn down.
#pragma once

#include <QString>
#include <QStringList>

#include <cstdint>

class QWidget;

// A request for a file name.
struct CFileRequest
{
    bool bOpen = true;        // an existing file to open, or a file to save
    QString strTitle;         // the dialog's title
    QString strFileName;      // the proposed name (save) or the start folder
    QString strDefaultExt;    // added to a typed name without a suffix, without the dot
    QStringList filters;      // "Text Files (*.txt)", ...; empty: all files
};

// A message box. Buttons and the answer are QMessageBox::StandardButton values.
struct CMessageRequest
{
    enum EIcon { Information, Warning, Critical, Question };
    EIcon nIcon = Information;
    QString strTitle;
    QString strText;
    int nButtons = 0x00000400;    // QMessageBox::Ok
    int nDefaultButton = 0;       // QMessageBox::NoButton: Qt's choice
};

class IPrompts
{
public:
    virtual ~IPrompts() = default;
    // The chosen path; empty when the user cancelled.
    virtual QString GetFileName(QWidget* pParent, const CFileRequest& request) = 0;
    // The button that closed the box; QMessageBox::Cancel (or NoButton) when it was dismissed.
    virtual int ShowMessage(QWidget* pParent, const CMessageRequest& request) = 0;
    // The error report: a short message, details folded away, and the HRESULT.
    virtual void ShowErrorReport(const QString& strMessage, const QString& strDetails, std::int32_t hr) = 0;
};

// What the program asks through. While the program is ending, a wrapper that
// answers every request as cancelled, whatever is installed.
IPrompts& Prompts();

// Installs a test's answers; nullptr brings Qt's real dialogs back. Returns the
// previous installation (nullptr for the real dialogs).
IPrompts* SetPrompts(IPrompts* pPrompts);

// The program is ending (a signal arrived, or the application asked). Safe to
// read from anywhere, any time.
bool QuitRequested();

// Marks the program as ending. Async-signal-safe: it only sets a flag.
void RequestQuit();

// Closes every modal dialog that is open, each as cancelled. Called on the
// GUI thread once QuitRequested() is true.
void CloseModalDialogs();

// Tests only: the program is no longer ending.
void ResetQuitRequestForTest();
