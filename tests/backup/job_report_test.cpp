// A worker's report of one job as frames of its result channel: every field of a transfer's outcome
// comes back as it went, whatever its bytes; a frame that does not read, or one cut short, is never
// taken for a result; and the report gives the router's state as the run reports it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "BackupWorkerResult.h"
#include "JobReport.h"
#include "WorkerChannel.h"

namespace {

CliOutcome Full()
{
    CliOutcome o;
    o.router = "192.0.2.1";
    o.operation = CliOperation::Revup;
    o.fileNumber = 7;
    o.localFile = std::string("/tmp/w/a\nb\0c\xff.conf", 19);
    o.bOk = false;
    o.code = TFTP_ERR_PEER_ERROR;
    o.failureClass = kClassRefused;
    o.message = "=starts like a present field";
    o.routerText = std::string("\0\x01\x7f\xc2\x85\xe2\x80\xa8", 8);
    o.nBytes = 9007199254740993LL;
    o.dSeconds = 0.1 + 0.2;
    o.changed = true;
    o.detail = "";
    return o;
}

void ExpectSame(const CliOutcome& a, const CliOutcome& b)
{
    EXPECT_EQ(a.router, b.router);
    EXPECT_EQ(a.operation, b.operation);
    EXPECT_EQ(a.fileNumber, b.fileNumber);
    EXPECT_EQ(a.localFile, b.localFile);
    EXPECT_EQ(a.bOk, b.bOk);
    EXPECT_EQ(a.code, b.code);
    EXPECT_EQ(a.failureClass, b.failureClass);
    EXPECT_EQ(a.message, b.message);
    EXPECT_EQ(a.routerText, b.routerText);
    EXPECT_EQ(a.nBytes, b.nBytes);
    EXPECT_EQ(a.dSeconds, b.dSeconds);  // exactly: the shortest form reads back to the same double
    EXPECT_EQ(a.changed, b.changed);
    EXPECT_EQ(a.detail, b.detail);
}

// The frames of bytes, taken one after another as the parent takes them.
std::vector<std::vector<std::string>> Frames(std::string bytes, FrameTake& last)
{
    std::vector<std::vector<std::string>> frames;
    std::vector<std::string> fields;
    while ((last = TakeFrame(bytes, fields)) == FrameTake::Whole)
        frames.push_back(fields);
    return frames;
}

InventoryRow Row()
{
    InventoryRow row;
    row.strName = "core";
    row.strAddress = "10.0.0.1";
    row.fileNumber = "2";
    return row;
}

}  // namespace

TEST(JobReport, EveryFieldOfTheOutcomeComesBackAsItWent)
{
    CliOutcome empty;  // every optional field absent, the texts empty
    CliOutcome ok = Full();
    ok.bOk = true;
    ok.code.reset();
    ok.failureClass.reset();
    ok.changed = false;
    ok.dSeconds = 1e-7;
    for (const CliOutcome& sent : {Full(), empty, ok}) {
        JobReport report;
        bool bEnded = true;
        FrameTake last;
        const auto frames = Frames(EncodeTransferFrame(CLI_EXIT_FAILED, sent), last);
        ASSERT_EQ(frames.size(), 1U);
        EXPECT_EQ(last, FrameTake::Partial);
        ASSERT_TRUE(ApplyJobFrame(frames[0], report, bEnded));
        EXPECT_TRUE(bEnded) << "a failed transfer places nothing";
        EXPECT_EQ(report.nExit, CLI_EXIT_FAILED);
        ASSERT_TRUE(report.transfer);
        ExpectSame(*report.transfer, sent);
    }
}

TEST(JobReport, AJobIsItsTransferThenItsPlacement)
{
    std::string bytes = EncodeTransferFrame(CLI_EXIT_OK, Full())
                        + EncodePlacedFrame("failed", std::string("no space\0left", 13));
    JobReport report;
    // Byte by byte, as a pipe may hand them over: nothing is taken before its frame is whole.
    std::string buffer;
    std::vector<std::string> fields;
    std::vector<bool> ended;
    for (char byte : bytes) {
        buffer += byte;
        const FrameTake taken = TakeFrame(buffer, fields);
        ASSERT_NE(taken, FrameTake::Malformed);
        if (taken == FrameTake::Whole) {
            bool bEnded = false;
            ASSERT_TRUE(ApplyJobFrame(fields, report, bEnded));
            ended.push_back(bEnded);
        }
    }
    EXPECT_TRUE(buffer.empty());
    EXPECT_EQ(ended, (std::vector<bool>{false, true}));
    EXPECT_EQ(report.nExit, CLI_EXIT_OK);
    EXPECT_EQ(report.placed, "failed");
    EXPECT_EQ(report.strPlaceError, std::string("no space\0left", 13));

    JobReport none;
    bool bEnded = false;
    FrameTake last;
    const auto frames = Frames(EncodeTransferFrame(137, std::nullopt), last);
    ASSERT_EQ(frames.size(), 1U);
    ASSERT_TRUE(ApplyJobFrame(frames[0], none, bEnded));
    EXPECT_TRUE(bEnded);
    EXPECT_EQ(none.nExit, 137);
    EXPECT_FALSE(none.transfer);
}

