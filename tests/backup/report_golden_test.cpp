// The exact bytes of the backup's JSON lines: a router's line for each way a router can end, the
// summary, the run's last line and a restore's line. Scripts read these lines; the bytes, the order
// of the keys and the form of the numbers stay as they are whatever builds them.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <filesystem>
#include <string>

#include "BackupReport.h"
#include "BackupRunEnd.h"
#include "BackupState.h"
#include "BackupWorkerResult.h"
#include "TestSupport.h"
#include "TimeText.h"

namespace {

// The console's line of a get into the work folder, as `velnor-tftp get --json` writes it.
const char* const kOkChild =
    "{\"router\":\"192.0.2.1\",\"operation\":\"get\",\"file_number\":2,\"local_file\":\"/tmp/w/core-1.conf\","
    "\"ok\":true,\"code\":null,\"class\":null,\"message\":\"Finish\",\"router_text\":null,\"bytes\":2048,"
    "\"seconds\":0.012,\"changed\":true,\"detail\":null}\n";
const char* const kRefusedChild =
    "{\"router\":\"192.0.2.1\",\"operation\":\"get\",\"file_number\":null,\"local_file\":\"/tmp/w/core-1.conf\","
    "\"ok\":false,\"code\":\"0x8215\",\"class\":\"refused\",\"message\":\"\xe7\x9b\xb8\xe6\x89\x8b \\\"x\\\"\","
    "\"router_text\":\"Access \\\\ denied / \xc3\xa9\",\"bytes\":0,\"seconds\":1.500,\"changed\":false,"
    "\"detail\":null}\n";

QJsonObject Parsed(const char* pszLine)
{
    return QJsonDocument::fromJson(QByteArray(pszLine)).object();
}

RouterResult Result(RouterState state, bool bChanged = false, std::string strMessage = {}, std::string strCode = {})
{
    return RouterResult{"core-1", "192.0.2.1", state, bChanged, std::move(strMessage), std::move(strCode)};
}

InventoryRow Row()
{
    InventoryRow row;
    row.strName = "core-1";
    row.strAddress = "192.0.2.1";
    row.fileNumber = "2";
    return row;
}

// A router's line as the run writes it: its object and the time it ended.
std::string RouterLine(const QJsonObject& child, const RouterResult& result, const std::optional<std::string>& number)
{
    QJsonObject object = RouterJson(child, result, "/backups/core-1.conf", number);
    object.insert("time", QString::fromStdString(FormatUtcTime(1700000000)));
    return JsonLine(object).toStdString();
}

}  // namespace

