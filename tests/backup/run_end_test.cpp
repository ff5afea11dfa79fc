// How a backup run's end is told: the lines after the summary for each state of the commit, the push
// and the hooks, the ten-name limit on a terminal, and the summary JSON's lists and fields.
#include <gtest/gtest.h>

#include <QJsonArray>

#include <string>

#include "BackupRunEnd.h"

namespace {

RunEnd Base()
{
    RunEnd end;
    end.counts.nRouters = 2;
    end.counts.nOk = 1;
    end.counts.nFailed = 1;
    end.failed = {"edge"};
    return end;
}

// The text after the summary's first line, without the run's end line (local time).
std::string Tail(const RunEnd& end, bool bTerminal = false)
{
    std::string text = RunEndText(end, true, bTerminal, 0);
    return text.substr(text.find('\n') + 1);
}

}  // namespace

TEST(RunEnd, TheLinesAfterTheSummarySayWhatHappened)
{
    struct Case {
        const char* pszName;
        void (*adjust)(RunEnd&);
        std::string expected;
    };
    const Case cases[] = {
        {"no git", [](RunEnd&) {}, "Failed: edge\n"},
        {"committed", [](RunEnd& e) { e.bGit = true; e.commit = "0123456789abcdef0123"; },
         "Failed: edge\nCommitted 0123456789ab\n"},
        {"commit failed", [](RunEnd& e) { e.bGit = true; e.commitError = "hook refused"; },
         "Failed: edge\nNot committed: the commit failed\n"},
        {"nothing to commit", [](RunEnd& e) { e.bGit = true; }, "Failed: edge\nNothing to commit\n"},
        {"pushed", [](RunEnd& e) { e.bGit = true; e.pushed = PushResult{true, "origin", {}}; },
         "Failed: edge\nNothing to commit\nPushed to origin\n"},
        {"push failed: told by the push itself", [](RunEnd& e) { e.pushed = PushResult{false, "origin", "x"}; },
         "Failed: edge\n"},
        {"one hook failed", [](RunEnd& e) { e.nHooksFailed = 1; }, "Failed: edge\n1 hook run failed\n"},
        {"hooks failed", [](RunEnd& e) { e.nHooksFailed = 3; }, "Failed: edge\n3 hook runs failed\n"},
        {"not done and removed", [](RunEnd& e) { e.notDone = {"a", "b"}; e.pruned = {"old"}; },
         "Failed: edge\nNot backed up: a, b\nRemoved: old\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszName);
        RunEnd end = Base();
        c.adjust(end);
        EXPECT_EQ(Tail(end), c.expected);
    }
}

TEST(RunEnd, ATerminalSeesTenNamesALogEveryOne)
{
    RunEnd end = Base();
    end.failed.clear();
    for (int i = 0; i < 12; ++i)
        end.failed.push_back("r" + std::to_string(i));
    EXPECT_NE(Tail(end, true).find("r9 and 2 more\n"), std::string::npos);
    EXPECT_NE(Tail(end, false).find("r10, r11\n"), std::string::npos);
}

TEST(RunEnd, QuietPutsTheTimeFirstAndDropsTheEndLine)
{
    const RunEnd end = Base();
    const std::string loud = RunEndText(end, false, false, 0);
    const std::string quiet = RunEndText(end, true, false, 0);
    EXPECT_EQ(loud.rfind("2 routers: ", 0), 0u);
    EXPECT_NE(loud.find("Backup ended "), std::string::npos);
    EXPECT_EQ(quiet.find("Backup ended "), std::string::npos);
    EXPECT_NE(quiet.find(" 2 routers: "), std::string::npos);
}

TEST(RunEnd, TheSummaryJsonCarriesTheListsAndTheCommitsError)
{
    RunEnd end = Base();
    end.notDone = {"a"};
    end.pruned = {"old"};
    end.commitError = "hook refused";
    end.nHooksFailed = 2;
    QJsonObject json = RunEndJson(end, 0);
    EXPECT_EQ(json.value("failed_routers").toArray(), QJsonArray({"edge"}));
    EXPECT_EQ(json.value("not_done_routers").toArray(), QJsonArray({"a"}));
    EXPECT_EQ(json.value("pruned").toArray(), QJsonArray({"old"}));
    EXPECT_EQ(json.value("commit_error").toString(), "hook refused");
    EXPECT_EQ(json.value("hooks_failed").toInt(), 2);
    EXPECT_EQ(json.value("time").toString(), "1970-01-01T00:00:00Z");
    EXPECT_FALSE(json.contains("push_failed")) << "only with --push";
    end.pushed = PushResult{false, "origin", "rejected"};
    end.commitError.reset();
    json = RunEndJson(end, 0);
    EXPECT_TRUE(json.value("push_failed").toBool());
    EXPECT_TRUE(json.value("commit_error").isNull());
}
