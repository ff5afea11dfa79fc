// The one routine that replaces a whole file, against real files, links and folders: what each link
// rule does with a link at the target, which permission bits each mode rule gives, which leftovers a
// replacement sweeps, and that every failure leaves the old file and nothing else.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "FileBytes.h"
#include "LocalFile.h"
#include "TestSupport.h"

namespace fs = std::filesystem;

namespace {

using testsupport::RunWithoutPrivileges;
using testsupport::TempDir;
using testsupport::UnprivilegedRun;

constexpr uid_t kNobody = 65534;
constexpr gid_t kNogroup = 65534;
const std::string kOld = "old bytes\n";
const std::string kNew = "the new bytes, longer than the old\n";

void Put(const fs::path& path, const std::string& bytes, mode_t nMode = 0644)
{
    const int nFd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(nFd, 0) << path;
    ASSERT_TRUE(WriteAllTo(nFd, bytes));
    ::close(nFd);
    ASSERT_EQ(::chmod(path.c_str(), nMode), 0);
}

std::string Get(const fs::path& path)
{
    std::string bytes;
    EXPECT_TRUE(ReadFileBytes(path.string(), bytes)) << path;
    return bytes;
}

// Every name below a folder with its kind, mode, owner and contents (a link's text, a file's bytes).
std::map<std::string, std::string> Snapshot(const fs::path& folder)
{
    std::map<std::string, std::string> state;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        const fs::path& path = entry.path();
        struct stat st {};
        EXPECT_EQ(::lstat(path.c_str(), &st), 0);
        std::string value = std::to_string(st.st_mode) + " " + std::to_string(st.st_uid) + " ";
        if (S_ISLNK(st.st_mode))
            value += "-> " + fs::read_symlink(path).string();
        else if (S_ISREG(st.st_mode))
            value += Get(path);
        state[path.lexically_relative(folder).string()] = value;
    }
    return state;
}

ReplaceOutcome Replace(const fs::path& target, const ReplaceRules& rules, LocalFailure* pWhy = nullptr,
                       ReplaceStep* pStep = nullptr)
{
    return ReplaceWholeFile(
        target.string(), rules, [](CLocalFile& file) { return file.Write(kNew.data(), kNew.size()); }, pWhy, pStep);
}

ReplaceRules Rules(LinkRule link, ModeRule mode)
{
    ReplaceRules rules;
    rules.link = link;
    rules.mode = mode;
    return rules;
}

const char* NameOf(LinkRule link)
{
    return link == LinkRule::Follow ? "Follow" : link == LinkRule::ReplaceLink ? "ReplaceLink" : "Refuse";
}

const char* NameOf(ModeRule mode)
{
    return mode == ModeRule::KeepOld ? "KeepOld" : mode == ModeRule::KeepOwn ? "KeepOwn" : "Given";
}

// ---------------------------------------------------------------------------------------------
// Links

// What stands at the target's name: a link to a file beside it, to a file in another folder, to
// nothing, to a folder.
enum class LinkTo { FileBeside, FileOutside, Nothing, Folder };

struct LinkCase {
    const char* title;
    LinkTo to;
    LinkRule link;
    ReplaceOutcome outcome;
    LocalFailure::Kind kind;  // of a refusal
    int nError;               // of a refusal of Kind::System
    // Where the new bytes land: "" nowhere, "target" the name itself (the link is gone), or the
    // name the link leads to, relative to the top folder.
    const char* landsAt;
};

using Kind = LocalFailure::Kind;

