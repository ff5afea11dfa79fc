#pragma once
// What a worker's report of one job says about its router: the transfer's outcome, the putting of
// the copy into place, and the transfer's exit status (-1 when the worker ended without one).

#include <QJsonObject>

#include <string>
#include <vector>

#include "BackupReport.h"
#include "Inventory.h"
#include "JobReport.h"

struct JobOutcome {
    bool bNotDone = false;  // ended by the backup after a signal: neither done nor failed
    RouterResult result;
    QJsonObject child;      // the transfer's result as the router's JSON line carries it
};

JobOutcome DecodeJob(const InventoryRow& row, const JobReport& report, bool bStopped);

// The same from lines of the console's form: its --json line, then a line {"placed": ..., "error": ...}.
JobOutcome DecodeJob(const InventoryRow& row, const std::vector<std::string>& lines, int nExit, bool bStopped);

// A transfer's outcome as the object of its JSON line (the seconds to the line's milliseconds).
QJsonObject ChildJson(const CliOutcome& outcome);

// The transfer's result for a router whose transfer gave none (it never started, or its worker ended).
QJsonObject ResultWithoutChild(const InventoryRow& row);

// A fault on this machine after the router answered: the copy in DIR stays as it was.
void SetLocalFailure(RouterResult& result, QJsonObject& child, const std::string& strText);
