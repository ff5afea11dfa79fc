#include "BackupRunEnd.h"

#include <QJsonArray>
#include <QJsonValue>
#include <QStringList>

#include "BackupLog.h"
#include "SafeText.h"
#include "TimeText.h"

namespace {

QJsonArray Names(const std::vector<std::string>& names)
{
    QStringList list;
    for (const std::string& name : names)
        list.append(QString::fromStdString(name));
    return QJsonArray::fromStringList(list);
}

}  // namespace

QJsonObject RunEndJson(const RunEnd& end, std::time_t now)
{
    QJsonObject summary = SummaryJson(end.counts, end.bInterrupted, end.commit);
    if (end.pushed)
        summary.insert("push_failed", !end.pushed->bOk);
    summary.insert("commit_error", end.commitError ? QJsonValue(QString::fromStdString(*end.commitError)) : QJsonValue());
    summary.insert("failed_routers", Names(end.failed));
    summary.insert("not_done_routers", Names(end.notDone));
    summary.insert("pruned", Names(end.pruned));
    summary.insert("hooks_failed", end.nHooksFailed);
    summary.insert("time", QString::fromStdString(FormatUtcTime(now)));
    return summary;
}

std::string RunEndText(const RunEnd& end, bool bQuiet, bool bTerminal, std::time_t now)
{
    std::string text = FormatBackupSummary(end.counts, end.bInterrupted);
    if (bQuiet)
        text = FormatLocalTime(now) + " " + text;
    // On a terminal the first ten; in a log every one.
    const std::size_t nShown = bTerminal ? 10 : 0;
    text += FormatNamedRouters("Failed", end.failed, nShown);
    text += FormatNamedRouters("Not backed up", end.notDone, nShown);
    text += FormatNamedRouters("Removed", end.pruned, nShown);
    if (end.bGit) {
        if (end.commit)
            text += "Committed " + end.commit->substr(0, 12) + "\n";
        else if (end.commitError)
            text += "Not committed: the commit failed\n";
        else
            text += "Nothing to commit\n";
    }
    if (end.pushed && end.pushed->bOk)
        text += "Pushed to " + EscapeForTerminal(end.pushed->strRemote) + "\n";
    if (end.nHooksFailed > 0)
        text += std::to_string(end.nHooksFailed) + (end.nHooksFailed == 1 ? " hook run failed\n" : " hook runs failed\n");
    if (!bQuiet)
        text += FormatRunEndLine(now);
    return text;
}
