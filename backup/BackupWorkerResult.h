#pragma once
// What a worker's lines of one job say about its router: the transfer's JSON line first, then the
// worker's own line on putting the copy into place, and the transfer's exit status from the job's
// end (-1 when the worker ended without one).

#include <QJsonObject>

#include <string>
#include <vector>

#include "BackupReport.h"
#include "Inventory.h"

struct JobOutcome {
    bool bNotDone = false;  // ended by the backup after a signal: neither done nor failed
    RouterResult result;
    QJsonObject child;      // the transfer's result as the router's JSON line carries it
};

JobOutcome DecodeJob(const InventoryRow& row, const std::vector<std::string>& lines, int nExit, bool bStopped);

// The transfer's result for a router whose transfer gave none (it never started, or its worker ended).
QJsonObject ResultWithoutChild(const InventoryRow& row);

// A fault on this machine after the router answered: the copy in DIR stays as it was.
void SetLocalFailure(RouterResult& result, QJsonObject& child, const std::string& strText);
