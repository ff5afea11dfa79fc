// `velnor-tftp status`, the metrics file and the new options of `backup`: driven by state files whose
// times the test sets, never by waiting.

#include <gtest/gtest.h>

#include <QJsonArray>

#include <cstdlib>

#include "BackupFleetFixture.h"
#include "BackupLog.h"
#include "BackupMetrics.h"
#include "FolderLock.h"
#include "BackupOptions.h"
#include "StatusCommand.h"
#include "TimeText.h"

namespace {

using namespace fleettest;

constexpr std::time_t kNow = 1'800'000'000;  // 2027-01-15T08:00:00Z
constexpr std::time_t kHour = 3600;

RouterRecord Record(std::string name, std::optional<bool> ok, std::optional<std::time_t> lastSuccess, int nFailures = 0)
{
    RouterRecord r;
    r.strName = std::move(name);
    r.strAddress = "192.0.2.7";
    r.ok = ok;
    r.lastSuccess = lastSuccess;
    r.lastAttempt = ok ? std::optional<std::time_t>(kNow - kHour) : std::nullopt;
    r.lastChange = lastSuccess;
    r.nConsecutiveFailures = nFailures;
    if (ok == std::optional<bool>(false)) {
        r.message = "The router refused the file.\nCheck the password.";
        r.code = "0x8213";
    }
    return r;
}

struct StateCase {
    const char* title;
    RouterRecord record;
    int nStaleAfterHours;
    const char* state;
};

class RouterStatusTest : public ::testing::TestWithParam<StateCase> {};

TEST_P(RouterStatusTest, OneStatePerRouter)
{
    EXPECT_EQ(RouterStatus(GetParam().record, kNow, GetParam().nStaleAfterHours), GetParam().state);
}

RouterRecord Down(RouterRecord r)
{
    r.bDown = true;
    return r;
}

INSTANTIATE_TEST_SUITE_P(
    Records, RouterStatusTest,
    ::testing::Values(StateCase{"Fresh", Record("a", true, kNow - 3 * kHour), 48, "ok"},
                      StateCase{"JustInside", Record("a", true, kNow - 48 * kHour), 48, "ok"},
                      StateCase{"JustPast", Record("a", true, kNow - 48 * kHour - 1), 48, "stale"},
                      StateCase{"FailedLastNight", Record("a", false, kNow - 25 * kHour, 1), 48, "failed"},
                      StateCase{"FailedForAWeek", Record("a", false, kNow - 7 * 24 * kHour, 7), 48, "stale"},
                      StateCase{"ShorterLimit", Record("a", true, kNow - 3 * kHour), 2, "stale"},
                      StateCase{"NeverAnswered", Record("a", false, std::nullopt, 3), 48, "never"},
                      StateCase{"NeverTried", Record("a", std::nullopt, std::nullopt), 48, "never"},
                      StateCase{"DownAndOld", Down(Record("a", true, kNow - 90 * 24 * kHour)), 48, "skipped"}),
    [](const ::testing::TestParamInfo<StateCase>& info) { return std::string(info.param.title); });

TEST(StatusTableTest, AttentionFirstInEightyColumnsNamesCut)
{
    EXPECT_EQ(FormatAge(std::nullopt, kNow), "-");
    EXPECT_EQ(FormatAge(kNow - 59, kNow), "0 min");
    EXPECT_EQ(FormatAge(kNow - 25 * 60, kNow), "25 min");
    EXPECT_EQ(FormatAge(kNow - 3 * kHour, kNow), "3 h");
    EXPECT_EQ(FormatAge(kNow - 47 * kHour, kNow), "47 h");
    EXPECT_EQ(FormatAge(kNow - 9 * 24 * kHour - 5, kNow), "9 d");

    BackupState state;
    state.routers = {Record("core-1", true, kNow - 3 * kHour), Down(Record("lab", true, kNow - 900 * kHour)),
                     Record("branch-office-amsterdam-2", false, kNow - 30 * kHour, 2),
                     Record("branch-3", false, kNow - 30 * kHour, 5), Record("new-one", false, std::nullopt, 1),
                     Record("quiet", true, kNow - 60 * kHour)};
    const std::string table = FormatStatusTable(state, kNow, 48);
    const std::string expected =
        "ROUTER                STATE    SUCCESS  CHANGE   FAILS  MESSAGE\n"
        "branch-3              failed   30 h     30 h     5      0x8213 The router refus…\n"
        "branch-office-amste…  failed   30 h     30 h     2      0x8213 The router refus…\n"
        "new-one               never    -        -        1      0x8213 The router refus…\n"
        "quiet                 stale    2 d      2 d      0\n"
        "core-1                ok       3 h      3 h      0\n"
        "lab                   skipped  37 d     37 d     0\n";
    EXPECT_EQ(table, expected);
    // Japanese messages take two columns a character: cut to the same width.
    state.routers = {Record("jp", false, kNow - 30 * kHour, 1)};
    state.routers[0].message = "相手からの応答がありません LANケーブルが抜けているか、設定が間違っている可能性があります。";
    const std::string jp = FormatStatusTable(state, kNow, 48);
    EXPECT_EQ(jp.substr(jp.find('\n') + 1),
              "jp      failed   30 h     30 h     1      0x8213 相手からの応答がありません LAN…\n");
    const std::string all = table + jp;
    std::size_t nStart = 0;
    for (std::size_t nEnd; (nEnd = all.find('\n', nStart)) != std::string::npos; nStart = nEnd + 1) {
        const std::string line = all.substr(nStart, nEnd - nStart);
        std::size_t nColumns = 0;
        for (unsigned char c : line)
            nColumns += (c & 0xC0) != 0x80 ? (c >= 0xE3 ? 2 : 1) : 0;  // ASCII, "…", or Japanese
        EXPECT_LE(nColumns, 80u) << line;
    }
}

TEST(StatusOptionsTest, ParsedAndRefused)
{
    StatusParseResult parsed = ParseStatusCommandLine({"--out", "d", "--stale-after=24", "--json"});
    ASSERT_EQ(parsed.action, StatusAction::Run) << parsed.strError;
    EXPECT_EQ(parsed.options.strOutDir, "d");
    EXPECT_EQ(parsed.options.nStaleAfterHours, 24);
    EXPECT_TRUE(parsed.options.bJson);
    EXPECT_EQ(ParseStatusCommandLine({"--out=d"}).options.nStaleAfterHours, 48);
    const std::pair<std::vector<std::string>, const char*> refused[] = {
        {{}, "needs --out"},
        {{"--out", "d", "--stale-after", "0"}, "use 1 to 8760 hours"},
        {{"--out", "d", "--stale-after", "8761"}, "use 1 to 8760 hours"},
        {{"--out", "d", "--stale-after", "-3"}, "\"-3\""},
        {{"--out", "d", "--json", "--json"}, "given twice"},
        {{"--out", "d", "--inventory", "x"}, "unknown option --inventory"},
        {{"--out", "d", "extra"}, "takes no argument"},
    };
    for (const auto& [args, words] : refused) {
        parsed = ParseStatusCommandLine(args);
        EXPECT_EQ(parsed.action, StatusAction::UsageError) << words;
        EXPECT_NE(parsed.strError.find(words), std::string::npos) << parsed.strError;
    }
}

TEST(BackupNightOptionsTest, ParsedAndRefused)
{
    BackupParseResult parsed = ParseBackupCommandLine(
        {"--inventory", "i", "--out", "d", "--metrics", "m.prom", "--hook", "a", "--hook=b", "--hook-timeout", "5",
         "--stale-after", "72", "--wait-lock", "3600", "--prune", "-q"});
    ASSERT_EQ(parsed.action, BackupAction::Run) << parsed.strError;
    EXPECT_EQ(parsed.options.metricsFile, "m.prom");
    EXPECT_EQ(parsed.options.hooks, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(parsed.options.nHookTimeoutSeconds, 5);
    EXPECT_EQ(parsed.options.nStaleAfterHours, 72);
    EXPECT_EQ(parsed.options.nWaitLockSeconds, 3600);
    EXPECT_TRUE(parsed.options.bPrune);
    EXPECT_TRUE(parsed.options.bQuiet);
    parsed = ParseBackupCommandLine({"--inventory", "i", "--out", "d"});
    EXPECT_EQ(parsed.options.nHookTimeoutSeconds, 30);
    EXPECT_EQ(parsed.options.nStaleAfterHours, 48);
    EXPECT_EQ(parsed.options.nWaitLockSeconds, 0);
    EXPECT_FALSE(parsed.options.metricsFile);

    const std::pair<std::vector<std::string>, const char*> refused[] = {
        {{"--wait-lock", "3601"}, "use 0 to 3600 seconds"},
        {{"--wait-lock", "-1"}, "\"-1\""},
        {{"--hook-timeout", "0"}, "use 1 to 3600 seconds"},
        {{"--stale-after", "0"}, "use 1 to 8760 hours"},
        {{"--metrics", ""}, "needs a file name"},
        {{"--metrics", "a", "--metrics", "b"}, "given twice"},
        {{"--hook", ""}, "needs a program"},
        {{"-q", "--quiet"}, "given twice"},
        {{"--prune", "--prune"}, "given twice"},
    };
    for (const auto& [extra, words] : refused) {
        std::vector<std::string> args{"--inventory", "i", "--out", "d"};
        args.insert(args.end(), extra.begin(), extra.end());
        parsed = ParseBackupCommandLine(args);
        EXPECT_EQ(parsed.action, BackupAction::UsageError) << words;
        EXPECT_NE(parsed.strError.find(words), std::string::npos) << parsed.strError;
    }
}

TEST(BackupLogTest, NamesAndWaits)
{
    EXPECT_EQ(FormatNamedRouters("Failed", {}, 10), "");
    EXPECT_EQ(FormatNamedRouters("Failed", {"a", "b"}, 10), "Failed: a, b\n");
    std::vector<std::string> many;
    for (int i = 1; i <= 13; ++i)
        many.push_back("r" + std::to_string(i));
    EXPECT_EQ(FormatNamedRouters("Failed", many, 10), "Failed: r1, r2, r3, r4, r5, r6, r7, r8, r9, r10 and 3 more\n");
    EXPECT_EQ(FormatNamedRouters("Failed", many, 0).find("and"), std::string::npos);
    EXPECT_EQ(FormatWaitingFor({}), "");
    EXPECT_EQ(FormatWaitingFor({"core-7"}), "waiting for core-7");
    EXPECT_EQ(FormatWaitingFor({"core-7", "branch-3", "x", "y"}), "waiting for core-7, branch-3 (+2)");
}

TEST(BackupMetricsTest, EveryFamilyDescribedLabelsEscapedNeverAsZeroTimes)
{
    BackupState state;
    RouterRecord odd = Record("a\"b\\c", true, kNow - kHour);
    odd.nBytes = 1234;
    state.routers = {odd, Record("never", false, std::nullopt, 4)};
    state.lastRun = LastRun{kNow, 2.5, 2, 1, 1, 1, 0, 0, false, 1};
    const std::string text = FormatBackupMetrics(state);
    EXPECT_NE(text.find("velnor_backup_bytes{router=\"a\\\"b\\\\c\",address=\"192.0.2.7\"} 1234\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find("velnor_backup_last_success_timestamp_seconds{router=\"never\",address=\"192.0.2.7\"} 0\n"),
              std::string::npos);
    EXPECT_NE(text.find("velnor_backup_last_success_timestamp_seconds{router=\"a\\\"b\\\\c\",address=\"192.0.2.7\"} "
                        + std::to_string(kNow - kHour) + "\n"),
              std::string::npos);
    EXPECT_NE(text.find("velnor_backup_consecutive_failures{router=\"never\",address=\"192.0.2.7\"} 4\n"),
              std::string::npos);
    EXPECT_NE(text.find("velnor_backup_up{router=\"never\",address=\"192.0.2.7\"} 0\n"), std::string::npos);
    EXPECT_NE(text.find("velnor_backup_run_duration_seconds 2.5\n"), std::string::npos);
    EXPECT_NE(text.find("velnor_backup_routers{result=\"failed\"} 1\n"), std::string::npos);
    for (const char* family : {"last_success_timestamp_seconds", "last_attempt_timestamp_seconds",
                               "last_change_timestamp_seconds", "up", "consecutive_failures", "bytes",
                               "run_timestamp_seconds", "run_duration_seconds", "routers"}) {
        const std::string name = std::string("velnor_backup_") + family;
        EXPECT_NE(text.find("# HELP " + name + " "), std::string::npos) << name;
        EXPECT_NE(text.find("# TYPE " + name + " gauge\n"), std::string::npos) << name;
    }
}

class StatusProgramTest : public BackupFleetFixture {
protected:
    void WriteState(const std::vector<RouterRecord>& routers)
    {
        BackupState state;
        state.routers = routers;
        state.lastRun = LastRun{std::time(nullptr) - kHour, 1.5, 1, 1, 0, 0, 0, 0, false, 0};
        fs::create_directories(m_out / ".velnor");
        std::string error;
        ASSERT_TRUE(SaveBackupState(m_out.string(), state, &error)) << error;
    }
    Night Status(QStringList extra) { return RunProgram(QStringList{"status", "--out", Q(m_out)} + extra); }
};

TEST_F(StatusProgramTest, ExitStatusesForAMonitoringCheck)
{
    const std::time_t now = std::time(nullptr);
    auto at = [&](std::string name, std::optional<bool> ok, std::optional<std::time_t> success, int n = 0) {
        RouterRecord r = Record(std::move(name), ok, success, n);
        return r;
    };
    const struct {
        const char* title;
        std::vector<RouterRecord> routers;
        QStringList extra;
        int nExit;
    } cases[] = {
        {"all ok", {at("a", true, now - 2 * kHour), Down(at("b", false, now - 800 * kHour))}, {}, 0},
        {"one failed", {at("a", true, now - 2 * kHour), at("b", false, now - 25 * kHour, 1)}, {}, 1},
        {"one stale", {at("a", true, now - 50 * kHour)}, {}, 1},
        {"stale but a longer limit", {at("a", true, now - 50 * kHour)}, {"--stale-after", "72"}, 0},
        {"one never", {at("a", false, std::nullopt, 2)}, {}, 1},
    };
    for (const auto& c : cases) {
        WriteState(c.routers);
        Night night = Status(c.extra);
        EXPECT_EQ(night.nExit, c.nExit) << c.title << "\n" << night.out << night.err;
        night = Status(c.extra + QStringList{"--json"});
        EXPECT_EQ(night.nExit, c.nExit) << c.title;
        EXPECT_EQ(night.routers.size(), c.routers.size()) << c.title;
        EXPECT_EQ(night.summary.value("routers").toInt(), static_cast<int>(c.routers.size())) << c.title;
    }
    // Nothing to read: 2, and the folder gets nothing.
    fs::remove_all(m_out);
    fs::create_directories(m_out);
    Night night = Status({});
    EXPECT_EQ(night.nExit, 2);
    EXPECT_NE(night.err.find("no backup state in " + m_out.string()), std::string::npos) << night.err;
    EXPECT_TRUE(fs::is_empty(m_out));
    fs::create_directories(m_out / ".velnor");
    testsupport::WriteFileBytes(m_out / ".velnor" / "state.json", Bytes("{\"version\":"));
    night = Status({});
    EXPECT_EQ(night.nExit, 2);
    EXPECT_NE(night.err.find("is damaged"), std::string::npos) << night.err;
}

TEST_F(StatusProgramTest, JsonHasTheStatesFieldsAndAStateAttentionFirst)
{
    const std::time_t now = std::time(nullptr);
    WriteState({Record("fine", true, now - kHour), Record("broken", false, now - 3 * kHour, 2)});
    Night night = Status({"--json"});
    EXPECT_EQ(night.nExit, 1);
    EXPECT_EQ(night.out.find("\"name\":\"broken\""), night.out.find("\"name\":"));  // first line
    const QJsonObject broken = night.routers["broken"];
    EXPECT_EQ(broken.value("state").toString(), "failed");
    EXPECT_EQ(broken.value("code").toString(), "0x8213");
    EXPECT_EQ(broken.value("consecutive_failures").toInt(), 2);
    EXPECT_EQ(broken.value("last_success").toString().toStdString(), FormatUtcTime(now - 3 * kHour));
    EXPECT_EQ(night.summary.value("failed").toInt(), 1);
    EXPECT_EQ(night.summary.value("ok").toInt(), 1);
    EXPECT_EQ(night.summary.value("stale_after_hours").toInt(), 48);
    // Read while a backup holds the folder: the last whole state all the same.
    std::optional<FolderLock> held = FolderLock::Take(m_out.string(), FolderLock::Kind::Exclusive, 0, nullptr);
    ASSERT_TRUE(held);
    EXPECT_EQ(Status({}).nExit, 1);
}

// The metrics file after every run, from the whole state: a router that fails keeps its series, and
// promtool accepts what is written.
TEST_F(StatusProgramTest, MetricsPassPromtoolAndKeepEveryRoutersSeries)
{
    AddRouter("good", "config good\n");
    AddRouter("flaky", "config flaky\n");
    WriteList({Row("good"), Row("flaky")});
    const fs::path metrics = m_dir / "textfile" / "velnor.prom";
    fs::create_directories(metrics.parent_path());
    ASSERT_EQ(Backup({"--metrics", Q(metrics)}).nExit, 0);
    SetConfig("flaky", std::nullopt);
    ASSERT_EQ(Backup({"--metrics", Q(metrics)}).nExit, 1);
    const std::string text = Text(testsupport::ReadFileBytes(metrics));
    const std::string flaky = "{router=\"flaky\",address=\"" + m_addresses["flaky"] + "\"}";
    EXPECT_NE(text.find("velnor_backup_up" + flaky + " 0\n"), std::string::npos) << text;
    EXPECT_NE(text.find("velnor_backup_consecutive_failures" + flaky + " 1\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("velnor_backup_last_success_timestamp_seconds" + flaky + " 0\n"), std::string::npos) << text;
    EXPECT_NE(text.find("velnor_backup_bytes" + flaky + " 13\n"), std::string::npos) << text;
    EXPECT_NE(text.find("velnor_backup_routers{result=\"failed\"} 1\n"), std::string::npos) << text;
    EXPECT_EQ(fs::status(metrics).permissions() & fs::perms::others_read, fs::perms::others_read);
    // Only the file itself: no temporary file left beside it.
    EXPECT_EQ(std::distance(fs::directory_iterator(metrics.parent_path()), fs::directory_iterator()), 1);

    // A run refused for its list still writes the metrics from the state.
    fs::remove(metrics);
    WriteList({"bad,300.1.1.1"});
    EXPECT_EQ(Backup({"--metrics", Q(metrics)}).nExit, 2);
    EXPECT_TRUE(fs::exists(metrics));

    if (std::system("command -v promtool >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "promtool is not installed (scripts/deps.sh installs the prometheus package)";
    const std::string command = "promtool check metrics < '" + metrics.string() + "' 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    ASSERT_TRUE(pipe);
    std::string said;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe))
        said += buffer;
    EXPECT_EQ(::pclose(pipe), 0) << said;
    EXPECT_EQ(said, "") << said;
}

}  // namespace
