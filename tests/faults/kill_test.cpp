// A process killed with SIGKILL while it saves the settings file or a received file: afterwards the
// file is the old one or the complete new one, never a torn mix, and whatever the killed save left
// behind never takes the file's place.
//
// The saving is done by velnor-kill-helper (kill_save_helper.cpp), which kills itself before or after
// any chosen file-system call of the save, or is killed by the test after a stepped delay.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "TestSupport.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

const char* const kSettingsName = "Velnor ClientV090.dat";
// Where the helper writes its ready byte: far above anything the spawn leaves open.
constexpr int kReadyFdInChild = 100;

struct KillPlan {
    long nAtCall = 0;          // 1-based counted file-system call; 0 = none
    bool bAfterCall = false;   // kill after that call has returned instead of before it
    long nDelayUs = -1;        // >= 0: kill this many microseconds after the ready byte
};

struct HelperRun {
    bool bKilled = false;      // ended by SIGKILL
    int nExitCode = -1;        // when it exited by itself
    bool bReadySeen = false;
    std::vector<std::string> calls;  // the counted calls, at a normal end
    std::string out;
};

void SleepMicroseconds(long nMicroseconds)
{
    timespec ts{nMicroseconds / 1000000, (nMicroseconds % 1000000) * 1000};
    while (clock_nanosleep(CLOCK_MONOTONIC, 0, &ts, &ts) == EINTR) {
    }
}

std::vector<std::string> SplitCalls(const std::string& out)
{
    std::vector<std::string> calls;
    const auto at = out.find("calls=");
    if (at == std::string::npos)
        return calls;
    std::string list = out.substr(at + 6);
    list = list.substr(0, list.find('\n'));
    std::stringstream in(list);
    for (std::string name; std::getline(in, name, ',');)
        if (!name.empty())
            calls.push_back(name);
    return calls;
}

HelperRun RunHelper(const std::vector<std::string>& args, const KillPlan& plan)
{
    HelperRun run;
    int outPipe[2];
    int readyPipe[2] = {-1, -1};
    if (::pipe2(outPipe, O_CLOEXEC) != 0 || (plan.nDelayUs >= 0 && ::pipe2(readyPipe, O_CLOEXEC) != 0)) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        return run;
    }

    std::vector<std::string> env;
    for (char** p = environ; *p; ++p) {
        if (std::strncmp(*p, "VELNOR_KILL_", 12) != 0 && std::strncmp(*p, "VELNOR_READY_FD=", 16) != 0)
            env.emplace_back(*p);
    }
    if (plan.nAtCall > 0) {
        env.push_back("VELNOR_KILL_AT=" + std::to_string(plan.nAtCall));
        env.push_back(std::string("VELNOR_KILL_AFTER=") + (plan.bAfterCall ? "1" : "0"));
    }
    if (plan.nDelayUs >= 0)
        env.push_back("VELNOR_READY_FD=" + std::to_string(kReadyFdInChild));
    std::vector<char*> envp;
    for (auto& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    std::vector<std::string> argvStrings{VELNOR_KILL_HELPER_PATH};
    argvStrings.insert(argvStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argvStrings)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
    if (plan.nDelayUs >= 0)
        posix_spawn_file_actions_adddup2(&actions, readyPipe[1], kReadyFdInChild);
    pid_t pid = -1;
    const int nSpawn = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(outPipe[1]);
    if (readyPipe[1] >= 0)
        ::close(readyPipe[1]);
    if (nSpawn != 0) {
        ADD_FAILURE() << "posix_spawn: " << std::strerror(nSpawn);
        ::close(outPipe[0]);
        if (readyPipe[0] >= 0)
            ::close(readyPipe[0]);
        return run;
    }

    if (plan.nDelayUs >= 0) {
        pollfd fd{readyPipe[0], POLLIN, 0};
        char ready = 0;
        // A helper that never gets to its save (it failed) closes the pipe, which ends the wait.
        if (::poll(&fd, 1, 30000) == 1 && ::read(readyPipe[0], &ready, 1) == 1) {
            run.bReadySeen = true;
            SleepMicroseconds(plan.nDelayUs);
        }
        ::kill(pid, SIGKILL);
        ::close(readyPipe[0]);
    }

    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(outPipe[0], buffer, sizeof buffer);
        if (n > 0) {
            run.out.append(buffer, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        break;
    }
    ::close(outPipe[0]);
    int nStatus = 0;
    while (::waitpid(pid, &nStatus, 0) < 0 && errno == EINTR) {
    }
    run.bKilled = WIFSIGNALED(nStatus) && WTERMSIG(nStatus) == SIGKILL;
    if (WIFEXITED(nStatus))
        run.nExitCode = WEXITSTATUS(nStatus);
    run.calls = SplitCalls(run.out);
    return run;
}

// Names in the folder other than the ones given.
std::vector<std::string> OtherNames(const fs::path& dir, const std::vector<std::string>& known)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (std::find(known.begin(), known.end(), name) == known.end())
            names.push_back(name);
    }
    return names;
}

