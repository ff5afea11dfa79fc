#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <ctime>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "SettingsFile.h"
#include "SettingsTestSupport.h"
#include "TestSupport.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using settingstest::RunWithoutPrivileges;
using settingstest::UnprivilegedRun;
using testsupport::ReadFileBytes;
using testsupport::TempDir;
using testsupport::WriteFileBytes;

const Bytes kOldBytes = {0x03, 'o', 'l', 'd', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
const Bytes kNewBytes = {0x03, 'n', 'e', 'w', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};

std::set<std::string> FolderEntries(const fs::path& folder)
{
    std::set<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder))
        names.insert(entry.path().filename().string());
    return names;
}

ino_t InodeOf(const fs::path& path)
{
    struct stat status {};
    EXPECT_EQ(::stat(path.c_str(), &status), 0);
    return status.st_ino;
}

TEST(SettingsFile, MissingFileIsToldApartFromAnUnreadableOne)
{
    TempDir dir;
    EXPECT_EQ(ReadSettingsFile(dir / "none.dat").nStatus, SettingsFileStatus::Missing);

    fs::create_directory(dir / "folder.dat");
    EXPECT_EQ(ReadSettingsFile(dir / "folder.dat").nStatus, SettingsFileStatus::Unreadable);

    // A FIFO would block a plain open until a writer comes; start-up must not hang on it.
    ASSERT_EQ(::mkfifo((dir / "fifo.dat").c_str(), 0600), 0);
    EXPECT_EQ(ReadSettingsFile(dir / "fifo.dat").nStatus, SettingsFileStatus::Unreadable);

    WriteFileBytes(dir / "plain.dat", kOldBytes);
    const SettingsFileContents contents = ReadSettingsFile(dir / "plain.dat");
    EXPECT_EQ(contents.nStatus, SettingsFileStatus::Read);
    EXPECT_EQ(contents.bytes, kOldBytes);
    EXPECT_FALSE(contents.bCut);
}

