#pragma once
// What the backup remembers of each router from one run to the next: DIR/.velnor/state.json, one
// record per router of the list, written whole (a temporary file renamed over the old one, mode
// 0600) at the end of every run. A damaged or foreign file is never a reason to lose data: the run
// goes on and writes a new one from what it then knows.

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include <QJsonObject>

#include "BackupReport.h"
#include "FileReplace.h"

inline constexpr int kBackupStateVersion = 1;

struct RouterRecord {
    std::string strName;
    std::string strAddress;
    std::optional<int> fileNumber;
    bool bDown = false;
    std::optional<std::time_t> lastAttempt, lastSuccess, lastChange;
    int nConsecutiveFailures = 0;
    // The last outcome; ok is none before the first attempt.
    std::optional<bool> ok;
    std::optional<std::string> code, failureClass, message, routerText;
    std::int64_t nBytes = 0;       // of the stored copy
    std::string strSha256;         // of the stored copy; empty when there is none
    bool bStaleReported = false;   // the `stale` event of this streak has been raised
};

struct LastRun {
    std::time_t time = 0;  // when it ended
    double seconds = 0;
    int nRouters = 0, nOk = 0, nChanged = 0, nFailed = 0, nSkipped = 0, nNotDone = 0;
    bool bInterrupted = false;
    int nExit = 0;

    // Its counts, as the run's summary had them.
    BackupCounts Counts() const { return {nRouters, nOk, nChanged, nFailed, nSkipped, nNotDone, seconds}; }
};

// The record of a run that ended at time with these counts.
LastRun LastRunOf(const BackupCounts& counts, bool bInterrupted, int nExit, std::time_t time);

struct BackupState {
    std::vector<RouterRecord> routers;
    std::optional<LastRun> lastRun;
    const RouterRecord* Find(const std::string& strName) const;
    RouterRecord* Find(const std::string& strName);
};

struct LoadedState {
    bool bFound = false;    // DIR/.velnor/state.json exists
    std::string strProblem; // why it was not taken (damaged, foreign, unreadable); empty: taken
    BackupState state;
};

std::string StateFilePath(const std::string& strDir);
LoadedState LoadBackupState(const std::string& strDir);
// Written whole and atomically; false and *pstrError when it could not be.
bool SaveBackupState(const std::string& strDir, const BackupState& state, std::string* pstrError);

// One record as the state file and `status --json` show it.
QJsonObject RecordJson(const RouterRecord& record);

// Replaces strPath with bytes by ReplaceWholeFile under rules (the caller's link and mode rules);
// false and *pstrError in the words of the backup's messages.
bool WriteFileAtomically(const std::string& strPath, const std::string& bytes, const ReplaceRules& rules,
                         std::string* pstrError);
