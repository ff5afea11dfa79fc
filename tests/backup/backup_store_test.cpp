// The backup folder on a real disk and its history in a real git repository.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <set>
#include <string>
#include <vector>

#include "BackupCommit.h"
#include "BackupMetrics.h"
#include "BackupState.h"
#include "ConfStore.h"
#include "GitStore.h"
#include "TestSupport.h"

namespace fs = std::filesystem;

namespace {

std::set<std::string> NamesIn(const fs::path& dir)
{
    std::set<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir))
        names.insert(entry.path().filename().string());
    return names;
}

std::string Read(const fs::path& path)
{
    std::string bytes;
    EXPECT_TRUE(ReadFileBytes(path, bytes)) << path;
    return bytes;
}

void Write(const fs::path& path, const std::string& text)
{
    testsupport::WriteFileBytes(path, std::vector<std::uint8_t>(text.begin(), text.end()));
}

TEST(ConfStoreTest, ReplacedOnlyWhenTheBytesChangedAndNothingLeftBeside)
{
    testsupport::TempDir dir;
    const fs::path target = dir / "core-1.conf";

    // A new copy is private whatever the creation mask lets through.
    const mode_t oldMask = ::umask(0);
    EXPECT_EQ(ReplaceConfIfChanged(target, "hostname a\n").outcome, ConfReplace::Replaced);
    ::umask(oldMask);
    EXPECT_EQ(Read(target), "hostname a\n");
    struct stat created {};
    ASSERT_EQ(::stat(target.c_str(), &created), 0);
    EXPECT_EQ(created.st_mode & 07777, 0600u);
    ::chmod(target.c_str(), 0640);
    struct stat before {};
    ASSERT_EQ(::stat(target.c_str(), &before), 0);

    // Same bytes: the very same file stays (same inode), so git and file times see no change.
    EXPECT_EQ(ReplaceConfIfChanged(target, "hostname a\n").outcome, ConfReplace::Unchanged);
    struct stat same {};
    ASSERT_EQ(::stat(target.c_str(), &same), 0);
    EXPECT_EQ(same.st_ino, before.st_ino);

    // One byte more, one byte less, an empty file: each is a change, and the permissions stay.
    for (const std::string& bytes : {std::string("hostname a\n\n"), std::string("hostname a"), std::string()}) {
        EXPECT_EQ(ReplaceConfIfChanged(target, bytes).outcome, ConfReplace::Replaced);
        EXPECT_EQ(Read(target), bytes);
        struct stat after {};
        ASSERT_EQ(::stat(target.c_str(), &after), 0);
        EXPECT_EQ(after.st_mode & 07777, 0640u);
    }
    EXPECT_EQ(NamesIn(dir.Path()), std::set<std::string>{"core-1.conf"});
}

TEST(ConfStoreTest, ALinkIsReplacedNeverWrittenThrough)
{
    testsupport::TempDir dir;
    Write(dir / "elsewhere", "precious");
    fs::create_symlink(dir / "elsewhere", dir / "r.conf");
    EXPECT_EQ(ReplaceConfIfChanged(dir / "r.conf", "config").outcome, ConfReplace::Replaced);
    EXPECT_FALSE(fs::is_symlink(dir / "r.conf"));
    EXPECT_EQ(Read(dir / "r.conf"), "config");
    EXPECT_EQ(Read(dir / "elsewhere"), "precious");
}

TEST(ConfStoreTest, AFailedReplacementKeepsTheOldCopy)
{
    // The file beside the target cannot be created: its name is longer than the file system takes
    // (a read-only folder would not stop root).
    testsupport::TempDir dir;
    const std::string name = std::string(250, 'r') + ".conf";
    Write(dir / name, "old");
    const ConfReplaceResult result = ReplaceConfIfChanged(dir / name, "new");
    EXPECT_EQ(result.outcome, ConfReplace::Failed);
    EXPECT_NE(result.strError.find("File name too long"), std::string::npos) << result.strError;
    EXPECT_EQ(Read(dir / name), "old");
    EXPECT_EQ(NamesIn(dir.Path()), std::set<std::string>{name});
}

