#include "BackupMetrics.h"

#include <cstdio>

namespace {

// A label value: backslash, double quote and line end escaped as the format requires.
std::string LabelValue(const std::string& text)
{
    std::string out;
    for (char c : text) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

std::string Number(double value)
{
    char text[40];
    std::snprintf(text, sizeof text, "%.15g", value);
    return text;
}

double Seconds(const std::optional<std::time_t>& t)
{
    return t ? static_cast<double>(*t) : 0;
}

void Family(std::string& out, const char* name, const char* help)
{
    out += std::string("# HELP ") + name + " " + help + "\n";
    out += std::string("# TYPE ") + name + " gauge\n";
}

}  // namespace

std::string FormatBackupMetrics(const BackupState& state)
{
    std::string out;
    struct PerRouter {
        const char* name;
        const char* help;
        double (*value)(const RouterRecord&);
    };
    static const PerRouter kPerRouter[] = {
        {"velnor_backup_last_success_timestamp_seconds", "When the router's configuration was last fetched (0: never).",
         [](const RouterRecord& r) { return Seconds(r.lastSuccess); }},
        {"velnor_backup_last_attempt_timestamp_seconds", "When the router was last tried (0: never).",
         [](const RouterRecord& r) { return Seconds(r.lastAttempt); }},
        {"velnor_backup_last_change_timestamp_seconds", "When the router's stored copy last changed (0: never).",
         [](const RouterRecord& r) { return Seconds(r.lastChange); }},
        {"velnor_backup_up", "1 when the router's last attempt succeeded.",
         [](const RouterRecord& r) { return r.ok.value_or(false) ? 1.0 : 0.0; }},
        {"velnor_backup_consecutive_failures", "Failed attempts since the router's last success.",
         [](const RouterRecord& r) { return static_cast<double>(r.nConsecutiveFailures); }},
        {"velnor_backup_bytes", "Size of the router's stored copy in bytes.",
         [](const RouterRecord& r) { return static_cast<double>(r.nBytes); }},
    };
    for (const PerRouter& family : kPerRouter) {
        Family(out, family.name, family.help);
        for (const RouterRecord& r : state.routers) {
            out += std::string(family.name) + "{router=\"" + LabelValue(r.strName) + "\",address=\""
                   + LabelValue(r.strAddress) + "\"} " + Number(family.value(r)) + "\n";
        }
    }
    const LastRun run = state.lastRun.value_or(LastRun{});
    Family(out, "velnor_backup_run_timestamp_seconds", "When the last backup run ended.");
    out += "velnor_backup_run_timestamp_seconds " + Number(static_cast<double>(run.time)) + "\n";
    Family(out, "velnor_backup_run_duration_seconds", "How long the last backup run took.");
    out += "velnor_backup_run_duration_seconds " + Number(run.seconds) + "\n";
    Family(out, "velnor_backup_run_exit_status", "The exit status of the last backup run.");
    out += "velnor_backup_run_exit_status " + Number(run.nExit) + "\n";
    Family(out, "velnor_backup_routers", "Routers of the last backup run by result (changed: of ok).");
    const std::pair<const char*, int> results[] = {
        {"ok", run.nOk}, {"changed", run.nChanged}, {"failed", run.nFailed}, {"skipped", run.nSkipped}};
    for (const auto& [result, n] : results)
        out += std::string("velnor_backup_routers{result=\"") + result + "\"} " + Number(n) + "\n";
    return out;
}

bool WriteBackupMetrics(const std::string& strPath, const BackupState& state, std::string* pstrError)
{
    // Read by an exporter of another user: always 0644. A link at the name is replaced, as it always
    // was, and the folder, often one the exporter reads, is not flushed.
    ReplaceRules rules;
    rules.link = LinkRule::ReplaceLink;
    rules.mode = ModeRule::Given;
    rules.nNewFileMode = 0644;
    rules.bNewFileModeExact = true;
    rules.bFlushFolder = false;
    return WriteFileAtomically(strPath, FormatBackupMetrics(state), rules, pstrError);
}
