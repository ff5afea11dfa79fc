// velnor-bench-measure: runs one command and reports what it cost the machine, for the benchmark
// script. GNU time rounds CPU seconds to hundredths, too coarse for a transfer of half a second; the
// kernel's own accounting of the child (wait4) is exact to the microsecond.
//
//   velnor-bench-measure [--timeout S] [--out FILE] -- COMMAND [ARG...]
//
// Prints one line to FILE (or standard output): wall seconds, user seconds, system seconds, peak
// resident KiB, exit status (128 + signal number when a signal ended it; 124 when the time-out did).

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

volatile sig_atomic_t g_nChild = 0;
volatile sig_atomic_t g_bTimedOut = 0;

void OnAlarm(int)
{
    // A benchmark that hangs must not hold the whole run: the child goes, and the result says why.
    g_bTimedOut = 1;
    if (g_nChild > 0)
        ::kill(static_cast<pid_t>(g_nChild), SIGKILL);
}

double Seconds(const timeval& tv)
{
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
}

double Now()
{
    timespec ts {};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

int Usage()
{
    std::fprintf(stderr, "usage: velnor-bench-measure [--timeout S] [--out FILE] -- COMMAND [ARG...]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    unsigned nTimeout = 0;
    const char* pOut = nullptr;
    int i = 1;
    for (; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--") {
            ++i;
            break;
        }
        if (arg == "--timeout" && i + 1 < argc) {
            nTimeout = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
        } else if (arg == "--out" && i + 1 < argc) {
            pOut = argv[++i];
        } else {
            return Usage();
        }
    }
    if (i >= argc)
        return Usage();

    struct sigaction action {};
    action.sa_handler = OnAlarm;
    ::sigemptyset(&action.sa_mask);
    ::sigaction(SIGALRM, &action, nullptr);

    const double dStart = Now();
    const pid_t nChild = ::fork();
    if (nChild < 0) {
        std::perror("fork");
        return 1;
    }
    if (nChild == 0) {
        ::execvp(argv[i], argv + i);
        std::perror(argv[i]);
        ::_exit(127);
    }
    g_nChild = nChild;
    if (nTimeout > 0)
        ::alarm(nTimeout);

    int nStatus = 0;
    rusage usage {};
    pid_t nDone;
    do {
        nDone = ::wait4(nChild, &nStatus, 0, &usage);
    } while (nDone < 0 && errno == EINTR);
    const double dWall = Now() - dStart;
    ::alarm(0);
    if (nDone < 0) {
        std::perror("wait4");
        return 1;
    }

    int nExit = 0;
    if (g_bTimedOut)
        nExit = 124;
    else if (WIFEXITED(nStatus))
        nExit = WEXITSTATUS(nStatus);
    else if (WIFSIGNALED(nStatus))
        nExit = 128 + WTERMSIG(nStatus);

    FILE* pFile = pOut ? std::fopen(pOut, "w") : stdout;
    if (!pFile) {
        std::perror(pOut);
        return 1;
    }
    // ru_maxrss is in KiB on Linux.
    std::fprintf(pFile, "%.6f %.6f %.6f %ld %d\n", dWall, Seconds(usage.ru_utime), Seconds(usage.ru_stime),
                 usage.ru_maxrss, nExit);
    if (pFile != stdout)
        std::fclose(pFile);
    return 0;
}
