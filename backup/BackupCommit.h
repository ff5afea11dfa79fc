#pragma once
// The commit at the end of a backup with --git: the copies of the routers that answered, the copies
// of routers no longer listed removed, one commit whose message names what changed and what failed.

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "BackupReport.h"
#include "GitStore.h"
#include "Inventory.h"

struct BackupCommit {
    std::optional<std::string> hash;                  // the new commit; none when nothing changed
    std::optional<std::string> error;                 // the commit failed: why
    std::optional<std::set<std::string>> changes;     // when it did not fail: the routers it changed
};

// results: each router's result by name; failed: the failed ones, in the order they ended; pruned: the
// names whose copies the run removed.
BackupCommit CommitBackup(CGitStore& git, const std::vector<InventoryRow>& rows,
                          const std::map<std::string, RouterResult>& results, const std::vector<RouterResult>& failed,
                          const std::vector<std::string>& pruned);
