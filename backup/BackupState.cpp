#include "BackupState.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>

#include "FileBytes.h"
#include "LocalFile.h"
#include "TimeText.h"

namespace {

constexpr std::size_t kMaxStateBytes = 64u << 20;  // far beyond 100k routers' records

QString Q(const std::string& text) { return QString::fromStdString(text); }

QJsonValue TimeValue(const std::optional<std::time_t>& t)
{
    return t ? QJsonValue(Q(FormatUtcTime(*t))) : QJsonValue();
}

QJsonValue TextValue(const std::optional<std::string>& text)
{
    return text ? QJsonValue(Q(*text)) : QJsonValue();
}

std::optional<std::time_t> TimeOf(const QJsonObject& object, const char* key)
{
    const QJsonValue value = object.value(key);
    if (!value.isString())
        return std::nullopt;
    return ParseUtcTime(value.toString().toStdString());
}

std::optional<std::string> TextOf(const QJsonObject& object, const char* key)
{
    const QJsonValue value = object.value(key);
    if (!value.isString())
        return std::nullopt;
    return value.toString().toStdString();
}

int CountOf(const QJsonObject& object, const char* key)
{
    const double value = object.value(key).toDouble(0);
    return value >= 0 && value < 1e9 ? static_cast<int>(value) : 0;
}

}  // namespace

const RouterRecord* BackupState::Find(const std::string& strName) const
{
    for (const RouterRecord& record : routers) {
        if (record.strName == strName)
            return &record;
    }
    return nullptr;
}

RouterRecord* BackupState::Find(const std::string& strName)
{
    return const_cast<RouterRecord*>(static_cast<const BackupState*>(this)->Find(strName));
}

std::string StateFilePath(const std::string& strDir)
{
    return strDir + "/.velnor/state.json";
}

QJsonObject RecordJson(const RouterRecord& r)
{
    QJsonObject object;
    object.insert("name", Q(r.strName));
    object.insert("address", Q(r.strAddress));
    object.insert("file_number", r.fileNumber ? QJsonValue(*r.fileNumber) : QJsonValue());
    object.insert("down", r.bDown);
    object.insert("last_attempt", TimeValue(r.lastAttempt));
    object.insert("last_success", TimeValue(r.lastSuccess));
    object.insert("last_change", TimeValue(r.lastChange));
    object.insert("consecutive_failures", r.nConsecutiveFailures);
    object.insert("ok", r.ok ? QJsonValue(*r.ok) : QJsonValue());
    object.insert("code", TextValue(r.code));
    object.insert("class", TextValue(r.failureClass));
    object.insert("message", TextValue(r.message));
    object.insert("router_text", TextValue(r.routerText));
    object.insert("bytes", static_cast<double>(r.nBytes));
    object.insert("sha256", r.strSha256.empty() ? QJsonValue() : QJsonValue(Q(r.strSha256)));
    object.insert("stale_reported", r.bStaleReported);
    return object;
}

LoadedState LoadBackupState(const std::string& strDir)
{
    LoadedState loaded;
    const std::string strPath = StateFilePath(strDir);
    const int nFd = ::open(strPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (nFd < 0) {
        if (errno != ENOENT && errno != ENOTDIR) {
            loaded.bFound = true;
            loaded.strProblem = std::string("cannot be read: ") + std::strerror(errno);
        }
        return loaded;
    }
    loaded.bFound = true;
    std::string bytes;
    const BoundedRead read = ReadAllBounded(nFd, static_cast<std::int64_t>(kMaxStateBytes), bytes);
    const int nError = errno;
    ::close(nFd);
    if (read == BoundedRead::Failed) {
        loaded.strProblem = std::string("cannot be read: ") + std::strerror(nError);
        return loaded;
    }
    if (read == BoundedRead::TooLarge) {
        loaded.strProblem = "is too large to be ours";
        return loaded;
    }
    QJsonParseError error {};
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(bytes), &error);
    if (!document.isObject()) {
        loaded.strProblem = "is damaged (not a JSON object)";
        return loaded;
    }
    const QJsonObject root = document.object();
    if (!root.value("version").isDouble()) {
        loaded.strProblem = "is not a backup state (no version)";
        return loaded;
    }
    if (root.value("version").toInt() != kBackupStateVersion) {
        loaded.strProblem = "has a version this program does not know ("
                            + std::to_string(root.value("version").toInt()) + ")";
        return loaded;
    }
    if (!root.value("routers").isArray()) {
        loaded.strProblem = "is damaged (no list of routers)";
        return loaded;
    }
    std::set<std::string> seen;
    for (const QJsonValue& value : root.value("routers").toArray()) {
        const QJsonObject o = value.toObject();
        RouterRecord r;
        r.strName = o.value("name").toString().toStdString();
        if (r.strName.empty() || !seen.insert(r.strName).second)
            continue;
        r.strAddress = o.value("address").toString().toStdString();
        if (o.value("file_number").isDouble())
            r.fileNumber = o.value("file_number").toInt();
        r.bDown = o.value("down").toBool();
        r.lastAttempt = TimeOf(o, "last_attempt");
        r.lastSuccess = TimeOf(o, "last_success");
        r.lastChange = TimeOf(o, "last_change");
        r.nConsecutiveFailures = CountOf(o, "consecutive_failures");
        if (o.value("ok").isBool())
            r.ok = o.value("ok").toBool();
        r.code = TextOf(o, "code");
        r.failureClass = TextOf(o, "class");
        r.message = TextOf(o, "message");
        r.routerText = TextOf(o, "router_text");
        r.nBytes = static_cast<std::int64_t>(o.value("bytes").toDouble(0));
        r.strSha256 = o.value("sha256").toString().toStdString();
        r.bStaleReported = o.value("stale_reported").toBool();
        loaded.state.routers.push_back(std::move(r));
    }
    if (root.value("last_run").isObject()) {
        const QJsonObject o = root.value("last_run").toObject();
        LastRun run;
        run.time = TimeOf(o, "time").value_or(0);
        run.seconds = o.value("seconds").toDouble(0);
        run.nRouters = CountOf(o, "routers");
        run.nOk = CountOf(o, "ok");
        run.nChanged = CountOf(o, "changed");
        run.nFailed = CountOf(o, "failed");
        run.nSkipped = CountOf(o, "skipped");
        run.nNotDone = CountOf(o, "not_done");
        run.bInterrupted = o.value("interrupted").toBool();
        run.nExit = o.value("exit").toInt(0);
        loaded.state.lastRun = run;
    }
    return loaded;
}

