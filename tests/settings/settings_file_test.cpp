#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
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

TEST(SettingsFile, LeftoverTempFileOfThisProcessIsReplaced)
{
    TempDir dir;
    const fs::path path = dir / "settings.dat";
    WriteFileBytes(SettingsTempPath(path), {'s', 't', 'a', 'l', 'e'});
    ASSERT_TRUE(ReplaceSettingsFile(path, kNewBytes));
    EXPECT_EQ(ReadFileBytes(path), kNewBytes);
    EXPECT_EQ(FolderEntries(dir.Path()), std::set<std::string>{"settings.dat"});
}

TEST(SettingsFile, FailedReplaceKeepsTheOldFileAndLeavesNoTempFile)
{
    TempDir dir;
    const fs::path path = dir / "settings.dat";
    WriteFileBytes(path, kOldBytes);

    // Something that is not a file where the new file would go: it cannot be created.
    fs::create_directory(SettingsTempPath(path));
    WriteFileBytes(SettingsTempPath(path) / "inside", {1});
    EXPECT_FALSE(ReplaceSettingsFile(path, kNewBytes));
    EXPECT_EQ(ReadFileBytes(path), kOldBytes);
    EXPECT_TRUE(fs::is_directory(SettingsTempPath(path)));
    fs::remove_all(SettingsTempPath(path));

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
