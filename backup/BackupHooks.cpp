#include "BackupHooks.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string_view>

#include "ConsoleOut.h"
#include "SafeText.h"
#include "TimeText.h"

extern char** environ;

namespace {

std::string BaseName(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

struct Running {
    pid_t pid = -1;
    int nOutFd = -1;
    std::string strName;   // shown in front of its lines
    std::string strEvent;
    std::string pending;   // read, not yet a whole line
    long long nDeadline = 0;
    bool bKilled = false;
};

void ShowLine(const Running& hook, std::string_view line)
{
    WriteErr(EscapeForTerminal(hook.strName) + ": " + EscapeForTerminal(line) + "\n");
}

// Starts one hook with its output and errors on one pipe; false with errno when it could not.
bool Start(const std::string& program, const HookEvent& event, int nTimeoutSeconds, Running& hook)
{
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        return false;
    // The environment: this process's, less any VELNOR_* of its own, plus the event's.
    std::vector<std::string> env;
    for (char** p = environ; p && *p; ++p) {
        if (std::strncmp(*p, "VELNOR_", 7) != 0)
            env.emplace_back(*p);
    }
    for (const auto& [name, value] : event.variables)
        env.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (std::string& entry : env)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::string programCopy = program;
    char* argv[] = {programCopy.data(), nullptr};

    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(out[0]);
        ::close(out[1]);
        return false;
    }
    if (pid == 0) {
        // A group of its own, so that the time-out ends whatever the hook started too.
        ::setpgid(0, 0);
        ::signal(SIGINT, SIG_DFL);
        ::signal(SIGTERM, SIG_DFL);
        ::signal(SIGPIPE, SIG_DFL);
        const int nNull = ::open("/dev/null", O_RDONLY);
        ::dup2(nNull, STDIN_FILENO);
        ::dup2(out[1], STDOUT_FILENO);
        ::dup2(out[1], STDERR_FILENO);
        ::close_range(3, ~0U, 0);
        if (program.find('/') != std::string::npos)
            ::execve(program.c_str(), argv, envp.data());
        else
            ::execvpe(program.c_str(), argv, envp.data());
        const std::string text = "cannot run it: " + std::string(std::strerror(errno)) + "\n";
        [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, text.data(), text.size());
        ::_exit(127);
    }
    ::setpgid(pid, pid);
    ::close(out[1]);
    ::fcntl(out[0], F_SETFL, O_NONBLOCK);
    hook.pid = pid;
    hook.nOutFd = out[0];
    hook.strName = BaseName(program);
    hook.strEvent = event.strEvent;
    hook.nDeadline = MonotonicMs() + static_cast<long long>(nTimeoutSeconds) * 1000;
    return true;
}

// Reads what has come; true at the end of its output.
bool Drain(Running& hook)
{
    char buffer[4096];
    while (true) {
        const ssize_t n = ::read(hook.nOutFd, buffer, sizeof buffer);
        if (n > 0) {
            hook.pending.append(buffer, static_cast<std::size_t>(n));
            for (std::size_t nEnd; (nEnd = hook.pending.find('\n')) != std::string::npos;) {
                ShowLine(hook, std::string_view(hook.pending).substr(0, nEnd));
                hook.pending.erase(0, nEnd + 1);
            }
            // A hook that never ends a line is still shown, in pieces.
            if (hook.pending.size() > 4096) {
                ShowLine(hook, hook.pending);
                hook.pending.clear();
            }
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        return !(n < 0 && errno == EAGAIN);
    }
}

// Waits for the ended hook; false (and a warning) when it failed.
bool Reap(Running& hook, int nTimeoutSeconds)
{
    if (!hook.pending.empty())
        ShowLine(hook, hook.pending);
    ::close(hook.nOutFd);
    int status = 0;
    while (::waitpid(hook.pid, &status, 0) < 0 && errno == EINTR) {
    }
    std::string problem;
    if (hook.bKilled)
        problem = "did not end within " + std::to_string(nTimeoutSeconds) + " s and was ended";
    else if (WIFSIGNALED(status))
        problem = "was ended by signal " + std::to_string(WTERMSIG(status));
    else if (WIFEXITED(status) && WEXITSTATUS(status) != 0)
        problem = "failed with exit status " + std::to_string(WEXITSTATUS(status));
    if (problem.empty())
        return true;
    WriteErr("velnor-tftp backup: warning: the hook " + EscapeForTerminal(hook.strName) + " (" + hook.strEvent + ") "
             + problem + "\n");
    return false;
}

}  // namespace

bool IsRunnableProgram(const std::string& strProgram)
{
    auto runnable = [](const std::string& path) {
        struct stat st {};
        return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
    };
    if (strProgram.find('/') != std::string::npos)
        return runnable(strProgram);
    const char* pPath = std::getenv("PATH");
    const std::string path = pPath ? pPath : "/usr/bin:/bin";
    std::size_t pos = 0;
    while (pos <= path.size()) {
        std::size_t end = path.find(':', pos);
        if (end == std::string::npos)
            end = path.size();
        const std::string folder = end > pos ? path.substr(pos, end - pos) : ".";
        if (runnable(folder + "/" + strProgram))
            return true;
        pos = end + 1;
    }
    return false;
}

int RunHooks(const std::vector<std::string>& programs, const std::vector<HookEvent>& events, int nTimeoutSeconds)
{
    // The router events first, run_done after all of them.
    std::deque<std::pair<const std::string*, const HookEvent*>> queue, last;
    for (const HookEvent& event : events) {
        for (const std::string& program : programs)
            (event.strEvent == "run_done" ? last : queue).emplace_back(&program, &event);
    }
    int nFailed = 0;
    std::vector<Running> running;
    auto runAll = [&](std::deque<std::pair<const std::string*, const HookEvent*>>& todo) {
        while (!todo.empty() || !running.empty()) {
            while (!todo.empty() && running.size() < static_cast<std::size_t>(kHooksAtOnce)) {
                const auto [pProgram, pEvent] = todo.front();
                todo.pop_front();
                Running hook;
                if (!Start(*pProgram, *pEvent, nTimeoutSeconds, hook)) {
                    WriteErr("velnor-tftp backup: warning: cannot start the hook " + EscapeForTerminal(*pProgram)
                             + ": " + std::strerror(errno) + "\n");
                    ++nFailed;
                    continue;
                }
                running.push_back(std::move(hook));
            }
            if (running.empty())
                continue;
            std::vector<pollfd> fds;
            long long nWait = 1000;
            const long long nNow = MonotonicMs();
            for (const Running& hook : running) {
                fds.push_back(pollfd{hook.nOutFd, POLLIN, 0});
                if (!hook.bKilled)
                    nWait = std::min(nWait, std::max(0LL, hook.nDeadline - nNow));
            }
            ::poll(fds.data(), fds.size(), static_cast<int>(nWait));
            for (std::size_t i = 0; i < running.size();) {
                Running& hook = running[i];
                bool bEnded = Drain(hook);
                if (!bEnded && !hook.bKilled && MonotonicMs() >= hook.nDeadline) {
                    // The whole group: a hook's own children must not run on.
                    ::kill(-hook.pid, SIGKILL);
                    hook.bKilled = true;
                }
                // A child that left the group may hold the pipe open: the hook itself is over.
                if (!bEnded && hook.bKilled && MonotonicMs() >= hook.nDeadline + 1000)
                    bEnded = true;
                if (bEnded) {
                    if (!Reap(hook, nTimeoutSeconds))
                        ++nFailed;
                    running.erase(running.begin() + static_cast<std::ptrdiff_t>(i));
                    continue;
                }
                ++i;
            }
        }
    };
    runAll(queue);
    runAll(last);
    return nFailed;
}
