// velnor-screenshot: renders the transfer window and the version box into two PNG files, so that their
// layout can be looked at on a machine without a display (scripts/screenshot.sh runs it on Qt's
// offscreen platform and on an X server of its own). Usage: velnor-screenshot DIALOG.png ABOUT.png
// It also prints which controls were widened to show their texts whole on this platform, and any
// that could not be widened without overlapping a neighbour.
// It runs in the current directory like the program, so the settings file is read (or created) there.

#include <QApplication>
#include <QPixmap>
#include <QTimer>

#include <cstdio>
#include <vector>

#include "AboutDlg.h"
#include "ClientApp.h"
#include "ClientDlg.h"

namespace {

void PrintGrowths(const char* pszWindow, const std::vector<TextGrowth>& growths)
{
    for (const TextGrowth& growth : growths) {
        if (growth.bGrown)
            std::printf("%s: %s widened from %d to %d px for \"%s\"\n", pszWindow,
                        qPrintable(growth.pControl->objectName()), growth.nFromWidth, growth.nToWidth,
                        growth.text.toUtf8().constData());
        else
            std::printf("%s: %s needs %d px instead of %d for \"%s\" but would overlap %s\n", pszWindow,
                        qPrintable(growth.pControl->objectName()), growth.nToWidth, growth.nFromWidth,
                        growth.text.toUtf8().constData(), qPrintable(growth.pBlocker->objectName()));
    }
}

}  // namespace

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
        PrintGrowths("window", dlg.TextGrowths());

        CAboutDlg about(&dlg);
        about.show();
        QApplication::processEvents();
        if (!about.grab().save(args[2]))
            nResult = 1;
        PrintGrowths("version box", about.TextGrowths());
    }
    return nResult;
}
