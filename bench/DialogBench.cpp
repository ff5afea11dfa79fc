// velnor-bench-dialog: the transfer window fetching configuration file 0 of a router, set up and run
// as velnor-client runs it (the application's start-up, the modal window), with the user's clicks
// made by the program. The benchmark runs it on the offscreen platform.
//
//   velnor-bench-dialog [Qt options] ROUTER LOCAL-FILE
//   velnor-bench-dialog [Qt options] --no-transfer
//
// Prints one line: wall seconds from the click on Execute until the window is idle again, CPU
// seconds (user + system) of the process in that span, and the transfer's result code (0 success).
// --no-transfer opens and closes the window only (the program's own baseline).
// Exit status: 0 when the transfer succeeded, 1 when it failed, 2 for a wrong command line.

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTimer>
#include <QWindow>

#include <sys/resource.h>

#include <cstdio>
#include <functional>
#include <optional>

#include "ClientApp.h"
#include "ClientDlg.h"
#include "FileDialog.h"
#include "MessageBox.h"

namespace {

double CpuSeconds()
{
    rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// How often the window is looked at while it is not yet shown, and for the end of the transfer once
// it shows its outcome (the last steps only save the file and close the socket).
constexpr int kEndPollMs = 1;

}  // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments().mid(1);
    const bool bNoTransfer = args.size() == 1 && args[0] == QStringLiteral("--no-transfer");
    if (!bNoTransfer && args.size() != 2) {
        std::fprintf(stderr, "usage: velnor-bench-dialog [Qt options] ROUTER LOCAL-FILE | --no-transfer\n");
        return 2;
    }

    CClientApp theApp;
    theApp.InitApplication();
    // A failure must not leave a message box waiting for a click nobody makes.
    CMessageBox::SetHandler([](const MessageBoxRecord& record) {
        std::fprintf(stderr, "velnor-bench-dialog: %s\n", record.strText.toUtf8().constData());
        return static_cast<int>(QMessageBox::Ok);
    });
    if (!bNoTransfer) {
        const QString strLocal = args[1];
        CFileDialog::SetHandler([strLocal](const FileDialogRequest&) { return std::optional<QString>(strLocal); });
    }

    int nExit = 0;
    CClientDlg dlg;
    theApp.m_pMainWnd = &dlg;
    QElapsedTimer clock;
    double dCpuStart = 0;
    bool bOutcomeShown = false;

    std::function<void()> clickExecute;
    std::function<void()> watchForEnd = [&] {
        if (dlg.IsTransferRunning()) {
            QTimer::singleShot(kEndPollMs, &dlg, watchForEnd);
            return;
        }
        const double dWall = static_cast<double>(clock.nsecsElapsed()) / 1e9;
        const double dCpu = CpuSeconds() - dCpuStart;
        const TftpResult nResult = g_pTransfer->GetResult();
        std::printf("%.6f %.6f %d\n", dWall, dCpu, static_cast<int>(nResult));
        std::fflush(stdout);
        nExit = nResult == TFTP_OK ? 0 : 1;
        dlg.reject();
    };
    dlg.m_onStatusShown = [&](int nIndex) {
        if (bOutcomeShown || (nIndex != PHASE_FINISH && nIndex != PHASE_FAILED))
            return;
        bOutcomeShown = true;
        QTimer::singleShot(kEndPollMs, &dlg, watchForEnd);
    };

    QTimer::singleShot(0, &dlg, [&] {
        if (bNoTransfer) {
            dlg.reject();
            return;
        }
        // What a user does: get configuration, Browse, file number 0, the router's address, Execute.
        static_cast<QComboBox*>(dlg.Control(CClientDlg::IDC_OPERATION))->setCurrentIndex(1);
        static_cast<QPushButton*>(dlg.Control(CClientDlg::IDC_BROWSE))->click();
        static_cast<QCheckBox*>(dlg.Control(CClientDlg::IDC_SPECIFY_FILE))->click();
        static_cast<QComboBox*>(dlg.Control(CClientDlg::IDC_FILE_NUMBER))->setCurrentIndex(0);
        static_cast<QComboBox*>(dlg.Control(CClientDlg::IDC_ROUTER))->setEditText(args[0]);
        auto* pExecute = static_cast<QPushButton*>(dlg.Control(CClientDlg::IDC_EXECUTE));
        if (!pExecute->isEnabled()) {
            std::fprintf(stderr, "velnor-bench-dialog: Execute stayed disabled\n");
            nExit = 1;
            dlg.reject();
            return;
        }
        // Execute is clicked on the window as the user sees it: shown, and painted with the choices
        // just made. The span measured holds the transfer, not the window's first painting.
        clickExecute = [&, pExecute] {
            if (!dlg.windowHandle() || !dlg.windowHandle()->isExposed()) {
                QTimer::singleShot(kEndPollMs, &dlg, clickExecute);
                return;
            }
            dCpuStart = CpuSeconds();
            clock.start();
            pExecute->click();
        };
        QTimer::singleShot(0, &dlg, clickExecute);
    });
    dlg.exec();
    theApp.m_pMainWnd = nullptr;
    return nExit;
}