const LinkCase kLinkCases[] = {
    {"FollowReplacesTheFileBeside", LinkTo::FileBeside, LinkRule::Follow, ReplaceOutcome::Replaced, Kind::None, 0,
     "dir/real.conf"},
    {"FollowReplacesTheFileOutside", LinkTo::FileOutside, LinkRule::Follow, ReplaceOutcome::Replaced, Kind::None, 0,
     "outside/real.conf"},
    {"FollowRefusesADanglingLink", LinkTo::Nothing, LinkRule::Follow, ReplaceOutcome::Refused, Kind::DanglingLink, 0,
     ""},
    {"FollowRefusesALinkToAFolder", LinkTo::Folder, LinkRule::Follow, ReplaceOutcome::Refused, Kind::Folder, 0, ""},
    {"ReplaceLinkTakesTheNameFromALinkBeside", LinkTo::FileBeside, LinkRule::ReplaceLink, ReplaceOutcome::Replaced,
     Kind::None, 0, "target"},
    {"ReplaceLinkTakesTheNameFromALinkOutside", LinkTo::FileOutside, LinkRule::ReplaceLink, ReplaceOutcome::Replaced,
     Kind::None, 0, "target"},
    {"ReplaceLinkTakesTheNameFromADanglingLink", LinkTo::Nothing, LinkRule::ReplaceLink, ReplaceOutcome::Replaced,
     Kind::None, 0, "target"},
    {"ReplaceLinkTakesTheNameFromALinkToAFolder", LinkTo::Folder, LinkRule::ReplaceLink, ReplaceOutcome::Replaced,
     Kind::None, 0, "target"},
    {"RefuseRefusesALinkBeside", LinkTo::FileBeside, LinkRule::Refuse, ReplaceOutcome::Refused, Kind::System, ELOOP,
     ""},
    {"RefuseRefusesALinkOutside", LinkTo::FileOutside, LinkRule::Refuse, ReplaceOutcome::Refused, Kind::System, ELOOP,
     ""},
    {"RefuseRefusesADanglingLink", LinkTo::Nothing, LinkRule::Refuse, ReplaceOutcome::Refused, Kind::System, ELOOP, ""},
    {"RefuseRefusesALinkToAFolder", LinkTo::Folder, LinkRule::Refuse, ReplaceOutcome::Refused, Kind::System, ELOOP,
     ""},
};

void PrintTo(const LinkCase& c, std::ostream* pOut) { *pOut << c.title; }

class FileReplaceLinkTest : public ::testing::TestWithParam<LinkCase> {};

TEST_P(FileReplaceLinkTest, EachRuleDoesWhatItSaysWithALinkAtTheTarget)
{
    const LinkCase& c = GetParam();
    TempDir top;
    fs::create_directories(top / "dir" / "folder");
    fs::create_directory(top / "outside");
    Put(top / "dir" / "real.conf", kOld);
    Put(top / "outside" / "real.conf", kOld);
    Put(top / "dir" / "folder" / "inside", kOld);
    const fs::path target = top / "dir" / "r.conf";
    switch (c.to) {
    case LinkTo::FileBeside: fs::create_symlink("real.conf", target); break;
    case LinkTo::FileOutside: fs::create_symlink(top / "outside" / "real.conf", target); break;
    case LinkTo::Nothing: fs::create_symlink("nowhere.conf", target); break;
    case LinkTo::Folder: fs::create_symlink("folder", target); break;
    }
    std::map<std::string, std::string> expected = Snapshot(top.Path());

    // The mode rule of each kind of caller that uses the link rule; the links do not depend on it.
    ReplaceRules rules = Rules(c.link, c.link == LinkRule::Follow ? ModeRule::KeepOld : ModeRule::Given);
    LocalFailure why;
    ReplaceStep step = ReplaceStep::Create;
    ASSERT_EQ(Replace(target, rules, &why, &step), c.outcome);
    if (c.outcome == ReplaceOutcome::Refused) {
        EXPECT_EQ(step, ReplaceStep::Target);
        EXPECT_EQ(why.kind, c.kind) << DescribeLocalFailure(why);
        if (c.kind == Kind::System) {
            EXPECT_EQ(why.nError, c.nError) << DescribeLocalFailure(why);
        }
        EXPECT_EQ(Snapshot(top.Path()), expected) << "a refusal changes nothing";
        return;
    }
    EXPECT_EQ(step, ReplaceStep::None);
    const std::string landsAt = c.landsAt;
    if (landsAt == "target") {
        EXPECT_FALSE(fs::is_symlink(target)) << "the link itself is replaced";
        expected["dir/r.conf"] = std::to_string(S_IFREG | 0600) + " " + std::to_string(::geteuid()) + " " + kNew;
    } else {
        EXPECT_TRUE(fs::is_symlink(target)) << "the link stays a link";
        expected[landsAt] = expected[landsAt].substr(0, expected[landsAt].size() - kOld.size()) + kNew;
    }
    // Nothing else changed, nothing appeared (no temporary file, no file where a dangling link led).
    EXPECT_EQ(Snapshot(top.Path()), expected);
}

INSTANTIATE_TEST_SUITE_P(Links, FileReplaceLinkTest, ::testing::ValuesIn(kLinkCases),
                         [](const ::testing::TestParamInfo<LinkCase>& info) { return std::string(info.param.title); });

