#include "BackupNight.h"

#include <QCryptographicHash>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <string_view>

#include "BackupHooks.h"
#include "BackupMetrics.h"
#include "ConsoleOut.h"
#include "FileBytes.h"
#include "SafeText.h"
#include "TimeText.h"

namespace fs = std::filesystem;

namespace {

std::optional<std::string> TextField(const QJsonObject& child, const char* key)
{
    const QJsonValue value = child.value(key);
    if (!value.isString())
        return std::nullopt;
    return value.toString().toStdString();
}

// The stored copy's size and SHA-256, read in pieces; false when there is no copy.
bool HashCopy(const fs::path& path, std::int64_t& nBytes, std::string& strSha256)
{
    const int nFd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (nFd < 0)
        return false;
    QCryptographicHash hash(QCryptographicHash::Sha256);
    std::int64_t nTotal = 0;
    const bool bRead = ReadEachPiece(nFd, [&](std::string_view piece) {
        hash.addData(QByteArrayView(piece.data(), static_cast<qsizetype>(piece.size())));
        nTotal += static_cast<std::int64_t>(piece.size());
        return true;
    });
    ::close(nFd);
    if (!bRead)
        return false;
    nBytes = nTotal;
    strSha256 = hash.result().toHex().toStdString();
    return true;
}

void Warn(const std::string& text)
{
    WriteErr("velnor-tftp backup: warning: " + text + "\n");
}

}  // namespace

CBackupNight::CBackupNight(const BackupOptions& options, std::string strOutDir)
    : m_options(options), m_strOutDir(std::move(strOutDir))
{
}

void CBackupNight::Load()
{
    LoadedState loaded = LoadBackupState(m_strOutDir);
    if (!loaded.strProblem.empty()) {
        Warn("the state file " + EscapeForTerminal(StateFilePath(m_strOutDir)) + " " + loaded.strProblem
             + "; a new one is written from this run");
        return;
    }
    m_state = std::move(loaded.state);
}

void CBackupNight::OnRouter(const InventoryRow& row, const RouterResult& result, const QJsonObject& child)
{
    m_outcomes[row.strName] = Outcome{result.state,           result.bChanged,
                                      result.strMessage,      TextField(child, "code"),
                                      TextField(child, "class"), TextField(child, "router_text"),
                                      std::time(nullptr)};
}

std::vector<std::string> CBackupNight::Prune(const std::vector<InventoryRow>& rows)
{
    std::vector<std::string> removed;
    for (const RouterRecord& record : m_state.routers) {
        const bool bListed = std::any_of(rows.begin(), rows.end(),
                                         [&](const InventoryRow& row) { return row.strName == record.strName; });
        if (bListed || !IsValidInventoryName(record.strName))
            continue;
        const fs::path copy = fs::path(m_strOutDir) / (record.strName + ".conf");
        std::error_code ec;
        if (fs::is_regular_file(fs::symlink_status(copy, ec)) && fs::remove(copy, ec))
            removed.push_back(record.strName + ".conf");
        else if (ec)
            Warn("cannot remove " + EscapeForTerminal(copy.string()) + ": " + ec.message());
        // A copy that is gone already still leaves the history with --git.
        else
            removed.push_back(record.strName + ".conf");
    }
    return removed;
}

