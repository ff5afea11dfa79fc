#include "StatusCommand.h"

#include <QJsonArray>
#include <QJsonObject>

#include <algorithm>
#include <map>

#include "BackupFolder.h"
#include "BackupOptions.h"
#include "BackupReport.h"
#include "CommandLine.h"
#include "TransferEntry.h"
#include "ConsoleOut.h"
#include "FolderLock.h"
#include "SafeText.h"
#include "TimeText.h"

namespace {

constexpr std::size_t kLineWidth = 80;
constexpr std::size_t kMaxNameWidth = 20;
const std::string kEllipsis = "\xE2\x80\xA6";  // "…", one column

// The code point at text[i] and its length in bytes (a stray byte counts as one of its own).
char32_t CodePointAt(const std::string& text, std::size_t i, std::size_t& nLength)
{
    const auto c = static_cast<unsigned char>(text[i]);
    nLength = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
    if (i + nLength > text.size())
        nLength = 1;
    if (nLength == 1)
        return c;
    char32_t value = c & (0x3F >> (nLength - 1));
    for (std::size_t k = 1; k < nLength; ++k)
        value = (value << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    return value;
}

// Terminal columns of a code point: two for the wide scripts (the messages are Japanese), else one.
std::size_t ColumnsOf(char32_t c)
{
    const bool bWide = (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0xA4CF) || (c >= 0xAC00 && c <= 0xD7A3)
                       || (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60)
                       || (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x20000 && c <= 0x3FFFD);
    return bWide ? 2 : 1;
}

std::size_t Columns(const std::string& text)
{
    std::size_t n = 0;
    for (std::size_t i = 0, nLength = 0; i < text.size(); i += nLength)
        n += ColumnsOf(CodePointAt(text, i, nLength));
    return n;
}

// At most nWidth columns: cut with "…" (one column), never in the middle of a character.
std::string Cut(const std::string& text, std::size_t nWidth)
{
    if (Columns(text) <= nWidth)
        return text;
    std::string out;
    std::size_t n = 0;
    for (std::size_t i = 0, nLength = 0; i < text.size(); i += nLength) {
        const std::size_t nColumns = ColumnsOf(CodePointAt(text, i, nLength));
        if (n + nColumns + 1 > nWidth)
            break;
        n += nColumns;
        out.append(text, i, nLength);
    }
    return out + kEllipsis;
}

std::string Pad(const std::string& text, std::size_t nWidth)
{
    const std::size_t n = Columns(text);
    return n >= nWidth ? text : text + std::string(nWidth - n, ' ');
}

int Rank(const std::string& state)
{
    static const std::map<std::string, int> kRank{{"failed", 0}, {"never", 1}, {"stale", 2}, {"ok", 3}, {"skipped", 4}};
    return kRank.at(state);
}

}  // namespace

StatusParseResult ParseStatusCommandLine(const std::vector<std::string>& args)
{
    StatusParseResult result;
    auto usageError = [&](std::string text) {
        result.action = StatusAction::UsageError;
        result.strError = std::move(text);
        return result;
    };
    bool bOut = false, bStale = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "-h" || arg == "--help") {
            result.action = StatusAction::Help;
            return result;
        }
        if (arg == "--json") {
            if (result.options.bJson)
                return usageError("option --json is given twice");
            result.options.bJson = true;
            continue;
        }
        // "--name value" or "--name=value".
        auto [name, value] = SplitLongOption(arg);
        if (name != "--out" && name != "--stale-after") {
            if (!arg.empty() && arg[0] == '-')
                return usageError("unknown option " + arg + " for status");
            return usageError("status takes no argument " + arg + " (the folder comes from --out)");
        }
        if (!value) {
            if (i + 1 >= args.size())
                return usageError("option " + name + " needs a value");
            value = args[++i];
        }
        if (name == "--out") {
            if (bOut)
                return usageError("option --out is given twice");
            bOut = true;
            if (value->empty())
                return usageError("option --out needs a folder name");
            result.options.strOutDir = *value;
        } else {
            if (bStale)
                return usageError("option --stale-after is given twice");
            bStale = true;
            const std::optional<int> hours = ParseBounded(*value, 1, kMaxStaleAfterHours);
            if (!hours)
                return usageError("invalid --stale-after \"" + *value + "\": use 1 to "
                                  + std::to_string(kMaxStaleAfterHours) + " hours");
            result.options.nStaleAfterHours = *hours;
        }
    }
    if (!bOut)
        return usageError("status needs --out DIR");
    result.action = StatusAction::Run;
    return result;
}

