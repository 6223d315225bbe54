// The application object: start-up in its fixed order, the commands that
// need no workspace, and the orderly close on SIGTERM and SIGINT.
#pragma once

#include "workspace/CmdTarget.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

class CMainFrame;
class CSplashThread;
class CChildFrame;
class QSocketNotifier;

class CDravikApp : public QObject, public CCmdTarget
{
    Q_OBJECT
public:
    CDravikApp();
    ~CDravikApp() override;

    // The names the settings, the desktop and --version know the program by.
    static void SetIdentity();
    // Start-up; FALSE ends the process before the event loop.
    bool InitInstance(const QStringList& arguments);
    // Deletes the splash thread object; returns nExitCode.
    int ExitInstance(int nExitCode);

    CMainFrame* MainFrame() const { return m_pMainFrame.get(); }
    CSplashThread* m_pSplashThread = nullptr;

    // The framework's new-document command: a new empty workspace.
    CChildFrame* OnFileNew();
    void OnFileOpen();
    // A new workspace connected to the store file (a dropped file, a recent
    // one, a further file on the command line).
    CChildFrame* OpenStore(const QString& strPath);
    // The About box's text: version, what Dravik is, the licence, the Qt version.
    static QString AboutText();
    void OnAppAbout();
    void OnMailControlPanel();

    // Where the profile tool is: next to the program, else in the installed
    // tree's libexec/dravik, else in the build's tools folder. Empty when it is in neither.
    static QString MailControlPanelPath();

    // Makes SIGTERM and SIGINT end the program from any state: open dialogs
    // close as cancelled, the stack unwinds, and the workspaces close (as
    // "E&xit" closes them) once main() ends.
    void InstallSignalHandlers();

    bool OnUpdateCommand(int nId, CCmdUI& rUI) override;
    bool OnCommand(int nId) override;

private:
    void OnSignal();

    std::unique_ptr<CMainFrame> m_pMainFrame;
    QSocketNotifier* m_pSignalNotifier = nullptr;
};
