#include "app/CommandLineInfo.h"
#include "app/DravikApp.h"
#include "mapi/Prompts.h"

#include <QApplication>

int main(int argc, char** argv)
{
    // --help and --version only write text: they are answered without a
    // display. Any other line, a bad one included, goes to the program,
    // which reads it again after Qt has taken its own options out.
    {
        QStringList arguments;
        for (int i = 0; i < argc; ++i)
            arguments << QString::fromLocal8Bit(argv[i]);
        CCommandLineInfo cmdInfo;
        if (cmdInfo.Parse(arguments) && cmdInfo.WantsHelpOrVersion()) {
            QCoreApplication app(argc, argv);
            CDravikApp::SetIdentity();
            cmdInfo.ShowHelpOrVersion();
        }
    }
    QApplication app(argc, argv);
    CDravikApp::SetIdentity();
    // The last workspace closing does not end the program; closing the main
    // window does.
    CDravikApp theApp;
    if (!theApp.InitInstance(QApplication::arguments()))
        return QuitRequested() ? 0 : 1;
    // A signal during start-up has already asked the program to end; the
    // event loop would not see that request again.
    const int nResult = QuitRequested() ? 0 : QApplication::exec();
    return theApp.ExitInstance(nResult);
}
