#pragma once
// The programs a backup tells of a router's change of state (`--hook`): each run once per event,
// without a shell, the event in its environment (VELNOR_EVENT, VELNOR_ROUTER, ...), at most a few at
// a time and each for a bounded time. What a hook writes goes to the backup's standard error with the
// hook's name in front; a hook that fails or runs too long is a warning, never the backup's failure.

#include <string>
#include <utility>
#include <vector>

inline constexpr int kHooksAtOnce = 4;

struct HookEvent {
    std::string strEvent;  // changed, failed, recovered, stale, run_done
    std::vector<std::pair<std::string, std::string>> variables;  // VELNOR_* names and values
};

// Whether strProgram names a program this process may run: a path with a "/", or a name found in PATH.
bool IsRunnableProgram(const std::string& strProgram);

// Runs every program once per event (the events in their order, run_done last), and returns how many
// of those runs failed: a non-zero exit, a signal, a program that could not start or was ended after
// nTimeoutSeconds. Each failure is a warning on standard error.
int RunHooks(const std::vector<std::string>& programs, const std::vector<HookEvent>& events, int nTimeoutSeconds);