bool StartsWith(const std::string& s, const std::string& prefix)
{
    return s.compare(0, prefix.size(), prefix) == 0;
}

bool EndsWith(const std::string& s, const std::string& suffix)
{
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Index (0-based) of the one rename among the counted calls.
long RenameIndex(const std::vector<std::string>& calls)
{
    const auto n = std::count(calls.begin(), calls.end(), std::string("rename"));
    EXPECT_EQ(n, 1) << "one rename puts the new file in place";
    return std::find(calls.begin(), calls.end(), std::string("rename")) - calls.begin();
}

// A file that may be absent: "absent" reads as nullopt.
std::optional<Bytes> ReadIfPresent(const fs::path& path)
{
    if (!fs::exists(path))
        return std::nullopt;
    return testsupport::ReadFileBytes(path);
}

// nLinear delays nStepUs apart from 0, then nGrowing delays each nFactor times the one before.
std::vector<long> SteppedDelays(int nLinear, long nStepUs, int nGrowing, double nFactor)
{
    std::vector<long> delays;
    for (int i = 0; i < nLinear; ++i)
        delays.push_back(i * nStepUs);
    double delay = static_cast<double>(nLinear * nStepUs);
    for (int i = 0; i < nGrowing; ++i) {
        delay *= nFactor;
        delays.push_back(static_cast<long>(delay));
    }
    return delays;
}

void Report(const char* pKey, long nValue)
{
    ::testing::Test::RecordProperty(pKey, static_cast<int>(nValue));
    std::printf("[ figures  ] %s = %ld\n", pKey, nValue);
}

// --- the settings file

class SettingsKillTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // The old file is list A as the program writes it, the new one list B over it.
        const HelperRun a = RunHelper({"settings-save", m_ref.Path().string(), "A"}, {});
        ASSERT_EQ(a.nExitCode, 0) << a.out;
        m_old = testsupport::ReadFileBytes(m_ref / kSettingsName);
        const HelperRun b = RunHelper({"settings-save", m_ref.Path().string(), "B"}, {});
        ASSERT_EQ(b.nExitCode, 0) << b.out;
        m_new = testsupport::ReadFileBytes(m_ref / kSettingsName);
        m_saveCalls = b.calls;
        ASSERT_GT(m_new.size(), m_old.size() + 5000);
    }

    testsupport::TempDir m_ref;
    Bytes m_old, m_new;
    std::vector<std::string> m_saveCalls;
};