bool WriteFileAtomically(const std::string& strPath, const std::string& bytes, const ReplaceRules& rules,
                         std::string* pstrError)
{
    LocalFailure why;
    ReplaceStep step = ReplaceStep::None;
    const ReplaceOutcome outcome = ReplaceWholeFile(
        strPath, rules, [&bytes](CLocalFile& file) { return file.Write(bytes.data(), bytes.size()); }, &why, &step);
    if (outcome == ReplaceOutcome::Replaced)
        return true;
    if (pstrError) {
        const std::size_t slash = strPath.rfind('/');
        const std::string folder = slash == std::string::npos ? "." : strPath.substr(0, slash);
        const bool bNoFile = step == ReplaceStep::Create
                             || (step == ReplaceStep::Target && why.kind != LocalFailure::Kind::Folder);
        const int nError = why.kind == LocalFailure::Kind::Folder ? EISDIR : why.nError;
        *pstrError = (bNoFile ? "cannot create a file in " + folder : "cannot write " + strPath) + ": "
                     + std::strerror(nError);
    }
    return false;
}

LastRun LastRunOf(const BackupCounts& counts, bool bInterrupted, int nExit, std::time_t time)
{
    return LastRun{time,           counts.seconds, counts.nRouters, counts.nOk, counts.nChanged, counts.nFailed,
                   counts.nSkipped, counts.nNotDone, bInterrupted,  nExit};
}

bool SaveBackupState(const std::string& strDir, const BackupState& state, std::string* pstrError)
{
    // One router a line, each made and appended on its own: thousands of routers never stand as one
    // document tree in memory beside the text.
    QJsonObject head;
    head.insert("version", kBackupStateVersion);
    head.insert("written_by", "velnor-tftp backup");
    if (state.lastRun) {
        const LastRun& run = *state.lastRun;
        QJsonObject o;
        o.insert("time", Q(FormatUtcTime(run.time)));
        InsertRunCounts(o, run.Counts(), run.bInterrupted);
        o.insert("exit", run.nExit);
        head.insert("last_run", o);
    }
    QByteArray text = QJsonDocument(head).toJson(QJsonDocument::Compact);
    // {...} opened up for the records.
    text.chop(1);
    std::string bytes = text.toStdString();
    bytes += ",\"routers\":[\n";
    for (std::size_t i = 0; i < state.routers.size(); ++i) {
        bytes += QJsonDocument(RecordJson(state.routers[i])).toJson(QJsonDocument::Compact).toStdString();
        bytes += i + 1 < state.routers.size() ? ",\n" : "\n";
    }
    bytes += "]}\n";
    // The state is the backup's own, in its own folder: a link at its name is replaced, never
    // followed, and the file is always 0600. The folder is not flushed: a state lost to a power cut
    // is the one before, never a broken one.
    ReplaceRules rules;
    rules.link = LinkRule::ReplaceLink;
    rules.mode = ModeRule::Given;
    rules.nNewFileMode = 0600;
    rules.bNewFileModeExact = true;
    rules.bFlushFolder = false;
    return WriteFileAtomically(StateFilePath(strDir), bytes, rules, pstrError);
}
