#pragma once
// `velnor-tftp backup`: the configuration of every router in a list, fetched several at a time into
// one folder.
//
// The engine runs one transfer per process by design, so each router's transfer runs in a worker
// process: a fork of this process that runs `velnor-tftp get --json` in itself, writing into a
// private work folder, and is kept for the next router once it is done. A router's password reaches
// its worker on the worker's own channel and then through a pipe on its standard input, never a
// command line or the environment. One poll loop hands routers to workers up to the limit, takes
// each one's JSON lines as they come, and reports; the worker puts the file into place when its
// bytes changed. SIGINT and SIGTERM arrive as events of the same loop. This process makes no Qt
// application of its own: each worker makes its own, fresh.

#include <string>
#include <vector>

#include "TransferEntry.h"

// args: the arguments after "backup". Returns the exit status. Call it before any Qt application
// object exists.
int RunBackupCommand(const std::vector<std::string>& args, TransferMain transferMain);