std::string StatusUsageText()
{
    return "Usage: velnor-tftp status --out DIR [--stale-after H] [--json]\n"
           "\n"
           "Shows what the backups into DIR (velnor-tftp backup --out DIR) know of each router: its state,\n"
           "the age of its last success and of its last change, its failures in a row and the last\n"
           "failure's message. The routers that need attention come first. Nothing is sent.\n"
           "\n"
           "States: ok, failed (the last attempt failed), stale (no success for H hours), never (no\n"
           "success yet), skipped (state down in the list).\n"
           "\n"
           "Options:\n"
           "      --stale-after H     a router without a success for H hours is stale (1-8760, default 48)\n"
           "      --json              one JSON object a line per router (the state's fields and \"state\"),\n"
           "                          then a summary object (\"summary\": true)\n"
           "\n"
           "Exit status: 0 every router that is up is ok, 1 any is failed, stale or never, 2 DIR holds no\n"
           "state or it cannot be read.\n";
}

std::string RouterStatus(const RouterRecord& record, std::time_t now, int nStaleAfterHours)
{
    if (record.bDown)
        return "skipped";
    if (!record.lastSuccess)
        return "never";
    if (now - *record.lastSuccess > static_cast<std::time_t>(nStaleAfterHours) * 3600)
        return "stale";
    if (record.ok == std::optional<bool>(false))
        return "failed";
    return "ok";
}

std::string FormatAge(const std::optional<std::time_t>& t, std::time_t now)
{
    if (!t)
        return "-";
    const long long n = std::max<long long>(0, static_cast<long long>(now - *t));
    if (n < 3600)
        return std::to_string(n / 60) + " min";
    if (n < 48 * 3600)
        return std::to_string(n / 3600) + " h";
    return std::to_string(n / 86400) + " d";
}

std::vector<const RouterRecord*> SortedForAttention(const BackupState& state, std::time_t now, int nStaleAfterHours)
{
    std::vector<const RouterRecord*> sorted;
    for (const RouterRecord& record : state.routers)
        sorted.push_back(&record);
    std::stable_sort(sorted.begin(), sorted.end(), [&](const RouterRecord* a, const RouterRecord* b) {
        const int ra = Rank(RouterStatus(*a, now, nStaleAfterHours));
        const int rb = Rank(RouterStatus(*b, now, nStaleAfterHours));
        if (ra != rb)
            return ra < rb;
        if (a->nConsecutiveFailures != b->nConsecutiveFailures)
            return a->nConsecutiveFailures > b->nConsecutiveFailures;
        return a->strName < b->strName;
    });
    return sorted;
}

std::string FormatStatusTable(const BackupState& state, std::time_t now, int nStaleAfterHours)
{
    std::size_t nNameWidth = 6;  // "ROUTER"
    for (const RouterRecord& record : state.routers)
        nNameWidth = std::max(nNameWidth, std::min(kMaxNameWidth, Columns(record.strName)));
    // NAME  STATE    SUCCESS  CHANGE   FAILS  MESSAGE
    auto line = [&](const std::string& name, const std::string& status, const std::string& success,
                    const std::string& change, const std::string& fails, const std::string& message) {
        std::string text = Pad(Cut(name, nNameWidth), nNameWidth) + "  " + Pad(status, 7) + "  " + Pad(success, 7)
                           + "  " + Pad(change, 7) + "  " + Pad(fails, 5);
        if (!message.empty())
            text += "  " + Cut(message, kLineWidth - Columns(text) - 2);
        while (!text.empty() && text.back() == ' ')
            text.pop_back();
        return text + "\n";
    };
    std::string out = line("ROUTER", "STATE", "SUCCESS", "CHANGE", "FAILS", "MESSAGE");
    for (const RouterRecord* pRecord : SortedForAttention(state, now, nStaleAfterHours)) {
        const RouterRecord& r = *pRecord;
        std::string message;
        if (r.ok == std::optional<bool>(false) && !r.bDown) {
            // The code first: a long message is cut, the code never.
            message = OneLineText(r.message.value_or(""));
            if (r.code && !r.code->empty())
                message = *r.code + " " + message;
        }
        out += line(r.strName, RouterStatus(r, now, nStaleAfterHours), FormatAge(r.lastSuccess, now),
                    FormatAge(r.lastChange, now), std::to_string(r.nConsecutiveFailures), message);
    }
    return out;
}