// What stands at a copy's name and is no file: a folder is left as it is and named in the failure; a
// link to a folder or a pipe gives way to the copy. Nothing is left beside either way.
TEST(ConfStoreTest, AFolderAtACopysNameIsNamedAndLeftAloneALinkOrAPipeGivesWay)
{
    testsupport::TempDir dir;
    fs::create_directory(dir / "folder.conf");
    Write(dir / "folder.conf" / "inside", "kept");
    const ConfReplaceResult result = ReplaceConfIfChanged(dir / "folder.conf", "config");
    EXPECT_EQ(result.outcome, ConfReplace::Failed);
    EXPECT_EQ(result.strError, "cannot replace " + (dir / "folder.conf").string() + ": Is a directory");
    EXPECT_EQ(Read(dir / "folder.conf" / "inside"), "kept");

    fs::create_directory(dir / "elsewhere");
    fs::create_symlink(dir / "elsewhere", dir / "link.conf");
    ASSERT_EQ(::mkfifo((dir / "pipe.conf").c_str(), 0644), 0);
    for (const char* name : {"link.conf", "pipe.conf"}) {
        EXPECT_EQ(ReplaceConfIfChanged(dir / name, "config").outcome, ConfReplace::Replaced) << name;
        EXPECT_EQ(Read(dir / name), "config") << name;
    }
    EXPECT_TRUE(fs::is_empty(dir / "elsewhere"));
    EXPECT_EQ(NamesIn(dir.Path()), (std::set<std::string>{"elsewhere", "folder.conf", "link.conf", "pipe.conf"}));
}

// A copy's temporary file left by a run killed outright, in either form (the routine's, or the one of
// earlier versions), goes at the start of the next run once it is old; a younger one stays.
TEST(ConfStoreTest, TheStartOfARunSweepsOldLeftoversOfEitherForm)
{
    testsupport::TempDir dir;
    const struct {
        const char* name;
        bool bOld;
        bool bRemoved;
    } planted[] = {
        {".r.conf.velnor-0123456789ab.tmp", true, true},
        {".r.conf.new-a1b2c3", true, true},
        {".s.conf.velnor-0123456789cd.tmp", false, false},
        {".r.conf.old", true, false},
    };
    std::set<std::string> expected;
    for (const auto& p : planted) {
        Write(dir / p.name, "x");
        if (p.bOld) {
            const auto age = std::chrono::minutes(kStaleTemporaryMinutes + 1);
            fs::last_write_time(dir / p.name, fs::file_time_type::clock::now() - age);
        }
        if (!p.bRemoved)
            expected.insert(p.name);
    }
    RemoveConfLeftovers(dir.Path());
    EXPECT_EQ(NamesIn(dir.Path()), expected);
}

