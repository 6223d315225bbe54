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
#include <memory>

class QWidget;

// A request for a file name.
struct CFileRequest
{
    bool bOpen = true;        // an existing file to open, or a file to save
    QString strTitle;         // the dialog's title
    QString strFileName;      // the proposed name (save) or the start folder
    QString strDefaultExt;    // added to a typed name without a suffix, without the dot
    QStringList filters;      // "Text Files (*.txt)", ...; empty: all files
    bool bFolder = false;     // a folder is chosen (strFileName: the start folder), not a file
};

// A choice of one item from a list.
struct CChoiceRequest
{
    QString strTitle;
    QString strLabel;         // the question above the list
    QStringList items;
    int nDefault = 0;         // the item chosen at first
};

// A long task shown with a progress bar and a Cancel button.
struct CProgressRequest
{
    QString strTitle;
    QString strLabel;         // the first text, until the task sets its own
    int nTotal = 0;           // the steps to the end; 0: unknown
};

// The progress of a task, shown while the object lives.
class IProgress
{
public:
    virtual ~IProgress() = default;
    // Shows nDone steps done and the text; false once the user has cancelled
    // (and every time after that).
    virtual bool Step(int nDone, const QString& strText) = 0;
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
    // The index of the item chosen; -1 when the user cancelled.
    virtual int ChooseItem(QWidget* pParent, const CChoiceRequest& request) = 0;
    // The progress of a task that the user may cancel; never null.
    virtual std::unique_ptr<IProgress> BeginProgress(QWidget* pParent, const CProgressRequest& request) = 0;
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
