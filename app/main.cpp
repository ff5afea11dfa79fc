// velnor-client: the transfer window. Command-line arguments are not used (Qt takes its own, such as
// -platform, before the program starts).

#include <QApplication>

#include "ClientApp.h"

// The one application object, as old as the process.
CClientApp theApp;

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("velnor-client"));
    theApp.InitInstance();
    return 0;
}
