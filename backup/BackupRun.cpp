#include "BackupRun.h"

#include <QJsonArray>
#include <QJsonObject>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string_view>

#include "BackupCommit.h"
#include "BackupFolder.h"
#include "BackupHooks.h"
#include "BackupLog.h"
#include "BackupNight.h"
#include "BackupOptions.h"
#include "BackupReport.h"
#include "BackupRunEnd.h"
#include "BackupWorker.h"
#include "BackupWorkerResult.h"
#include "ConfStore.h"
#include "JobReport.h"
#include "TransferEntry.h"
#include "ConsoleOut.h"
#include "GitPush.h"
#include "FolderLock.h"
#include "GitStore.h"
#include "Inventory.h"
#include "SafeText.h"
#include "TimeText.h"
#include "WorkerChannel.h"

namespace fs = std::filesystem;

namespace {

constexpr int kExitInterruptBase = 128;  // the shell's 128 + signal number: 130 for SIGINT, 143 for SIGTERM

// The write end of the pipe that turns SIGINT and SIGTERM into events of the loop.
int g_nSignalWriteFd = -1;

extern "C" void OnStopSignal(int nSignal)
{
    const int nSaved = errno;
    const unsigned char byte = static_cast<unsigned char>(nSignal);
    [[maybe_unused]] const ssize_t n = ::write(g_nSignalWriteFd, &byte, 1);
    errno = nSaved;
}

// Each child holds a pipe or two and a process handle: a few hundred at a time need more descriptors
// than the usual soft limit of 1024.
void RaiseDescriptorLimit()
{
    rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

class CBackupRun {
public:
    CBackupRun(const BackupOptions& options, Inventory inventory, fs::path outDir, TransferMain transferMain)
        : m_options(options), m_inventory(std::move(inventory)), m_outDir(std::move(outDir)),
          m_transferMain(transferMain), m_bTerminal(::isatty(STDERR_FILENO) == 1)
    {
        for (const InventoryRow& row : m_inventory.rows)
            m_nNameWidth = std::max(m_nNameWidth, row.strName.size());
        m_counts.nRouters = static_cast<int>(m_inventory.rows.size());
    }

    int Run(CWorkFolder& work, CGitStore* pGit, int nSignalReadFd, CBackupNight& night)
    {
        m_pWork = &work;
        m_pGit = pGit;
        m_pNight = &night;
        m_nStart = NowMs();
        if (!m_options.bJson && !m_options.bQuiet)
            WriteOut(FormatRunStartLine(m_counts.nRouters, m_outDir.string(), std::time(nullptr)));

        for (const InventoryRow& row : m_inventory.rows) {
            if (row.bDown) {
                RouterResult result{row.strName, row.strAddress, RouterState::Skipped, false, {}, {}};
                ++m_counts.nSkipped;
                Report(row, result, QJsonObject());
            } else {
                m_pending.push_back(&row);
            }
        }

        // One loop: start workers up to the limit, wait for any of them (or a signal, or the next
        // redraw of the progress line), take what ended.
        std::vector<pollfd> fds;
        std::vector<Worker*> owners;
        long long nLastDraw = 0;
        while (true) {
            StartMore();
            if (m_running.empty())
                break;
            fds.assign(1, pollfd{nSignalReadFd, POLLIN, 0});
            owners.assign(1, nullptr);
            for (const auto& pWorker : m_workers) {
                fds.push_back(pollfd{pWorker->nOutFd, POLLIN, 0});
                owners.push_back(pWorker.get());
            }
            const int nReady = ::poll(fds.data(), fds.size(), m_bTerminal ? 1000 : -1);
            if (nReady < 0 && errno != EINTR)
                break;
            if (fds[0].revents != 0) {
                unsigned char byte = 0;
                while (::read(nSignalReadFd, &byte, 1) == 1)
                    OnSignal(byte);
            }
            for (std::size_t i = 1; i < fds.size(); ++i) {
                if (fds[i].revents != 0)
                    ReadFrom(owners[i]);
            }
            std::erase_if(m_workers, [](const auto& pWorker) { return pWorker->bGone; });
            if (m_bTerminal && NowMs() - nLastDraw >= 1000) {
                DrawProgress();
                nLastDraw = NowMs();
            }
        }
        EndWorkers();
        return Finish();
    }

private:
    struct Job;
    // A worker: a copy of this process that runs `velnor-tftp get` in itself for one router after
    // another, each asked for on its command pipe, and tells each one's result in frames on its
    // result pipe. Forked, not executed anew, and kept for the next router: the program is already loaded,
    // so a router costs its transfer, not the start of a process.
    struct Worker {
        pid_t pid = -1;
        int nCommandFd = -1;  // ours to send on: the next job
        int nOutFd = -1;      // ours to read: the job's frames
        std::string out;      // read, not yet a whole frame
        Job* pJob = nullptr;  // the job it runs; none: idle
        bool bGone = false;   // ended and reaped
    };
    struct Job {
        const InventoryRow* pRow = nullptr;
        Worker* pWorker = nullptr;
        JobReport report;  // what the worker has told of this job so far
        fs::path workFile;
        bool bStopped = false;  // ended by us after a signal
        // The transfer's frame has come: the router is done with, and the worker only puts the copy
        // into place. Its slot and its router are free for the next transfer.
        bool bTransferEnded = false;
        long long nStartMs = 0;
    };

    static long long NowMs()
    {
        timespec ts {};
        ::clock_gettime(CLOCK_MONOTONIC, &ts);
        return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
    }

    double Seconds() const { return static_cast<double>(NowMs() - m_nStart) / 1000.0; }

    fs::path ConfPath(const InventoryRow& row) const { return CopyPathOf(m_outDir, row); }

    void StartMore()
    {
        // One transfer at a time per address: the router serves one and turns the others away.
        for (auto it = m_pending.begin(); it != m_pending.end() && !m_nSignal
                                          && m_nTransferring < m_options.nJobs;) {
            if (m_busyAddresses.count((*it)->strAddress)) {
                ++it;
                continue;
            }
            const InventoryRow* pRow = *it;
            it = m_pending.erase(it);
            Start(*pRow);
        }
    }

    // A router's transfer, handed to an idle worker or to a new one.
    void Start(const InventoryRow& row)
    {
        auto job = std::make_unique<Job>();
        job->pRow = &row;
        job->nStartMs = NowMs();
        job->workFile = m_pWork->Path() / (row.strName + ".conf");
        std::vector<std::string> args{"velnor-tftp", "get", "-q"};
        // An empty password is no password: the router's names without one.
        if (!row.strPassword.empty()) {
            args.push_back("--password-file");
            args.push_back("-");
        }
        if (row.fileNumber) {
            args.push_back("--file-number");
            args.push_back(*row.fileNumber);
        }
        if (m_options.timeoutSeconds) {
            args.push_back("--timeout");
            args.push_back(std::to_string(*m_options.timeoutSeconds));
        }
        args.push_back("--");
        args.push_back(row.strAddress);
        args.push_back(job->workFile.string());
        // The command: the router's place in the list, its password, the arguments.
        const auto nIndex = static_cast<std::size_t>(&row - m_inventory.rows.data());
        std::vector<std::string> fields{std::to_string(nIndex), row.strPassword};
        fields.insert(fields.end(), args.begin(), args.end());
        const std::string command = EncodeFrame(fields);

        Worker* pWorker = nullptr;
        for (const auto& pCandidate : m_workers) {
            if (!pCandidate->pJob && !pCandidate->bGone) {
                pWorker = pCandidate.get();
                break;
            }
        }
        std::string strError;
        // An idle worker that has ended meanwhile (killed from outside) takes no command: a new one does.
        if (pWorker && !SendAll(pWorker->nCommandFd, command)) {
            EndWorker(*pWorker);
            pWorker = nullptr;
        }
        if (!pWorker) {
            pWorker = NewWorker(strError);
            if (pWorker && !SendAll(pWorker->nCommandFd, command)) {
                strError = "cannot hand a transfer to its worker: " + std::string(std::strerror(errno));
                EndWorker(*pWorker);
                pWorker = nullptr;
            }
        }
        if (!pWorker) {
            FailToStart(row, strError);
            return;
        }
        job->pWorker = pWorker;
        pWorker->pJob = job.get();
        m_busyAddresses.insert(row.strAddress);
        ++m_nTransferring;
        Job* pJob = job.get();
        m_running.emplace(pJob, std::move(job));
    }

    Worker* NewWorker(std::string& strError)
    {
        // The command channel is a socket, so that a command to a worker that has ended fails with
        // an error rather than a SIGPIPE that would end the backup.
        int commandPipe[2] = {-1, -1}, outPipe[2] = {-1, -1};
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, commandPipe) != 0
            || ::pipe2(outPipe, O_CLOEXEC) != 0) {
            strError = "cannot create a pipe: " + std::string(std::strerror(errno));
            for (int fd : {commandPipe[0], commandPipe[1]}) {
                if (fd >= 0)
                    ::close(fd);
            }
            return nullptr;
        }
        // Nothing buffered may be written twice, by us and by the copy.
        std::fflush(nullptr);
        const pid_t parent = ::getpid();
        const pid_t pid = ::fork();
        if (pid == 0)
            RunBackupWorker(commandPipe[0], outPipe[1], parent, {m_inventory, m_outDir, m_transferMain});
        ::close(commandPipe[0]);
        ::close(outPipe[1]);
        if (pid < 0) {
            strError = "cannot start a transfer: " + std::string(std::strerror(errno));
            ::close(commandPipe[1]);
            ::close(outPipe[0]);
            return nullptr;
        }
        ::fcntl(outPipe[0], F_SETFL, O_NONBLOCK);
        auto pWorker = std::make_unique<Worker>();
        pWorker->pid = pid;
        pWorker->nCommandFd = commandPipe[1];
        pWorker->nOutFd = outPipe[0];
        m_workers.push_back(std::move(pWorker));
        return m_workers.back().get();
    }