TEST_F(SettingsKillTest, SaveKilledAtEveryFileCallLeavesTheOldFileUntilTheRenameAndTheNewOneAfter)
{
    // temp open, permissions, write, flush, close, rename, and the folder's flush.
    ASSERT_GE(m_saveCalls.size(), 6u) << ::testing::PrintToString(m_saveCalls);
    const long nRename = RenameIndex(m_saveCalls);
    long nPoints = 0, nLeftovers = 0;
    for (long nCall = 1; nCall <= static_cast<long>(m_saveCalls.size()); ++nCall) {
        for (bool bAfter : {false, true}) {
            SCOPED_TRACE("kill " + std::string(bAfter ? "after" : "before") + " call " + std::to_string(nCall) + " (" +
                         m_saveCalls[static_cast<std::size_t>(nCall - 1)] + ")");
            testsupport::TempDir dir;
            testsupport::WriteFileBytes(dir / kSettingsName, m_old);
            const HelperRun run = RunHelper({"settings-save", dir.Path().string(), "B"}, {nCall, bAfter, -1});
            ASSERT_TRUE(run.bKilled) << run.out;
            ++nPoints;

            const bool bRenamed = nCall - 1 > nRename || (nCall - 1 == nRename && bAfter);
            EXPECT_EQ(testsupport::ReadFileBytes(dir / kSettingsName), bRenamed ? m_new : m_old);
            // What a killed save leaves is its own hidden temporary file, and at most one.
            const auto others = OtherNames(dir.Path(), {kSettingsName});
            ASSERT_LE(others.size(), 1u);
            for (const auto& name : others) {
                EXPECT_TRUE(StartsWith(name, std::string(".") + kSettingsName + ".") && EndsWith(name, ".tmp")) << name;
                ++nLeftovers;
            }

            // With a leftover beside it, the next run reads the real file and saves over it as if
            // nothing had happened.
            if (!others.empty()) {
                const HelperRun next = RunHelper({"settings-save", dir.Path().string(), "A"}, {});
                EXPECT_EQ(next.nExitCode, 0) << next.out;
                EXPECT_EQ(testsupport::ReadFileBytes(dir / kSettingsName), m_old);
                EXPECT_EQ(OtherNames(dir.Path(), {kSettingsName}), others);
            }
        }
    }
    Report("settings_save_kill_points", nPoints);
    Report("settings_save_leftover_temp_files", nLeftovers);
}

TEST(SettingsFirstStartKillTest, FirstStartKilledAtEveryFileCallLeavesNoFileOrTheTwelveEmptyRecords)
{
    testsupport::TempDir ref;
    const HelperRun clean = RunHelper({"settings-first", ref.Path().string()}, {});
    ASSERT_EQ(clean.nExitCode, 0) << clean.out;
    const Bytes created = testsupport::ReadFileBytes(ref / kSettingsName);
    ASSERT_EQ(created, Bytes(12, 0x00));
    const long nRename = RenameIndex(clean.calls);

    long nPoints = 0;
    for (long nCall = 1; nCall <= static_cast<long>(clean.calls.size()); ++nCall) {
        for (bool bAfter : {false, true}) {
            SCOPED_TRACE("kill " + std::string(bAfter ? "after" : "before") + " call " + std::to_string(nCall) + " (" +
                         clean.calls[static_cast<std::size_t>(nCall - 1)] + ")");
            testsupport::TempDir dir;
            const HelperRun run = RunHelper({"settings-first", dir.Path().string()}, {nCall, bAfter, -1});
            ASSERT_TRUE(run.bKilled) << run.out;
            ++nPoints;
            const bool bRenamed = nCall - 1 > nRename || (nCall - 1 == nRename && bAfter);
            const auto bytes = ReadIfPresent(dir / kSettingsName);
            if (bRenamed) {
                ASSERT_TRUE(bytes.has_value());
                EXPECT_EQ(*bytes, created);
            } else {
                EXPECT_FALSE(bytes.has_value());
            }
            // A later start finds nothing and creates the file, whatever the killed one left.
            if (!bRenamed) {
                const HelperRun next = RunHelper({"settings-first", dir.Path().string()}, {});
                EXPECT_EQ(next.nExitCode, 0) << next.out;
                EXPECT_EQ(testsupport::ReadFileBytes(dir / kSettingsName), created);
            }
        }
    }
    Report("settings_first_start_kill_points", nPoints);
}

