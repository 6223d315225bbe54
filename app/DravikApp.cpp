#include "app/DravikApp.h"

#include "app/ChildFrame.h"
#include "app/CommandLineInfo.h"
#include "app/LayoutSettings.h"
#include "app/LogonDialogs.h"
#include "mapi/MsgBox.h"
#include "mapi/Prompts.h"
#include "mapi32/mapicode.h"
#include "mapi32/mapix.h"
#include "app/MainFrame.h"
#include "app/Splash.h"
#include "res/Icons.h"
#include "workspace/CommandIds.h"
#include "workspace/DravikDoc.h"

#include "DravikVersion.h"
#include "mapi/TempProfileOwners.h"

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int g_signalFds[2] = {-1, -1};

void SignalHandler(int)
{
    // Only async-signal-safe work here: the flag, which long loops read, and
    // a byte that wakes the event loop, which does the rest.
    RequestQuit();
    const char c = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_signalFds[0], &c, 1);
}

int DuX(int n) { return n * 3 / 2; }
int DuY(int n) { return n * 13 / 8; }

} // namespace

CDravikApp::CDravikApp() = default;

CDravikApp::~CDravikApp()
{
    m_pMainFrame.reset();
    delete m_pSplashThread;
    m_pSplashThread = nullptr;
}

void CDravikApp::SetIdentity()
{
    // The settings file ($XDG_CONFIG_HOME/Dravik/Dravik.conf) is named after
    // these; the desktop entry lets the desktop match windows to the menu entry.
    QCoreApplication::setApplicationName(QStringLiteral("Dravik"));
    QCoreApplication::setOrganizationName(QStringLiteral("Dravik"));
    QCoreApplication::setApplicationVersion(QStringLiteral(DRAVIK_VERSION));
    QGuiApplication::setDesktopFileName(QStringLiteral("org.dravik.Dravik"));
}

bool CDravikApp::InitInstance(const QStringList& arguments)
{
    SetIdentity();
    CCommandLineInfo cmdInfo;
    if (!cmdInfo.Parse(arguments)) {
        qWarning("%s", qPrintable(cmdInfo.ErrorText()));
        return false;
    }
    if (cmdInfo.WantsHelpOrVersion())
        cmdInfo.ShowHelpOrVersion();

    // From here on a signal ends the program cleanly.
    InstallSignalHandlers();

    // The start directory stays the current directory: the tag dictionary is
    // looked for there first.
    const QString strStartDir = QDir::currentPath();
    MAPIINIT_0 init{};
    init.ulVersion = 0;
    init.ulFlags = MAPI_MULTITHREAD_NOTIFICATIONS;
    const HRESULT hrInit = MAPIInitialize(&init);
    if (FAILED(hrInit)) {
        ShowErrorReport("Failure while initializing MAPI subsystem", "call to MAPIInitialize() failed.", hrInit);
        return false;
    }
    QDir::setCurrent(strStartDir);
    // Temporary profiles left by a Dravik that was killed outright.
    tempprofiles::DeleteStale();

    // MAPI's dialogs: the profile chooser and the store password prompt.
    static CProfileChooser s_chooser;
    static CStorePasswordPrompt s_prompt;
    dravik::mapi32::SetProfileChooser(&s_chooser);
    dravik::mapi32::SetStorePasswordPrompt(&s_prompt);

    m_pMainFrame = std::make_unique<CMainFrame>(this);
    connect(m_pMainFrame.get(), &CMainFrame::openStoreRequested, this, &CDravikApp::OpenStore);
    // The window as the user left it; a first start fits the screen.
    if (!CLayoutSettings::RestoreMainWindow(*m_pMainFrame)) {
        const QScreen* pScreen = QGuiApplication::primaryScreen();
        m_pMainFrame->resize(CLayoutSettings::FitToScreen(
            QSize(1000, 700), pScreen != nullptr ? pScreen->availableGeometry() : QRect()));
    }

    // An ordinary start opens the first empty workspace, in the window laid
    // out at its size (a workspace fills it or is held within it).
    m_pMainFrame->show();
    CChildFrame* pFirst = OnFileNew();
    if (pFirst == nullptr)
        return false;

    // Connections asked for on the command line, as the commands would make
    // them without their dialogs: a profile or the first store file in the
    // first workspace, each further store file in a workspace of its own.
    if (QuitRequested())
        return true;
    QStringList files = cmdInfo.StoreFiles();
    if (cmdInfo.ConnectsProfile())
        pFirst->GetDocument()->ConnectProfile(cmdInfo.Profile().toUtf8().constData());
    else if (!files.isEmpty())
        pFirst->GetDocument()->ConnectFile(files.takeFirst());
    for (const QString& strPath : files) {
        if (QuitRequested())
            return true;
        OpenStore(strPath);
    }

    if (cmdInfo.ShowSplash() && !QuitRequested()) {
        m_pSplashThread = new CSplashThread(m_pMainFrame.get());
        m_pSplashThread->SetDialogId(131);
        m_pSplashThread->SetDisplayTime(3);
        m_pSplashThread->start();
    }
    return true;
}