int RunStatusCommand(const std::vector<std::string>& args)
{
    const StatusParseResult parsed = ParseStatusCommandLine(args);
    if (parsed.action == StatusAction::Help) {
        WriteOut(StatusUsageText());
        return CLI_EXIT_OK;
    }
    if (parsed.action == StatusAction::UsageError) {
        WriteErr("velnor-tftp status: " + parsed.strError + "\nTry 'velnor-tftp status --help' for more information.\n");
        return CLI_EXIT_USAGE;
    }
    const StatusOptions& options = parsed.options;
    // A reader beside other readers; a backup writing at this moment replaces the state in one step,
    // so the last whole state is read all the same.
    std::optional<FolderLock> lock = FolderLock::Take(options.strOutDir, FolderLock::Kind::Shared, 0, nullptr);
    if (std::optional<std::string> open = BackupFolderOpenToOthers(options.strOutDir))
        WriteErr("velnor-tftp status: warning: " + *open + "\n");
    const LoadedState loaded = LoadBackupState(options.strOutDir);
    const std::string strShown = EscapeForTerminal(StateFilePath(options.strOutDir));
    if (!loaded.bFound || !loaded.strProblem.empty()) {
        WriteErr(loaded.bFound ? "velnor-tftp status: the state file " + strShown + " " + loaded.strProblem + "\n"
                               : "velnor-tftp status: no backup state in " + EscapeForTerminal(options.strOutDir)
                                     + " (velnor-tftp backup --out DIR writes it)\n");
        return CLI_EXIT_USAGE;
    }
    const std::time_t now = std::time(nullptr);
    std::map<std::string, int> counts{{"ok", 0}, {"failed", 0}, {"stale", 0}, {"never", 0}, {"skipped", 0}};
    for (const RouterRecord& record : loaded.state.routers)
        ++counts[RouterStatus(record, now, options.nStaleAfterHours)];
    const bool bAttention = counts["failed"] + counts["stale"] + counts["never"] > 0;
    if (options.bJson) {
        for (const RouterRecord* pRecord : SortedForAttention(loaded.state, now, options.nStaleAfterHours)) {
            QJsonObject object = RecordJson(*pRecord);
            object.remove("stale_reported");
            object.insert("state", QString::fromStdString(RouterStatus(*pRecord, now, options.nStaleAfterHours)));
            const QByteArray line = JsonLine(object);
            WriteOut(std::string_view(line.constData(), static_cast<std::size_t>(line.size())));
        }
        QJsonObject summary;
        summary.insert("summary", true);
        summary.insert("routers", static_cast<int>(loaded.state.routers.size()));
        for (const auto& [name, n] : counts)
            summary.insert(QString::fromStdString(name), n);
        summary.insert("stale_after_hours", options.nStaleAfterHours);
        summary.insert("last_run", loaded.state.lastRun ? QJsonValue(QString::fromStdString(FormatUtcTime(loaded.state.lastRun->time)))
                                                        : QJsonValue());
        summary.insert("time", QString::fromStdString(FormatUtcTime(now)));
        const QByteArray line = JsonLine(summary);
        WriteOut(std::string_view(line.constData(), static_cast<std::size_t>(line.size())));
    } else {
        std::string text = FormatStatusTable(loaded.state, now, options.nStaleAfterHours);
        text += std::to_string(loaded.state.routers.size()) + " routers: " + std::to_string(counts["ok"]) + " ok, "
                + std::to_string(counts["failed"]) + " failed, " + std::to_string(counts["stale"]) + " stale, "
                + std::to_string(counts["never"]) + " never, " + std::to_string(counts["skipped"]) + " skipped";
        if (loaded.state.lastRun)
            text += "; last run " + FormatLocalTime(loaded.state.lastRun->time);
        WriteOut(text + "\n");
    }
    return bAttention ? CLI_EXIT_FAILED : CLI_EXIT_OK;
}
