// The lock of a backup folder: one writer at a time, readers beside each other, the holder named in a
// refusal, a wait that ends when the holder lets go, and no stale lock after a killed holder.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "FolderLock.h"
#include "TestSupport.h"

namespace fs = std::filesystem;

namespace {

using Kind = FolderLock::Kind;

struct ConflictCase {
    const char* title;
    Kind first;
    Kind second;
    bool bSecondTaken;
};

class FolderLockConflictTest : public ::testing::TestWithParam<ConflictCase> {};

TEST_P(FolderLockConflictTest, OneWriterOrManyReaders)
{
    testsupport::TempDir dir;
    // A writer made the folder's lock file; readers only find it.
    ASSERT_TRUE(FolderLock::Take(dir.Path().string(), Kind::Exclusive, 0, nullptr));
    std::string error;
    std::optional<FolderLock> first = FolderLock::Take(dir.Path().string(), GetParam().first, 0, &error);
    ASSERT_TRUE(first) << error;
    const auto nStart = std::chrono::steady_clock::now();
    std::optional<FolderLock> second = FolderLock::Take(dir.Path().string(), GetParam().second, 0, &error);
    EXPECT_EQ(second.has_value(), GetParam().bSecondTaken) << error;
    // No wait asked for: the answer comes at once.
    EXPECT_LT(std::chrono::steady_clock::now() - nStart, std::chrono::milliseconds(500));
    if (!GetParam().bSecondTaken) {
        EXPECT_NE(error.find("the backup folder " + dir.Path().string() + " is in use by "), std::string::npos)
            << error;
    }
    // Once the first lets go, the second gets it.
    first.reset();
    EXPECT_TRUE(FolderLock::Take(dir.Path().string(), GetParam().second, 0, &error)) << error;
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, FolderLockConflictTest,
    ::testing::Values(ConflictCase{"WriterThenWriter", Kind::Exclusive, Kind::Exclusive, false},
                      ConflictCase{"WriterThenReader", Kind::Exclusive, Kind::Shared, false},
                      ConflictCase{"ReaderThenWriter", Kind::Shared, Kind::Exclusive, false},
                      ConflictCase{"ReaderThenReader", Kind::Shared, Kind::Shared, true}),
    [](const ::testing::TestParamInfo<ConflictCase>& info) { return std::string(info.param.title); });

TEST(FolderLockTest, TheRefusalNamesTheWritersProcessAndStartAndForgetsItOnRelease)
{
    testsupport::TempDir dir;
    std::optional<FolderLock> held = FolderLock::Take(dir.Path().string(), Kind::Exclusive, 0, nullptr);
    ASSERT_TRUE(held);
    EXPECT_EQ(fs::status(dir / ".velnor").permissions(), fs::perms::owner_all);
    EXPECT_EQ(fs::status(dir.Path() / ".velnor" / "lock").permissions(),
              fs::perms::owner_read | fs::perms::owner_write);
    std::string error;
    EXPECT_FALSE(FolderLock::Take(dir.Path().string(), Kind::Exclusive, 0, &error));
    EXPECT_NE(error.find("in use by process " + std::to_string(::getpid()) + " (started 20"), std::string::npos)
        << error;
    // A moved lock is still held, and held once.
    FolderLock moved = std::move(*held);
    held.reset();
    EXPECT_FALSE(FolderLock::Take(dir.Path().string(), Kind::Shared, 0, &error));
    { FolderLock gone = std::move(moved); }
    EXPECT_TRUE(fs::is_empty(dir.Path() / ".velnor" / "lock"));
    // A reader holding it now is no process of the last writer.
    std::optional<FolderLock> reader = FolderLock::Take(dir.Path().string(), Kind::Shared, 0, &error);
    ASSERT_TRUE(reader) << error;
    EXPECT_FALSE(FolderLock::Take(dir.Path().string(), Kind::Exclusive, 0, &error));
    EXPECT_NE(error.find("in use by another process"), std::string::npos) << error;
}

TEST(FolderLockTest, AReaderCreatesNothing)
{
    testsupport::TempDir dir;
    std::string error;
    EXPECT_TRUE(FolderLock::Take(dir.Path().string(), Kind::Shared, 0, &error)) << error;
    EXPECT_TRUE(FolderLock::Take((dir.Path() / "missing").string(), Kind::Shared, 0, &error)) << error;
    EXPECT_TRUE(fs::is_empty(dir.Path()));
    // A writer cannot make its lock in a folder that does not exist, and says where.
    EXPECT_FALSE(FolderLock::Take((dir.Path() / "missing").string(), Kind::Exclusive, 0, &error));
    EXPECT_NE(error.find("cannot create " + (dir.Path() / "missing" / ".velnor").string()), std::string::npos) << error;
}

TEST(FolderLockTest, ALinkInPlaceOfTheBackupsFolderIsRefused)
{
    testsupport::TempDir dir, elsewhere;
    fs::create_directory_symlink(elsewhere.Path(), dir.Path() / ".velnor");
    std::string error;
    EXPECT_FALSE(FolderLock::Take(dir.Path().string(), Kind::Exclusive, 0, &error));
    EXPECT_NE(error.find(".velnor is not a folder of this user"), std::string::npos) << error;
    EXPECT_TRUE(fs::is_empty(elsewhere.Path()));
}

TEST(FolderLockTest, AWaitEndsWhenTheHolderLetsGoOrGivesUp)
{
    testsupport::TempDir dir;
    std::optional<FolderLock> held = FolderLock::Take(dir.Path().string(), Kind::Exclusive, 0, nullptr);
    ASSERT_TRUE(held);
    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        held.reset();
    });
    const auto nStart = std::chrono::steady_clock::now();
    std::string error;
    std::optional<FolderLock> waited = FolderLock::Take(dir.Path().string(), Kind::Exclusive, 5, &error);
    const auto waitedFor = std::chrono::steady_clock::now() - nStart;
    releaser.join();
    EXPECT_TRUE(waited) << error;
    EXPECT_GE(waitedFor, std::chrono::milliseconds(250));
    EXPECT_LT(waitedFor, std::chrono::milliseconds(1500));

    // Held all along: one second, then the refusal says it waited.
    const auto nGiveUp = std::chrono::steady_clock::now();
    EXPECT_FALSE(FolderLock::Take(dir.Path().string(), Kind::Exclusive, 1, &error));
    EXPECT_GE(std::chrono::steady_clock::now() - nGiveUp, std::chrono::milliseconds(950));
    EXPECT_NE(error.find("gave up after waiting 1 s"), std::string::npos) << error;
}

TEST(FolderLockTest, AKilledHolderLeavesNoStaleLock)
{
    testsupport::TempDir dir;
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        std::optional<FolderLock> lock = FolderLock::Take(dir.Path().string(), Kind::Exclusive, 0, nullptr);
        const char byte = lock ? 'y' : 'n';
        [[maybe_unused]] const ssize_t n = ::write(ready[1], &byte, 1);
        ::pause();
        ::_exit(0);
    }
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    ASSERT_EQ(byte, 'y');
    std::string error;
    EXPECT_FALSE(FolderLock::Take(dir.Path().string(), Kind::Exclusive, 0, &error));
    EXPECT_NE(error.find("process " + std::to_string(pid)), std::string::npos) << error;
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    ::close(ready[0]);
    ::close(ready[1]);
    // The lock file is still there, with the dead holder's lines: the lock is free all the same.
    EXPECT_TRUE(fs::exists(dir.Path() / ".velnor" / "lock"));
    EXPECT_TRUE(FolderLock::Take(dir.Path().string(), Kind::Exclusive, 0, &error)) << error;
}

}  // namespace