TEST(SettingsFile, FileLockedByAnotherWriterIsUnreadable)
{
    TempDir dir;
    WriteFileBytes(dir / "locked.dat", kOldBytes);
    const int fd = ::open((dir / "locked.dat").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(ReadSettingsFile(dir / "locked.dat").nStatus, SettingsFileStatus::Unreadable);
    ::close(fd);
    EXPECT_EQ(ReadSettingsFile(dir / "locked.dat").nStatus, SettingsFileStatus::Read);
}

TEST(SettingsFile, FileWithoutReadPermissionIsUnreadable)
{
    TempDir dir;
    fs::permissions(dir.Path(), fs::perms::all);
    WriteFileBytes(dir / "secret.dat", kOldBytes);
    // Writable but not readable: the case in which rewriting it with empty values would succeed.
    fs::permissions(dir / "secret.dat", fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write);
    const UnprivilegedRun run = RunWithoutPrivileges(
        [&] { return ReadSettingsFile(dir / "secret.dat").nStatus == SettingsFileStatus::Unreadable; });
    if (run == UnprivilegedRun::NotPossible)
        GTEST_SKIP() << "cannot drop privileges here, and root reads files whatever their permissions";
    EXPECT_EQ(run, UnprivilegedRun::Passed);
}

TEST(SettingsFile, ReadingStopsAtTheLimitAndSaysSo)
{
    TempDir dir;
    const Bytes bytes = testsupport::PatternBytes(10000);
    WriteFileBytes(dir / "big.dat", bytes);

    const SettingsFileContents cut = ReadSettingsFile(dir / "big.dat", 4100);
    EXPECT_EQ(cut.nStatus, SettingsFileStatus::Read);
    EXPECT_TRUE(cut.bCut);
    EXPECT_EQ(cut.bytes, Bytes(bytes.begin(), bytes.begin() + 4100));

    const SettingsFileContents whole = ReadSettingsFile(dir / "big.dat", 10000);
    EXPECT_FALSE(whole.bCut);
    EXPECT_EQ(whole.bytes, bytes);
}

TEST(SettingsFile, ReplaceCreatesAFirstFileAndReplacesAnOldOneInOneStep)
{
    TempDir dir;
    const fs::path path = dir / "settings.dat";
    ASSERT_TRUE(ReplaceSettingsFile(path, kOldBytes));
    EXPECT_EQ(ReadFileBytes(path), kOldBytes);

    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    const ino_t oldInode = InodeOf(path);
    ASSERT_TRUE(ReplaceSettingsFile(path, kNewBytes));
    EXPECT_EQ(ReadFileBytes(path), kNewBytes);
    // A new file renamed into place, not the old one rewritten.
    EXPECT_NE(InodeOf(path), oldInode);
    EXPECT_EQ(fs::status(path).permissions(), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_EQ(FolderEntries(dir.Path()), std::set<std::string>{"settings.dat"});
}

TEST(SettingsFile, FirstFileGetsTheUsualPermissions)
{
    TempDir dir;
    const mode_t nSaved = ::umask(022);
    const bool bReplaced = ReplaceSettingsFile(dir / "settings.dat", kNewBytes);
    ::umask(nSaved);
    ASSERT_TRUE(bReplaced);
    EXPECT_EQ(fs::status(dir / "settings.dat").permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
}

// A settings file without any write permission is read-only for every user, root included, as a
// received file is: a rename, which needs only the folder's permission, would otherwise replace it.
TEST(SettingsFile, FileWithoutWritePermissionIsNotReplacedByAnyone)
{
    TempDir dir;
    const fs::path path = dir / "settings.dat";
    WriteFileBytes(path, kOldBytes);
    fs::permissions(path, fs::perms::owner_read | fs::perms::group_read);
    EXPECT_FALSE(ReplaceSettingsFile(path, kNewBytes));
    EXPECT_EQ(ReadFileBytes(path), kOldBytes);
    EXPECT_EQ(FolderEntries(dir.Path()), std::set<std::string>{"settings.dat"});
}

TEST(SettingsFile, LinkThatLeadsNowhereIsNotReplaced)
{
    TempDir dir;
    fs::create_directory(dir / "real");
    fs::create_symlink("real/settings.dat", dir / "settings.dat");
    EXPECT_FALSE(ReplaceSettingsFile(dir / "settings.dat", kNewBytes));
    EXPECT_TRUE(fs::is_symlink(dir / "settings.dat"));
    EXPECT_TRUE(fs::is_empty(dir / "real"));
}

TEST(SettingsFile, ReplaceThroughASymbolicLinkReplacesItsTarget)
{
    TempDir dir;
    fs::create_directory(dir / "real");
    WriteFileBytes(dir / "real" / "settings.dat", kOldBytes);
    fs::create_symlink("real/settings.dat", dir / "settings.dat");

    ASSERT_TRUE(ReplaceSettingsFile(dir / "settings.dat", kNewBytes));
    EXPECT_TRUE(fs::is_symlink(dir / "settings.dat"));
    EXPECT_EQ(ReadFileBytes(dir / "real" / "settings.dat"), kNewBytes);
    EXPECT_EQ(FolderEntries(dir / "real"), std::set<std::string>{"settings.dat"});
}

// The settings file is saved by the same routine as a received file, with the same temporary names:
// one a killed save left behind is removed once it is stale, and one that a running save may still be
// writing is left alone.
TEST(SettingsFile, LeftoverTemporaryFileIsRemovedOnlyOnceStale)
{
    TempDir dir;
    const fs::path path = dir / "settings.dat";
    const fs::path fresh = dir / ".settings.dat.velnor-0000000000ab.tmp";
    const fs::path stale = dir / ".settings.dat.velnor-0000000000cd.tmp";
    WriteFileBytes(fresh, {'f'});
    WriteFileBytes(stale, {'s'});
    const timespec kHourAgo[2] = {{::time(nullptr) - 3600, 0}, {::time(nullptr) - 3600, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, stale.c_str(), kHourAgo, 0), 0);
    ASSERT_TRUE(ReplaceSettingsFile(path, kNewBytes));
    EXPECT_EQ(ReadFileBytes(path), kNewBytes);
    EXPECT_EQ(FolderEntries(dir.Path()), (std::set<std::string>{".settings.dat.velnor-0000000000ab.tmp", "settings.dat"}));
}

// Makes every open fail for the guard's lifetime, as when the process has no descriptor left: the new
// file cannot be created.
class NoFreeDescriptor {
public:
    NoFreeDescriptor()
    {
        ::getrlimit(RLIMIT_NOFILE, &m_previous);
        const int nNext = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        ::close(nNext);
        rlimit limit = m_previous;
        limit.rlim_cur = static_cast<rlim_t>(nNext);
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
    ~NoFreeDescriptor() { ::setrlimit(RLIMIT_NOFILE, &m_previous); }
    NoFreeDescriptor(const NoFreeDescriptor&) = delete;
    NoFreeDescriptor& operator=(const NoFreeDescriptor&) = delete;

private:
    rlimit m_previous{};
};

TEST(SettingsFile, FailedReplaceKeepsTheOldFileAndLeavesNoTempFile)
{
    TempDir dir;
    const fs::path path = dir / "settings.dat";
    WriteFileBytes(path, kOldBytes);

    // The new file cannot be created.
    {
        NoFreeDescriptor guard;
        EXPECT_FALSE(ReplaceSettingsFile(path, kNewBytes));
    }
    EXPECT_EQ(ReadFileBytes(path), kOldBytes);
    EXPECT_EQ(FolderEntries(dir.Path()), std::set<std::string>{"settings.dat"});

    // A folder of the settings file's name: the new file is written but cannot take its place.
    const fs::path folder = dir / "folder.dat";
    fs::create_directory(folder);
    EXPECT_FALSE(ReplaceSettingsFile(folder, kNewBytes));
    EXPECT_TRUE(fs::is_directory(folder));
    EXPECT_EQ(FolderEntries(dir.Path()), (std::set<std::string>{"folder.dat", "settings.dat"}));
}

// Makes writes beyond nBytes fail as on a full disk, for the guard's lifetime.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t nBytes)
    {
        ::getrlimit(RLIMIT_FSIZE, &m_previous);
        m_previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = m_previous;
        limit.rlim_cur = nBytes;
        m_bSet = ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
    }
    ~FileSizeLimit()
    {
        ::setrlimit(RLIMIT_FSIZE, &m_previous);
        std::signal(SIGXFSZ, m_previousHandler);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;
    bool IsSet() const { return m_bSet; }

private:
    rlimit m_previous{};
    void (*m_previousHandler)(int) = SIG_DFL;
    bool m_bSet = false;
};

TEST(SettingsFile, FullDiskDuringReplaceKeepsTheOldFileWhole)
{
    TempDir dir;
    const fs::path path = dir / "settings.dat";
    const Bytes oldBytes = testsupport::PatternBytes(3000, 7);
    WriteFileBytes(path, oldBytes);
    const Bytes newBytes = testsupport::PatternBytes(5000, 8);
    {
        FileSizeLimit limit(1000);
        ASSERT_TRUE(limit.IsSet());
        EXPECT_FALSE(ReplaceSettingsFile(path, newBytes));
    }
    EXPECT_EQ(ReadFileBytes(path), oldBytes);
    EXPECT_EQ(FolderEntries(dir.Path()), std::set<std::string>{"settings.dat"});
}

TEST(SettingsFile, ReadOnlyFileIsNotReplaced)
{
    TempDir dir;
    fs::permissions(dir.Path(), fs::perms::all);
    const fs::path path = dir / "settings.dat";
    WriteFileBytes(path, kOldBytes);
    fs::permissions(path, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    const UnprivilegedRun run = RunWithoutPrivileges([&] { return !ReplaceSettingsFile(path, kNewBytes); });
    if (run == UnprivilegedRun::NotPossible)
        GTEST_SKIP() << "cannot drop privileges here, and root may write any file";
    EXPECT_EQ(run, UnprivilegedRun::Passed);
    EXPECT_EQ(ReadFileBytes(path), kOldBytes);
    EXPECT_EQ(FolderEntries(dir.Path()), std::set<std::string>{"settings.dat"});
}

TEST(SettingsFile, ReplaceInAReadOnlyFolderFailsAndKeepsTheOldFile)
{
    TempDir dir;
    const fs::path path = dir / "settings.dat";
    WriteFileBytes(path, kOldBytes);
    fs::permissions(path, fs::perms::all);
    // Read-only for its owner too: an ordinary user runs the check as the owner.
    fs::permissions(dir.Path(), fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                    fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
    const UnprivilegedRun run = RunWithoutPrivileges([&] { return !ReplaceSettingsFile(path, kNewBytes); });
    if (run == UnprivilegedRun::NotPossible)
        GTEST_SKIP() << "cannot drop privileges here, and root may write into any folder";
    EXPECT_EQ(run, UnprivilegedRun::Passed);
    EXPECT_EQ(ReadFileBytes(path), kOldBytes);
    EXPECT_EQ(FolderEntries(dir.Path()), std::set<std::string>{"settings.dat"});
}

}  // namespace
