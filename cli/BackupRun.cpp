#include "BackupRun.h"

#include <QJsonArray>
#include <QJsonDocument>
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

#include "BackupOptions.h"
#include "BackupReport.h"
#include "CliOptions.h"
#include "ConfStore.h"
#include "ConsoleOut.h"
#include "GitStore.h"
#include "Inventory.h"
#include "SafeText.h"

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

bool IsOurLeftover(const std::string& name)
{
    // ".NAME.conf.new-XXXXXX", from ReplaceConfIfChanged of a run that lost power before its rename.
    const std::size_t mark = name.rfind(".conf.new-");
    return name.size() > 1 && name[0] == '.' && mark != std::string::npos && mark > 1
           && name.size() == mark + std::string_view(".conf.new-").size() + 6;
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

    int Run(CWorkFolder& work, CGitStore* pGit, int nSignalReadFd)
    {
        m_pWork = &work;
        m_pGit = pGit;
        m_nStart = NowMs();

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
        std::vector<Job*> owners;
        long long nLastDraw = 0;
        while (true) {
            StartMore();
            if (m_running.empty())
                break;
            fds.assign(1, pollfd{nSignalReadFd, POLLIN, 0});
            owners.assign(1, nullptr);
            for (auto& [pJob, job] : m_running) {
                fds.push_back(pollfd{job->nOutFd, POLLIN, 0});
                owners.push_back(pJob);
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
            if (m_bTerminal && NowMs() - nLastDraw >= 1000) {
                DrawProgress();
                nLastDraw = NowMs();
            }
        }
        return Finish();
    }

private:
    struct Job {
        const InventoryRow* pRow = nullptr;
        pid_t pid = -1;
        int nOutFd = -1;
        std::string out;
        fs::path workFile;
        bool bStopped = false;  // ended by us after a signal
        // The transfer's line has come: the router is done with, and the worker only puts the copy
        // into place. Its slot and its router are free for the next transfer.
        bool bTransferEnded = false;
    };

    static long long NowMs()
    {
        timespec ts {};
        ::clock_gettime(CLOCK_MONOTONIC, &ts);
        return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
    }

    double Seconds() const { return static_cast<double>(NowMs() - m_nStart) / 1000.0; }

    fs::path ConfPath(const InventoryRow& row) const { return m_outDir / (row.strName + ".conf"); }

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

    // A worker: a copy of this process that runs `velnor-tftp get --json` in itself, its JSON line on
    // a pipe to us. Forked, not executed anew: the program is already loaded, so a router costs the
    // transfer and not the start of a program.
    void Start(const InventoryRow& row)
    {
        auto job = std::make_unique<Job>();
        job->pRow = &row;
        job->workFile = m_pWork->Path() / (row.strName + ".conf");
        std::vector<std::string> args{"velnor-tftp", "get", "--json", "-q"};
        // An empty password is no password: the router's names without one.
        const bool bPassword = !row.strPassword.empty();
        if (bPassword) {
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

        int outPipe[2] = {-1, -1}, inPipe[2] = {-1, -1};
        if (::pipe2(outPipe, O_CLOEXEC) != 0 || (bPassword && ::pipe2(inPipe, O_CLOEXEC) != 0)) {
            for (int fd : {outPipe[0], outPipe[1]}) {
                if (fd >= 0)
                    ::close(fd);
            }
            FailToStart(row, "cannot create a pipe: " + std::string(std::strerror(errno)));
            return;
        }
        // Nothing buffered may be written twice, by us and by the copy.
        std::fflush(nullptr);
        const pid_t pid = ::fork();
        if (pid == 0) {
            m_pRowOfWorker = &row;
            RunWorker(args, outPipe[1], bPassword ? inPipe[0] : -1);
        }
        ::close(outPipe[1]);
        if (bPassword) {
            ::close(inPipe[0]);
            // Through the pipe: it never shows in the process list or the environment. It fits the
            // pipe's buffer, so the write never waits.
            [[maybe_unused]] const ssize_t n = ::write(inPipe[1], row.strPassword.data(), row.strPassword.size());
            ::close(inPipe[1]);
        }
        if (pid < 0) {
            ::close(outPipe[0]);
            FailToStart(row, "cannot start a transfer: " + std::string(std::strerror(errno)));
            return;
        }
        ::fcntl(outPipe[0], F_SETFL, O_NONBLOCK);
        job->pid = pid;
        job->nOutFd = outPipe[0];
        m_busyAddresses.insert(row.strAddress);
        ++m_nTransferring;
        Job* pJob = job.get();
        m_running.emplace(pJob, std::move(job));
    }

    [[noreturn]] void RunWorker(std::vector<std::string>& args, int nOutFd, int nInFd)
    {
        ::signal(SIGINT, SIG_DFL);
        ::signal(SIGTERM, SIG_DFL);
        // Out of the terminal's process group: a Ctrl+C is the backup's to handle, which ends the
        // workers itself and still reports.
        ::setpgid(0, 0);
        const int nNull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
        ::dup2(nInFd >= 0 ? nInFd : nNull, STDIN_FILENO);
        ::dup2(nOutFd, STDOUT_FILENO);
        // The texts for a person are not read: the JSON line holds everything.
        ::dup2(nNull, STDERR_FILENO);
        // The other workers' pipes and our signal pipe are not the worker's business.
        ::close_range(3, ~0U, 0);
        std::vector<char*> argv;
        for (std::string& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        const int nExit = m_transferMain(static_cast<int>(args.size()), argv.data());
        std::fflush(nullptr);
        if (nExit != CLI_EXIT_OK)
            ::_exit(nExit);
        // The copy goes into place here, in parallel with the other workers, rather than one after
        // another in the main loop: each replacement waits for its disk flush. A signal from now on
        // could only leave a file half-placed, so it waits until the worker is done.
        sigset_t stop;
        sigemptyset(&stop);
        sigaddset(&stop, SIGINT);
        sigaddset(&stop, SIGTERM);
        ::sigprocmask(SIG_BLOCK, &stop, nullptr);
        const fs::path workFile = args.back();
        QJsonObject placed;
        std::string bytes;
        if (!ReadFileBytes(workFile, bytes)) {
            placed.insert("placed", "failed");
            placed.insert("error", QString::fromStdString("cannot read the received file " + workFile.string()));
        } else {
            // The folder is flushed once, by the main process at the end, not once per file.
            const ConfReplaceResult replaced =
                ReplaceConfIfChanged(m_outDir / (m_pRowOfWorker->strName + ".conf"), bytes, false);
            placed.insert("placed", replaced.outcome == ConfReplace::Replaced    ? "changed"
                                    : replaced.outcome == ConfReplace::Unchanged ? "unchanged"
                                                                                 : "failed");
            if (replaced.outcome == ConfReplace::Failed)
                placed.insert("error", QString::fromStdString(replaced.strError));
        }
        std::error_code ec;
        fs::remove(workFile, ec);
        const QByteArray line = JsonLine(placed);
        WriteOut(std::string_view(line.constData(), static_cast<std::size_t>(line.size())));
        ::_exit(CLI_EXIT_OK);
    }

    void FailToStart(const InventoryRow& row, const std::string& strText)
    {
        RouterResult result{row.strName, row.strAddress, RouterState::Failed, false, {}, {}};
        QJsonObject child = ResultWithoutChild(row);
        SetLocalFailure(result, child, strText);
        Count(row, result, child);
    }

    QJsonObject ResultWithoutChild(const InventoryRow& row) const
    {
        QJsonObject child;
        child.insert("router", QString::fromStdString(row.strAddress));
        child.insert("operation", "get");
        child.insert("file_number", row.fileNumber ? QJsonValue(std::stoi(*row.fileNumber)) : QJsonValue());
        child.insert("router_text", QJsonValue());
        child.insert("bytes", 0);
        child.insert("seconds", 0);
        return child;
    }

    void ReadFrom(Job* pJob)
    {
        char buffer[4096];
        while (true) {
            const ssize_t n = ::read(pJob->nOutFd, buffer, sizeof buffer);
            if (n > 0) {
                pJob->out.append(buffer, static_cast<std::size_t>(n));
                if (!pJob->bTransferEnded && pJob->out.find('\n') != std::string::npos)
                    EndTransferOf(pJob);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno == EAGAIN)
                return;
            break;  // the end: the worker has closed its output, it is ending
        }
        ::close(pJob->nOutFd);
        pJob->nOutFd = -1;
        int status = 0;
        while (::waitpid(pJob->pid, &status, 0) < 0 && errno == EINTR) {
        }
        OnFinished(pJob, WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    }

    // The router's part of a job is over: the next transfer may start, to this router as well.
    void EndTransferOf(Job* pJob)
    {
        pJob->bTransferEnded = true;
        --m_nTransferring;
        m_busyAddresses.erase(pJob->pRow->strAddress);
    }

    void OnFinished(Job* pJob, int nExit)
    {
        const auto it = m_running.find(pJob);
        std::unique_ptr<Job> job = std::move(it->second);
        m_running.erase(it);
        if (!job->bTransferEnded)
            EndTransferOf(job.get());
        const InventoryRow& row = *job->pRow;

        // The transfer's JSON line, then the worker's own line on putting the copy into place.
        QJsonObject child, placed;
        const QList<QByteArray> lines = QByteArray::fromStdString(job->out).trimmed().split('\n');
        if (!lines.isEmpty()) {
            const QJsonDocument document = QJsonDocument::fromJson(lines.front());
            if (document.isObject())
                child = document.object();
        }
        if (lines.size() >= 2) {
            const QJsonDocument document = QJsonDocument::fromJson(lines.back());
            if (document.isObject())
                placed = document.object();
        }

        RouterResult result{row.strName, row.strAddress, RouterState::Failed, false, {}, {}};
        const QString placedHow = placed.value("placed").toString();
        if (nExit == CLI_EXIT_OK && child.value("ok").toBool() && (placedHow == "changed" || placedHow == "unchanged")) {
            result.state = RouterState::Ok;
            result.bChanged = placedHow == "changed";
        } else if (nExit == CLI_EXIT_OK && child.value("ok").toBool() && placedHow == "failed") {
            SetLocalFailure(result, child, placed.value("error").toString().toStdString());
        } else if (job->bStopped) {
            ++m_counts.nNotDone;
            std::error_code ec;
            fs::remove(job->workFile, ec);
            return;
        } else if (child.value("ok").toBool()) {
            SetLocalFailure(result, child, "the worker ended before the copy was put into place (exit status "
                                               + std::to_string(nExit) + ")");
        } else if (child.isEmpty()) {
            child = ResultWithoutChild(row);
            SetLocalFailure(result, child,
                            "the transfer ended without a result (exit status " + std::to_string(nExit) + ")");
        } else {
            result.strMessage = child.value("message").toString().toStdString();
            result.strCode = child.value("code").toString().toStdString();
        }
        std::error_code ec;
        fs::remove(job->workFile, ec);
        Count(row, result, child);
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

    // A fault on this machine after the router answered: the copy in DIR stays as it was.
    void SetLocalFailure(RouterResult& result, QJsonObject& child, const std::string& strText)
    {
        result.state = RouterState::Failed;
        result.strMessage = strText;
        result.strCode.clear();
        child.insert("ok", false);
        child.insert("code", QJsonValue());
        child.insert("class", "local");
        child.insert("message", QString::fromStdString(strText));
    }

    void Report(const InventoryRow& row, const RouterResult& result, const QJsonObject& child)
    {
        ClearProgress();
        if (m_options.bJson) {
            const QJsonObject object = RouterJson(child, result, fs::absolute(ConfPath(row)).string(), row.fileNumber);
            const QByteArray line = JsonLine(object);
            WriteOut(std::string_view(line.constData(), static_cast<std::size_t>(line.size())));
        } else {
            WriteOut(FormatRouterLine(result, m_nNameWidth));
        }
        DrawProgress();
    }

    void DrawProgress()
    {
        if (!m_bTerminal)
            return;
        m_counts.seconds = Seconds();
        WriteErr("\r\033[K" + FormatBackupProgress(m_counts, m_nTransferring));
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
        m_pending.clear();
        // A worker past its transfer finishes putting its copy into place, and is reported.
        for (auto& [pJob, job] : m_running) {
            if (pJob->bTransferEnded)
                continue;
            pJob->bStopped = true;
            ::kill(pJob->pid, SIGTERM);
        }
    }

    int Finish()
    {
        ClearProgress();
        if (m_counts.nChanged > 0)
            FlushFolder(m_outDir);
        int nExit = m_counts.nFailed > 0 ? CLI_EXIT_FAILED : CLI_EXIT_OK;
        std::optional<std::string> commit;
        if (m_pGit) {
            // The copies of the routers that answered: a failed router's old copy is no news. A copy
            // replaced by a run that was killed before its commit is taken up here too, as it differs
            // from the last commit.
            std::vector<std::string> files;
            for (const InventoryRow& row : m_inventory.rows) {
                const auto it = m_results.find(row.strName);
                if (it != m_results.end() && it->second.state == RouterState::Ok)
                    files.push_back(row.strName + ".conf");
            }
            const CGitStore::CommitResult committed = m_pGit->Commit(files, [&](const std::vector<std::string>& changed) {
                std::vector<RouterResult> changedRouters;
                for (const std::string& file : changed) {
                    const std::string name = file.substr(0, file.size() - std::string_view(".conf").size());
                    const auto row = std::find_if(m_inventory.rows.begin(), m_inventory.rows.end(),
                                                  [&](const InventoryRow& r) { return r.strName == name; });
                    changedRouters.push_back(RouterResult{name, row != m_inventory.rows.end() ? row->strAddress : "",
                                                          RouterState::Ok, true, {}, {}});
                }
                return FormatCommitMessage(changedRouters, m_failed);
            });
            if (!committed.bOk) {
                WriteErr("velnor-tftp: the backup's commit failed: " + EscapeForTerminal(committed.strError) + "\n");
                nExit = CLI_EXIT_FAILED;
            }
            commit = committed.hash;
        }
        m_counts.seconds = Seconds();
        if (m_options.bJson) {
            const QByteArray line = JsonLine(SummaryJson(m_counts, m_nSignal != 0, commit));
            WriteOut(std::string_view(line.constData(), static_cast<std::size_t>(line.size())));
        } else {
            std::string text = FormatBackupSummary(m_counts, m_nSignal != 0);
            if (m_pGit)
                text += commit ? "Committed " + commit->substr(0, 12) + "\n" : std::string("Nothing to commit\n");
            WriteOut(text);
        }
        if (m_nSignal)
            nExit = kExitInterruptBase + m_nSignal;
        return nExit;
    }

    const BackupOptions& m_options;
    Inventory m_inventory;
    fs::path m_outDir;
    TransferMain m_transferMain;
    const InventoryRow* m_pRowOfWorker = nullptr;  // in a worker: its router
    bool m_bTerminal;
    CWorkFolder* m_pWork = nullptr;
    CGitStore* m_pGit = nullptr;
    long long m_nStart = 0;
    std::deque<const InventoryRow*> m_pending;
    std::map<Job*, std::unique_ptr<Job>> m_running;
    std::set<std::string> m_busyAddresses;
    int m_nTransferring = 0;  // running jobs whose transfer has not ended
    std::map<std::string, RouterResult> m_results;
    std::vector<RouterResult> m_failed;
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

// DIR exists (created when missing) and is a folder this process may write into; leftovers of a run
// that lost power are removed.
std::optional<std::string> PrepareOutDir(const fs::path& dir)
{
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (!fs::is_directory(dir, ec))
        return "the output folder " + EscapeForTerminal(dir.string()) + " is not a folder";
    if (::access(dir.c_str(), W_OK | X_OK) != 0)
        return "cannot write into the output folder " + EscapeForTerminal(dir.string());
    for (const fs::directory_entry& entry : fs::directory_iterator(dir, ec)) {
        if (IsOurLeftover(entry.path().filename().string()))
            fs::remove(entry.path(), ec);
    }
    return std::nullopt;
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

    Inventory inventory = LoadInventory(options.strInventory, options.passwordFile);
    if (!inventory.problems.empty()) {
        return Refuse(options,
                      FormatInventoryProblems(options.strInventory, inventory.problems)
                          + "velnor-tftp backup: the inventory was refused; nothing was sent\n",
                      inventory.problems);
    }
    const fs::path outDir = options.strOutDir;
    if (std::optional<std::string> error = PrepareOutDir(outDir))
        return Refuse(options, "velnor-tftp backup: " + *error + "\n", {});

    std::unique_ptr<CGitStore> git;
    if (options.bGit) {
        git = std::make_unique<CGitStore>(outDir);
        std::string error;
        if (!git->Prepare(error))
            return Refuse(options, "velnor-tftp backup: " + EscapeForTerminal(error) + "\n", {});
    }
    CWorkFolder work;
    if (!work.IsValid())
        return Refuse(options, "velnor-tftp backup: cannot create a work folder in the temporary folder\n", {});

    RaiseDescriptorLimit();
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

    CBackupRun run(options, std::move(inventory), outDir, transferMain);
    const int nExit = run.Run(work, git.get(), signalFds[0]);

    ::signal(SIGINT, SIG_DFL);
    ::signal(SIGTERM, SIG_DFL);
    ::close(signalFds[0]);
    ::close(signalFds[1]);
    return nExit;
}
