#pragma once
// The end of a backup run as it is told: the summary line or block for a person, or the summary JSON
// line for a script, from what the run did.

#include <QJsonObject>

#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "BackupReport.h"
#include "GitPush.h"

struct RunEnd {
    BackupCounts counts;
    bool bInterrupted = false;
    bool bGit = false;
    std::optional<std::string> commit;       // the new commit
    std::optional<std::string> commitError;  // the commit failed: why
    std::optional<PushResult> pushed;        // with --push
    std::vector<std::string> failed;         // in the list's order
    std::vector<std::string> notDone;        // in the list's order
    std::vector<std::string> pruned;
    int nHooksFailed = 0;
};

QJsonObject RunEndJson(const RunEnd& end, std::time_t now);

// bQuiet: the summary alone, with the local time before it; bTerminal: at most ten names per list.
std::string RunEndText(const RunEnd& end, bool bQuiet, bool bTerminal, std::time_t now);
