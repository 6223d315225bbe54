#include "app/DravikApp.h"
#include "mapi/Prompts.h"

#include <QApplication>

int main(int argc, char** argv)
{
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
