#pragma once
// The code that runs inside a backup worker: a fork of the backup that takes one job after another
// from its command channel (WorkerChannel's frames), runs the console's one-transfer main for each
// into the work folder, puts the received copy into place in DIR, and tells each job's result in
// frames on its result channel (JobReport.h).

#include <sys/types.h>

#include <filesystem>

#include "BackupRun.h"
#include "Inventory.h"

// A router's copy in DIR.
std::filesystem::path CopyPathOf(const std::filesystem::path& outDir, const InventoryRow& row);

struct WorkerContext {
    const Inventory& inventory;   // a job names its router by its place in the list
    const std::filesystem::path& outDir;
    TransferMain transferMain;
};

// Never returns: the worker ends at the end of its command channel, or when parent is gone.
[[noreturn]] void RunBackupWorker(int nCommandFd, int nOutFd, pid_t parent, const WorkerContext& context);