    // Closes our ends of a worker's channels and waits for it to end: an idle worker ends at the end
    // of its commands, one with a job has been told to end.
    void EndWorker(Worker& worker)
    {
        if (worker.bGone)
            return;
        for (int* pFd : {&worker.nCommandFd, &worker.nOutFd}) {
            if (*pFd >= 0)
                ::close(*pFd);
            *pFd = -1;
        }
        int status = 0;
        while (::waitpid(worker.pid, &status, 0) < 0 && errno == EINTR) {
        }
        worker.bGone = true;
    }

    void EndWorkers()
    {
        // Every command pipe first, so that the idle workers end side by side.
        for (const auto& pWorker : m_workers) {
            if (pWorker->nCommandFd >= 0)
                ::close(pWorker->nCommandFd);
            pWorker->nCommandFd = -1;
        }
        for (const auto& pWorker : m_workers)
            EndWorker(*pWorker);
        m_workers.clear();
    }

    void FailToStart(const InventoryRow& row, const std::string& strText)
    {
        RouterResult result{row.strName, row.strAddress, RouterState::Failed, false, {}, {}};
        QJsonObject child = ResultWithoutChild(row);
        SetLocalFailure(result, child, strText);
        Count(row, result, child);
    }

    void ReadFrom(Worker* pWorker)
    {
        char buffer[4096];
        bool bEnded = false;
        while (true) {
            const ssize_t n = ::read(pWorker->nOutFd, buffer, sizeof buffer);
            if (n > 0) {
                pWorker->out.append(buffer, static_cast<std::size_t>(n));
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            bEnded = !(n < 0 && errno == EAGAIN);  // the end: the worker has ended
            break;
        }
        std::vector<std::string> fields;
        while (pWorker->pJob) {
            const FrameTake taken = TakeFrame(pWorker->out, fields);
            if (taken == FrameTake::Partial)
                break;
            Job* pJob = pWorker->pJob;
            bool bJobEnded = false;
            // A frame that does not read is a worker gone wrong: it ends as one that died.
            if (taken == FrameTake::Malformed || !ApplyJobFrame(fields, pJob->report, bJobEnded)) {
                bEnded = true;
                break;
            }
            // The first frame is the transfer's, written once it has ended.
            if (!pJob->bTransferEnded)
                EndTransferOf(pJob);
            if (bJobEnded) {
                pWorker->pJob = nullptr;
                OnFinished(pJob, false);
            }
        }
        if (!bEnded)
            return;
        Job* pJob = pWorker->pJob;
        pWorker->pJob = nullptr;
        EndWorker(*pWorker);
        if (pJob)
            OnFinished(pJob, true);
    }

    // The router's part of a job is over: the next transfer may start, to this router as well.
    void EndTransferOf(Job* pJob)
    {
        pJob->bTransferEnded = true;
        --m_nTransferring;
        m_busyAddresses.erase(pJob->pRow->strAddress);
    }

    // bWorkerEnded: the worker ended before it told the job's end.
    void OnFinished(Job* pJob, bool bWorkerEnded)
    {
        const auto it = m_running.find(pJob);
        std::unique_ptr<Job> job = std::move(it->second);
        m_running.erase(it);
        if (!job->bTransferEnded)
            EndTransferOf(job.get());
        const InventoryRow& row = *job->pRow;

        if (bWorkerEnded)
            job->report.nExit = kNoExitStatus;
        JobOutcome outcome = DecodeJob(row, job->report, job->bStopped);
        std::error_code ec;
        fs::remove(job->workFile, ec);
        if (outcome.bNotDone) {
            ++m_counts.nNotDone;
            m_notDone.push_back(row.strName);
            return;
        }
        Count(row, outcome.result, outcome.child);
    }

    void Count(const InventoryRow& row, const RouterResult& result, const QJsonObject& child)
    {
        if (result.state == RouterState::Ok) {
            ++m_counts.nOk;
            if (result.bChanged)
                ++m_counts.nChanged;
        } else {
            ++m_counts.nFailed;
            m_failed.push_back(result);
        }
        m_results[row.strName] = result;
        Report(row, result, child);
    }

    void Report(const InventoryRow& row, const RouterResult& result, const QJsonObject& child)
    {
        m_pNight->OnRouter(row, result, child);
        ClearProgress();
        if (m_options.bJson) {
            QJsonObject object = RouterJson(child, result, fs::absolute(ConfPath(row)).string(), row.fileNumber);
            object.insert("time", QString::fromStdString(FormatUtcTime(std::time(nullptr))));
            const QByteArray line = JsonLine(object);
            WriteOut(std::string_view(line.constData(), static_cast<std::size_t>(line.size())));
        } else if (!m_options.bQuiet || result.state == RouterState::Failed) {
            WriteOut(FormatRouterLine(result, m_nNameWidth));
        }
        DrawProgress();
    }

    void DrawProgress()
    {
        if (!m_bTerminal)
            return;
        m_counts.seconds = Seconds();
        // The routers that have taken longer than one time-out, longest first.
        const long long nTimeoutMs = 1000LL * m_options.timeoutSeconds.value_or(5);
        std::vector<std::pair<long long, std::string>> slow;
        for (const auto& [pJob, job] : m_running) {
            if (!pJob->bTransferEnded && NowMs() - pJob->nStartMs > nTimeoutMs)
                slow.emplace_back(pJob->nStartMs, pJob->pRow->strName);
        }
        std::sort(slow.begin(), slow.end());
        std::vector<std::string> waiting;
        for (auto& entry : slow)
            waiting.push_back(std::move(entry.second));
        std::string text = FormatBackupProgress(m_counts, m_nTransferring);
        if (!waiting.empty())
            text += ", " + FormatWaitingFor(waiting);
        WriteErr("\r\033[K" + text);
        m_bProgressShown = true;
    }

    void ClearProgress()
    {
        if (m_bProgressShown) {
            WriteErr("\r\033[K");
            m_bProgressShown = false;
        }
    }

    void OnSignal(int nSignal)
    {
        if (m_nSignal)
            return;
        m_nSignal = nSignal;
        // No new transfer; the running ones are ended, and their files go with the work folder.
        m_counts.nNotDone += static_cast<int>(m_pending.size());
        for (const InventoryRow* pRow : m_pending)
            m_notDone.push_back(pRow->strName);
        m_pending.clear();
        // A worker past its transfer finishes putting its copy into place, and is reported.
        for (auto& [pJob, job] : m_running) {
            if (pJob->bTransferEnded)
                continue;
            pJob->bStopped = true;
            ::kill(pJob->pWorker->pid, SIGTERM);
        }
    }

    int Finish()
    {
        ClearProgress();
        if (m_counts.nChanged > 0)
            FlushFolder(m_outDir);
        int nExit = m_counts.nFailed > 0 ? CLI_EXIT_FAILED : CLI_EXIT_OK;
        const std::vector<std::string> pruned = m_options.bPrune ? m_pNight->Prune(m_inventory.rows)
                                                                 : std::vector<std::string>();
        std::optional<std::string> commit;
        std::optional<std::string> commitError;
        std::optional<std::set<std::string>> committedChanges;
        if (m_pGit) {
            BackupCommit committed = CommitBackup(*m_pGit, m_inventory.rows, m_results, m_failed, pruned);
            if (committed.error) {
                WriteErr("velnor-tftp: the backup's commit failed: " + EscapeForTerminal(*committed.error) + "\n");
                nExit = CLI_EXIT_FAILED;
                commitError = std::move(committed.error);
            } else {
                m_counts.nChanged = static_cast<int>(committed.changes->size());
                committedChanges = std::move(committed.changes);
            }
            commit = std::move(committed.hash);
        }
        // After the commit, also when there was none: what an earlier push left behind goes now.
        std::optional<PushResult> pushed;
        if (m_pGit && m_options.bPush)
            pushed = PushAfterBackup(m_outDir, m_options.pushRemote);
        m_counts.seconds = Seconds();
        if (m_nSignal)
            nExit = kExitInterruptBase + m_nSignal;

        // In the list's order, not the order they ended in.
        std::vector<std::string> failedNames;
        for (const InventoryRow& row : m_inventory.rows) {
            const auto it = m_results.find(row.strName);
            if (it != m_results.end() && it->second.state == RouterState::Failed)
                failedNames.push_back(row.strName);
        }
        std::vector<std::string> notDone;
        for (const InventoryRow& row : m_inventory.rows) {
            if (std::find(m_notDone.begin(), m_notDone.end(), row.strName) != m_notDone.end())
                notDone.push_back(row.strName);
        }
        m_notDone = std::move(notDone);
        const int nHooksFailed = m_pNight->Close(
            m_inventory.rows, CBackupNight::Ending{m_counts, m_nSignal != 0, nExit, commit, committedChanges});
        RunEnd end{m_counts, m_nSignal != 0, m_pGit != nullptr, commit, commitError, pushed,
                   failedNames, m_notDone, pruned, nHooksFailed};
        const std::time_t now = std::time(nullptr);
        if (m_options.bJson) {
            const QByteArray line = JsonLine(RunEndJson(end, now));
            WriteOut(std::string_view(line.constData(), static_cast<std::size_t>(line.size())));
        } else {
            WriteOut(RunEndText(end, m_options.bQuiet, ::isatty(STDOUT_FILENO) == 1, now));
        }
        return nExit;
    }

    const BackupOptions& m_options;
    Inventory m_inventory;
    fs::path m_outDir;
    TransferMain m_transferMain;
    bool m_bTerminal;
    CWorkFolder* m_pWork = nullptr;
    CGitStore* m_pGit = nullptr;
    CBackupNight* m_pNight = nullptr;
    long long m_nStart = 0;
    std::deque<const InventoryRow*> m_pending;
    std::vector<std::unique_ptr<Worker>> m_workers;
    std::map<Job*, std::unique_ptr<Job>> m_running;
    std::set<std::string> m_busyAddresses;
    int m_nTransferring = 0;  // running jobs whose transfer has not ended
    std::map<std::string, RouterResult> m_results;
    std::vector<RouterResult> m_failed;
    std::vector<std::string> m_notDone;  // by a signal
    BackupCounts m_counts;
    std::size_t m_nNameWidth = 4;
    bool m_bProgressShown = false;
    int m_nSignal = 0;
};

int Refuse(const BackupOptions& options, const std::string& strText, const std::vector<InventoryProblem>& problems)
{
    WriteErr(strText);
    if (options.bJson) {
        QJsonArray list;
        for (const InventoryProblem& problem : problems) {
            QJsonObject item;
            item.insert("line", problem.nLine);
            item.insert("message", QString::fromStdString(problem.strText));
            list.append(item);
        }
        QJsonObject object;
        object.insert("summary", true);
        object.insert("refused", true);
        object.insert("message", QString::fromStdString(strText).trimmed());
        object.insert("problems", list);
        const QByteArray line = JsonLine(object);
        WriteOut(std::string_view(line.constData(), static_cast<std::size_t>(line.size())));
    }
    return CLI_EXIT_USAGE;
}

}  // namespace

