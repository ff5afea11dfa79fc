#pragma once
// `velnor-tftp restore`: a router's stored copy from the backup folder put back on the router, with the
// router's address, file number and password from the same list as the backup's, and read back to
// confirm that the router now holds exactly those bytes. With --check the router's file is only read,
// and the difference a restore would make is shown.
//
// Each transfer (the put, the read back) runs velnor-tftp's own one-transfer main in a child process,
// as the backup's workers do: the engine runs one transfer per process, and the password reaches the
// child through a pipe on its standard input, never a command line or the environment.

#include <optional>
#include <string>
#include <vector>

#include "BackupRun.h"

struct RestoreOptions {
    std::string strInventory;
    std::string strOutDir;
    std::string strName;
    std::optional<std::string> revision;      // as typed; none: the working copy
    std::optional<std::string> passwordFile;  // "-" is standard input
    std::optional<int> timeoutSeconds;
    std::optional<int> waitLockSeconds;       // for a folder a backup holds; none: refused at once
    bool bCheck = false;
    bool bJson = false;
    bool bForce = false;  // a router marked down is restored too
    bool bQuiet = false;
};

enum class RestoreAction { Run, Help, UsageError };

struct RestoreParseResult {
    RestoreAction action = RestoreAction::UsageError;
    RestoreOptions options;
    std::string strError;
};

// args: the arguments after "restore".
RestoreParseResult ParseRestoreCommandLine(const std::vector<std::string>& args);

std::string RestoreUsageText();

// args: the arguments after "restore". Returns the exit status. Call it before any Qt application
// object exists.
int RunRestoreCommand(const std::vector<std::string>& args, TransferMain transferMain);