TEST(JobReport, FramesThatDoNotReadAreRefused)
{
    std::vector<std::string> good;
    FrameTake last;
    good = Frames(EncodeTransferFrame(0, Full()), last).at(0);
    auto with = [&](std::size_t nField, std::string value) {
        std::vector<std::string> fields = good;
        fields.at(nField) = std::move(value);
        return fields;
    };
    auto without = [&](std::size_t nField) {
        std::vector<std::string> fields = good;
        fields.erase(fields.begin() + static_cast<long>(nField));
        return fields;
    };
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"job_end"},
        {"placed", "moved", ""},
        {"placed", "changed"},
        with(1, ""),            // no exit status
        with(1, "0x"),          // not a number
        with(1, "1 "),
        with(2, "2"),           // neither no outcome nor one
        without(15),            // a field short
        with(3, "192.0.2.1"),   // a present field without its "="
        with(4, "=copy"),       // no operation of ours
        with(5, "=two"),
        with(7, "true"),
        with(8, "=0x8214"),
        with(9, "=router"),     // no class of ours
        with(12, "-"),
        with(13, "fast"),
        with(14, "=yes"),
        {"transfer", "1", "", "extra"},
    };
    for (const auto& fields : bad) {
        SCOPED_TRACE(::testing::PrintToString(fields));
        JobReport report;
        bool bEnded = false;
        EXPECT_FALSE(ApplyJobFrame(fields, report, bEnded));
        EXPECT_FALSE(report.transfer) << "nothing half read is kept";
    }
}

TEST(JobReport, AFrameCutShortIsNeverTakenAndABadLengthIsRefused)
{
    const std::string frame = EncodeTransferFrame(0, Full());
    for (std::size_t n = 0; n < frame.size(); ++n) {
        std::string buffer = frame.substr(0, n);
        std::vector<std::string> fields{"stale"};
        ASSERT_EQ(TakeFrame(buffer, fields), FrameTake::Partial) << n;
        EXPECT_EQ(buffer.size(), n) << "a partial frame stays for the next read";
        EXPECT_EQ(fields, std::vector<std::string>{"stale"});
    }
    auto number = [](std::uint32_t n) { return std::string(reinterpret_cast<const char*>(&n), sizeof n); };
    std::vector<std::string> fields;
    std::string tooMany = number(kMaxFrameFields + 1);
    EXPECT_EQ(TakeFrame(tooMany, fields), FrameTake::Malformed);
    std::string tooLong = number(1) + number(kMaxFrameFieldBytes + 1);
    EXPECT_EQ(TakeFrame(tooLong, fields), FrameTake::Malformed);
}

TEST(JobReport, TheReportGivesTheRoutersState)
{
    CliOutcome ok;
    ok.router = "10.0.0.1";
    ok.operation = CliOperation::Get;
    ok.bOk = true;
    ok.message = "Finish";
    ok.nBytes = 12;
    ok.dSeconds = 0.1234;
    ok.changed = true;
    CliOutcome refused = ok;
    refused.bOk = false;
    refused.code = TFTP_ERR_ACCESS_VIOLATION;
    refused.failureClass = kClassRefused;
    refused.message = "Access violation";
    refused.routerText = "denied";
    struct Case {
        const char* pszName;
        JobReport report;
        bool bStopped;
        bool bNotDone;
        RouterState state;
        bool bChanged;
        std::string strMessage;
        std::string strCode;
    };
    const Case cases[] = {
        {"changed", {0, ok, "changed", ""}, false, false, RouterState::Ok, true, "", ""},
        {"unchanged", {0, ok, "unchanged", ""}, false, false, RouterState::Ok, false, "", ""},
        {"not placed", {0, ok, "failed", "cannot write x"}, false, false, RouterState::Failed, false,
         "cannot write x", ""},
        {"refused", {1, refused, "", ""}, false, false, RouterState::Failed, false, "Access violation",
         CodeText(TFTP_ERR_ACCESS_VIOLATION)},
        {"stopped", {kNoExitStatus, std::nullopt, "", ""}, true, true, RouterState::Failed, false, "", ""},
        {"ended while placing", {kNoExitStatus, ok, "", ""}, false, false, RouterState::Failed, false,
         "the worker ended before the copy was put into place (exit status -1)", ""},
        {"no outcome", {2, std::nullopt, "", ""}, false, false, RouterState::Failed, false,
         "the transfer ended without a result (exit status 2)", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszName);
        const JobOutcome outcome = DecodeJob(Row(), c.report, c.bStopped);
        EXPECT_EQ(outcome.bNotDone, c.bNotDone);
        if (c.bNotDone)
            continue;
        EXPECT_EQ(outcome.result.state, c.state);
        EXPECT_EQ(outcome.result.bChanged, c.bChanged);
        EXPECT_EQ(outcome.result.strMessage, c.strMessage);
        EXPECT_EQ(outcome.result.strCode, c.strCode);
        EXPECT_EQ(outcome.child.value("router").toString().toStdString(), "10.0.0.1");
    }
    // The router's line shows the console's milliseconds.
    EXPECT_EQ(ChildJson(ok).value("seconds").toDouble(), 0.123);
}
