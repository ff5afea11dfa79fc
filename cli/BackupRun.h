#pragma once
// `velnor-tftp backup`: the configuration of every router in a list, fetched several at a time into
// one folder.
//
// The engine runs one transfer per process by design, so each router's transfer runs in a worker
// process of its own: a fork of this process that runs `velnor-tftp get --json` in itself, writing
// into a private work folder; its password reaches it through a pipe on its standard input, never
// its command line or environment. One poll loop starts workers up to the limit, takes each one's
// JSON line as it ends, puts the file into place when its bytes changed, and reports. SIGINT and
// SIGTERM arrive as events of the same loop. This process makes no Qt application of its own: each
// worker makes its own, fresh.

#include <string>
#include <vector>

// velnor-tftp's own main for one transfer, run by each worker with the arguments of a get.
using TransferMain = int (*)(int argc, char** argv);

// args: the arguments after "backup". Returns the exit status. Call it before any Qt application
// object exists.
int RunBackupCommand(const std::vector<std::string>& args, TransferMain transferMain);
