#pragma once
// The backup's history kept on more than one disk: after its commit, the folder's branch is pushed to
// the repository's configured upstream or to a remote named on the command line. A push that fails or
// takes too long is only a warning: the copies are safe in DIR, and the next run pushes whatever is
// still missing, since a push always sends every commit the remote lacks.

#include <filesystem>
#include <optional>
#include <string>

// The time a push may take before it is given up.
inline constexpr int kPushWaitMs = 60000;

struct PushResult {
    bool bOk = false;
    std::string strRemote;  // the remote pushed to, when one was found
    std::string strError;   // for a failure: what went wrong, git's own words included
};

// Pushes the branch checked out in dir's repository to remote (or, when none is given, to the branch's
// upstream), into the upstream's branch or, for another remote, the branch of the same name.
PushResult PushHistory(const std::filesystem::path& dir, const std::optional<std::string>& remote,
                       int nWaitMs = kPushWaitMs);

// The backup's push: a failure is told on standard error as a warning, as one line.
PushResult PushAfterBackup(const std::filesystem::path& dir, const std::optional<std::string>& remote);
