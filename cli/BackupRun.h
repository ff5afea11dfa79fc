#pragma once
// `velnor-tftp backup`: the configuration of every router in a list, fetched several at a time into
// one folder.
//
// The engine runs one transfer per process by design, so each router's transfer is a child
// `velnor-tftp get --json` of its own, writing into a private work folder; its password reaches it
// through a pipe on its standard input, never its command line or environment. One event loop
// starts children up to the limit, takes each one's JSON line as it ends, puts the file into place
// when its bytes changed, and reports. SIGINT and SIGTERM arrive as events of the same loop.

#include <string>
#include <vector>

// args: the arguments after "backup". strProgram: this program, run again for each transfer.
// Returns the exit status.
int RunBackupCommand(const std::vector<std::string>& args, const std::string& strProgram);
