#include "ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace {

long long NowMs()
{
    timespec ts {};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

ProgramRun RunProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                      const std::string& input, int nWaitMs, const std::function<bool(std::string_view)>& inherit)
{
    ProgramRun run;
    // Its input through a socket rather than a pipe: written with MSG_NOSIGNAL, a program that stops
    // reading it is an error here, never a SIGPIPE that ends the caller.
    int inPipe[2], outPipe[2], errPipe[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, inPipe) != 0)
        return run;
    if (::pipe2(outPipe, O_CLOEXEC) != 0) {
        ::close(inPipe[0]);
        ::close(inPipe[1]);
        return run;
    }
    if (::pipe2(errPipe, O_CLOEXEC) != 0) {
        for (int fd : {inPipe[0], inPipe[1], outPipe[0], outPipe[1]})
            ::close(fd);
        return run;
    }

    // The environment: ours, with the given entries in place of any of the same name.
    std::vector<std::string> entries;
    for (char** e = environ; e && *e; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        if (inherit && !inherit(name))
            continue;
        bool bReplaced = false;
        for (const std::string& own : env)
            bReplaced = bReplaced || own.compare(0, name.size() + 1, name + "=") == 0;
        if (!bReplaced)
            entries.push_back(entry);
    }
    entries.insert(entries.end(), env.begin(), env.end());
    std::vector<char*> envp, args;
    for (std::string& entry : entries)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::vector<std::string> argvCopy = argv;
    for (std::string& arg : argvCopy)
        args.push_back(arg.data());
    args.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, inPipe[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    const int nSpawn = ::posix_spawnp(&pid, args[0], &actions, &attr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    ::close(inPipe[0]);
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    if (nSpawn != 0) {
        ::close(inPipe[1]);
        ::close(outPipe[0]);
        ::close(errPipe[0]);
        return run;
    }
    run.bStarted = true;

    // Write the input and read both outputs together: a large output must not block the writer.
    int inFd = inPipe[1];
    ::fcntl(inFd, F_SETFL, O_NONBLOCK);
    std::size_t nWritten = 0;
    if (input.empty()) {
        ::close(inFd);
        inFd = -1;
    }
    int outFds[2] = {outPipe[0], errPipe[0]};
    std::string* sinks[2] = {&run.out, &run.err};
    const long long deadline = NowMs() + nWaitMs;
    while (outFds[0] >= 0 || outFds[1] >= 0) {
        pollfd fds[3];
        int n = 0;
        for (int k = 0; k < 2; ++k) {
            if (outFds[k] >= 0)
                fds[n++] = pollfd{outFds[k], POLLIN, 0};
        }
        if (inFd >= 0)
            fds[n++] = pollfd{inFd, POLLOUT, 0};
        const long long left = deadline - NowMs();
        if (left <= 0) {
            run.bTimedOut = true;
            // The whole group: what the program started (a hook, its children) goes with it.
            ::kill(-pid, SIGKILL);
            break;
        }
        const int nReady = ::poll(fds, static_cast<nfds_t>(n), static_cast<int>(left));
        if (nReady < 0 && errno != EINTR)
            break;
        for (int i = 0; i < n && nReady > 0; ++i) {
            if (fds[i].revents == 0)
                continue;
            if (fds[i].fd == inFd) {
                const ssize_t w = ::send(inFd, input.data() + nWritten, input.size() - nWritten, MSG_NOSIGNAL);
                if (w > 0)
                    nWritten += static_cast<std::size_t>(w);
                if (w < 0 && errno != EAGAIN && errno != EINTR)
                    nWritten = input.size();  // the reader went away
                if (nWritten >= input.size()) {
                    ::close(inFd);
                    inFd = -1;
                }
                continue;
            }
            for (int k = 0; k < 2; ++k) {
                if (fds[i].fd != outFds[k])
                    continue;
                char buffer[8192];
                const ssize_t r = ::read(outFds[k], buffer, sizeof buffer);
                if (r > 0) {
                    sinks[k]->append(buffer, static_cast<std::size_t>(r));
                } else if (r == 0 || (errno != EINTR && errno != EAGAIN)) {
                    ::close(outFds[k]);
                    outFds[k] = -1;
                }
            }
        }
    }
    for (int fd : {inFd, outFds[0], outFds[1]}) {
        if (fd >= 0)
            ::close(fd);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    run.nExit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}
