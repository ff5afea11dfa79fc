#include "BackupWorkerResult.h"

#include <QJsonDocument>
#include <QJsonValue>

#include <charconv>

#include "TransferEntry.h"

namespace {

QJsonObject ObjectOf(const std::string& line)
{
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(line));
    return document.isObject() ? document.object() : QJsonObject();
}

}  // namespace

QJsonObject ResultWithoutChild(const InventoryRow& row)
{
    QJsonObject child;
    child.insert("router", QString::fromStdString(row.strAddress));
    child.insert("operation", "get");
    child.insert("file_number", row.fileNumber ? QJsonValue(std::stoi(*row.fileNumber)) : QJsonValue());
    child.insert("router_text", QJsonValue());
    child.insert("bytes", 0);
    child.insert("seconds", 0);
    return child;
}

void SetLocalFailure(RouterResult& result, QJsonObject& child, const std::string& strText)
{
    result.state = RouterState::Failed;
    result.strMessage = strText;
    result.strCode.clear();
    child.insert("ok", false);
    child.insert("code", QJsonValue());
    child.insert("class", "local");
    child.insert("message", QString::fromStdString(strText));
}

namespace {

JobOutcome Decode(const InventoryRow& row, QJsonObject transferChild, const QString& placedHow, const std::string& strPlaceError,
                  int nExit, bool bStopped)
{
    JobOutcome outcome;
    outcome.child = std::move(transferChild);
    QJsonObject& child = outcome.child;
    RouterResult& result = outcome.result;
    result = RouterResult{row.strName, row.strAddress, RouterState::Failed, false, {}, {}};
    if (nExit == CLI_EXIT_OK && child.value("ok").toBool() && (placedHow == "changed" || placedHow == "unchanged")) {
        result.state = RouterState::Ok;
        result.bChanged = placedHow == "changed";
    } else if (nExit == CLI_EXIT_OK && child.value("ok").toBool() && placedHow == "failed") {
        SetLocalFailure(result, child, strPlaceError);
    } else if (bStopped) {
        outcome.bNotDone = true;
    } else if (child.value("ok").toBool()) {
        SetLocalFailure(result, child, "the worker ended before the copy was put into place (exit status "
                                           + std::to_string(nExit) + ")");
    } else if (child.isEmpty()) {
        child = ResultWithoutChild(row);
        SetLocalFailure(result, child,
                        "the transfer ended without a result (exit status " + std::to_string(nExit) + ")");
    } else {
        result.strMessage = child.value("message").toString().toStdString();
        result.strCode = child.value("code").toString().toStdString();
    }
    return outcome;
}

QJsonValue TextOrNull(const std::optional<std::string>& text)
{
    return text ? QJsonValue(QString::fromStdString(*text)) : QJsonValue();
}

}  // namespace

QJsonObject ChildJson(const CliOutcome& o)
{
    QJsonObject child;
    child.insert("router", TextOrNull(o.router));
    child.insert("operation", o.operation ? QJsonValue(QString::fromUtf8(CliOperationName(*o.operation))) : QJsonValue());
    child.insert("file_number", o.fileNumber ? QJsonValue(*o.fileNumber) : QJsonValue());
    child.insert("local_file", TextOrNull(o.localFile));
    child.insert("ok", o.bOk);
    child.insert("code", o.code ? QJsonValue(QString::fromStdString(CodeText(*o.code))) : QJsonValue());
    child.insert("class", o.failureClass ? QJsonValue(QString::fromUtf8(*o.failureClass)) : QJsonValue());
    child.insert("message", QString::fromStdString(o.message));
    child.insert("router_text", TextOrNull(o.routerText));
    child.insert("bytes", static_cast<qint64>(o.nBytes));
    // The console's line shows milliseconds, and so does the router's line made of it.
    char text[64];
    const char* const pEnd =
        std::to_chars(text, text + sizeof text, o.dSeconds < 0 ? 0.0 : o.dSeconds, std::chars_format::fixed, 3).ptr;
    double seconds = 0;
    std::from_chars(text, pEnd, seconds);
    child.insert("seconds", seconds);
    child.insert("changed", o.changed ? QJsonValue(*o.changed) : QJsonValue());
    child.insert("detail", TextOrNull(o.detail));
    return child;
}

JobOutcome DecodeJob(const InventoryRow& row, const JobReport& report, bool bStopped)
{
    return Decode(row, report.transfer ? ChildJson(*report.transfer) : QJsonObject(),
                  QString::fromStdString(report.placed), report.strPlaceError, report.nExit, bStopped);
}

JobOutcome DecodeJob(const InventoryRow& row, const std::vector<std::string>& lines, int nExit, bool bStopped)
{
    const QJsonObject placed = lines.size() >= 2 ? ObjectOf(lines.back()) : QJsonObject();
    return Decode(row, lines.empty() ? QJsonObject() : ObjectOf(lines.front()), placed.value("placed").toString(),
                  placed.value("error").toString().toStdString(), nExit, bStopped);
}
