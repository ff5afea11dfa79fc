#pragma once
// `velnor-tftp status --out DIR`: what the backups into DIR know of each router, read from the
// folder's state (no network). Its exit status makes it a check for a monitoring system: 0 every
// router that is up is ok, 1 any failed, stale or never backed up, 2 no state to read.

#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "BackupOptions.h"
#include "BackupState.h"

struct StatusOptions {
    std::string strOutDir;
    int nStaleAfterHours = kDefaultStaleAfterHours;  // as backup's
    bool bJson = false;
};

enum class StatusAction { Run, Help, UsageError };

struct StatusParseResult {
    StatusAction action = StatusAction::UsageError;
    StatusOptions options;
    std::string strError;
};

// args: the arguments after "status".
StatusParseResult ParseStatusCommandLine(const std::vector<std::string>& args);
std::string StatusUsageText();

// ok, failed, stale, never or skipped, as of now.
std::string RouterStatus(const RouterRecord& record, std::time_t now, int nStaleAfterHours);

// "3 min", "5 h", "9 d"; "-" for never.
std::string FormatAge(const std::optional<std::time_t>& t, std::time_t now);

// The routers that need attention first: failed, never, stale (most failures in a row first), then
// ok and skipped, by name within each.
std::vector<const RouterRecord*> SortedForAttention(const BackupState& state, std::time_t now, int nStaleAfterHours);

// The table for a person: a header and one line per router, each at most 80 columns.
std::string FormatStatusTable(const BackupState& state, std::time_t now, int nStaleAfterHours);

int RunStatusCommand(const std::vector<std::string>& args);
