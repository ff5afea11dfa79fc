// `velnor-tftp backup --git --push`: real bare repositories on this machine as the remotes (file://),
// one of them refusing every push through its hook, one that hangs.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <string>

#include "GitPush.h"
#include "HistoryFixture.h"

namespace {

using namespace historytest;

// The remotes of these tests: bare repositories on this machine.
class BackupPushTest : public HistoryFixture {
protected:
    fs::path BareRemote(const std::string& name)
    {
        const fs::path bare = m_dir / name;
        Git(m_dir.Path(), {"init", "-q", "--bare", Q(bare)});
        return bare;
    }
    static void RefusePushes(const fs::path& bare, const std::string& body = "echo 'refused by policy' >&2; exit 1")
    {
        const fs::path hook = bare / "hooks" / "pre-receive";
        testsupport::WriteFileBytes(hook, Bytes("#!/bin/sh\n" + body + "\n"));
        ::chmod(hook.c_str(), 0755);
    }
};

TEST_F(BackupPushTest, PushesToTheUpstreamAndCatchesUpAfterARefusal)
{
    const std::string address = AddRouter("core", "hostname core\n");
    WriteList("name,address\ncore," + address + "\n");
    const fs::path bare = BareRemote("remote.git");
    RefusePushes(bare);
    // The folder's repository with its upstream, as an administrator sets it up once.
    Git(m_out, {"init", "-q", "-b", "main"});
    Git(m_out, {"remote", "add", "origin", Q("file://" + bare.string())});
    Git(m_out, {"config", "branch.main.remote", "origin"});
    Git(m_out, {"config", "branch.main.merge", "refs/heads/main"});

    const ProgramResult refused = Backup({"--push", "--json"});
    EXPECT_EQ(refused.nExit, 0) << refused.err;  // a failed push fails no backup
    EXPECT_TRUE(refused.json.value("push_failed").toBool()) << refused.out;
    EXPECT_TRUE(refused.json.value("commit").isString());
    EXPECT_NE(refused.err.find("velnor-tftp backup: warning: the history was not pushed to origin: git push failed: "),
              std::string::npos)
        << refused.err;
    EXPECT_NE(refused.err.find("refused by policy"), std::string::npos) << refused.err;
    EXPECT_EQ(refused.err.find('\n'), refused.err.size() - 1) << "one line: " << refused.err;

    // The remote takes pushes again; nothing changed on the router, and the missing commit goes now.
    fs::remove(bare / "hooks" / "pre-receive");
    const ProgramResult caughtUp = Backup({"--push", "--json"});
    EXPECT_EQ(caughtUp.nExit, 0) << caughtUp.err;
    EXPECT_FALSE(caughtUp.json.value("push_failed").toBool()) << caughtUp.out;
    EXPECT_TRUE(caughtUp.json.value("commit").isNull());
    EXPECT_EQ(Git(bare, {"rev-parse", "refs/heads/main"}), Git(m_out, {"rev-parse", "HEAD"}));

    // A new change: committed and pushed in the same run; the text summary says where.
    testsupport::WriteFileBytes(m_roots["core"]->Path() / "config0", Bytes("hostname core-2\n"));
    const ProgramResult pushed = Backup({"--push"});
    EXPECT_EQ(pushed.nExit, 0) << pushed.err;
    EXPECT_NE(pushed.out.find("\nPushed to origin\n"), std::string::npos) << pushed.out;
    EXPECT_EQ(Git(bare, {"rev-list", "--count", "refs/heads/main"}), "2");
    EXPECT_EQ(Git(bare, {"show", "refs/heads/main:core.conf"}), "hostname core-2");

    // Without --push nothing says push_failed.
    const ProgramResult quiet = Backup({"--json"});
    EXPECT_FALSE(quiet.json.contains("push_failed"));
}

TEST_F(BackupPushTest, PushRemoteNamesAnotherRemoteAndAMissingUpstreamIsAWarning)
{
    const std::string address = AddRouter("edge", "hostname edge\n");
    WriteList("name,address\nedge," + address + "\n");
    const fs::path bare = BareRemote("offsite.git");
    Git(m_out, {"init", "-q", "-b", "main"});
    Git(m_out, {"remote", "add", "offsite", Q("file://" + bare.string())});

    const ProgramResult noUpstream = Backup({"--push", "--json"});
    EXPECT_EQ(noUpstream.nExit, 0);
    EXPECT_TRUE(noUpstream.json.value("push_failed").toBool());
    EXPECT_NE(noUpstream.err.find("branch main has no upstream"), std::string::npos) << noUpstream.err;

    const ProgramResult named = Backup({"--push-remote", "offsite", "--json"});
    EXPECT_EQ(named.nExit, 0) << named.err;
    EXPECT_FALSE(named.json.value("push_failed").toBool()) << named.err;
    EXPECT_EQ(Git(bare, {"rev-parse", "refs/heads/main"}), Git(m_out, {"rev-parse", "HEAD"}));

    // The command line: --push needs --git's history.
    const ProgramResult withoutGit = Program({"backup", "--inventory", Q(m_dir / "list.csv"), "--out", Q(m_out), "--push"});
    EXPECT_EQ(withoutGit.nExit, 2);
    EXPECT_NE(withoutGit.err.find("option --push needs --git"), std::string::npos) << withoutGit.err;
}

TEST_F(BackupPushTest, APushThatHangsIsGivenUpAtItsLimit)
{
    const fs::path bare = BareRemote("slow.git");
    RefusePushes(bare, "sleep 30");
    Git(m_out, {"init", "-q", "-b", "main"});
    testsupport::WriteFileBytes(m_out / "a.conf", Bytes("a\n"));
    Commit("2026-06-01T12:00:00Z", "first");
    Git(m_out, {"remote", "add", "slow", Q("file://" + bare.string())});
    const auto start = std::chrono::steady_clock::now();
    const PushResult result = PushHistory(m_out, std::string("slow"), 400);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_FALSE(result.bOk);
    EXPECT_EQ(result.strRemote, "slow");
    EXPECT_EQ(result.strError, "git push did not end within 1 s");
}

}  // namespace
