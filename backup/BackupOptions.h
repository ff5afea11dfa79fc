#pragma once
// The command line of `velnor-tftp backup`: every value checked before the list is read or anything
// is sent.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

inline constexpr int kBackupDefaultJobs = 16;
inline constexpr int kBackupMaxJobs = 256;
inline constexpr int kMaxWaitLockSeconds = 3600;
inline constexpr int kMaxHookTimeoutSeconds = 3600;
inline constexpr int kMaxStaleAfterHours = 8760;  // a year
inline constexpr int kDefaultStaleAfterHours = 48;

struct BackupOptions {
    std::string strInventory;
    std::string strOutDir;
    int nJobs = kBackupDefaultJobs;
    bool bGit = false;
    bool bJson = false;
    std::optional<int> timeoutSeconds;        // passed on to each transfer; none: the router's 5 s
    std::optional<std::string> passwordFile;  // "-" is standard input
    bool bPush = false;                       // with bGit: push after the commit
    std::optional<std::string> pushRemote;    // none: the branch's upstream
    int nWaitLockSeconds = 0;                 // for a folder another run holds; 0: refuse at once
    bool bPasswordFilesAnywhere = false;      // a row's password_file may lie outside the list's folder
    bool bQuiet = false;                      // nothing on success but the summary
    bool bPrune = false;                      // remove the copies of routers no longer listed
    std::optional<std::string> metricsFile;   // the monitoring's text file, written after every run
    std::vector<std::string> hooks;           // programs told of a router's change of state
    int nHookTimeoutSeconds = 30;
    int nStaleAfterHours = kDefaultStaleAfterHours;
};

enum class BackupAction { Run, Help, UsageError };

struct BackupParseResult {
    BackupAction action = BackupAction::UsageError;
    BackupOptions options;
    std::string strError;
};

// args: the arguments after "backup".
BackupParseResult ParseBackupCommandLine(const std::vector<std::string>& args);

std::string BackupUsageText();
