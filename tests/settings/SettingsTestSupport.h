#pragma once
// Helpers for the settings tests: a current directory of the test's own, and a count of the wait
// cursor's shows and restores.

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "WaitCursor.h"

namespace settingstest {

// Makes a folder the current directory for the guard's lifetime. Each test case runs as its own
// process under ctest, so changing the process-wide directory disturbs nobody.
class CurrentDirGuard {
public:
    explicit CurrentDirGuard(const std::filesystem::path& folder)
        : m_previous(std::filesystem::current_path())
    {
        std::filesystem::current_path(folder);
    }
    ~CurrentDirGuard()
    {
        std::error_code ec;
        std::filesystem::current_path(m_previous, ec);
    }
    CurrentDirGuard(const CurrentDirGuard&) = delete;
    CurrentDirGuard& operator=(const CurrentDirGuard&) = delete;

private:
    std::filesystem::path m_previous;
};

// Installs counting wait-cursor hooks and removes them again.
class CursorCounter {
public:
    CursorCounter()
    {
        SetWaitCursorHooks([this] { ++m_nShown; ++m_nDepth; },
                           [this] {
                               ++m_nRestored;
                               if (--m_nDepth < 0)
                                   m_bRestoredUnshown = true;
                           });
    }
    ~CursorCounter() { SetWaitCursorHooks({}, {}); }
    CursorCounter(const CursorCounter&) = delete;
    CursorCounter& operator=(const CursorCounter&) = delete;

    int Shown() const { return m_nShown; }
    int Restored() const { return m_nRestored; }
    // Shows not yet restored.
    int Depth() const { return m_nDepth; }
    // A restore came without a show before it.
    bool RestoredUnshown() const { return m_bRestoredUnshown; }

private:
    int m_nShown = 0;
    int m_nRestored = 0;
    int m_nDepth = 0;
    bool m_bRestoredUnshown = false;
};

enum class UnprivilegedRun { Passed, Failed, NotPossible };

// Runs check as an unprivileged user (nobody) in a child process when the tests run as root, who
// reads and writes files whatever their permissions; otherwise runs it here. Folders the child
// must reach have to be open to everyone.
inline UnprivilegedRun RunWithoutPrivileges(const std::function<bool()>& check)
{
    if (::geteuid() != 0)
        return check() ? UnprivilegedRun::Passed : UnprivilegedRun::Failed;
    constexpr int NOT_POSSIBLE = 77;
    const pid_t pid = ::fork();
    if (pid < 0)
        return UnprivilegedRun::NotPossible;
    if (pid == 0) {
        constexpr uid_t NOBODY = 65534;
        if (::setgroups(0, nullptr) != 0 || ::setgid(NOBODY) != 0 || ::setuid(NOBODY) != 0)
            ::_exit(NOT_POSSIBLE);
        // _exit: the child must not run the test framework's or the sanitizer's exit work.
        ::_exit(check() ? 0 : 1);
    }
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return UnprivilegedRun::Failed;
    if (WEXITSTATUS(status) == NOT_POSSIBLE)
        return UnprivilegedRun::NotPossible;
    return WEXITSTATUS(status) == 0 ? UnprivilegedRun::Passed : UnprivilegedRun::Failed;
}

}  // namespace settingstest
