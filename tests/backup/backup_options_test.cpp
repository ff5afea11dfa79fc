// The command line of `velnor-tftp backup` and the texts it prints: each refusal, and the lines a
// person and a script read.

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>

#include <string>
#include <vector>

#include "BackupOptions.h"
#include "BackupReport.h"
#include "ResultMessages.h"

namespace {

using Args = std::vector<std::string>;

TEST(BackupOptionsTest, EveryOptionInBothSpellings)
{
    BackupParseResult parsed = ParseBackupCommandLine({"--inventory", "list.csv", "--out=backups", "--jobs", "256",
                                                       "--git", "--json", "--timeout=60", "--password-file", "-"});
    ASSERT_EQ(parsed.action, BackupAction::Run) << parsed.strError;
    EXPECT_EQ(parsed.options.strInventory, "list.csv");
    EXPECT_EQ(parsed.options.strOutDir, "backups");
    EXPECT_EQ(parsed.options.nJobs, 256);
    EXPECT_TRUE(parsed.options.bGit);
    EXPECT_TRUE(parsed.options.bJson);
    EXPECT_EQ(parsed.options.timeoutSeconds, 60);
    EXPECT_EQ(parsed.options.passwordFile, "-");

    parsed = ParseBackupCommandLine({"--out", "d", "--inventory=i"});
    ASSERT_EQ(parsed.action, BackupAction::Run) << parsed.strError;
    EXPECT_EQ(parsed.options.nJobs, 16);
    EXPECT_FALSE(parsed.options.bGit);
    EXPECT_FALSE(parsed.options.bJson);
    EXPECT_FALSE(parsed.options.timeoutSeconds);  // the router's own 5 s
    EXPECT_FALSE(parsed.options.passwordFile);
    EXPECT_FALSE(parsed.options.bPasswordFilesAnywhere);  // the list's folder only

    parsed = ParseBackupCommandLine({"--out", "d", "--inventory=i", "--password-files-anywhere"});
    ASSERT_EQ(parsed.action, BackupAction::Run) << parsed.strError;
    EXPECT_TRUE(parsed.options.bPasswordFilesAnywhere);
    EXPECT_NE(ParseBackupCommandLine({"--out", "d", "--inventory=i", "--password-files-anywhere",
                                      "--password-files-anywhere"})
                  .strError.find("given twice"),
              std::string::npos);

    EXPECT_EQ(ParseBackupCommandLine({"--out", "d", "--help"}).action, BackupAction::Help);
}

struct RefusedCase {
    Args args;
    const char* words;
};

class BackupOptionsRefusedTest : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(BackupOptionsRefusedTest, RefusedWithAReason)
{
    Args args = GetParam().args;
    const BackupParseResult parsed = ParseBackupCommandLine(args);
    EXPECT_EQ(parsed.action, BackupAction::UsageError);
    EXPECT_NE(parsed.strError.find(GetParam().words), std::string::npos) << parsed.strError;
}

INSTANTIATE_TEST_SUITE_P(
    CommandLines, BackupOptionsRefusedTest,
    ::testing::Values(RefusedCase{{}, "needs --inventory"}, RefusedCase{{"--inventory", "i"}, "needs --out"},
                      RefusedCase{{"--out", "d"}, "needs --inventory"},
                      RefusedCase{{"--inventory", "i", "--out"}, "--out needs a value"},
                      RefusedCase{{"--inventory=", "--out", "d"}, "needs a file name"},
                      RefusedCase{{"--inventory", "i", "--out", ""}, "needs a folder name"},
                      RefusedCase{{"--inventory", "i", "--out", "d", "--jobs", "0"}, "use 1 to 256"},
                      RefusedCase{{"--inventory", "i", "--out", "d", "--jobs", "257"}, "use 1 to 256"},
                      RefusedCase{{"--inventory", "i", "--out", "d", "--jobs", "-1"}, "\"-1\""},
                      RefusedCase{{"--inventory", "i", "--out", "d", "--jobs", "1e2"}, "\"1e2\""},
                      RefusedCase{{"--inventory", "i", "--out", "d", "--jobs", "99999999999"}, "use 1 to 256"},
                      RefusedCase{{"--inventory", "i", "--out", "d", "--timeout", "0"}, "1 to 60 seconds"},
                      RefusedCase{{"--inventory", "i", "--out", "d", "--timeout", "61"}, "1 to 60 seconds"},
                      RefusedCase{{"--inventory", "i", "--out", "d", "--timeout", "2.5"}, "\"2.5\""},
                      RefusedCase{{"--inventory", "i", "--out", "d", "--password-file", ""}, "needs a file name"},
                      RefusedCase{{"--inventory", "i", "--out", "d", "--json", "--json"}, "--json is given twice"},
                      RefusedCase{{"--inventory", "i", "--inventory", "j", "--out", "d"}, "given twice"},
                      RefusedCase{{"--inventory", "i", "--out", "d", "--jobs=2", "--jobs=3"}, "given twice"},
                      RefusedCase{{"--inventory", "i", "--out", "d", "-p", "secret"}, "unknown option -p"},
                      RefusedCase{{"--inventory", "i", "--out", "d", "192.0.2.1"}, "takes no argument"}));

RouterResult Result(RouterState state, bool bChanged = false, std::string message = {}, std::string code = {})
{
    return RouterResult{"core-1", "192.0.2.1", state, bChanged, std::move(message), std::move(code)};
}

TEST(BackupReportTest, OneLinePerRouterForAPerson)
{
    EXPECT_EQ(FormatRouterLine(Result(RouterState::Ok, true), 8), "core-1    192.0.2.1        OK changed\n");
    EXPECT_EQ(FormatRouterLine(Result(RouterState::Ok, false), 2), "core-1  192.0.2.1        OK unchanged\n");
    EXPECT_EQ(FormatRouterLine(Result(RouterState::Skipped), 6), "core-1  192.0.2.1        skipped\n");
    // A message box's line break becomes a space; a router's escape sequence stays visible and harmless.
    EXPECT_EQ(FormatRouterLine(Result(RouterState::Failed, false, "first\nsecond <\x1b]0;x\x07>\n", "0x8213"), 6),
              "core-1  192.0.2.1        FAILED first second <\\x1b]0;x\\x07> (0x8213)\n");
    EXPECT_EQ(FormatRouterLine(Result(RouterState::Failed, false, "cannot write x: disk full"), 6),
              "core-1  192.0.2.1        FAILED cannot write x: disk full\n");
    // The window's wrapped message reads as one sentence: no gap inside a Japanese word.
    EXPECT_EQ(FormatRouterLine(Result(RouterState::Failed, false, LookupResultMessage(TFTP_ERR_ACCESS_VIOLATION),
                                      "0x8217"), 6),
              "core-1  192.0.2.1        FAILED ルータにアクセスできませんでした。ルータの設定が間違っているか、"
              "または、ファイル番号を指定できない機種である可能性があります。これらを確認し、再度[Velnor "
              "Client]を実行してください。 (0x8217)\n");
}

TEST(BackupReportTest, ProgressAndSummary)
{
    BackupCounts counts;
    counts.nRouters = 12;
    counts.nOk = 7;
    counts.nChanged = 2;
    counts.nFailed = 2;
    counts.nSkipped = 1;
    counts.seconds = 3.25;
    EXPECT_EQ(FormatBackupProgress(counts, 2), "[10/12] 2 running, 7 ok, 2 failed, 1 skipped, 3 s");
    EXPECT_EQ(FormatBackupSummary(counts, false), "12 routers: 7 ok (2 changed), 2 failed, 1 skipped in 3.2 s\n");
    counts.nNotDone = 2;
    EXPECT_EQ(FormatBackupSummary(counts, true), "12 routers: 7 ok (2 changed), 2 failed, 1 skipped in 3.2 s\n"
                                                 "Interrupted: 2 routers were not backed up\n");
}

TEST(BackupReportTest, JsonKeepsTheChildsFieldsAndAddsNameAndState)
{
    QJsonObject child;
    child.insert("router", "192.0.2.1");
    child.insert("operation", "get");
    child.insert("file_number", 2);
    child.insert("local_file", "/tmp/work/core-1.conf");
    child.insert("ok", true);
    child.insert("bytes", 2048);
    child.insert("changed", true);  // of the work file, which is always new
    QJsonObject object = RouterJson(child, Result(RouterState::Ok, false), "/backups/core-1.conf", "2");
    EXPECT_EQ(object.value("local_file").toString(), "/backups/core-1.conf");
    EXPECT_FALSE(object.value("changed").toBool());
    EXPECT_EQ(object.value("name").toString(), "core-1");
    EXPECT_EQ(object.value("state").toString(), "up");
    EXPECT_EQ(object.value("bytes").toInt(), 2048);
    EXPECT_EQ(object.value("file_number").toInt(), 2);

    object = RouterJson(QJsonObject(), Result(RouterState::Skipped), "/backups/core-1.conf", std::nullopt);
    for (const char* field : {"router", "operation", "file_number", "local_file", "ok", "code", "class", "message",
                              "router_text", "bytes", "seconds", "changed", "name", "state"}) {
        EXPECT_TRUE(object.contains(field)) << field;
    }
    EXPECT_EQ(object.value("state").toString(), "down");
    EXPECT_TRUE(object.value("ok").isNull());
    EXPECT_TRUE(object.value("file_number").isNull());

    const QByteArray line = JsonLine(SummaryJson(BackupCounts{5, 3, 1, 1, 1, 0, 2.5}, false, std::nullopt));
    ASSERT_TRUE(line.endsWith('\n'));
    EXPECT_EQ(line.count('\n'), 1);
    const QJsonObject summary = QJsonDocument::fromJson(line).object();
    EXPECT_TRUE(summary.value("summary").toBool());
    EXPECT_EQ(summary.value("routers").toInt(), 5);
    EXPECT_EQ(summary.value("failed").toInt(), 1);
    EXPECT_TRUE(summary.value("commit").isNull());
}

TEST(BackupReportTest, CommitMessageNamesChangedAndFailedRouters)
{
    const std::vector<RouterResult> changed{
        {"core-1", "192.0.2.1", RouterState::Ok, true, {}, {}},
        {"edge-2", "192.0.2.2", RouterState::Ok, true, {}, {}},
    };
    const std::vector<RouterResult> failed{
        {"lab-3", "192.0.2.3", RouterState::Failed, false, "no answer\nfrom the router", "0x8213"},
    };
    EXPECT_EQ(FormatCommitMessage(changed, failed), "Backup: 2 changed, 1 failed\n"
                                                    "\n"
                                                    "Changed:\n"
                                                    "  core-1 192.0.2.1\n"
                                                    "  edge-2 192.0.2.2\n"
                                                    "\n"
                                                    "Failed:\n"
                                                    "  lab-3 192.0.2.3: no answer from the router (0x8213)\n");
    EXPECT_EQ(FormatCommitMessage(changed, {}), "Backup: 2 changed, 0 failed\n\nChanged:\n  core-1 192.0.2.1\n"
                                                "  edge-2 192.0.2.2\n");
}

}  // namespace