// A folder at the target's name is never replaced, whatever the rules.
TEST(FileReplace, AFolderAtTheTargetIsRefusedUnderEveryRule)
{
    for (const LinkRule link : {LinkRule::Follow, LinkRule::ReplaceLink, LinkRule::Refuse}) {
        for (const ModeRule mode : {ModeRule::KeepOld, ModeRule::KeepOwn, ModeRule::Given}) {
            SCOPED_TRACE(std::string(NameOf(link)) + " " + NameOf(mode));
            TempDir dir;
            fs::create_directory(dir / "r.conf");
            Put(dir / "r.conf" / "inside", kOld);
            const auto before = Snapshot(dir.Path());
            LocalFailure why;
            ReplaceStep step = ReplaceStep::None;
            EXPECT_EQ(Replace(dir / "r.conf", Rules(link, mode), &why, &step), ReplaceOutcome::Refused);
            EXPECT_EQ(why.kind, Kind::Folder);
            EXPECT_EQ(step, ReplaceStep::Target);
            EXPECT_EQ(CheckReplaceable((dir / "r.conf").string(), nullptr, Rules(link, mode)), ReplaceOutcome::Refused);
            EXPECT_EQ(Snapshot(dir.Path()), before);
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Permissions

enum class Old { None, Own, Others, Fifo };

struct ModeCase {
    const char* title;
    ModeRule mode;
    Old old;
    mode_t nOldMode;
    mode_t nNewFileMode;
    bool bExact;
    mode_t nUmask;
    ReplaceOutcome outcome;
    mode_t nExpected;      // of the replaced file
    bool bOthersOwnerKept; // the file stays the other user's (root keeps the owner)
};

const ModeCase kModeCases[] = {
    {"KeepOldNewFileGetsTheNewFileModeExactly", ModeRule::KeepOld, Old::None, 0, 0600, true, 0, ReplaceOutcome::Replaced,
     0600, false},
    {"KeepOldNewFileUnderTheMask", ModeRule::KeepOld, Old::None, 0, 0666, false, 022, ReplaceOutcome::Replaced, 0644,
     false},
    {"KeepOldKeepsTheBits", ModeRule::KeepOld, Old::Own, 0640, 0600, true, 0, ReplaceOutcome::Replaced, 0640, false},
    {"KeepOldDropsSetIdBits", ModeRule::KeepOld, Old::Own, 06755, 0600, true, 0, ReplaceOutcome::Replaced, 0755, false},
    {"KeepOldObeysAReadOnlyFile", ModeRule::KeepOld, Old::Own, 0444, 0600, true, 0, ReplaceOutcome::Refused, 0444,
     false},
    {"KeepOldRefusesAPipe", ModeRule::KeepOld, Old::Fifo, 0644, 0600, true, 0, ReplaceOutcome::Refused, 0, false},
    {"KeepOldKeepsAnotherUsersBitsAndOwner", ModeRule::KeepOld, Old::Others, 0646, 0600, true, 0,
     ReplaceOutcome::Replaced, 0646, true},
    {"KeepOwnNewFileGetsTheNewFileMode", ModeRule::KeepOwn, Old::None, 0, 0600, true, 0, ReplaceOutcome::Replaced,
     0600, false},
    {"KeepOwnKeepsOwnBits", ModeRule::KeepOwn, Old::Own, 0640, 0600, true, 0, ReplaceOutcome::Replaced, 0640, false},
    {"KeepOwnDropsStickyAndSetIdBits", ModeRule::KeepOwn, Old::Own, 07755, 0600, true, 0, ReplaceOutcome::Replaced,
     0755, false},
    {"KeepOwnReplacesAReadOnlyFile", ModeRule::KeepOwn, Old::Own, 0444, 0600, true, 0, ReplaceOutcome::Replaced, 0444,
     false},
    {"KeepOwnReplacesAPipe", ModeRule::KeepOwn, Old::Fifo, 0644, 0600, true, 0, ReplaceOutcome::Replaced, 0600, false},
    {"KeepOwnGivesAnotherUsersFileTheNewFileMode", ModeRule::KeepOwn, Old::Others, 0666, 0600, true, 0,
     ReplaceOutcome::Replaced, 0600, false},
    {"GivenOverOwnBits", ModeRule::Given, Old::Own, 0600, 0644, true, 077, ReplaceOutcome::Replaced, 0644, false},
    {"GivenNewFileExactlyDespiteTheMask", ModeRule::Given, Old::None, 0, 0644, true, 077, ReplaceOutcome::Replaced,
     0644, false},
    {"GivenUnderTheMask", ModeRule::Given, Old::Own, 0600, 0666, false, 027, ReplaceOutcome::Replaced, 0640, false},
    {"GivenReplacesAReadOnlyFile", ModeRule::Given, Old::Own, 0444, 0600, true, 0, ReplaceOutcome::Replaced, 0600,
     false},
    {"GivenOverAnotherUsersFile", ModeRule::Given, Old::Others, 0666, 0640, true, 0, ReplaceOutcome::Replaced, 0640,
     false},
};

void PrintTo(const ModeCase& c, std::ostream* pOut) { *pOut << c.title; }

class FileReplaceModeTest : public ::testing::TestWithParam<ModeCase> {};

TEST_P(FileReplaceModeTest, EachRuleGivesItsBits)
{
    const ModeCase& c = GetParam();
    if (c.old == Old::Others && ::geteuid() != 0)
        GTEST_SKIP() << "a file of another user needs root";
    TempDir dir;
    const fs::path target = dir / "r.conf";
    if (c.old == Old::Fifo) {
        ASSERT_EQ(::mkfifo(target.c_str(), c.nOldMode), 0);
    } else if (c.old != Old::None) {
        Put(target, kOld, c.nOldMode);
        if (c.old == Old::Others) {
            ASSERT_EQ(::chown(target.c_str(), kNobody, kNogroup), 0);
        }
        ASSERT_EQ(::chmod(target.c_str(), c.nOldMode), 0);  // chown drops the set-id bits
    }
    const auto before = Snapshot(dir.Path());
    ReplaceRules rules = Rules(LinkRule::Follow, c.mode);
    rules.nNewFileMode = c.nNewFileMode;
    rules.bNewFileModeExact = c.bExact;
    const mode_t nSavedMask = ::umask(c.nUmask);
    const ReplaceOutcome outcome = Replace(target, rules);
    ::umask(nSavedMask);
    ASSERT_EQ(outcome, c.outcome);
    if (outcome != ReplaceOutcome::Replaced) {
        EXPECT_EQ(Snapshot(dir.Path()), before);
        return;
    }
    struct stat st {};
    ASSERT_EQ(::lstat(target.c_str(), &st), 0);
    ASSERT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, c.nExpected);
    EXPECT_EQ(st.st_uid, c.bOthersOwnerKept ? kNobody : ::geteuid());
    EXPECT_EQ(Get(target), kNew);
    EXPECT_EQ(Snapshot(dir.Path()).size(), 1u) << "no temporary file left";
}

INSTANTIATE_TEST_SUITE_P(Modes, FileReplaceModeTest, ::testing::ValuesIn(kModeCases),
                         [](const ::testing::TestParamInfo<ModeCase>& info) { return std::string(info.param.title); });

// ---------------------------------------------------------------------------------------------
// Temporary files and leftovers

void MakeOld(const fs::path& path, int nSeconds)
{
    const timespec then{std::time(nullptr) - nSeconds, 0};
    const timespec times[2] = {then, then};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

// A replacement sweeps the stale temporary files of the routine from its folder first: only names of
// that form, only ordinary files of this user, only once no replacement can still be writing them;
// a caller that sweeps once itself turns it off.
TEST(FileReplace, LeftoversGoOnlyWhenOursAndOldAndOnlyWhenTheCallerSweeps)
{
    constexpr int kStale = kStaleTemporaryMinutes * 60 + 60;
    const struct {
        const char* name;
        int nAge;
        bool bOthers;
        bool bRemoved;  // by a sweeping replacement
    } planted[] = {
        {".r.conf.velnor-0123456789ab.tmp", kStale, false, true},
        {".other.velnor-abcdefghijkl.tmp", kStale, false, true},
        {".r.conf.velnor-0123456789cd.tmp", kStaleTemporaryMinutes * 60 - 60, false, false},
        {".r.conf.velnor-0123456789ef.tmp", kStale, true, false},
        {".r.conf.new-a1b2c3", kStale, false, false},
        {"notes.txt", kStale, false, false},
    };
    for (const bool bSweep : {true, false}) {
        for (const LinkRule link : {LinkRule::Follow, LinkRule::ReplaceLink}) {
            SCOPED_TRACE(std::string(NameOf(link)) + (bSweep ? " sweeping" : " not sweeping"));
            TempDir dir;
            Put(dir / "r.conf", kOld);
            std::set<std::string> expected{"r.conf"};
            for (const auto& p : planted) {
                Put(dir / p.name, "x");
                if (p.bOthers && ::geteuid() == 0) {
                    ASSERT_EQ(::chown((dir / p.name).c_str(), kNobody, kNogroup), 0);
                }
                MakeOld(dir / p.name, p.nAge);
                // Without root, the "other user's" file is ours and goes.
                const bool bRemoved = bSweep && (p.bRemoved || (p.bOthers && ::geteuid() != 0));
                if (!bRemoved)
                    expected.insert(p.name);
            }
            ReplaceRules rules = Rules(link, ModeRule::KeepOwn);
            rules.bSweepLeftovers = bSweep;
            ASSERT_EQ(Replace(dir / "r.conf", rules), ReplaceOutcome::Replaced);
            std::set<std::string> names;
            for (const auto& entry : fs::directory_iterator(dir.Path()))
                names.insert(entry.path().filename().string());
            EXPECT_EQ(names, expected);
        }
    }
}

// While it is written, the new file is a hidden file beside the target, named after it in the form the
// sweep knows, with its final bits; a long name is cut short in it unless the caller keeps names whole.
TEST(FileReplace, TheTemporaryFileIsBesideTheTargetInTheFormTheSweepKnows)
{
    for (const std::size_t nLength : {std::size_t{6}, std::size_t{250}}) {
        for (const bool bShorten : {true, false}) {
            SCOPED_TRACE(std::to_string(nLength) + (bShorten ? " shortened" : " kept whole"));
            TempDir dir;
            const std::string name = std::string(nLength - 5, 'r') + ".conf";
            Put(dir / name, kOld);
            ReplaceRules rules = Rules(LinkRule::ReplaceLink, ModeRule::Given);
            rules.nNewFileMode = 0644;
            rules.bShortenLongNames = bShorten;
            std::vector<std::string> seen;
            mode_t nMode = 0;
            LocalFailure why;
            ReplaceStep step = ReplaceStep::None;
            const ReplaceOutcome outcome = ReplaceWholeFile(
                (dir / name).string(), rules,
                [&](CLocalFile& file) {
                    for (const auto& entry : fs::directory_iterator(dir.Path())) {
                        if (entry.path().filename() != name) {
                            seen.push_back(entry.path().filename().string());
                            struct stat st {};
                            ::lstat(entry.path().c_str(), &st);
                            nMode = st.st_mode;
                        }
                    }
                    return file.Write(kNew.data(), kNew.size());
                },
                &why, &step);
            if (nLength > 200 && !bShorten) {
                EXPECT_EQ(outcome, ReplaceOutcome::Refused);
                EXPECT_EQ(step, ReplaceStep::Create);
                EXPECT_EQ(why.nError, ENAMETOOLONG);
                EXPECT_EQ(Get(dir / name), kOld);
                continue;
            }
            ASSERT_EQ(outcome, ReplaceOutcome::Replaced);
            ASSERT_EQ(seen.size(), 1u);
            EXPECT_TRUE(IsTemporaryFileName(seen[0])) << seen[0];
            EXPECT_EQ(seen[0].substr(0, std::min<std::size_t>(nLength, 200) + 1),
                      "." + name.substr(0, std::min<std::size_t>(nLength, 200)));
            EXPECT_TRUE(S_ISREG(nMode));
            EXPECT_EQ(nMode & 07777, 0644u) << "its final bits are set before the bytes go in";
            EXPECT_EQ(Get(dir / name), kNew);
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Failures

struct FailureCase {
    const char* title;
    ReplaceOutcome outcome;
    ReplaceStep step;
    int nError;  // 0: not checked
    // Runs the replacement in conditions that make it fail.
    std::function<ReplaceOutcome(const fs::path& target, const ReplaceRules& rules, LocalFailure& why,
                                 ReplaceStep& step)>
        run;
};

const FailureCase kFailureCases[] = {
    {"AWriteTheSystemRefuses", ReplaceOutcome::WriteFailed, ReplaceStep::Write, EFBIG,
     [](const fs::path& target, const ReplaceRules& rules, LocalFailure& why, ReplaceStep& step) {
         // A real "file too large" from the system part way through the bytes, for root too.
         auto previous = std::signal(SIGXFSZ, SIG_IGN);
         rlimit saved {};
         ::getrlimit(RLIMIT_FSIZE, &saved);
         rlimit tight = saved;
         tight.rlim_cur = 10;
         ::setrlimit(RLIMIT_FSIZE, &tight);
         const ReplaceOutcome outcome = Replace(target, rules, &why, &step);
         ::setrlimit(RLIMIT_FSIZE, &saved);
         std::signal(SIGXFSZ, previous);
         return outcome;
     }},
    {"AFillThatGivesUpHalfWay", ReplaceOutcome::WriteFailed, ReplaceStep::Write, 0,
     [](const fs::path& target, const ReplaceRules& rules, LocalFailure& why, ReplaceStep& step) {
         return ReplaceWholeFile(
             target.string(), rules,
             [](CLocalFile& file) {
                 file.Write("half", 4);
                 return false;
             },
             &why, &step);
     }},
    {"NoDescriptorForTheTemporaryFile", ReplaceOutcome::Refused, ReplaceStep::Create, EMFILE,
     [](const fs::path& target, const ReplaceRules& rules, LocalFailure& why, ReplaceStep& step) {
         rlimit saved {};
         ::getrlimit(RLIMIT_NOFILE, &saved);
         const int nNext = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
         ::close(nNext);
         rlimit tight = saved;
         tight.rlim_cur = static_cast<rlim_t>(nNext);
         ::setrlimit(RLIMIT_NOFILE, &tight);
         const ReplaceOutcome outcome = Replace(target, rules, &why, &step);
         ::setrlimit(RLIMIT_NOFILE, &saved);
         return outcome;
     }},
};

void PrintTo(const FailureCase& c, std::ostream* pOut) { *pOut << c.title; }

class FileReplaceFailureTest : public ::testing::TestWithParam<FailureCase> {};

TEST_P(FileReplaceFailureTest, LeavesTheOldFileAndNoTemporaryFile)
{
    const FailureCase& c = GetParam();
    for (const LinkRule link : {LinkRule::Follow, LinkRule::ReplaceLink}) {
        SCOPED_TRACE(NameOf(link));
        TempDir dir;
        Put(dir / "r.conf", kOld, 0640);
        const auto before = Snapshot(dir.Path());
        LocalFailure why;
        ReplaceStep step = ReplaceStep::None;
        const ReplaceRules rules = Rules(link, link == LinkRule::Follow ? ModeRule::KeepOld : ModeRule::KeepOwn);
        EXPECT_EQ(c.run(dir / "r.conf", rules, why, step), c.outcome);
        EXPECT_EQ(step, c.step);
        if (c.nError != 0) {
            EXPECT_EQ(why.nError, c.nError) << DescribeLocalFailure(why);
        }
        EXPECT_EQ(why.strPath, (dir / "r.conf").string()) << "the failure names the target, not the temporary file";
        EXPECT_EQ(Snapshot(dir.Path()), before);
    }
}

INSTANTIATE_TEST_SUITE_P(Failures, FileReplaceFailureTest, ::testing::ValuesIn(kFailureCases),
                         [](const ::testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.title); });

// A folder this user may not write into refuses every rule before anything is written. Root writes
// anywhere: the check then runs as an unprivileged user.
TEST(FileReplace, AFolderThatMayNotBeWrittenRefusesBeforeAnythingIsWritten)
{
    TempDir top;
    ASSERT_EQ(::chmod(top.Path().c_str(), 0755), 0);
    const fs::path dir = top / "ro";
    fs::create_directory(dir);
    Put(dir / "r.conf", kOld, 0666);
    ASSERT_EQ(::chmod(dir.c_str(), 0555), 0);
    const auto before = Snapshot(top.Path());
    const UnprivilegedRun run = RunWithoutPrivileges([&] {
        bool bAll = true;
        for (const LinkRule link : {LinkRule::Follow, LinkRule::ReplaceLink, LinkRule::Refuse}) {
            for (const ModeRule mode : {ModeRule::KeepOld, ModeRule::KeepOwn, ModeRule::Given}) {
                LocalFailure why;
                ReplaceStep step = ReplaceStep::None;
                bAll = bAll && Replace(dir / "r.conf", Rules(link, mode), &why, &step) == ReplaceOutcome::Refused
                       && step == ReplaceStep::Target && why.nError == EACCES;
            }
        }
        return bAll;
    });
    ::chmod(dir.c_str(), 0755);
    if (run == UnprivilegedRun::NotPossible)
        GTEST_SKIP() << "root could not become an unprivileged user to meet a folder it may not write";
    EXPECT_EQ(run, UnprivilegedRun::Passed);
    ::chmod(dir.c_str(), 0555);
    EXPECT_EQ(Snapshot(top.Path()), before);
    ::chmod(dir.c_str(), 0755);
}

}  // namespace