int CBackupNight::Close(const std::vector<InventoryRow>& rows, const Ending& ending)
{
    const std::time_t now = std::time(nullptr);
    const std::time_t nStaleAfter = static_cast<std::time_t>(m_options.nStaleAfterHours) * 3600;
    std::vector<HookEvent> events;
    auto commonVariables = [&](HookEvent& event, const RouterRecord& r) {
        auto& v = event.variables;
        v.emplace_back("VELNOR_EVENT", event.strEvent);
        v.emplace_back("VELNOR_ROUTER", r.strName);
        v.emplace_back("VELNOR_ADDRESS", r.strAddress);
        v.emplace_back("VELNOR_FILE", fs::absolute(fs::path(m_strOutDir) / (r.strName + ".conf")).string());
        v.emplace_back("VELNOR_OUT", fs::absolute(m_strOutDir).string());
        v.emplace_back("VELNOR_CODE", r.code.value_or(""));
        v.emplace_back("VELNOR_CLASS", r.failureClass.value_or(""));
        v.emplace_back("VELNOR_MESSAGE", r.message.value_or(""));
        v.emplace_back("VELNOR_CONSECUTIVE_FAILURES", std::to_string(r.nConsecutiveFailures));
        v.emplace_back("VELNOR_LAST_SUCCESS", r.lastSuccess ? FormatUtcTime(*r.lastSuccess) : "");
        if (m_options.bGit)
            v.emplace_back("VELNOR_COMMIT", ending.commit.value_or(""));
    };

    std::map<std::string, const RouterRecord*> old;
    for (const RouterRecord& record : m_state.routers)
        old.emplace(record.strName, &record);
    BackupState next;
    next.routers.reserve(rows.size());
    for (const InventoryRow& row : rows) {
        RouterRecord record;
        if (const auto pOld = old.find(row.strName); pOld != old.end())
            record = *pOld->second;
        else
            record.strName = row.strName;
        record.strAddress = row.strAddress;
        record.fileNumber = row.fileNumber ? std::optional<int>(std::stoi(*row.fileNumber)) : std::nullopt;
        record.bDown = row.bDown;
        const auto it = m_outcomes.find(row.strName);
        const fs::path copy = fs::path(m_strOutDir) / (row.strName + ".conf");
        std::vector<const char*> raised;
        if (it != m_outcomes.end() && it->second.state != RouterState::Skipped) {
            const Outcome& outcome = it->second;
            record.lastAttempt = outcome.time;
            record.routerText = outcome.routerText;
            if (outcome.state == RouterState::Ok) {
                const bool bChanged = ending.committedChanges ? ending.committedChanges->count(row.strName) > 0
                                                              : outcome.bChanged;
                if (record.nConsecutiveFailures > 0)
                    raised.push_back("recovered");
                if (bChanged)
                    raised.push_back("changed");
                record.ok = true;
                record.lastSuccess = outcome.time;
                if (bChanged)
                    record.lastChange = outcome.time;
                record.nConsecutiveFailures = 0;
                record.code.reset();
                record.failureClass.reset();
                record.message.reset();
                record.bStaleReported = false;
                if (bChanged || record.strSha256.empty())
                    HashCopy(copy, record.nBytes, record.strSha256);
            } else {
                if (record.nConsecutiveFailures == 0)
                    raised.push_back("failed");
                record.ok = false;
                ++record.nConsecutiveFailures;
                record.code = outcome.code;
                record.failureClass = outcome.failureClass;
                record.message = outcome.strMessage;
            }
        }
        if (!record.bDown && record.lastSuccess && now - *record.lastSuccess > nStaleAfter && !record.bStaleReported) {
            raised.push_back("stale");
            record.bStaleReported = true;
        }
        for (const char* name : raised) {
            HookEvent event;
            event.strEvent = name;
            commonVariables(event, record);
            events.push_back(std::move(event));
        }
        next.routers.push_back(std::move(record));
    }
    const LastRun run = LastRunOf(ending.counts, ending.bInterrupted, ending.nExit, now);
    next.lastRun = run;
    m_state = std::move(next);

    std::string error;
    if (!SaveBackupState(m_strOutDir, m_state, &error))
        Warn("the state was not kept: " + EscapeForTerminal(error));
    if (m_options.metricsFile && !WriteBackupMetrics(*m_options.metricsFile, m_state, &error))
        Warn("the metrics were not written: " + EscapeForTerminal(error));

    if (m_options.hooks.empty())
        return 0;
    HookEvent done;
    done.strEvent = "run_done";
    auto& v = done.variables;
    v.emplace_back("VELNOR_EVENT", "run_done");
    v.emplace_back("VELNOR_OUT", fs::absolute(m_strOutDir).string());
    v.emplace_back("VELNOR_ROUTERS", std::to_string(run.nRouters));
    v.emplace_back("VELNOR_OK", std::to_string(run.nOk));
    v.emplace_back("VELNOR_CHANGED", std::to_string(run.nChanged));
    v.emplace_back("VELNOR_FAILED", std::to_string(run.nFailed));
    v.emplace_back("VELNOR_SKIPPED", std::to_string(run.nSkipped));
    v.emplace_back("VELNOR_NOT_DONE", std::to_string(run.nNotDone));
    v.emplace_back("VELNOR_INTERRUPTED", run.bInterrupted ? "1" : "0");
    v.emplace_back("VELNOR_EXIT_STATUS", std::to_string(run.nExit));
    if (m_options.bGit)
        v.emplace_back("VELNOR_COMMIT", ending.commit.value_or(""));
    events.push_back(std::move(done));
    return RunHooks(m_options.hooks, events, m_options.nHookTimeoutSeconds);
}

void WriteMetricsOfRefusedRun(const BackupOptions& options)
{
    if (!options.metricsFile)
        return;
    const LoadedState loaded = LoadBackupState(options.strOutDir);
    if (!loaded.bFound || !loaded.strProblem.empty())
        return;
    std::string error;
    if (!WriteBackupMetrics(*options.metricsFile, loaded.state, &error))
        Warn("the metrics were not written: " + EscapeForTerminal(error));
}
