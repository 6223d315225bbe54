#include "app/DravikApp.h"

#include <QApplication>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Dravik"));
    QApplication::setOrganizationName(QStringLiteral("Dravik"));
    // The last workspace closing does not end the program; closing the main
    // window does.
    CDravikApp theApp;
    if (!theApp.InitInstance(QApplication::arguments()))
        return 1;
    const int nResult = QApplication::exec();
    return theApp.ExitInstance(nResult);
}