TEST(ReportGolden, EachRoutersLineKeepsItsBytes)
{
    QJsonObject placeFailed = Parsed(kOkChild);
    RouterResult placeResult = Result(RouterState::Failed);
    SetLocalFailure(placeResult, placeFailed, "cannot write /backups/core-1.conf: No space left on device");
    QJsonObject withoutChild = ResultWithoutChild(Row());
    RouterResult withoutResult = Result(RouterState::Failed);
    SetLocalFailure(withoutResult, withoutChild, "the transfer ended without a result (exit status 137)");

    struct Case {
        const char* pszName;
        QJsonObject child;
        RouterResult result;
        std::optional<std::string> number;
        const char* pszLine;
    };
    const Case cases[] = {
        {"changed", Parsed(kOkChild), Result(RouterState::Ok, true), "2",
         "{\"bytes\":2048,\"changed\":true,\"class\":null,\"code\":null,\"detail\":null,\"file_number\":2,"
         "\"local_file\":\"/backups/core-1.conf\",\"message\":\"Finish\",\"name\":\"core-1\",\"ok\":true,"
         "\"operation\":\"get\",\"router\":\"192.0.2.1\",\"router_text\":null,\"seconds\":0.012,\"state\":\"up\","
         "\"time\":\"2023-11-14T22:13:20Z\"}\n"},
        {"unchanged", Parsed(kOkChild), Result(RouterState::Ok, false), "2",
         "{\"bytes\":2048,\"changed\":false,\"class\":null,\"code\":null,\"detail\":null,\"file_number\":2,"
         "\"local_file\":\"/backups/core-1.conf\",\"message\":\"Finish\",\"name\":\"core-1\",\"ok\":true,"
         "\"operation\":\"get\",\"router\":\"192.0.2.1\",\"router_text\":null,\"seconds\":0.012,\"state\":\"up\","
         "\"time\":\"2023-11-14T22:13:20Z\"}\n"},
        {"refused", Parsed(kRefusedChild), Result(RouterState::Failed, false, "x", "0x8215"), std::nullopt,
         "{\"bytes\":0,\"changed\":false,\"class\":\"refused\",\"code\":\"0x8215\",\"detail\":null,"
         "\"file_number\":null,\"local_file\":\"/backups/core-1.conf\","
         "\"message\":\"\xe7\x9b\xb8\xe6\x89\x8b \\\"x\\\"\",\"name\":\"core-1\",\"ok\":false,\"operation\":\"get\","
         "\"router\":\"192.0.2.1\",\"router_text\":\"Access \\\\ denied / \xc3\xa9\",\"seconds\":1.5,"
         "\"state\":\"up\",\"time\":\"2023-11-14T22:13:20Z\"}\n"},
        {"the copy was not placed", placeFailed, placeResult, "2",
         "{\"bytes\":2048,\"changed\":false,\"class\":\"local\",\"code\":null,\"detail\":null,\"file_number\":2,"
         "\"local_file\":\"/backups/core-1.conf\","
         "\"message\":\"cannot write /backups/core-1.conf: No space left on device\",\"name\":\"core-1\","
         "\"ok\":false,\"operation\":\"get\",\"router\":\"192.0.2.1\",\"router_text\":null,\"seconds\":0.012,"
         "\"state\":\"up\",\"time\":\"2023-11-14T22:13:20Z\"}\n"},
        {"no result from the transfer", withoutChild, withoutResult, "2",
         "{\"bytes\":0,\"changed\":false,\"class\":\"local\",\"code\":null,\"file_number\":2,"
         "\"local_file\":\"/backups/core-1.conf\","
         "\"message\":\"the transfer ended without a result (exit status 137)\",\"name\":\"core-1\",\"ok\":false,"
         "\"operation\":\"get\",\"router\":\"192.0.2.1\",\"router_text\":null,\"seconds\":0,\"state\":\"up\","
         "\"time\":\"2023-11-14T22:13:20Z\"}\n"},
        {"skipped", QJsonObject(), Result(RouterState::Skipped), std::nullopt,
         "{\"bytes\":0,\"changed\":false,\"class\":null,\"code\":null,\"file_number\":null,"
         "\"local_file\":\"/backups/core-1.conf\",\"message\":\"skipped\",\"name\":\"core-1\",\"ok\":null,"
         "\"operation\":\"get\",\"router\":\"192.0.2.1\",\"router_text\":null,\"seconds\":0,\"state\":\"down\","
         "\"time\":\"2023-11-14T22:13:20Z\"}\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszName);
        EXPECT_EQ(RouterLine(c.child, c.result, c.number), c.pszLine);
    }
}

TEST(ReportGolden, TheSummaryAndTheRunsLastLineKeepTheirBytes)
{
    EXPECT_EQ(JsonLine(SummaryJson(BackupCounts{5, 3, 1, 1, 1, 0, 2.5}, false, std::nullopt)).toStdString(),
              "{\"changed\":1,\"commit\":null,\"failed\":1,\"interrupted\":false,\"not_done\":0,\"ok\":3,"
              "\"routers\":5,\"seconds\":2.5,\"skipped\":1,\"summary\":true}\n");
    EXPECT_EQ(JsonLine(SummaryJson(BackupCounts{2, 2, 0, 0, 0, 0, 12.0}, true, "0123abcd")).toStdString(),
              "{\"changed\":0,\"commit\":\"0123abcd\",\"failed\":0,\"interrupted\":true,\"not_done\":0,\"ok\":2,"
              "\"routers\":2,\"seconds\":12,\"skipped\":0,\"summary\":true}\n");

    RunEnd end{BackupCounts{3, 1, 1, 1, 0, 1, 0.123}, true, true, "0123abcd", std::nullopt, std::nullopt,
               {"edge-2"}, {"lab-3"}, {}, 0};
    EXPECT_EQ(JsonLine(RunEndJson(end, 1700000000)).toStdString(),
              "{\"changed\":1,\"commit\":\"0123abcd\",\"commit_error\":null,\"failed\":1,"
              "\"failed_routers\":[\"edge-2\"],\"hooks_failed\":0,\"interrupted\":true,\"not_done\":1,"
              "\"not_done_routers\":[\"lab-3\"],\"ok\":1,\"pruned\":[],\"routers\":3,\"seconds\":0.123,"
              "\"skipped\":0,\"summary\":true,\"time\":\"2023-11-14T22:13:20Z\"}\n");
    end.pushed = PushResult{false, "origin", "rejected"};
    end.commitError = "a hook refused \"it\"";
    end.pruned = {"old-1", "old-2"};
    EXPECT_EQ(JsonLine(RunEndJson(end, 1700000000)).toStdString(),
              "{\"changed\":1,\"commit\":\"0123abcd\",\"commit_error\":\"a hook refused \\\"it\\\"\",\"failed\":1,"
              "\"failed_routers\":[\"edge-2\"],\"hooks_failed\":0,\"interrupted\":true,\"not_done\":1,"
              "\"not_done_routers\":[\"lab-3\"],\"ok\":1,\"pruned\":[\"old-1\",\"old-2\"],\"push_failed\":true,"
              "\"routers\":3,\"seconds\":0.123,\"skipped\":0,\"summary\":true,\"time\":\"2023-11-14T22:13:20Z\"}\n");

    // A refused run's one line: its problems as objects in a list.
    QJsonObject problem;
    problem.insert("line", 3);
    problem.insert("message", "no address");
    QJsonObject refused;
    refused.insert("summary", true);
    refused.insert("refused", true);
    refused.insert("message", "the inventory was refused");
    refused.insert("problems", QJsonArray{problem, problem});
    EXPECT_EQ(JsonLine(refused).toStdString(),
              "{\"message\":\"the inventory was refused\",\"problems\":[{\"line\":3,\"message\":\"no address\"},"
              "{\"line\":3,\"message\":\"no address\"}],\"refused\":true,\"summary\":true}\n");
}

TEST(ReportGolden, ARestoresLineKeepsItsBytes)
{
    // The restore's line: the put's own line, with the restore's fields over it.
    QJsonObject object = Parsed(
        "{\"router\":\"192.0.2.1\",\"operation\":\"put\",\"file_number\":2,\"local_file\":\"/tmp/w/x\","
        "\"ok\":true,\"code\":null,\"class\":null,\"message\":\"Finish\",\"router_text\":null,\"bytes\":100,"
        "\"seconds\":0.250,\"changed\":true,\"detail\":null}\n");
    object.insert("verified", true);
    object.insert("operation", "restore");
    object.insert("local_file", "/backups/core-1.conf");
    object.insert("name", "core-1");
    object.insert("revision", QJsonValue());
    object.insert("seconds", 0.731);
    EXPECT_EQ(JsonLine(object).toStdString(),
              "{\"bytes\":100,\"changed\":true,\"class\":null,\"code\":null,\"detail\":null,\"file_number\":2,"
              "\"local_file\":\"/backups/core-1.conf\",\"message\":\"Finish\",\"name\":\"core-1\",\"ok\":true,"
              "\"operation\":\"restore\",\"revision\":null,\"router\":\"192.0.2.1\",\"router_text\":null,"
              "\"seconds\":0.731,\"verified\":true}\n");
}

TEST(ReportGolden, TheStateKeepsTheRunsCountsAsTheSummaryHasThem)
{
    const BackupCounts counts{7, 4, 2, 1, 1, 1, 3.25};
    testsupport::TempDir dir;
    std::filesystem::create_directories(dir.Path() / ".velnor");
    BackupState state;
    state.lastRun = LastRunOf(counts, true, 130, 1700000000);
    std::string error;
    ASSERT_TRUE(SaveBackupState(dir.Path().string(), state, &error)) << error;
    const LoadedState loaded = LoadBackupState(dir.Path().string());
    ASSERT_TRUE(loaded.state.lastRun) << loaded.strProblem;
    const LastRun& run = *loaded.state.lastRun;
    EXPECT_EQ(run.time, 1700000000);
    EXPECT_EQ(run.nExit, 130);
    EXPECT_TRUE(run.bInterrupted);
    // The state's record of the run and the run's summary say the same, key for key.
    const QJsonObject summary = SummaryJson(run.Counts(), run.bInterrupted, std::nullopt);
    const QJsonObject written = SummaryJson(counts, true, std::nullopt);
    EXPECT_EQ(summary, written);
    const std::vector<std::uint8_t> file = testsupport::ReadFileBytes(StateFilePath(dir.Path().string()));
    const std::string bytes(file.begin(), file.end());
    EXPECT_NE(bytes.find("\"last_run\":{\"changed\":2,\"exit\":130,\"failed\":1,\"interrupted\":true,\"not_done\":1,"
                         "\"ok\":4,\"routers\":7,\"seconds\":3.25,\"skipped\":1,\"time\":\"2023-11-14T22:13:20Z\"}"),
              std::string::npos)
        << bytes;
}
