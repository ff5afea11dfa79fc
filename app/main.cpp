// velnor-client: the transfer window. Command-line arguments are not used (Qt takes its own, such as
// -platform, before the program starts), except --menu-start, which only the desktop menu's entry
// gives (MenuStart.h).

#include <QApplication>

#include "ClientApp.h"
#include "MenuStart.h"

// The one application object, as old as the process.
CClientApp theApp;

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("velnor-client"));
    // Ties the window to the desktop entry, so that task bars and docks show its icon and name.
    QGuiApplication::setDesktopFileName(QStringLiteral(VELNOR_DESKTOP_ID));
    if (IsMenuStart(QApplication::arguments()))
        PrepareMenuStart();
    theApp.InitInstance();
    return 0;
}
