#pragma once
// A program run to its end with plain POSIX calls: its input written, its output and errors collected.
// The backup's main process holds no Qt application (its workers are forked from it and make their
// own), so git runs through this instead of QProcess.

#include <functional>
#include <string>
#include <string_view>
#include <vector>

struct ProgramRun {
    bool bStarted = false;
    bool bTimedOut = false;  // killed after the wait
    int nExit = -1;          // -1 when a signal ended it
    std::string out, err;
};

// argv[0] is looked up in PATH. env: NAME=VALUE entries added to (or replacing in) this process's
// environment, of which only the variables that inherit accepts by name pass on (all without it). The
// child runs in a process group of its own, so that a Ctrl+C meant for the caller does not end it
// halfway; after nWaitMs the whole group is killed. A child that stops reading its input is no harm
// to the caller (no SIGPIPE).
ProgramRun RunProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                      const std::string& input, int nWaitMs,
                      const std::function<bool(std::string_view)>& inherit = {});
