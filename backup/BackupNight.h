#pragma once
// What a backup run adds to the one before it: each router's record in the state kept up to date,
// the copies of routers no longer listed removed (--prune), the monitoring's file written and the
// hooks told of every change of a router's state. The transfers are BackupRun's; this part sees
// their results and the end of the run.

#include <QJsonObject>

#include <ctime>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "BackupOptions.h"
#include "BackupReport.h"
#include "BackupState.h"
#include "Inventory.h"

class CBackupNight {
public:
    CBackupNight(const BackupOptions& options, std::string strOutDir);

    // Reads the state of the folder; a damaged or foreign one is said once and left for a new one.
    void Load();

    // A router's result as it comes (a skipped one too).
    void OnRouter(const InventoryRow& row, const RouterResult& result, const QJsonObject& child);

    // --prune: removes the copies of routers the state knows and the list no longer holds; their file
    // names, for the commit.
    std::vector<std::string> Prune(const std::vector<InventoryRow>& rows);

    struct Ending {
        BackupCounts counts;
        bool bInterrupted = false;
        int nExit = 0;
        std::optional<std::string> commit;
        // With --git and a commit made: the routers whose copy the commit changed. Otherwise the
        // routers whose bytes changed count.
        std::optional<std::set<std::string>> committedChanges;
    };
    // The state written, the metrics written, the hooks run. Returns how many hook runs failed.
    int Close(const std::vector<InventoryRow>& rows, const Ending& ending);

    // The folder's state as it stands (for the metrics of a run refused before it began).
    const BackupState& State() const { return m_state; }

private:
    // Only what the record keeps: thousands of routers' whole JSON objects would weigh on every
    // worker forked later.
    struct Outcome {
        RouterState state = RouterState::Failed;
        bool bChanged = false;
        std::string strMessage;
        std::optional<std::string> code, failureClass, routerText;
        std::time_t time = 0;
    };

    const BackupOptions& m_options;
    std::string m_strOutDir;
    BackupState m_state;
    std::map<std::string, Outcome> m_outcomes;  // by router name
};

// --metrics of a run refused before it began: written from the folder's state when there is one.
void WriteMetricsOfRefusedRun(const BackupOptions& options);
