// `velnor-tftp backup` into a folder another run holds: refused at once, or after --wait-lock, with
// nothing sent and nothing touched.

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include <unistd.h>

#include "BackupFleetFixture.h"
#include "FolderLock.h"

namespace {

using namespace fleettest;

class BackupLockTest : public BackupFleetFixture {};

TEST_F(BackupLockTest, ASecondRunIsRefusedAtOnceNamingTheHolderAndTouchesNothing)
{
    AddRouter("r", "config r\n");
    WriteList({Row("r")});
    fs::create_directories(m_out);
    // What a first run in progress has in the folder: an old copy and the temporary file it writes.
    testsupport::WriteFileBytes(m_out / "r.conf", Bytes("old\n"));
    testsupport::WriteFileBytes(m_out / ".r.conf.new-AbC123", Bytes("half"));
    std::string error;
    std::optional<FolderLock> held = FolderLock::Take(m_out.string(), FolderLock::Kind::Exclusive, 0, &error);
    ASSERT_TRUE(held) << error;

    const auto nStart = std::chrono::steady_clock::now();
    Night night = Backup({"--git", "--json"});
    EXPECT_LT(std::chrono::steady_clock::now() - nStart, std::chrono::seconds(2));
    EXPECT_EQ(night.nExit, 2) << night.err;
    EXPECT_NE(night.err.find("the backup folder " + m_out.string() + " is in use by process "
                             + std::to_string(::getpid()) + " (started "),
              std::string::npos)
        << night.err;
    EXPECT_TRUE(night.summary.value("refused").toBool()) << night.out;
    EXPECT_EQ(DatagramsIn(), 0u);
    EXPECT_EQ(Text(testsupport::ReadFileBytes(m_out / "r.conf")), "old\n");
    EXPECT_EQ(Text(testsupport::ReadFileBytes(m_out / ".r.conf.new-AbC123")), "half");
    EXPECT_FALSE(fs::exists(m_out / ".git"));

    // Given back, the next run goes ahead.
    held.reset();
    night = Backup({"--json"});
    EXPECT_EQ(night.nExit, 0) << night.err;
    EXPECT_EQ(Text(testsupport::ReadFileBytes(m_out / "r.conf")), "config r\n");
}

TEST_F(BackupLockTest, WaitLockWaitsForTheHolderThenGivesUp)
{
    AddRouter("r", "config r\n");
    WriteList({Row("r")});
    fs::create_directories(m_out);
    std::optional<FolderLock> held = FolderLock::Take(m_out.string(), FolderLock::Kind::Exclusive, 0, nullptr);
    ASSERT_TRUE(held);
    Night night = Backup({"--wait-lock", "1"});
    EXPECT_EQ(night.nExit, 2);
    EXPECT_NE(night.err.find("gave up after waiting 1 s"), std::string::npos) << night.err;
    EXPECT_EQ(DatagramsIn(), 0u);

    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        held.reset();
    });
    night = Backup({"--wait-lock", "30"});
    releaser.join();
    EXPECT_EQ(night.nExit, 0) << night.err;
    EXPECT_TRUE(fs::exists(m_out / "r.conf"));
}

}  // namespace

namespace {

// The lock and the state live in DIR/.velnor, which git is told to leave alone: nothing of it is
// committed or shown as untracked, in a folder of its own or one below the top of a repository.
TEST_F(BackupLockTest, TheBackupsOwnFolderStaysOutOfGit)
{
    AddRouter("r", "config r\n");
    WriteList({Row("r")});
    for (const fs::path& out : {m_dir / "own", m_dir / "repo" / "site"}) {
        m_out = out;
        if (out.filename() == "site") {
            fs::create_directories(out);
            Git({"init", "--quiet", Q(m_dir / "repo")});
        }
        for (int nRun = 0; nRun < 2; ++nRun) {
            Night night = Backup({"--git"});
            EXPECT_EQ(night.nExit, 0) << night.err;
        }
        EXPECT_TRUE(fs::exists(out / ".velnor" / "lock"));
        EXPECT_EQ(Git({"status", "--porcelain", "--untracked-files=all"}), "");
        EXPECT_EQ(Git({"ls-files"}), "r.conf\n");
    }
    // Said once, however many runs.
    const std::string text = Text(testsupport::ReadFileBytes(m_dir / "repo" / ".git" / "info" / "exclude"));
    EXPECT_NE(text.find("\n/site/.velnor/\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("/site/.velnor/"), text.rfind("/site/.velnor/")) << text;
}

}  // namespace
