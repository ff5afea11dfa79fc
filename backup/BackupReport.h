#pragma once
// What `velnor-tftp backup` tells: a line per router for a person, the progress line of a terminal,
// the summary, the JSON objects and the commit message. Texts only, no I/O, so that the exact bytes
// can be tested.

#include <QByteArray>
#include <QJsonObject>

#include <optional>
#include <string>
#include <vector>

enum class RouterState { Ok, Failed, Skipped };

struct RouterResult {
    std::string strName;
    std::string strAddress;
    RouterState state = RouterState::Failed;
    bool bChanged = false;
    std::string strMessage;  // a failure's message, as the window words it
    std::string strCode;     // "0x8213", or empty when the failure has no code
};

struct BackupCounts {
    int nRouters = 0;  // in the list, down ones included
    int nOk = 0;
    int nChanged = 0;  // of nOk
    int nFailed = 0;
    int nSkipped = 0;
    int nNotDone = 0;  // ended or never started because of a signal
    double seconds = 0;
};

// "core-1   192.0.2.1        OK changed": name padded to nNameWidth, address to 15; a failure gives
// its message and code. Text from a router is made safe for the terminal. Ends with a line end.
std::string FormatRouterLine(const RouterResult& result, std::size_t nNameWidth);

// A message as one line: line breaks become spaces, control bytes visible escapes.
std::string OneLineText(const std::string& text);

// One line (without line end) for a terminal, redrawn in place.
std::string FormatBackupProgress(const BackupCounts& counts, int nRunning);

// "12 routers: 9 ok (2 changed), 2 failed, 1 skipped in 3.2 s" and, after a signal, how many were not
// backed up. Ends with a line end.
std::string FormatBackupSummary(const BackupCounts& counts, bool bInterrupted);

// One router's JSON object: the fields of `velnor-tftp get --json` (child), with local_file and
// changed as they are for DIR, plus name and state. A skipped router has the same fields, ok null.
QJsonObject RouterJson(const QJsonObject& child, const RouterResult& result, const std::string& strLocalFile,
                       const std::optional<std::string>& fileNumber);

// A run's counts as every record of a run has them: "routers", "ok", "changed", "failed", "skipped",
// "not_done", "seconds", "interrupted".
void InsertRunCounts(QJsonObject& object, const BackupCounts& counts, bool bInterrupted);

// The last object: {"summary": true, the run's counts, "commit" (hash or null)}.
QJsonObject SummaryJson(const BackupCounts& counts, bool bInterrupted, const std::optional<std::string>& commit);

// One compact line with its line end.
QByteArray JsonLine(const QJsonObject& object);

// The commit of a run: a subject with the counts, then the changed and the failed routers by name and
// address (and a failure's message).
std::string FormatCommitMessage(const std::vector<RouterResult>& changed, const std::vector<RouterResult>& failed);