int RunBackupCommand(const std::vector<std::string>& args, TransferMain transferMain)
{
    const BackupParseResult parsed = ParseBackupCommandLine(args);
    if (parsed.action == BackupAction::Help) {
        WriteOut(BackupUsageText());
        return CLI_EXIT_OK;
    }
    if (parsed.action == BackupAction::UsageError) {
        const std::string text = "velnor-tftp backup: " + parsed.strError
                                 + "\nTry 'velnor-tftp backup --help' for more information.\n";
        WriteErr(text);
        return CLI_EXIT_USAGE;
    }
    const BackupOptions& options = parsed.options;
    for (const std::string& hook : options.hooks) {
        if (!IsRunnableProgram(hook))
            return Refuse(options, "velnor-tftp backup: the hook " + EscapeForTerminal(hook) + " is not a program that can be run; nothing was sent\n", {});
    }

    Inventory inventory = LoadInventory(options.strInventory, options.passwordFile, options.bPasswordFilesAnywhere);
    if (!inventory.problems.empty()) {
        WriteMetricsOfRefusedRun(options);
        return Refuse(options,
                      FormatInventoryProblems(options.strInventory, inventory.problems)
                          + "velnor-tftp backup: the inventory was refused; nothing was sent\n",
                      inventory.problems);
    }
    std::vector<InventoryProblem> warnings = inventory.warnings;
    for (InventoryProblem& warning : warnings)
        warning.strText = "warning: " + warning.strText;
    WriteErr(FormatInventoryProblems(options.strInventory, warnings));
    const fs::path outDir = options.strOutDir;
    std::optional<FolderLock> folderLock;
    if (std::optional<std::string> error = PrepareBackupFolder(outDir, options.nWaitLockSeconds, &folderLock))
        return Refuse(options, "velnor-tftp backup: " + *error + "\n", {});

    std::unique_ptr<CGitStore> git;
    if (options.bGit) {
        git = std::make_unique<CGitStore>(outDir);
        std::string error;
        // The folder's lock is held: no other run is inside to be holding git's lock.
        if (!git->Prepare(error, true) || !git->ExcludeFolder(".velnor", error))
            return Refuse(options, "velnor-tftp backup: " + EscapeForTerminal(error) + "\n", {});
        for (const std::string& notice : git->Notices())
            WriteErr("velnor-tftp backup: " + notice + "\n");
    }
    // What a run killed outright left in the temporary folders: its work folder, a received file in it.
    CWorkFolder::SweepOrphans();
    CWorkFolder work;
    if (!work.IsValid())
        return Refuse(options, "velnor-tftp backup: cannot create a work folder in the temporary folder\n", {});

    RaiseDescriptorLimit();
    // A program that stops reading (git, when a hook refuses the commit before it reads its message)
    // must give us an error to report, never end the backup.
    ::signal(SIGPIPE, SIG_IGN);
    int signalFds[2] = {-1, -1};
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, signalFds) != 0)
        return Refuse(options, "velnor-tftp backup: cannot watch for signals\n", {});
    g_nSignalWriteFd = signalFds[1];
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);

    CBackupNight night(options, outDir.string());
    night.Load();
    CBackupRun run(options, std::move(inventory), outDir, transferMain);
    const int nExit = run.Run(work, git.get(), signalFds[0], night);

    ::signal(SIGINT, SIG_DFL);
    ::signal(SIGTERM, SIG_DFL);
    ::close(signalFds[0]);
    ::close(signalFds[1]);
    return nExit;
}