TEST_F(SettingsKillTest, SavesInALoopKilledAfterSteppedDelaysLeaveOneOfTheTwoWholeFiles)
{
    // The helper saves B, A, B, ... from the moment it is ready; each delay ends it somewhere in the
    // middle of one of those saves (each one flushes to disk, so a save lasts a while).
    // Fine steps through the first saves, then ever longer delays, so that a disk whose flush takes
    // long is still seen with both files.
    const std::vector<long> delays = SteppedDelays(40, 211, 20, 1.15);
    const int kRuns = static_cast<int>(delays.size());
    long nOld = 0, nNew = 0, nLeftovers = 0;
    for (int i = 0; i < kRuns; ++i) {
        const long nDelayUs = delays[static_cast<std::size_t>(i)];
        SCOPED_TRACE("delay " + std::to_string(nDelayUs) + " us");
        testsupport::TempDir dir;
        testsupport::WriteFileBytes(dir / kSettingsName, m_old);
        const HelperRun run = RunHelper({"settings-loop", dir.Path().string()}, {0, false, nDelayUs});
        ASSERT_TRUE(run.bReadySeen);
        ASSERT_TRUE(run.bKilled);
        const Bytes bytes = testsupport::ReadFileBytes(dir / kSettingsName);
        if (bytes == m_old)
            ++nOld;
        else if (bytes == m_new)
            ++nNew;
        else
            ADD_FAILURE() << "a torn settings file of " << bytes.size() << " bytes";
        const auto others = OtherNames(dir.Path(), {kSettingsName});
        EXPECT_LE(others.size(), 1u);
        nLeftovers += static_cast<long>(others.size());
    }
    Report("settings_loop_kill_points", kRuns);
    Report("settings_loop_found_old", nOld);
    Report("settings_loop_found_new", nNew);
    Report("settings_loop_leftover_temp_files", nLeftovers);
    // The delays span several saves: both files must have been seen, or the sweep proved little.
    EXPECT_GT(nOld, 0);
    EXPECT_GT(nNew, 0);
}

// --- a received file

class ReceiveKillTest : public ::testing::Test {
protected:
    void SetUp() override { m_strRouter = testsupport::LoopbackAddressForTest(); }

    HelperRun Receive(const fs::path& dir, std::size_t nSize, const KillPlan& plan) const
    {
        return RunHelper({"receive", dir.string(), m_strRouter, std::to_string(nSize), "config.txt"}, plan);
    }

    std::string m_strRouter;
};

struct ReceiveKillCase {
    const char* name;
    std::size_t nSize;
    bool bOldFile;
};

class ReceiveKillAtCallTest : public ReceiveKillTest, public ::testing::WithParamInterface<ReceiveKillCase> {};

