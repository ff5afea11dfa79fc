#pragma once
// Helpers for the settings tests: a current directory of the test's own, and a count of the wait
// cursor's shows and restores.

#include <filesystem>
#include <functional>

#include "TestSupport.h"
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

using testsupport::RunWithoutPrivileges;
using testsupport::UnprivilegedRun;

}  // namespace settingstest