// The state and the metrics are the backup's own files too: a link at either name is replaced, never
// written through; the state is always 0600 and the metrics always 0644, whatever was there; a folder
// that is missing is named in the words of the backup.
TEST(ConfStoreTest, TheStateAndTheMetricsReplaceALinkAndKeepTheirOwnBits)
{
    testsupport::TempDir dir;
    fs::create_directory(dir / ".velnor");
    Write(dir / "precious", "precious");
    fs::create_symlink(dir / "precious", dir / ".velnor" / "state.json");
    fs::create_symlink(dir / "precious", dir / "velnor.prom");
    std::string error;
    ASSERT_TRUE(SaveBackupState(dir.Path().string(), BackupState{}, &error)) << error;
    ASSERT_TRUE(WriteBackupMetrics((dir / "velnor.prom").string(), BackupState{}, &error)) << error;
    EXPECT_EQ(Read(dir / "precious"), "precious");
    struct stat st {};
    ASSERT_EQ(::lstat((dir / ".velnor" / "state.json").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    ASSERT_EQ(::lstat((dir / "velnor.prom").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_TRUE(LoadBackupState(dir.Path().string()).state.routers.empty());

    // An old metrics file made private, and one made public, both become 0644 again.
    for (const mode_t nOld : {mode_t{0600}, mode_t{0666}}) {
        ASSERT_EQ(::chmod((dir / "velnor.prom").c_str(), nOld), 0);
        ASSERT_TRUE(WriteBackupMetrics((dir / "velnor.prom").string(), BackupState{}, &error)) << error;
        ASSERT_EQ(::stat((dir / "velnor.prom").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0644u);
    }
    EXPECT_EQ(NamesIn(dir.Path()), (std::set<std::string>{".velnor", "precious", "velnor.prom"}));
    EXPECT_EQ(NamesIn(dir / ".velnor"), std::set<std::string>{"state.json"});

    EXPECT_FALSE(WriteBackupMetrics((dir / "missing" / "velnor.prom").string(), BackupState{}, &error));
    EXPECT_EQ(error, "cannot create a file in " + (dir / "missing").string() + ": No such file or directory");
}

// A received file put into place from its file, read a piece at a time: every difference, in the
// first, a middle or the last piece, is a change, the same bytes leave the very same file, and the
// source can be read twice over (comparison, then copy).
TEST(ConfStoreTest, AReceivedFileIsComparedAndCopiedInPieces)
{
    testsupport::TempDir dir;
    const fs::path target = dir / "big.conf";
    const fs::path received = dir / "received";
    const std::vector<std::uint8_t> pattern = testsupport::PatternBytes(3 * 65536 + 123, 8);
    const std::string base(pattern.begin(), pattern.end());
    const auto flipped = [&](std::size_t nOffset) {
        std::string other = base;
        other[nOffset] = static_cast<char>(other[nOffset] ^ 0x20);
        return other;
    };
    struct Step {
        const char* name;
        std::string bytes;
        ConfReplace outcome;
    };
    const Step steps[] = {
        {"new copy", base, ConfReplace::Replaced},
        {"same bytes", base, ConfReplace::Unchanged},
        {"first byte", flipped(0), ConfReplace::Replaced},
        {"back again", base, ConfReplace::Replaced},
        {"first byte of the second piece", flipped(65536), ConfReplace::Replaced},
        {"last byte", flipped(base.size() - 1), ConfReplace::Replaced},
        {"last byte, again", flipped(base.size() - 1), ConfReplace::Unchanged},
        {"one byte shorter", base.substr(0, base.size() - 1), ConfReplace::Replaced},
        {"empty", std::string(), ConfReplace::Replaced},
        {"empty, again", std::string(), ConfReplace::Unchanged},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        Write(received, step.bytes);
        struct stat before {};
        ::stat(target.c_str(), &before);
        CConfSource source;
        ASSERT_TRUE(source.Open(received));
        EXPECT_EQ(ReplaceConfIfChanged(target, source).outcome, step.outcome);
        EXPECT_EQ(Read(target), step.bytes);
        struct stat after {};
        ASSERT_EQ(::stat(target.c_str(), &after), 0);
        EXPECT_EQ(after.st_ino == before.st_ino, step.outcome == ConfReplace::Unchanged);
        EXPECT_EQ(after.st_mode & 07777, 0600u);
    }
    EXPECT_EQ(NamesIn(dir.Path()), (std::set<std::string>{"big.conf", "received"}));

    // A source that is no ordinary file, or no file at all, cannot be opened; one reached through a
    // link is not followed.
    CConfSource folder, missing, linked;
    EXPECT_FALSE(folder.Open(dir.Path()));
    EXPECT_FALSE(missing.Open(dir / "missing"));
    fs::create_symlink(received, dir / "link");
    EXPECT_FALSE(linked.Open(dir / "link"));
}

TEST(ConfStoreTest, WorkFolderIsPrivateAndGoesWithItsContent)
{
    fs::path path;
    {
        CWorkFolder work;
        ASSERT_TRUE(work.IsValid());
        path = work.Path();
        struct stat st {};
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0700u);
        Write(path / "partial.conf", "half a file");
    }
    EXPECT_FALSE(fs::exists(path));
}

class GitStoreTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // The tests' own identity rules: no user configuration of the machine may leak in.
        ::setenv("HOME", m_home.Path().c_str(), 1);
        ::setenv("GIT_CONFIG_NOSYSTEM", "1", 1);
        ::unsetenv("GIT_COMMITTER_NAME");
        ::unsetenv("GIT_COMMITTER_EMAIL");
        ::unsetenv("GIT_AUTHOR_NAME");
        ::unsetenv("GIT_AUTHOR_EMAIL");
        ::unsetenv("EMAIL");
    }

    std::string GitOut(const fs::path& dir, const std::vector<std::string>& args)
    {
        CGitStore::Run run = CGitStore(dir).Git(args);
        EXPECT_EQ(run.nExit, 0) << run.err;
        return run.out;
    }

    CGitStore::CommitResult Commit(CGitStore& store, const std::vector<std::string>& files)
    {
        return store.Commit(files, [](const std::vector<std::string>& changed) {
            std::string message = "changed:";
            for (const std::string& file : changed)
                message += " " + file;
            return message + "\n";
        });
    }

    testsupport::TempDir m_home;
    testsupport::TempDir m_dir;
};

TEST_F(GitStoreTest, OneCommitPerChangeNoneWithoutAndTheFallbackIdentity)
{
    CGitStore store(m_dir.Path());
    std::string error;
    ASSERT_TRUE(store.Prepare(error)) << error;
    EXPECT_TRUE(fs::is_directory(m_dir / ".git"));

    Write(m_dir / "a.conf", "a1");
    Write(m_dir / "b.conf", "b1");
    CGitStore::CommitResult first = Commit(store, {"a.conf", "b.conf", "missing.conf"});
    ASSERT_TRUE(first.bOk) << first.strError;
    ASSERT_TRUE(first.hash);
    EXPECT_EQ(first.changedFiles, (std::vector<std::string>{"a.conf", "b.conf"}));
    EXPECT_EQ(GitOut(m_dir.Path(), {"log", "-1", "--format=%cn <%ce>|%an|%s"}),
              "velnor-tftp <velnor-tftp@localhost>|velnor-tftp|changed: a.conf b.conf\n");

    // Nothing changed: no commit.
    CGitStore::CommitResult none = Commit(store, {"a.conf", "b.conf"});
    ASSERT_TRUE(none.bOk) << none.strError;
    EXPECT_FALSE(none.hash);
    EXPECT_TRUE(none.changedFiles.empty());

    // One file changed: one commit that touches that file only.
    Write(m_dir / "b.conf", "b2");
    CGitStore::CommitResult second = Commit(store, {"a.conf", "b.conf"});
    ASSERT_TRUE(second.bOk) << second.strError;
    ASSERT_TRUE(second.hash);
    EXPECT_EQ(GitOut(m_dir.Path(), {"rev-list", "--count", "HEAD"}), "2\n");
    EXPECT_EQ(GitOut(m_dir.Path(), {"show", "--name-only", "--format=", "HEAD"}), "b.conf\n");
}

TEST_F(GitStoreTest, TheUsersIdentityAndTheirOtherStagedWorkLeftAlone)
{
    // The folder lies inside a bigger repository of the user's, with work of theirs staged.
    const fs::path top = m_dir.Path();
    GitOut(top, {"init", "--quiet"});
    GitOut(top, {"config", "user.name", "Ada Admin"});
    GitOut(top, {"config", "user.email", "ada@example.net"});
    Write(top / "notes.txt", "mine");
    GitOut(top, {"add", "notes.txt"});
    fs::create_directory(top / "backups");

    CGitStore store(top / "backups");
    std::string error;
    ASSERT_TRUE(store.Prepare(error)) << error;
    EXPECT_FALSE(fs::exists(top / "backups" / ".git"));  // no repository inside the user's

    Write(top / "backups" / "r.conf", "r1");
    CGitStore::CommitResult result = Commit(store, {"r.conf"});
    ASSERT_TRUE(result.bOk) << result.strError;
    EXPECT_EQ(result.changedFiles, std::vector<std::string>{"r.conf"});
    EXPECT_EQ(GitOut(top, {"log", "-1", "--format=%cn <%ce>"}), "Ada Admin <ada@example.net>\n");
    EXPECT_EQ(GitOut(top, {"show", "--name-only", "--format=", "HEAD"}), "backups/r.conf\n");
    EXPECT_EQ(GitOut(top, {"diff", "--cached", "--name-only"}), "notes.txt\n");
}

TEST_F(GitStoreTest, AFolderWhereGitCannotWorkIsRefused)
{
    const fs::path file = m_dir / "not-a-folder";
    Write(file, "x");
    CGitStore store(file);
    std::string error;
    EXPECT_FALSE(store.Prepare(error));
    EXPECT_FALSE(error.empty());
}

}  // namespace

TEST_F(GitStoreTest, TheBackupsCommitTakesOnlyAnsweredRoutersAndSaysWhatChanged)
{
    CGitStore store(m_dir.Path());
    std::string error;
    ASSERT_TRUE(store.Prepare(error)) << error;
    auto row = [](const std::string& name, const std::string& address) {
        InventoryRow r;
        r.strName = name;
        r.strAddress = address;
        return r;
    };
    const std::vector<InventoryRow> rows{row("ok", "10.0.0.1"), row("bad", "10.0.0.2"), row("same", "10.0.0.3")};
    Write(m_dir / "ok.conf", "new");
    Write(m_dir / "bad.conf", "an old copy of a failed router is no news");
    Write(m_dir / "same.conf", "same");
    const RouterResult failed{"bad", "10.0.0.2", RouterState::Failed, false, "Access violation", "0x8213"};
    std::map<std::string, RouterResult> results{
        {"ok", {"ok", "10.0.0.1", RouterState::Ok, true, {}, {}}},
        {"bad", failed},
        {"same", {"same", "10.0.0.3", RouterState::Ok, false, {}, {}}},
    };
    const BackupCommit first = CommitBackup(store, rows, results, {failed}, {});
    ASSERT_FALSE(first.error) << *first.error;
    ASSERT_TRUE(first.hash);
    // The first commit takes both answered copies: a copy never committed counts as changed.
    EXPECT_EQ(*first.changes, (std::set<std::string>{"ok", "same"}));
    EXPECT_EQ(GitOut(m_dir.Path(), {"show", "--name-only", "--format=", "HEAD"}), "ok.conf\nsame.conf\n");
    EXPECT_NE(GitOut(m_dir.Path(), {"log", "-1", "--format=%B"}).find("bad"), std::string::npos)
        << "the message names the failed router";

    // Nothing new: no commit, no change.
    const BackupCommit none = CommitBackup(store, rows, results, {}, {});
    ASSERT_FALSE(none.error);
    EXPECT_FALSE(none.hash);
    EXPECT_TRUE(none.changes->empty());

    // A router no longer listed: its copy goes (the prune names the files), and the message says so.
    fs::remove(m_dir / "same.conf");
    const BackupCommit pruned = CommitBackup(store, {rows[0], rows[1]}, {{"ok", results["ok"]}}, {}, {"same.conf"});
    ASSERT_FALSE(pruned.error) << *pruned.error;
    ASSERT_TRUE(pruned.hash);
    EXPECT_NE(GitOut(m_dir.Path(), {"log", "-1", "--format=%B"}).find("Removed:\n  same\n"), std::string::npos);
}
