#include "BackupReport.h"

#include <QJsonArray>
#include <QJsonValue>
#include <QVariant>

#include <cstdio>

#include "JsonWriter.h"
#include "SafeText.h"

namespace {

constexpr std::size_t kAddressWidth = 15;  // "255.255.255.255"

std::string Padded(const std::string& text, std::size_t nWidth)
{
    std::string out = text;
    if (out.size() < nWidth)
        out.append(nWidth - out.size(), ' ');
    return out;
}

// The window's messages are written for a message box and may break lines; a router line is one line.
// Whatever the router put into the text stays visible but harmless.
std::string OneLine(const std::string& text)
{
    std::string joined = JoinLineBreaks(text);
    while (!joined.empty() && joined.back() == ' ')
        joined.pop_back();
    return EscapeForTerminal(joined);
}

std::string Seconds(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", seconds);
    return text;
}

QString Q(const std::string& text) { return QString::fromStdString(text); }

std::string JsonText(const QJsonValue& value);

// The keys in the object's own order, which is the order of their names.
std::string JsonText(const QJsonObject& object)
{
    CJsonObject out;
    for (auto it = object.begin(); it != object.end(); ++it)
        out.Value(it.key().toStdString(), JsonText(it.value()));
    return out.Text();
}

std::string JsonText(const QJsonValue& value)
{
    switch (value.type()) {
    case QJsonValue::Bool:
        return value.toBool() ? "true" : "false";
    case QJsonValue::Double:
        // A whole number put in as one stays exact beyond what a double holds.
        if (value.toVariant().typeId() == QMetaType::LongLong)
            return std::to_string(value.toInteger());
        return JsonNumber(value.toDouble());
    case QJsonValue::String:
        return JsonString(value.toString().toStdString());
    case QJsonValue::Array: {
        std::vector<std::string> items;
        for (const QJsonValue& item : value.toArray())
            items.push_back(JsonText(item));
        return JsonArray(items);
    }
    case QJsonValue::Object:
        return JsonText(value.toObject());
    case QJsonValue::Null:
    case QJsonValue::Undefined:
        break;
    }
    return "null";
}

}  // namespace

std::string OneLineText(const std::string& text)
{
    return OneLine(text);
}

std::string FormatRouterLine(const RouterResult& result, std::size_t nNameWidth)
{
    std::string line = Padded(result.strName, nNameWidth) + "  " + Padded(result.strAddress, kAddressWidth) + "  ";
    switch (result.state) {
    case RouterState::Ok:
        line += result.bChanged ? "OK changed" : "OK unchanged";
        break;
    case RouterState::Skipped:
        line += "skipped";
        break;
    case RouterState::Failed:
        line += "FAILED " + OneLine(result.strMessage);
        if (!result.strCode.empty())
            line += " (" + result.strCode + ")";
        break;
    }
    return line + "\n";
}

std::string FormatBackupProgress(const BackupCounts& counts, int nRunning)
{
    const int nDone = counts.nOk + counts.nFailed + counts.nSkipped;
    char text[160];
    std::snprintf(text, sizeof text, "[%d/%d] %d running, %d ok, %d failed, %d skipped, %.0f s", nDone,
                  counts.nRouters, nRunning, counts.nOk, counts.nFailed, counts.nSkipped, counts.seconds);
    return text;
}

std::string FormatBackupSummary(const BackupCounts& counts, bool bInterrupted)
{
    std::string text = std::to_string(counts.nRouters) + (counts.nRouters == 1 ? " router: " : " routers: ")
                       + std::to_string(counts.nOk) + " ok (" + std::to_string(counts.nChanged) + " changed), "
                       + std::to_string(counts.nFailed) + " failed, " + std::to_string(counts.nSkipped)
                       + " skipped in " + Seconds(counts.seconds) + "\n";
    if (bInterrupted) {
        text += "Interrupted: " + std::to_string(counts.nNotDone)
                + (counts.nNotDone == 1 ? " router was" : " routers were") + " not backed up\n";
    }
    return text;
}

QJsonObject RouterJson(const QJsonObject& child, const RouterResult& result, const std::string& strLocalFile,
                       const std::optional<std::string>& fileNumber)
{
    QJsonObject object = child;
    if (result.state == RouterState::Skipped) {
        object.insert("router", Q(result.strAddress));
        object.insert("operation", "get");
        object.insert("file_number", fileNumber ? QJsonValue(std::stoi(*fileNumber)) : QJsonValue());
        object.insert("ok", QJsonValue());
        object.insert("code", QJsonValue());
        object.insert("class", QJsonValue());
        object.insert("message", "skipped");
        object.insert("router_text", QJsonValue());
        object.insert("bytes", 0);
        object.insert("seconds", 0);
    }
    object.insert("local_file", Q(strLocalFile));
    object.insert("changed", result.state == RouterState::Ok && result.bChanged);
    object.insert("name", Q(result.strName));
    object.insert("state", result.state == RouterState::Skipped ? "down" : "up");
    return object;
}

void InsertRunCounts(QJsonObject& object, const BackupCounts& counts, bool bInterrupted)
{
    object.insert("routers", counts.nRouters);
    object.insert("ok", counts.nOk);
    object.insert("changed", counts.nChanged);
    object.insert("failed", counts.nFailed);
    object.insert("skipped", counts.nSkipped);
    object.insert("not_done", counts.nNotDone);
    object.insert("seconds", counts.seconds);
    object.insert("interrupted", bInterrupted);
}

QJsonObject SummaryJson(const BackupCounts& counts, bool bInterrupted, const std::optional<std::string>& commit)
{
    QJsonObject object;
    object.insert("summary", true);
    InsertRunCounts(object, counts, bInterrupted);
    object.insert("commit", commit ? QJsonValue(Q(*commit)) : QJsonValue());
    return object;
}

QByteArray JsonLine(const QJsonObject& object)
{
    return QByteArray::fromStdString(JsonText(object) + "\n");
}

std::string FormatCommitMessage(const std::vector<RouterResult>& changed, const std::vector<RouterResult>& failed)
{
    std::string text = "Backup: " + std::to_string(changed.size()) + " changed, " + std::to_string(failed.size())
                       + " failed\n";
    if (!changed.empty()) {
        text += "\nChanged:\n";
        for (const RouterResult& r : changed)
            text += "  " + r.strName + " " + r.strAddress + "\n";
    }
    if (!failed.empty()) {
        text += "\nFailed:\n";
        for (const RouterResult& r : failed) {
            text += "  " + r.strName + " " + r.strAddress + ": " + OneLine(r.strMessage);
            if (!r.strCode.empty())
                text += " (" + r.strCode + ")";
            text += "\n";
        }
    }
    return text;
}
