// velnor-screenshot: renders the transfer window and the version box into two PNG files, so that their
// layout can be looked at on a machine without a display (scripts/screenshot.sh runs it on Qt's
// offscreen platform). Usage: velnor-screenshot DIALOG.png ABOUT.png
// It runs in the current directory like the program, so the settings file is read (or created) there.

#include <QApplication>
#include <QPixmap>
#include <QTimer>

#include <cstdio>

#include "AboutDlg.h"
#include "ClientApp.h"
#include "ClientDlg.h"

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    const QStringList args = QApplication::arguments();
    if (args.size() != 3) {
        std::fprintf(stderr, "usage: velnor-screenshot DIALOG.png ABOUT.png\n");
        return 2;
    }

    CClientApp theApp;
    theApp.InitApplication();

    int nResult = 0;
    {
        CClientDlg dlg;
        dlg.show();
        QApplication::processEvents();
        if (!dlg.grab().save(args[1]))
            nResult = 1;

        CAboutDlg about(&dlg);
        about.show();
        QApplication::processEvents();
        if (!about.grab().save(args[2]))
            nResult = 1;
    }
    return nResult;
}
