#include "BackupWorker.h"

#include <QCoreApplication>

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "ConfStore.h"
#include "FileBytes.h"
#include "JobReport.h"
#include "TransferEntry.h"
#include "WorkerChannel.h"

namespace fs = std::filesystem;

namespace {

// A worker's command channel and its result channel, as its descriptors.
constexpr int kWorkerCommandFd = 3;
constexpr int kWorkerResultFd = 4;

// The copy goes into place here, in parallel with the other workers, rather than one after
// another in the main loop: each replacement waits for its disk flush. A signal meanwhile could
// only leave a file half-placed, so it waits until the copy is placed and told.
void PlaceCopy(const fs::path& copyPath, const fs::path& workFile)
{
    sigset_t stop, previous;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    ::sigprocmask(SIG_BLOCK, &stop, &previous);
    std::string placed, strError;
    CConfSource received;
    if (!received.Open(workFile)) {
        placed = "failed";
        strError = "cannot read the received file " + workFile.string();
    } else {
        // The folder is flushed once, by the main process at the end, not once per file.
        const ConfReplaceResult replaced = ReplaceConfIfChanged(copyPath, received, false);
        placed = replaced.outcome == ConfReplace::Replaced    ? "changed"
                 : replaced.outcome == ConfReplace::Unchanged ? "unchanged"
                                                              : "failed";
        if (replaced.outcome == ConfReplace::Failed)
            strError = replaced.strError;
    }
    std::error_code ec;
    fs::remove(workFile, ec);
    WriteAllTo(kWorkerResultFd, EncodePlacedFrame(placed, strError));
    ::sigprocmask(SIG_SETMASK, &previous, nullptr);
}

// One router in a worker: the transfer into the work folder, then its copy into place. Its frames:
// the transfer's, as soon as the transfer has ended, then the placement's.
void RunJob(const WorkerContext& context, std::vector<std::string>& fields, int nNull)
{
    if (fields.size() < 3)
        ::_exit(CLI_EXIT_FAILED);
    const InventoryRow& row = context.inventory.rows.at(std::stoul(fields[0]));
    const std::string& strPassword = fields[1];
    // Through a pipe on standard input: it never shows in the process list or the environment. It
    // fits the pipe's buffer, so the write never waits.
    int inPipe[2] = {-1, -1};
    if (!strPassword.empty() && ::pipe2(inPipe, O_CLOEXEC) == 0) {
        [[maybe_unused]] const ssize_t n = ::write(inPipe[1], strPassword.data(), strPassword.size());
        ::close(inPipe[1]);
        ::dup2(inPipe[0], STDIN_FILENO);
        ::close(inPipe[0]);
    }
    std::vector<char*> argv;
    for (auto it = fields.begin() + 2; it != fields.end(); ++it)
        argv.push_back(it->data());
    argv.push_back(nullptr);
    std::optional<CliOutcome> outcome;
    const int nExit = context.transferMain(static_cast<int>(argv.size() - 1), argv.data(), &outcome);
    ::dup2(nNull, STDIN_FILENO);
    std::fflush(nullptr);
    WriteAllTo(kWorkerResultFd, EncodeTransferFrame(nExit, outcome));
    if (nExit == CLI_EXIT_OK)
        PlaceCopy(CopyPathOf(context.outDir, row), fields.back());
}

}  // namespace

fs::path CopyPathOf(const fs::path& outDir, const InventoryRow& row)
{
    return outDir / (row.strName + ".conf");
}

void RunBackupWorker(int nCommandFd, int nOutFd, pid_t parent, const WorkerContext& context)
{
    ::signal(SIGINT, SIG_DFL);
    ::signal(SIGTERM, SIG_DFL);
    // A backup killed outright (kill -9, the OOM killer) takes its workers along: a transfer
    // nobody will report is only load on a router. Its end is the one SIGTERM would give.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent)
        ::_exit(CLI_EXIT_FAILED);
    // Out of the terminal's process group: a Ctrl+C is the backup's to handle, which ends the
    // workers itself and still reports.
    ::setpgid(0, 0);
    // The command pipe as descriptor 3, the result pipe as 4; the other workers' pipes and our
    // signal pipe are not the worker's business.
    const int nResultFd = ::fcntl(nOutFd, F_DUPFD_CLOEXEC, kWorkerResultFd + 1);
    if (nCommandFd != kWorkerCommandFd)
        ::dup2(nCommandFd, kWorkerCommandFd);
    ::dup2(nResultFd, kWorkerResultFd);
    ::close_range(kWorkerResultFd + 1, ~0U, 0);
    const int nNull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    ::dup2(nNull, STDIN_FILENO);
    // The transfer's texts and lines are not read: its outcome comes typed, in its frame.
    ::dup2(nNull, STDOUT_FILENO);
    ::dup2(nNull, STDERR_FILENO);
    // One Qt application for all the worker's transfers.
    static int nArgc = 1;
    static char name[] = "velnor-tftp";
    static char* argv[] = {name, nullptr};
    QCoreApplication app(nArgc, argv);
    std::vector<std::string> fields;
    while (ReadFrame(kWorkerCommandFd, fields))
        RunJob(context, fields, nNull);
    std::fflush(nullptr);
    ::_exit(CLI_EXIT_OK);
}
