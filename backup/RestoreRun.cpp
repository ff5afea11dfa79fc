#include "RestoreRun.h"

#include <QByteArray>
#include <QJsonObject>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <string_view>

#include "BackupOptions.h"
#include "BackupReport.h"
#include "BackupWorkerResult.h"
#include "CommandLine.h"
#include "ConfStore.h"
#include "ConsoleOut.h"
#include "FileBytes.h"
#include "GitStore.h"
#include "Inventory.h"
#include "JobReport.h"
#include "RevisionFile.h"
#include "ResultCodes.h"
#include "SafeText.h"
#include "TransferEntry.h"
#include "UnifiedDiff.h"
#include "WorkerChannel.h"

namespace fs = std::filesystem;

namespace {

long long NowMs()
{
    timespec ts {};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

QString Q(const std::string& text) { return QString::fromStdString(text); }

// The result line of one transfer run in a child process.
struct ChildTransfer {
    int nExit = -1;
    QJsonObject result;  // empty when the child printed none
    std::string err;     // its texts for a person (with -q, only a failure's)
};

// Reads both pipes to their ends, side by side, so that neither child stream can block the other.
void ReadToEnd(int nOutFd, int nErrFd, std::string& out, std::string& err)
{
    int fds[2] = {nOutFd, nErrFd};
    std::string* sinks[2] = {&out, &err};
    while (fds[0] >= 0 || fds[1] >= 0) {
        pollfd polled[2];
        int nPolled = 0;
        int which[2];
        for (int k = 0; k < 2; ++k) {
            if (fds[k] >= 0) {
                which[nPolled] = k;
                polled[nPolled++] = pollfd{fds[k], POLLIN, 0};
            }
        }
        if (::poll(polled, static_cast<nfds_t>(nPolled), -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (int i = 0; i < nPolled; ++i) {
            if (polled[i].revents == 0)
                continue;
            const int k = which[i];
            char buffer[4096];
            const ssize_t n = ::read(fds[k], buffer, sizeof buffer);
            if (n > 0) {
                sinks[k]->append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                ::close(fds[k]);
                fds[k] = -1;
            }
        }
    }
    for (int fd : fds) {
        if (fd >= 0)
            ::close(fd);
    }
}

// velnor-tftp's one-transfer main in a child process: its outcome (a frame of the worker's kind,
// JobReport.h) and its texts for a person read from pipes, the password written to its standard input.
ChildTransfer RunTransferChild(TransferMain transferMain, std::vector<std::string> args, const std::string& strPassword)
{
    ChildTransfer transfer;
    int pipes[3][2] = {{-1, -1}, {-1, -1}, {-1, -1}};  // standard input, the outcome, standard error
    for (auto& fds : pipes) {
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            for (auto& opened : pipes) {
                for (int fd : opened) {
                    if (fd >= 0)
                        ::close(fd);
                }
            }
            return transfer;
        }
    }
    // Nothing buffered may be written twice, by us and by the copy.
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        constexpr int kOutcomeFd = 3;
        const int nOutcomeFd = ::fcntl(pipes[1][1], F_DUPFD_CLOEXEC, kOutcomeFd + 1);
        ::dup2(pipes[0][0], STDIN_FILENO);
        ::dup2(pipes[2][1], STDERR_FILENO);
        ::dup2(nOutcomeFd, kOutcomeFd);
        ::close_range(kOutcomeFd + 1, ~0U, 0);
        // Nothing of the transfer's own output is read: its outcome comes typed.
        const int nNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        ::dup2(nNull, STDOUT_FILENO);
        std::vector<char*> argv;
        for (std::string& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        std::optional<CliOutcome> outcome;
        const int nExit = transferMain(static_cast<int>(args.size()), argv.data(), &outcome);
        std::fflush(nullptr);
        WriteAllTo(kOutcomeFd, EncodeTransferFrame(nExit, outcome));
        ::_exit(nExit);
    }
    for (int fd : {pipes[0][0], pipes[1][1], pipes[2][1]})
        ::close(fd);
    if (pid < 0) {
        for (int fd : {pipes[0][1], pipes[1][0], pipes[2][0]})
            ::close(fd);
        return transfer;
    }
    // A password fits the pipe's buffer: the write never waits.
    if (!strPassword.empty())
        [[maybe_unused]] const ssize_t n = ::write(pipes[0][1], strPassword.data(), strPassword.size());
    ::close(pipes[0][1]);
    std::string out;
    ReadToEnd(pipes[1][0], pipes[2][0], out, transfer.err);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    transfer.nExit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::vector<std::string> fields;
    JobReport report;
    bool bEnded = false;
    if (TakeFrame(out, fields) == FrameTake::Whole && ApplyJobFrame(fields, report, bEnded) && report.transfer)
        transfer.result = ChildJson(*report.transfer);
    return transfer;
}

// A new file of ours alone with these bytes.
bool WriteNewFile(const fs::path& path, const std::string& bytes)
{
    const int nFd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (nFd < 0)
        return false;
    const bool bWritten = WriteAllTo(nFd, bytes);
    return ::close(nFd) == 0 && bWritten;
}

class CRestoreRun {
public:
    CRestoreRun(const RestoreOptions& options, TransferMain transferMain)
        : m_options(options), m_transferMain(transferMain), m_nStart(NowMs())
    {
        m_confPath = fs::absolute(fs::path(options.strOutDir) / (options.strName + ".conf")).lexically_normal();
        m_strShownCopy = (fs::path(options.strOutDir) / (options.strName + ".conf")).string();
        if (options.revision)
            m_strShownCopy += "@" + *options.revision;
    }

    int Run();

private:
    int Refuse(const std::string& strText);
    int Check(const std::string& bytes, const fs::path& workDir);
    int Restore(const std::string& bytes, const fs::path& workDir);
    std::vector<std::string> TransferArgs(const char* pOperation, const fs::path& localFile) const;
    // The transfer failed: its result line, as ours.
    int Failed(const ChildTransfer& transfer, const std::string& strWhat);
    int End(QJsonObject object, int nExit);
    void Say(const std::string& text) const
    {
        if (!m_options.bQuiet)
            WriteErr("velnor-tftp restore: " + text + "\n");
    }
    std::string RouterLabel() const { return "router " + m_options.strName + " (" + m_pRow->strAddress + ")"; }

    const RestoreOptions& m_options;
    TransferMain m_transferMain;
    long long m_nStart;
    fs::path m_confPath;         // DIR/NAME.conf, absolute
    std::string m_strShownCopy;  // DIR/NAME.conf, or DIR/NAME.conf@REV
    Inventory m_inventory;
    const InventoryRow* m_pRow = nullptr;
    std::optional<std::string> m_commit;  // the revision's full commit id
};

int CRestoreRun::End(QJsonObject object, int nExit)
{
    if (!m_options.bJson)
        return nExit;
    object.insert("operation", "restore");
    object.insert("local_file", Q(m_confPath.string()));
    object.insert("name", Q(m_options.strName));
    object.insert("revision", m_commit ? QJsonValue(Q(*m_commit)) : QJsonValue());
    object.insert("seconds", static_cast<double>(NowMs() - m_nStart) / 1000.0);
    for (const char* field : {"verified", "router_text", "code", "class"}) {
        if (!object.contains(field))
            object.insert(field, QJsonValue());
    }
    const QByteArray line = JsonLine(object);
    WriteOut(std::string_view(line.constData(), static_cast<std::size_t>(line.size())));
    return nExit;
}

// Refused before anything was sent.
int CRestoreRun::Refuse(const std::string& strText)
{
    WriteErr("velnor-tftp restore: " + strText + "; nothing was sent\n");
    QJsonObject object;
    object.insert("router", m_pRow ? QJsonValue(Q(m_pRow->strAddress)) : QJsonValue());
    object.insert("file_number",
                  m_pRow && m_pRow->fileNumber ? QJsonValue(std::stoi(*m_pRow->fileNumber)) : QJsonValue());
    object.insert("ok", false);
    object.insert("class", QString::fromUtf8(kClassInput.data(), static_cast<qsizetype>(kClassInput.size())));
    object.insert("message", Q(strText));
    object.insert("bytes", 0);
    object.insert("changed", false);
    return End(object, CLI_EXIT_USAGE);
}

std::vector<std::string> CRestoreRun::TransferArgs(const char* pOperation, const fs::path& localFile) const
{
    std::vector<std::string> args{"velnor-tftp", pOperation, "-q"};
    // An empty password is no password: the router's names without one.
    if (!m_pRow->strPassword.empty()) {
        args.push_back("--password-file");
        args.push_back("-");
    }
    if (m_pRow->fileNumber) {
        args.push_back("--file-number");
        args.push_back(*m_pRow->fileNumber);
    }
    if (m_options.timeoutSeconds) {
        args.push_back("--timeout");
        args.push_back(std::to_string(*m_options.timeoutSeconds));
    }
    args.push_back("--");
    args.push_back(m_pRow->strAddress);
    args.push_back(localFile.string());
    return args;
}

int CRestoreRun::Failed(const ChildTransfer& transfer, const std::string& strWhat)
{
    QJsonObject object = transfer.result;
    if (object.isEmpty()) {
        object.insert("router", Q(m_pRow->strAddress));
        object.insert("ok", false);
        object.insert("class", "local");
        object.insert("message", Q("the transfer ended without a result (exit status "
                                   + std::to_string(transfer.nExit) + ")"));
        object.insert("bytes", 0);
        object.insert("changed", false);
    }
    // The transfer's own words first (the window's message and its code, the router's text), then
    // which step of the restore failed.
    std::string line = "velnor-tftp restore: " + strWhat + " " + RouterLabel() + " failed";
    if (transfer.err.empty()) {
        std::string message = object.value("message").toString().toStdString();
        std::replace(message.begin(), message.end(), '\n', ' ');
        line += ": " + EscapeForTerminal(message);
    }
    WriteErr(transfer.err + line + "\n");
    object.insert("verified", m_options.bCheck ? QJsonValue() : QJsonValue(false));
    return End(object, transfer.nExit == CLI_EXIT_USAGE ? CLI_EXIT_USAGE : CLI_EXIT_FAILED);
}

int CRestoreRun::Run()
{
    const RestoreOptions& options = m_options;
    m_inventory = LoadInventory(options.strInventory, options.passwordFile);
    if (!m_inventory.problems.empty()) {
        WriteErr(FormatInventoryProblems(options.strInventory, m_inventory.problems));
        return Refuse("the inventory was refused");
    }
    for (const InventoryRow& row : m_inventory.rows) {
        if (row.strName == options.strName)
            m_pRow = &row;
    }
    if (!m_pRow)
        return Refuse("no router " + EscapeForTerminal(options.strName) + " in " + EscapeForTerminal(options.strInventory));
    if (m_pRow->bDown && !options.bForce) {
        return Refuse("router " + options.strName + " is marked down in " + EscapeForTerminal(options.strInventory)
                      + " (--force restores it all the same)");
    }

    // The copy to send, read while the folder is ours to read: a backup that runs meanwhile replaces
    // no file and makes no commit under our feet.
    std::string bytes;
    {
        StoredCopy copy = ReadStoredCopy(options.strOutDir, options.strName + ".conf", options.revision,
                                         options.waitLockSeconds.value_or(0));
        if (!copy.strError.empty())
            return Refuse(copy.strError);
        bytes = std::move(copy.bytes);
        m_commit = std::move(copy.commit);
    }

    CWorkFolder work;
    if (!work.IsValid())
        return Refuse("cannot create a work folder in the temporary folder");
    return options.bCheck ? Check(bytes, work.Path()) : Restore(bytes, work.Path());
}

int CRestoreRun::Check(const std::string& bytes, const fs::path& workDir)
{
    const fs::path routerFile = workDir / "router.conf";
    const ChildTransfer read = RunTransferChild(m_transferMain, TransferArgs("get", routerFile), m_pRow->strPassword);
    // A router without that file yet (a new unit) would get the whole copy: everything is added.
    const bool bMissing = read.result.value("code").toString().toStdString() == CodeText(TFTP_ERR_NO_SUCH_FILE);
    if ((read.nExit != CLI_EXIT_OK || !read.result.value("ok").toBool()) && !bMissing)
        return Failed(read, "reading the file of");
    std::string routerBytes;
    if (!bMissing && !ReadFileBytes(routerFile, routerBytes)) {
        ChildTransfer failed;
        failed.nExit = CLI_EXIT_FAILED;
        return Failed(failed, "reading the file of");
    }
    const bool bChanged = routerBytes != bytes;
    const std::string diff = DiffForTerminal(routerBytes, bytes, RouterLabel(), m_strShownCopy);
    // The diff is the result of the run: on standard output, unless that holds the JSON line.
    if (m_options.bJson)
        WriteErr(diff);
    else
        WriteOut(diff);
    const std::string text = bChanged ? "check passed; a restore would change the router's file"
                                      : "the router's file is the same as " + m_strShownCopy + "; nothing was sent";
    Say(EscapeForTerminal(text));
    QJsonObject object = read.result;
    object.insert("ok", true);
    for (const char* field : {"code", "class", "router_text"})
        object.insert(field, QJsonValue());
    object.insert("message", Q(text));
    object.insert("changed", bChanged);
    object.insert("verified", QJsonValue());
    return End(object, CLI_EXIT_OK);
}

int CRestoreRun::Restore(const std::string& bytes, const fs::path& workDir)
{
    // The bytes to send, in a private file: a revision's copy is nowhere else on the disk, and a
    // working copy replaced meanwhile must not change what is sent halfway.
    const fs::path sendFile = workDir / "send.conf";
    if (!WriteNewFile(sendFile, bytes))
        return Refuse("cannot write the copy to send into the work folder");
    const ChildTransfer sent = RunTransferChild(m_transferMain, TransferArgs("put", sendFile), m_pRow->strPassword);
    if (sent.nExit != CLI_EXIT_OK || !sent.result.value("ok").toBool())
        return Failed(sent, "sending " + EscapeForTerminal(m_strShownCopy) + " to");

    const fs::path readFile = workDir / "read-back.conf";
    const ChildTransfer read = RunTransferChild(m_transferMain, TransferArgs("get", readFile), m_pRow->strPassword);
    if (read.nExit != CLI_EXIT_OK || !read.result.value("ok").toBool()) {
        ChildTransfer failed = read;
        failed.result.insert("changed", true);  // the put was acknowledged
        return Failed(failed, "the file was sent, but reading it back from");
    }
    std::string readBytes;
    ReadFileBytes(readFile, readBytes);
    QJsonObject object = sent.result;
    if (readBytes != bytes) {
        std::size_t nFirst = 0;
        while (nFirst < readBytes.size() && nFirst < bytes.size() && readBytes[nFirst] == bytes[nFirst])
            ++nFirst;
        const std::string text = "the router holds other bytes than were sent: sent " + std::to_string(bytes.size())
                                 + " bytes of " + m_strShownCopy + ", read back " + std::to_string(readBytes.size())
                                 + " bytes, first difference at byte " + std::to_string(nFirst);
        WriteErr("velnor-tftp restore: " + EscapeForTerminal(text) + "\n");
        WriteErr(DiffForTerminal(bytes, readBytes, "sent " + m_strShownCopy, "read back from " + RouterLabel()));
        object.insert("ok", false);
        object.insert("code", QJsonValue());
        object.insert("class", QString::fromUtf8(kClassProtocol.data(), static_cast<qsizetype>(kClassProtocol.size())));
        object.insert("message", Q(text));
        object.insert("verified", false);
        return End(object, CLI_EXIT_FAILED);
    }
    Say(EscapeForTerminal(RouterLabel() + " holds " + m_strShownCopy + " again (" + std::to_string(bytes.size())
                          + " bytes, read back and verified)"));
    object.insert("verified", true);
    return End(object, CLI_EXIT_OK);
}

}  // namespace

RestoreParseResult ParseRestoreCommandLine(const std::vector<std::string>& args)
{
    RestoreParseResult result;
    RestoreOptions& o = result.options;
    auto usageError = [&](std::string text) {
        result.action = RestoreAction::UsageError;
        result.strError = std::move(text);
        return result;
    };
    std::vector<std::string> names;
    bool bOptionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (bOptionsEnded || arg.empty() || arg[0] != '-') {
            names.push_back(arg);
            continue;
        }
        if (arg == "--") {
            bOptionsEnded = true;
            continue;
        }
        if (arg == "-h" || arg == "--help") {
            result.action = RestoreAction::Help;
            return result;
        }
        bool* pFlag = arg == "--check" ? &o.bCheck
                      : arg == "--json" ? &o.bJson
                      : arg == "--force" ? &o.bForce
                      : (arg == "-q" || arg == "--quiet") ? &o.bQuiet
                                                          : nullptr;
        if (pFlag) {
            if (*pFlag)
                return usageError("option " + arg + " is given twice");
            *pFlag = true;
            continue;
        }
        // "--name value" or "--name=value".
        auto [name, value] = SplitLongOption(arg);
        static constexpr std::string_view kTakesValue[] = {"--inventory", "--out", "--revision", "--password-file",
                                                           "--timeout", "--wait-lock"};
        bool bTakesValue = false;
        for (std::string_view known : kTakesValue)
            bTakesValue = bTakesValue || name == known;
        if (!bTakesValue)
            return usageError("unknown option " + EscapeForTerminal(arg) + " for restore");
        if (!value) {
            if (i + 1 >= args.size())
                return usageError("option " + name + " needs a value");
            value = args[++i];
        }
        if (name == "--timeout") {
            if (o.timeoutSeconds)
                return usageError("option --timeout is given twice");
            o.timeoutSeconds = ParseBounded(*value, CLI_MIN_TIMEOUT, CLI_MAX_TIMEOUT);
            if (!o.timeoutSeconds) {
                return usageError("invalid --timeout \"" + EscapeForTerminal(*value) + "\": use "
                                  + std::to_string(CLI_MIN_TIMEOUT) + " to " + std::to_string(CLI_MAX_TIMEOUT)
                                  + " seconds");
            }
            continue;
        }
        if (name == "--wait-lock") {
            if (o.waitLockSeconds)
                return usageError("option --wait-lock is given twice");
            o.waitLockSeconds = ParseBounded(*value, 0, kMaxWaitLockSeconds);
            if (!o.waitLockSeconds) {
                return usageError("invalid --wait-lock \"" + EscapeForTerminal(*value) + "\": use 0 to "
                                  + std::to_string(kMaxWaitLockSeconds) + " seconds");
            }
            continue;
        }
        if (value->empty())
            return usageError("option " + name + " needs a value");
        std::optional<std::string>* pSlot = name == "--revision" ? &o.revision
                                            : name == "--password-file" ? &o.passwordFile
                                                                        : nullptr;
        if (!pSlot) {
            std::string& text = name == "--inventory" ? o.strInventory : o.strOutDir;
            if (!text.empty())
                return usageError("option " + name + " is given twice");
            text = *value;
            continue;
        }
        if (*pSlot)
            return usageError("option " + name + " is given twice");
        *pSlot = *value;
    }
    if (o.strInventory.empty())
        return usageError("restore needs --inventory FILE");
    if (o.strOutDir.empty())
        return usageError("restore needs --out DIR");
    if (names.size() != 1)
        return usageError("restore takes one argument: the NAME of a router in the inventory");
    o.strName = names.front();
    if (!IsValidInventoryName(o.strName))
        return usageError("invalid router name \"" + EscapeForTerminal(o.strName) + "\"");
    result.action = RestoreAction::Run;
    return result;
}

std::string RestoreUsageText()
{
    return "Usage: velnor-tftp restore --inventory FILE --out DIR NAME [--revision REV] [--check]\n"
           "                           [--force] [--json] [--timeout S] [--password-file F]\n"
           "                           [--wait-lock S] [-q]\n"
           "\n"
           "Sends the stored copy of router NAME, DIR/NAME.conf, back to that router as a configuration\n"
           "file, with the address, file number and password file that FILE (the backup's list) gives\n"
           "it, then reads the router's file back and compares it byte for byte. Success only when the\n"
           "router holds exactly the bytes sent. Nothing in DIR is changed.\n"
           "\n"
           "Options:\n"
           "      --revision REV      the copy as it was in git revision REV of DIR (a commit, a tag,\n"
           "                          HEAD~3, or a date such as @{2026-12-01}: the last commit before\n"
           "                          it) instead of the working copy\n"
           "      --check             send no write request: read the router's file and print the\n"
           "                          unified diff from it to the copy on standard output (standard\n"
           "                          error with --json); exit 0 whether or not they differ\n"
           "      --force             restore a router marked down in FILE too\n"
           "      --json              one JSON line on standard output, with the fields of put --json\n"
           "                          (operation \"restore\") plus name, revision (the full commit id, or\n"
           "                          null for the working copy) and verified (the read back matched;\n"
           "                          null with --check)\n"
           "      --timeout S         the wait for each answer of the router (1-60 s, default 5)\n"
           "      --wait-lock S       when a backup holds DIR, wait up to S seconds for it (0-3600,\n"
           "                          default 0: refused at once)\n"
           "      --password-file F   the password when the router's row names no password_file\n"
           "                          (- for standard input)\n"
           "  -q, --quiet             show nothing but failures\n"
           "\n"
           "Exit status: 0 restored and verified (with --check: the router was read), 1 a transfer\n"
           "failed or the router holds other bytes than were sent, 2 refused before anything was sent\n"
           "(an unknown NAME, a router marked down, a revision that does not exist or does not hold\n"
           "the file, a folder that is not a backup folder or that a backup holds, the command line).\n";
}

int RunRestoreCommand(const std::vector<std::string>& args, TransferMain transferMain)
{
    const RestoreParseResult parsed = ParseRestoreCommandLine(args);
    if (parsed.action == RestoreAction::Help) {
        WriteOut(RestoreUsageText());
        return CLI_EXIT_OK;
    }
    if (parsed.action == RestoreAction::UsageError) {
        WriteErr("velnor-tftp restore: " + parsed.strError
                 + "\nTry 'velnor-tftp restore --help' for more information.\n");
        if (WantsJson(args)) {
            QJsonObject object;
            object.insert("operation", "restore");
            object.insert("ok", false);
            object.insert("class", "input");
            object.insert("message", Q(parsed.strError));
            object.insert("changed", false);
            const QByteArray line = JsonLine(object);
            WriteOut(std::string_view(line.constData(), static_cast<std::size_t>(line.size())));
        }
        return CLI_EXIT_USAGE;
    }
    CRestoreRun run(parsed.options, transferMain);
    return run.Run();
}
