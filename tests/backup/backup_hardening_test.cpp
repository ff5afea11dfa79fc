// The backup folder and its history against a careful attacker and an unlucky administrator: planted
// files and modes, folders others may write into, leftovers of a run still at work, huge old copies,
// a git that stops reading or never ends, and a caller's environment that points git elsewhere.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "BackupFolder.h"
#include "ChildProcess.h"
#include "ConfStore.h"
#include "GitStore.h"
#include "TestSupport.h"

namespace fs = std::filesystem;

namespace {

constexpr uid_t kOtherUser = 65534;  // nobody

void Write(const fs::path& path, const std::string& text)
{
    testsupport::WriteFileBytes(path, std::vector<std::uint8_t>(text.begin(), text.end()));
}

mode_t ModeOf(const fs::path& path)
{
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

// Sets a file's times this many seconds into the past.
void MakeOld(const fs::path& path, int nSeconds)
{
    const timespec when{std::time(nullptr) - nSeconds, 0};
    const timespec times[2] = {when, when};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

struct ModeCase {
    const char* title;
    mode_t oldMode;
    bool bOtherOwner;  // the old file belongs to another user (root only)
    mode_t expected;
};

class ConfModeTest : public ::testing::TestWithParam<ModeCase> {};

TEST_P(ConfModeTest, AReplacedCopyKeepsOnlyWhatItsOwnerChose)
{
    const ModeCase& c = GetParam();
    if (c.bOtherOwner && ::geteuid() != 0) {
        GTEST_SKIP() << "a file of another user needs root";
    }
    testsupport::TempDir dir;
    const fs::path target = dir / "evil.conf";
    Write(target, "planted");
    ASSERT_EQ(::chmod(target.c_str(), c.oldMode), 0);
    if (c.bOtherOwner) {
        ASSERT_EQ(::chown(target.c_str(), kOtherUser, kOtherUser), 0);
    }
    ASSERT_EQ(ReplaceConfIfChanged(target, "router bytes").outcome, ConfReplace::Replaced);
    EXPECT_EQ(ModeOf(target), c.expected);
    struct stat st {};
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, ::geteuid());
}

INSTANTIATE_TEST_SUITE_P(
    Modes, ConfModeTest,
    ::testing::Values(ModeCase{"OwnChoiceKept", 0640, false, 0640},
                      ModeCase{"OwnSetIdBitsDropped", 06755, false, 0755},
                      ModeCase{"OwnStickyBitDropped", 01644, false, 0644},
                      ModeCase{"OthersWorldReadableBecomesPrivate", 0666, true, 0600},
                      ModeCase{"OthersSetIdBecomesPrivate", 06755, true, 0600}),
    [](const ::testing::TestParamInfo<ModeCase>& info) { return std::string(info.param.title); });

TEST(ConfStoreCompareTest, ComparedInPiecesAndAHugeOldCopySimplyDiffers)
{
    testsupport::TempDir dir;
    // Same size, one byte apart at the very end of the second piece: a change.
    std::string bytes(200000, 'x');
    Write(dir / "r.conf", bytes);
    bytes.back() = 'y';
    EXPECT_EQ(ReplaceConfIfChanged(dir / "r.conf", bytes).outcome, ConfReplace::Replaced);
    EXPECT_EQ(ReplaceConfIfChanged(dir / "r.conf", bytes).outcome, ConfReplace::Unchanged);

    // A sparse old copy far larger than any transfer brings: replaced without being read into memory.
    const fs::path huge = dir / "huge.conf";
    {
        std::ofstream(huge.string()).put('x');
    }
    fs::resize_file(huge, std::uintmax_t{256} << 20);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        rusage before {}, after {};
        ::getrusage(RUSAGE_SELF, &before);
        const bool bReplaced = ReplaceConfIfChanged(huge, "small", false).outcome == ConfReplace::Replaced;
        ::getrusage(RUSAGE_SELF, &after);
        const long nGrownKiB = after.ru_maxrss - before.ru_maxrss;
        ::_exit(!bReplaced ? 2 : nGrownKiB > 32 * 1024 ? 3 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "2: not replaced, 3: the old copy was read into memory";
    EXPECT_EQ(fs::file_size(huge), 5u);
}

struct FolderCase {
    const char* title;
    mode_t mode;        // 0: the folder does not exist yet
    bool bOtherOwner;   // root only
    bool bFile;         // a file at the name
    const char* words;  // of the refusal; nullptr: accepted
    mode_t expected;    // the mode after an accepted one
};

class BackupFolderTest : public ::testing::TestWithParam<FolderCase> {};

TEST_P(BackupFolderTest, RefusedWhenOthersCouldChangeWhatLandsInIt)
{
    const FolderCase& c = GetParam();
    if (c.bOtherOwner && ::geteuid() != 0) {
        GTEST_SKIP() << "a folder of another user needs root";
    }
    testsupport::TempDir top;
    const fs::path dir = top / "out" / "backups";
    if (c.bFile) {
        fs::create_directory(top / "out");
        Write(dir, "x");
    } else if (c.mode != 0) {
        fs::create_directories(dir);
        ASSERT_EQ(::chmod(dir.c_str(), c.mode), 0);
        if (c.bOtherOwner) {
            ASSERT_EQ(::chown(dir.c_str(), kOtherUser, kOtherUser), 0);
        }
    }
    std::optional<FolderLock> lock;
    const bool bSlash = std::string(c.title).find("Slash") != std::string::npos;
    const std::optional<std::string> error = PrepareBackupFolder(bSlash ? fs::path(dir.string() + "/") : dir, 0, &lock);
    if (!c.words) {
        EXPECT_FALSE(error) << *error;
        EXPECT_EQ(ModeOf(dir), c.expected);
        return;
    }
    ASSERT_TRUE(error);
    EXPECT_NE(error->find(dir.string()), std::string::npos) << *error;
    EXPECT_NE(error->find(c.words), std::string::npos) << *error;
}

INSTANTIATE_TEST_SUITE_P(
    Folders, BackupFolderTest,
    ::testing::Values(FolderCase{"MadePrivate", 0, false, false, nullptr, 0700},
                      FolderCase{"MadePrivateWithATrailingSlash", 0, false, false, nullptr, 0700},
                      FolderCase{"OwnOpenToReadersKept", 0755, false, false, nullptr, 0755},
                      FolderCase{"WorldWritable", 0777, false, false, "can be written by other users", 0},
                      FolderCase{"GroupWritable", 0770, false, false, "can be written by other users", 0},
                      FolderCase{"StickyLikeTmp", 01777, false, false, "can be written by other users", 0},
                      FolderCase{"AnotherUsers", 0755, true, false, "belongs to another user", 0},
                      FolderCase{"AFile", 0, false, true, "is not a folder", 0}),
    [](const ::testing::TestParamInfo<FolderCase>& info) { return std::string(info.param.title); });

TEST(BackupFolderSweepTest, OnlyLeftoversOldEnoughToBeNobodysWork)
{
    testsupport::TempDir dir;
    const struct {
        const char* name;
        int nAgeSeconds;
        bool bOtherOwner;
        bool bRemoved;
    } files[] = {
        {".core.conf.new-a1b2c3", kStaleTemporaryMinutes * 60 + 60, false, true},
        // Another run into this folder is writing it right now.
        {".edge.conf.new-d4e5f6", 0, false, false},
        {".edge.conf.new-g7h8i9", kStaleTemporaryMinutes * 60 - 60, false, false},
        // Not a name of ours, or not our file.
        {".notes.txt.new-a1b2c3", kStaleTemporaryMinutes * 60 + 60, false, false},
        {"core.conf", kStaleTemporaryMinutes * 60 + 60, false, false},
        {".spare.conf.new-j1k2l3", kStaleTemporaryMinutes * 60 + 60, true, false},
    };
    for (const auto& f : files) {
        Write(dir / f.name, "x");
        if (f.bOtherOwner && ::geteuid() == 0) {
            ASSERT_EQ(::chown((dir / f.name).c_str(), kOtherUser, kOtherUser), 0);
        }
        MakeOld(dir / f.name, f.nAgeSeconds);
    }
    std::optional<FolderLock> lock;
    ASSERT_FALSE(PrepareBackupFolder(dir.Path(), 0, &lock));
    for (const auto& f : files) {
        if (f.bOtherOwner && ::geteuid() != 0)
            continue;  // without root it is our own file
        EXPECT_EQ(fs::exists(dir / f.name), !f.bRemoved) << f.name;
    }
}

TEST(WorkFolderSweepTest, AKilledRunsFolderGoesALiveRunsStays)
{
    testsupport::TempDir tmp;
    const char* saved = std::getenv("TMPDIR");
    const std::string savedTmp = saved ? saved : "";
    ::setenv("TMPDIR", tmp.Path().c_str(), 1);

    // A run killed outright: its folder, with a received file, and nobody holding it.
    fs::path orphan;
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        CWorkFolder work;
        Write(work.Path() / "r.conf", "received");
        std::ofstream(tmp.Path() / "name") << work.Path().string();
        ::_exit(0);  // no destructor: as after kill -9
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    std::ifstream(tmp.Path() / "name") >> orphan;
    ASSERT_TRUE(fs::exists(orphan / "r.conf"));
    fs::remove(tmp.Path() / "name");

    {
        CWorkFolder live;
        ASSERT_TRUE(live.IsValid());
        Write(tmp / "velnor-backup-notdir", "x");  // not a folder: not ours to judge
        // Young: a run may have just made it and not yet locked it.
        CWorkFolder::SweepOrphans();
        EXPECT_TRUE(fs::exists(orphan));
        MakeOld(orphan, kStaleTemporaryMinutes * 60 + 1);
        MakeOld(live.Path(), kStaleTemporaryMinutes * 60 + 1);
        CWorkFolder::SweepOrphans();
        EXPECT_FALSE(fs::exists(orphan));
        EXPECT_TRUE(fs::exists(live.Path()));
        EXPECT_TRUE(fs::exists(tmp / "velnor-backup-notdir"));
    }
    if (saved)
        ::setenv("TMPDIR", savedTmp.c_str(), 1);
    else
        ::unsetenv("TMPDIR");
}

class GitHardeningTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ::setenv("HOME", m_home.Path().c_str(), 1);
        ::setenv("GIT_CONFIG_NOSYSTEM", "1", 1);
    }
    void TearDown() override
    {
        for (const char* name : {"GIT_DIR", "GIT_WORK_TREE", "GIT_INDEX_FILE", "GIT_CONFIG_COUNT", "GIT_CONFIG_KEY_0",
                                 "GIT_CONFIG_VALUE_0"})
            ::unsetenv(name);
    }

    std::string GitOut(const fs::path& dir, const std::vector<std::string>& args)
    {
        CGitStore::Run run = CGitStore(dir).Git(args);
        EXPECT_EQ(run.nExit, 0) << run.err;
        return run.out;
    }

    static CGitStore::CommitResult Commit(CGitStore& store, const std::vector<std::string>& files,
                                          const std::string& message = "backup\n")
    {
        return store.Commit(files, [&](const std::vector<std::string>&) { return message; });
    }

    void AddHook(const fs::path& dir, const std::string& script)
    {
        const fs::path hook = dir / ".git" / "hooks" / "pre-commit";
        fs::create_directories(hook.parent_path());
        Write(hook, "#!/bin/sh\n" + script);
        ::chmod(hook.c_str(), 0755);
    }

    testsupport::TempDir m_home, m_dir;
};

TEST_F(GitHardeningTest, AHookThatRefusesBeforeReadingALongMessageIsAFailureNotADeath)
{
    CGitStore store(m_dir.Path());
    std::string error;
    ASSERT_TRUE(store.Prepare(error)) << error;
    AddHook(m_dir.Path(), "exit 1\n");
    Write(m_dir / "r.conf", "r1");
    // Far more than a pipe holds: git exits with most of it unread.
    const CGitStore::CommitResult result = Commit(store, {"r.conf"}, std::string(1 << 20, 'm') + "\n");
    EXPECT_FALSE(result.bOk);
    EXPECT_NE(result.strError.find("git commit failed"), std::string::npos) << result.strError;
    EXPECT_FALSE(result.hash);
}

TEST_F(GitHardeningTest, AGitThatNeverEndsGoesWithItsHookAndItsLockIsSettledNextTime)
{
    CGitStore store(m_dir.Path());
    std::string error;
    ASSERT_TRUE(store.Prepare(error)) << error;
    const fs::path pidFile = m_dir / "hook.pid";
    AddHook(m_dir.Path(), "sleep 30 &\necho $! > '" + pidFile.string() + "'\nwait\n");
    Write(m_dir / "r.conf", "r1");
    store.SetWaitMs(1500);  // time for git to reach its hook, even on a loaded machine
    const CGitStore::CommitResult hung = Commit(store, {"r.conf"});
    EXPECT_FALSE(hung.bOk);
    EXPECT_NE(hung.strError.find("git did not end"), std::string::npos) << hung.strError;

    // The hook's own child is gone too, not left running with the index locked.
    pid_t child = 0;
    std::ifstream(pidFile) >> child;
    ASSERT_GT(child, 0);
    auto alive = [&] {
        std::ifstream stat("/proc/" + std::to_string(child) + "/stat");
        std::string pid, name, state;
        return static_cast<bool>(stat >> pid >> name >> state) && state != "Z";
    };
    for (int i = 0; i < 40 && alive(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(alive()) << "the hook's child " << child << " still runs";
    fs::remove(pidFile);

    // The killed git left its lock: a run that cannot be sure it is alone refuses and names it; the
    // sole run removes it, says so, and commits.
    if (!fs::exists(m_dir / ".git" / "index.lock"))
        Write(m_dir / ".git" / "index.lock", "");
    fs::remove(m_dir / ".git" / "hooks" / "pre-commit");
    CGitStore unsure(m_dir.Path());
    EXPECT_FALSE(unsure.Prepare(error));
    EXPECT_NE(error.find((m_dir / ".git" / "index.lock").string()), std::string::npos) << error;
    EXPECT_TRUE(fs::exists(m_dir / ".git" / "index.lock"));

    CGitStore sole(m_dir.Path());
    ASSERT_TRUE(sole.Prepare(error, true)) << error;
    ASSERT_EQ(sole.Notices().size(), 1u);
    EXPECT_NE(sole.Notices()[0].find("index.lock"), std::string::npos) << sole.Notices()[0];
    const CGitStore::CommitResult done = Commit(sole, {"r.conf"});
    EXPECT_TRUE(done.bOk) << done.strError;
    EXPECT_TRUE(done.hash);
}

TEST_F(GitHardeningTest, ALockInTheUsersBiggerRepositoryIsNeverOursToRemove)
{
    GitOut(m_dir.Path(), {"init", "--quiet"});
    fs::create_directory(m_dir / "backups");
    Write(m_dir / ".git" / "index.lock", "");
    CGitStore store(m_dir / "backups");
    std::string error;
    EXPECT_FALSE(store.Prepare(error, true));
    EXPECT_NE(error.find("index.lock"), std::string::npos) << error;
    EXPECT_TRUE(fs::exists(m_dir / ".git" / "index.lock"));
}

struct EnvCase {
    const char* title;
    std::vector<std::pair<std::string, std::string>> env;  // OTHER stands for the other repository
};

class GitEnvironmentTest : public GitHardeningTest, public ::testing::WithParamInterface<EnvCase> {};

TEST_P(GitEnvironmentTest, TheCallersGitVariablesNeverReachTheFoldersGit)
{
    testsupport::TempDir other;
    GitOut(other.Path(), {"init", "--quiet"});
    const fs::path marker = other / "hook-ran";
    fs::create_directory(other / "hooks");
    Write(other / "hooks" / "pre-commit", "#!/bin/sh\ntouch '" + marker.string() + "'\n");
    ::chmod((other / "hooks" / "pre-commit").c_str(), 0755);
    for (auto [name, value] : GetParam().env) {
        if (value.rfind("OTHER", 0) == 0)
            value = other.Path().string() + value.substr(5);
        ::setenv(name.c_str(), value.c_str(), 1);
    }
    CGitStore store(m_dir.Path());
    std::string error;
    ASSERT_TRUE(store.Prepare(error)) << error;
    Write(m_dir / "r.conf", "r1");
    const CGitStore::CommitResult result = Commit(store, {"r.conf"});
    TearDown();
    EXPECT_TRUE(result.bOk) << result.strError;
    EXPECT_TRUE(fs::is_directory(m_dir / ".git"));
    EXPECT_EQ(GitOut(m_dir.Path(), {"show", "--name-only", "--format=", "HEAD"}), "r.conf\n");
    EXPECT_FALSE(fs::exists(marker));
    EXPECT_NE(CGitStore(other.Path()).Git({"rev-parse", "--verify", "-q", "HEAD"}).nExit, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Variables, GitEnvironmentTest,
    ::testing::Values(EnvCase{"GitDir", {{"GIT_DIR", "OTHER/.git"}}},
                      EnvCase{"WorkTreeAndIndex", {{"GIT_WORK_TREE", "OTHER"}, {"GIT_INDEX_FILE", "OTHER/.git/index"}}},
                      EnvCase{"ConfigHooksPath",
                              {{"GIT_CONFIG_COUNT", "1"}, {"GIT_CONFIG_KEY_0", "core.hooksPath"},
                               {"GIT_CONFIG_VALUE_0", "OTHER/hooks"}}}),
    [](const ::testing::TestParamInfo<EnvCase>& info) { return std::string(info.param.title); });

TEST_F(GitHardeningTest, ARepositoryOfAnotherUserIsRefusedNotMadeAnew)
{
    if (::geteuid() != 0) {
        GTEST_SKIP() << "a repository of another user needs root";
    }
    GitOut(m_dir.Path(), {"init", "--quiet"});
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(m_dir.Path()))
        ASSERT_EQ(::lchown(entry.path().c_str(), kOtherUser, kOtherUser), 0);
    ASSERT_EQ(::chown(m_dir.Path().c_str(), kOtherUser, kOtherUser), 0);
    CGitStore store(m_dir.Path());
    std::string error;
    EXPECT_FALSE(store.Prepare(error));
    EXPECT_NE(error.find("does not trust"), std::string::npos) << error;
    EXPECT_NE(error.find(m_dir.Path().string()), std::string::npos) << error;
    struct stat st {};
    ASSERT_EQ(::stat((m_dir / ".git" / "config").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, kOtherUser);  // not rewritten by us
}

TEST_F(GitHardeningTest, ANewHistoryIsItsOwnersAlone)
{
    CGitStore store(m_dir.Path());
    std::string error;
    ASSERT_TRUE(store.Prepare(error)) << error;
    EXPECT_EQ(GitOut(m_dir.Path(), {"config", "core.sharedRepository"}), "0600\n");
    Write(m_dir / "r.conf", "password secret");
    ::chmod((m_dir / "r.conf").c_str(), 0600);
    ASSERT_TRUE(Commit(store, {"r.conf"}).bOk);
    int nObjects = 0;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(m_dir / ".git" / "objects")) {
        if (!entry.is_regular_file())
            continue;
        ++nObjects;
        EXPECT_EQ(ModeOf(entry.path()) & 077, 0u) << entry.path();
    }
    EXPECT_GT(nObjects, 0);
}

TEST(BackupFolderStatusTest, StatusWarnsWhenOthersMayEnterTheFolder)
{
    testsupport::TempDir dir;
    const fs::path out = dir / "backups";
    for (const mode_t mode : {0755, 0710, 0700}) {
        fs::create_directories(out);
        ASSERT_EQ(::chmod(out.c_str(), mode), 0);
        const ProgramRun run = RunProgram({VELNOR_TFTP_PROGRAM, "status", "--out", out.string()}, {}, {}, 10000);
        ASSERT_TRUE(run.bStarted);
        EXPECT_EQ(run.err.find("warning: other users may enter " + out.string()) != std::string::npos, mode != 0700)
            << std::oct << mode << ": " << run.err;
    }
}

TEST(ChildProcessTest, AProgramThatStopsReadingItsInputIsNoHarm)
{
    // head reads a line and ends; the rest of the input has nowhere to go.
    const ProgramRun run = RunProgram({"head", "-c", "1"}, {}, std::string(4 << 20, 'x'), 10000);
    EXPECT_TRUE(run.bStarted);
    EXPECT_EQ(run.nExit, 0);
    EXPECT_EQ(run.out, "x");
}

}  // namespace
