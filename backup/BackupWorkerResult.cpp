#include "BackupWorkerResult.h"

#include <QJsonDocument>
#include <QJsonValue>

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

JobOutcome DecodeJob(const InventoryRow& row, const std::vector<std::string>& lines, int nExit, bool bStopped)
{
    JobOutcome outcome;
    QJsonObject& child = outcome.child;
    RouterResult& result = outcome.result;
    if (!lines.empty())
        child = ObjectOf(lines.front());
    const QJsonObject placed = lines.size() >= 2 ? ObjectOf(lines.back()) : QJsonObject();

    result = RouterResult{row.strName, row.strAddress, RouterState::Failed, false, {}, {}};
    const QString placedHow = placed.value("placed").toString();
    if (nExit == CLI_EXIT_OK && child.value("ok").toBool() && (placedHow == "changed" || placedHow == "unchanged")) {
        result.state = RouterState::Ok;
        result.bChanged = placedHow == "changed";
    } else if (nExit == CLI_EXIT_OK && child.value("ok").toBool() && placedHow == "failed") {
        SetLocalFailure(result, child, placed.value("error").toString().toStdString());
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
