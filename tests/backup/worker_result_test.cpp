// How the run reads a worker's lines of one job: every combination of the transfer's line, the copy's
// line, the exit status and a stop by signal gives one state, one message and one JSON object.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "BackupWorkerResult.h"

namespace {

const std::string kOkLine =
    R"({"ok":true,"router":"10.0.0.1","operation":"get","file_number":null,"code":null,"class":null,)"
    R"("message":"Finish","router_text":null,"bytes":12,"seconds":0.1})";
const std::string kRefusedLine =
    R"({"ok":false,"router":"10.0.0.1","operation":"get","file_number":null,"code":"0x8213",)"
    R"("class":"router","message":"Access violation","router_text":"denied","bytes":0,"seconds":0.1})";

InventoryRow Row()
{
    InventoryRow row;
    row.strName = "core";
    row.strAddress = "10.0.0.1";
    row.fileNumber = "2";
    return row;
}

}  // namespace

TEST(WorkerResult, EachEndOfAJobGivesItsState)
{
    struct Case {
        const char* pszName;
        std::vector<std::string> lines;
        int nExit;
        bool bStopped;
        bool bNotDone;
        RouterState state;
        bool bChanged;
        std::string strMessage;
        std::string strCode;
        std::string strClass;  // of the JSON object
    };
    const Case cases[] = {
        {"changed", {kOkLine, R"({"placed":"changed"})"}, 0, false, false, RouterState::Ok, true, "", "", ""},
        {"unchanged", {kOkLine, R"({"placed":"unchanged"})"}, 0, false, false, RouterState::Ok, false, "", "", ""},
        {"the copy could not be placed", {kOkLine, R"({"placed":"failed","error":"cannot write x: No space"})"}, 0,
         false, false, RouterState::Failed, false, "cannot write x: No space", "", "local"},
        {"the router refused", {kRefusedLine}, 1, false, false, RouterState::Failed, false, "Access violation",
         "0x8213", "router"},
        {"stopped by a signal", {}, -1, true, true, RouterState::Failed, false, "", "", ""},
        {"stopped after its copy was placed", {kOkLine, R"({"placed":"changed"})"}, 0, true, false, RouterState::Ok,
         true, "", "", ""},
        {"ended after the transfer", {kOkLine}, -1, false, false, RouterState::Failed, false,
         "the worker ended before the copy was put into place (exit status -1)", "", "local"},
        {"ended without any line", {}, 137, false, false, RouterState::Failed, false,
         "the transfer ended without a result (exit status 137)", "", "local"},
        {"a line that is no JSON", {"garbage"}, 1, false, false, RouterState::Failed, false,
         "the transfer ended without a result (exit status 1)", "", "local"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszName);
        const JobOutcome outcome = DecodeJob(Row(), c.lines, c.nExit, c.bStopped);
        EXPECT_EQ(outcome.bNotDone, c.bNotDone);
        if (c.bNotDone)
            continue;
        EXPECT_EQ(outcome.result.strName, "core");
        EXPECT_EQ(outcome.result.state, c.state);
        EXPECT_EQ(outcome.result.bChanged, c.bChanged);
        EXPECT_EQ(outcome.result.strMessage, c.strMessage);
        EXPECT_EQ(outcome.result.strCode, c.strCode);
        EXPECT_EQ(outcome.child.value("router").toString().toStdString(), "10.0.0.1");
        if (!c.strClass.empty()) {
            EXPECT_EQ(outcome.child.value("class").toString().toStdString(), c.strClass);
            EXPECT_EQ(outcome.child.value("ok").toBool(), false);
        }
    }
}

TEST(WorkerResult, AResultWithoutATransferNamesTheRowsFile)
{
    const QJsonObject child = ResultWithoutChild(Row());
    EXPECT_EQ(child.value("operation").toString().toStdString(), "get");
    EXPECT_EQ(child.value("file_number").toInt(-1), 2);
    EXPECT_TRUE(child.value("router_text").isNull());
    EXPECT_EQ(child.value("bytes").toInt(-1), 0);
    InventoryRow defaultFile = Row();
    defaultFile.fileNumber.reset();
    EXPECT_TRUE(ResultWithoutChild(defaultFile).value("file_number").isNull());
}