int CDravikApp::ExitInstance(int nExitCode)
{
    // A signal ends the program with its window still open: its layout is
    // kept as closing the window keeps it.
    if (m_pMainFrame != nullptr && m_pMainFrame->isVisible())
        m_pMainFrame->SaveLayout();
    delete m_pSplashThread;
    m_pSplashThread = nullptr;
    return nExitCode;
}

CChildFrame* CDravikApp::OnFileNew()
{
    auto pDoc = std::make_unique<CDravikDoc>();
    if (!pDoc->OnNewDocument())
        return nullptr;
    return m_pMainFrame->AddWorkspace(std::move(pDoc));
}

void CDravikApp::OnFileOpen()
{
    CFileRequest request;
    request.bOpen = true;
    request.strTitle = QStringLiteral("Open");
    request.filters = {QStringLiteral("All Files (*)")};
    const QString strPath = Prompts().GetFileName(m_pMainFrame.get(), request);
    if (strPath.isEmpty())
        return;
    // A workspace stores nothing: the file only gives the workspace its name.
    if (CChildFrame* pFrame = OnFileNew())
        pFrame->GetDocument()->SetTitle(QFileInfo(strPath).fileName());
}

CChildFrame* CDravikApp::OpenStore(const QString& strPath)
{
    CChildFrame* pFrame = OnFileNew();
    if (pFrame != nullptr)
        pFrame->GetDocument()->ConnectFile(strPath);
    return pFrame;
}

QString CDravikApp::AboutText()
{
    return QStringLiteral("<p><b>Dravik %1</b></p>"
                          "<p>Dravik opens Outlook mail stores (.pst and .ost files, and mail profiles made "
                          "of them) and shows every object in them as raw MAPI objects and properties.</p>"
                          "<p>Copyright \u00A9 the Dravik authors. All rights reserved; no licence to copy "
                          "or change Dravik is granted yet.</p>"
                          "<p>Built with Qt %2, running on Qt %3.</p>")
        .arg(QStringLiteral(DRAVIK_VERSION), QStringLiteral(QT_VERSION_STR), QString::fromLatin1(qVersion()));
}

void CDravikApp::OnAppAbout()
{
    QDialog dlg(m_pMainFrame.get());
    dlg.setObjectName(QStringLiteral("aboutDialog"));
    dlg.setWindowTitle(QStringLiteral("About Dravik"));
    auto* pLayout = new QHBoxLayout(&dlg);
    auto* pIcon = new QLabel(&dlg);
    pIcon->setPixmap(DravikAppIcon().pixmap(32, 32));
    pIcon->setAlignment(Qt::AlignTop);
    pLayout->addWidget(pIcon);
    auto* pText = new QLabel(AboutText(), &dlg);
    pText->setObjectName(QStringLiteral("aboutText"));
    pText->setWordWrap(true);
    pText->setTextInteractionFlags(Qt::TextSelectableByMouse);
    pText->setMinimumWidth(DuX(200));
    pLayout->addWidget(pText, 1);
    auto* pClose = new QPushButton(QStringLiteral("Close"), &dlg);
    pClose->setObjectName(QStringLiteral("IDCANCEL"));
    pClose->setDefault(true);
    QObject::connect(pClose, &QPushButton::clicked, &dlg, &QDialog::reject);
    pLayout->addWidget(pClose, 0, Qt::AlignTop);
    dlg.exec();
}