TEST_P(ReceiveKillAtCallTest, KilledAtEveryFileCallOfTheSaveLeavesTheOldFileUntilTheRenameAndTheNewOneAfter)
{
    const ReceiveKillCase& c = GetParam();
    const Bytes oldBytes(4000, 'o');  // longer than the new file: no tail of it may survive
    const Bytes newBytes = testsupport::PatternBytes(c.nSize, 99);

    testsupport::TempDir ref;
    fs::create_directories(ref / "local");
    if (c.bOldFile)
        testsupport::WriteFileBytes(ref.Path() / "local" / "config.txt", oldBytes);
    const HelperRun clean = Receive(ref.Path(), c.nSize, {});
    ASSERT_EQ(clean.nExitCode, 0) << clean.out;
    ASSERT_EQ(testsupport::ReadFileBytes(ref.Path() / "local" / "config.txt"), newBytes);
    const long nRename = RenameIndex(clean.calls);
    ASSERT_GE(nRename, 2) << ::testing::PrintToString(clean.calls);

    long nPoints = 0, nLeftovers = 0;
    for (long nCall = 1; nCall <= static_cast<long>(clean.calls.size()); ++nCall) {
        for (bool bAfter : {false, true}) {
            SCOPED_TRACE("kill " + std::string(bAfter ? "after" : "before") + " call " + std::to_string(nCall) + " (" +
                         clean.calls[static_cast<std::size_t>(nCall - 1)] + ")");
            testsupport::TempDir dir;
            const fs::path local = dir.Path() / "local";
            fs::create_directories(local);
            if (c.bOldFile)
                testsupport::WriteFileBytes(local / "config.txt", oldBytes);
            const HelperRun run = Receive(dir.Path(), c.nSize, {nCall, bAfter, -1});
            ASSERT_TRUE(run.bKilled) << run.out;
            ++nPoints;

            const bool bRenamed = nCall - 1 > nRename || (nCall - 1 == nRename && bAfter);
            const auto bytes = ReadIfPresent(local / "config.txt");
            if (bRenamed) {
                ASSERT_TRUE(bytes.has_value());
                EXPECT_EQ(*bytes, newBytes);
            } else if (c.bOldFile) {
                ASSERT_TRUE(bytes.has_value());
                EXPECT_EQ(*bytes, oldBytes);
            } else {
                EXPECT_FALSE(bytes.has_value());
            }
            const auto others = OtherNames(local, {"config.txt"});
            ASSERT_LE(others.size(), 1u);
            for (const auto& name : others) {
                EXPECT_TRUE(StartsWith(name, ".config.txt.velnor-")) << name;
                ++nLeftovers;
            }
        }
    }
    Report("receive_save_kill_points", nPoints);
    Report("receive_save_leftover_temp_files", nLeftovers);
}

INSTANTIATE_TEST_SUITE_P(Saves, ReceiveKillAtCallTest,
                         ::testing::Values(ReceiveKillCase{"ThreeBlocksOverAnOldFile", 1500, true},
                                           ReceiveKillCase{"ThreeBlocksWhereNoFileWas", 1500, false},
                                           ReceiveKillCase{"EmptyFileOverAnOldFile", 0, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ReceiveKillTest, KilledAfterSteppedDelaysFromTheStartOfTheSaveLeavesTheOldOrTheNewFile)
{
    constexpr std::size_t kSize = 64 * 1024;
    const std::vector<long> delays = SteppedDelays(30, 150, 10, 1.25);
    const int kRuns = static_cast<int>(delays.size());
    const Bytes oldBytes(100000, 'o');
    const Bytes newBytes = testsupport::PatternBytes(kSize, 99);
    long nOld = 0, nNew = 0, nLeftovers = 0;
    for (int i = 0; i < kRuns; ++i) {
        const long nDelayUs = delays[static_cast<std::size_t>(i)];
        SCOPED_TRACE("delay " + std::to_string(nDelayUs) + " us");
        testsupport::TempDir dir;
        const fs::path local = dir.Path() / "local";
        fs::create_directories(local);
        testsupport::WriteFileBytes(local / "config.txt", oldBytes);
        const HelperRun run = Receive(dir.Path(), kSize, {0, false, nDelayUs});
        ASSERT_TRUE(run.bReadySeen) << run.out;
        const Bytes bytes = testsupport::ReadFileBytes(local / "config.txt");
        if (bytes == oldBytes)
            ++nOld;
        else if (bytes == newBytes)
            ++nNew;
        else
            ADD_FAILURE() << "a torn received file of " << bytes.size() << " bytes";
        const auto others = OtherNames(local, {"config.txt"});
        EXPECT_LE(others.size(), 1u);
        nLeftovers += static_cast<long>(others.size());
    }
    Report("receive_delay_kill_points", kRuns);
    Report("receive_delay_found_old", nOld);
    Report("receive_delay_found_new", nNew);
    Report("receive_delay_leftover_temp_files", nLeftovers);
    EXPECT_GT(nOld, 0);
}

}  // namespace
