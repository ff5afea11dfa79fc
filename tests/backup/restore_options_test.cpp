// The command lines of `velnor-tftp restore` and of the backup's push, and how a revision names a date.

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "BackupOptions.h"
#include "RestoreRun.h"
#include "RevisionFile.h"

namespace {

using Args = std::vector<std::string>;

TEST(RestoreOptionsTest, EveryOptionInBothSpellings)
{
    RestoreParseResult parsed = ParseRestoreCommandLine({"--inventory", "list.csv", "--out=backups", "--revision",
                                                         "HEAD~3", "--check", "--json", "--force", "--timeout=7",
                                                         "--password-file", "-", "--wait-lock=30", "-q", "core-1"});
    ASSERT_EQ(parsed.action, RestoreAction::Run) << parsed.strError;
    const RestoreOptions& o = parsed.options;
    EXPECT_EQ(o.strInventory, "list.csv");
    EXPECT_EQ(o.strOutDir, "backups");
    EXPECT_EQ(o.strName, "core-1");
    EXPECT_EQ(o.revision, "HEAD~3");
    EXPECT_TRUE(o.bCheck && o.bJson && o.bForce && o.bQuiet);
    EXPECT_EQ(o.timeoutSeconds, 7);
    EXPECT_EQ(o.passwordFile, "-");
    EXPECT_EQ(o.waitLockSeconds, 30);

    // A name after "--" may look like an option; a revision may start with "@".
    parsed = ParseRestoreCommandLine({"--revision=@{2026-12-01}", "--out", "d", "--inventory", "i", "--", "-edge"});
    ASSERT_EQ(parsed.action, RestoreAction::Run) << parsed.strError;
    EXPECT_EQ(parsed.options.strName, "-edge");
    EXPECT_EQ(parsed.options.revision, "@{2026-12-01}");
    EXPECT_FALSE(parsed.options.bCheck || parsed.options.bForce || parsed.options.bJson);
    EXPECT_FALSE(parsed.options.timeoutSeconds || parsed.options.waitLockSeconds || parsed.options.passwordFile);

    EXPECT_EQ(ParseRestoreCommandLine({"core", "--help"}).action, RestoreAction::Help);
}

TEST(RestoreOptionsTest, RefusedWithAReason)
{
    const Args base{"--inventory", "i", "--out", "d"};
    const struct {
        Args args;
        const char* words;
    } cases[] = {
        {{"core"}, "needs --inventory"},
        {{"--inventory", "i", "core"}, "needs --out"},
        {base, "takes one argument"},
        {{"--inventory", "i", "--out", "d", "a", "b"}, "takes one argument"},
        {{"--inventory", "i", "--out", "d", "../etc"}, "invalid router name"},
        {{"--inventory", "i", "--out", "d", "a", "--check", "--check"}, "--check is given twice"},
        {{"--inventory", "i", "--out", "d", "a", "--revision"}, "--revision needs a value"},
        {{"--inventory", "i", "--out", "d", "a", "--revision="}, "--revision needs a value"},
        {{"--inventory", "i", "--out", "d", "a", "--revision", "x", "--revision", "y"}, "--revision is given twice"},
        {{"--inventory", "i", "--inventory", "j", "--out", "d", "a"}, "--inventory is given twice"},
        {{"--inventory", "i", "--out", "d", "a", "--timeout", "0"}, "invalid --timeout \"0\""},
        {{"--inventory", "i", "--out", "d", "a", "--timeout", "61"}, "use 1 to 60"},
        {{"--inventory", "i", "--out", "d", "a", "--wait-lock", "-1"}, "invalid --wait-lock"},
        {{"--inventory", "i", "--out", "d", "a", "--jobs", "2"}, "unknown option --jobs for restore"},
        {{"--inventory", "i", "--out", "d", "a", "--diff"}, "unknown option --diff"},
    };
    for (const auto& c : cases) {
        const RestoreParseResult parsed = ParseRestoreCommandLine(c.args);
        EXPECT_EQ(parsed.action, RestoreAction::UsageError) << c.words;
        EXPECT_NE(parsed.strError.find(c.words), std::string::npos) << parsed.strError;
    }
}

TEST(RestoreOptionsTest, OnlyDatesInBracesAreDates)
{
    const struct {
        const char* revision;
        std::optional<std::string> date;
    } cases[] = {
        {"@{2026-12-01}", "2026-12-01"},
        {"@{yesterday}", "yesterday"},
        {"@{2026-12-01 04:00}", "2026-12-01 04:00"},
        {"@{1}", std::nullopt},    // a reflog entry
        {"@{-1}", std::nullopt},   // the branch before
        {"@{u}", std::nullopt},    // the upstream
        {"@{push}", std::nullopt},
        {"@{}", std::nullopt},
        {"HEAD~3", std::nullopt},
        {"main@{2026-12-01}", std::nullopt},  // a branch's reflog: left to git
        {"v1.2", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(RevisionDate(c.revision), c.date) << c.revision;
}

TEST(BackupPushOptionsTest, PushNeedsGitAndARemoteName)
{
    BackupParseResult parsed = ParseBackupCommandLine({"--inventory", "i", "--out", "d", "--git", "--push"});
    ASSERT_EQ(parsed.action, BackupAction::Run) << parsed.strError;
    EXPECT_TRUE(parsed.options.bPush);
    EXPECT_FALSE(parsed.options.pushRemote);
    parsed = ParseBackupCommandLine({"--inventory", "i", "--out", "d", "--git", "--push-remote=offsite"});
    ASSERT_EQ(parsed.action, BackupAction::Run) << parsed.strError;
    EXPECT_TRUE(parsed.options.bPush);
    EXPECT_EQ(parsed.options.pushRemote, "offsite");
    EXPECT_FALSE(ParseBackupCommandLine({"--inventory", "i", "--out", "d"}).options.bPush);

    const struct {
        Args args;
        const char* words;
    } refused[] = {
        {{"--inventory", "i", "--out", "d", "--push"}, "--push needs --git"},
        {{"--inventory", "i", "--out", "d", "--push-remote", "o"}, "--push needs --git"},
        {{"--inventory", "i", "--out", "d", "--git", "--push", "--push"}, "--push is given twice"},
        {{"--inventory", "i", "--out", "d", "--git", "--push-remote", "a", "--push-remote", "b"}, "given twice"},
        {{"--inventory", "i", "--out", "d", "--git", "--push-remote", "--json"}, "needs the name of a remote"},
        {{"--inventory", "i", "--out", "d", "--git", "--push-remote="}, "needs the name of a remote"},
    };
    for (const auto& c : refused) {
        const BackupParseResult result = ParseBackupCommandLine(c.args);
        EXPECT_EQ(result.action, BackupAction::UsageError) << c.words;
        EXPECT_NE(result.strError.find(c.words), std::string::npos) << result.strError;
    }
}

}  // namespace