QString CDravikApp::MailControlPanelPath()
{
    const QDir exeDir(QCoreApplication::applicationDirPath());
    for (const QString& strPath : {exeDir.filePath(QStringLiteral("dravik-mailcpl")),
                                   exeDir.filePath(QStringLiteral("../libexec/dravik/dravik-mailcpl")),
                                   exeDir.filePath(QStringLiteral("../tools/dravik-mailcpl/dravik-mailcpl"))}) {
        const QFileInfo info(strPath);
        if (info.isFile() && info.isExecutable())
            return info.canonicalFilePath();
    }
    return QString();
}

void CDravikApp::OnMailControlPanel()
{
    // The profile tool runs on its own; its start and its end are not awaited.
    const QString strPath = MailControlPanelPath();
    if (!strPath.isEmpty())
        QProcess::startDetached(strPath, {});
}

void CDravikApp::InstallSignalHandlers()
{
    if (m_pSignalNotifier != nullptr)
        return;
    // One pair for the process, whichever application object installs it.
    if (g_signalFds[0] < 0 && ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalFds) != 0)
        return;
    m_pSignalNotifier = new QSocketNotifier(g_signalFds[1], QSocketNotifier::Read, this);
    connect(m_pSignalNotifier, &QSocketNotifier::activated, this, &CDravikApp::OnSignal);
    struct sigaction action = {};
    action.sa_handler = SignalHandler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
}

void CDravikApp::OnSignal()
{
    char c = 0;
    [[maybe_unused]] const ssize_t n = ::read(g_signalFds[1], &c, 1);
    // The program ends from whatever state it is in. Nothing is torn down
    // here, since a dialog's caller may still be using its workspace below
    // this frame: every open dialog is closed as cancelled and every event
    // loop is left, so each caller unwinds to the top; main() then ends the
    // program, and the workspaces close (log off, delete their temporary
    // profiles) as the application object goes.
    RequestQuit();
    CloseModalDialogs();
    QCoreApplication::exit(0);
}

bool CDravikApp::OnUpdateCommand(int nId, CCmdUI& rUI)
{
    switch (nId) {
    case ID_APP_ABOUT:
    case ID_FILE_NEW:
    case ID_FILE_OPEN:
    case ID_MAIL_CONTROL_PANEL:
        rUI.bEnabled = true;
        return true;
    default:
        break;
    }
    if (nId >= ID_FILE_MRU_FILE1 && nId <= ID_FILE_MRU_LAST) {
        rUI.bEnabled = m_pMainFrame != nullptr && nId - ID_FILE_MRU_FILE1 < m_pMainFrame->RecentStores().size();
        return true;
    }
    return false;
}

bool CDravikApp::OnCommand(int nId)
{
    switch (nId) {
    case ID_APP_ABOUT: OnAppAbout(); return true;
    case ID_FILE_NEW: OnFileNew(); return true;
    case ID_FILE_OPEN: OnFileOpen(); return true;
    case ID_MAIL_CONTROL_PANEL: OnMailControlPanel(); return true;
    default: break;
    }
    if (nId >= ID_FILE_MRU_FILE1 && nId <= ID_FILE_MRU_LAST && m_pMainFrame != nullptr) {
        const QStringList& stores = m_pMainFrame->RecentStores();
        const qsizetype nIndex = nId - ID_FILE_MRU_FILE1;
        if (nIndex < stores.size())
            OpenStore(stores[nIndex]);
        return true;
    }
    return false;
}
