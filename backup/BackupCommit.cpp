#include "BackupCommit.h"

#include <algorithm>
#include <string_view>

namespace {

std::string NameOf(const std::string& file)
{
    return file.substr(0, file.size() - std::string_view(".conf").size());
}

}  // namespace

BackupCommit CommitBackup(CGitStore& git, const std::vector<InventoryRow>& rows,
                          const std::map<std::string, RouterResult>& results, const std::vector<RouterResult>& failed,
                          const std::vector<std::string>& pruned)
{
    // The copies of the routers that answered: a failed router's old copy is no news. A copy replaced
    // by a run that was killed before its commit is taken up here too, as it differs from the last
    // commit.
    std::vector<std::string> files;
    for (const InventoryRow& row : rows) {
        const auto it = results.find(row.strName);
        if (it != results.end() && it->second.state == RouterState::Ok)
            files.push_back(row.strName + ".conf");
    }
    git.RemoveWithCommit(pruned);
    const CGitStore::CommitResult committed = git.Commit(files, [&](const std::vector<std::string>& changed) {
        std::vector<RouterResult> changedRouters;
        std::string removed;
        for (const std::string& file : changed) {
            const std::string name = NameOf(file);
            const auto row = std::find_if(rows.begin(), rows.end(),
                                          [&](const InventoryRow& r) { return r.strName == name; });
            if (row == rows.end()) {
                removed += "  " + name + "\n";
                continue;
            }
            changedRouters.push_back(RouterResult{name, row->strAddress, RouterState::Ok, true, {}, {}});
        }
        return FormatCommitMessage(changedRouters, failed) + (removed.empty() ? "" : "\nRemoved:\n" + removed);
    });
    BackupCommit result;
    result.hash = committed.hash;
    if (!committed.bOk) {
        result.error = committed.strError;
        return result;
    }
    // The commit is the record: a copy replaced by an earlier run that was never committed counts as
    // changed, as the commit says.
    result.changes.emplace();
    for (const std::string& file : committed.changedFiles) {
        const std::string name = NameOf(file);
        if (results.count(name))
            result.changes->insert(name);
    }
    return result;
}
