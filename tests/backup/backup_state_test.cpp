// What `velnor-tftp backup` remembers from one night to the next: the state per router, the events it
// tells its hooks, the metrics file and the log, over sequences of runs against router simulators.

#include <gtest/gtest.h>

#include <QJsonArray>

#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "BackupFleetFixture.h"
#include "TimeText.h"

namespace {

using namespace fleettest;

class BackupStateTest : public BackupFleetFixture {
protected:
    fs::path StateFile() const { return m_out / ".velnor" / "state.json"; }

    QJsonObject State() const
    {
        return QJsonDocument::fromJson(QByteArray::fromStdString(Text(testsupport::ReadFileBytes(StateFile())))).object();
    }

    QJsonObject Record(const std::string& name) const
    {
        for (const QJsonValue& value : State().value("routers").toArray()) {
            if (value.toObject().value("name").toString().toStdString() == name)
                return value.toObject();
        }
        return {};
    }

    std::vector<std::string> RecordNames() const
    {
        std::vector<std::string> names;
        for (const QJsonValue& value : State().value("routers").toArray())
            names.push_back(value.toObject().value("name").toString().toStdString());
        return names;
    }

    // Rewrites fields of one record, as a test sets the times of an earlier night.
    void SetRecordFields(const std::string& name, const QJsonObject& fields)
    {
        QJsonObject root = State();
        QJsonArray routers = root.value("routers").toArray();
        for (QJsonValueRef value : routers) {
            QJsonObject record = value.toObject();
            if (record.value("name").toString().toStdString() != name)
                continue;
            for (auto it = fields.begin(); it != fields.end(); ++it)
                record.insert(it.key(), it.value());
            value = record;
        }
        root.insert("routers", routers);
        testsupport::WriteFileBytes(StateFile(), Bytes(QJsonDocument(root).toJson().toStdString()));
    }

    // A hook that appends "EVENT ROUTER FAILURES" to a file, one line per run of it.
    fs::path EventHook()
    {
        const fs::path hook = m_dir / "record-event";
        testsupport::WriteFileBytes(hook, Bytes("#!/bin/sh\n"
                                                "echo \"$VELNOR_EVENT $VELNOR_ROUTER $VELNOR_CONSECUTIVE_FAILURES\" >> "
                                                + (m_dir / "events").string() + "\n"
                                                "env >> " + (m_dir / "env").string() + "\n"));
        fs::permissions(hook, fs::perms::owner_all);
        return hook;
    }

    // The events since the last call, sorted (hooks run side by side).
    std::vector<std::string> TakeEvents()
    {
        std::vector<std::string> events;
        std::ifstream in(m_dir / "events");
        for (std::string line; std::getline(in, line);)
            events.push_back(line);
        std::sort(events.begin(), events.end());
        fs::remove(m_dir / "events");
        return events;
    }
};

TEST_F(BackupStateTest, RecordsAcrossNightsSuccessFailureNeverDownAndRemoved)
{
    AddRouter("good", "config good\n");
    AddRouter("flaky", "config flaky\n");
    AddRouter("spare", "config spare\n");
    AddRouter("gone", "config gone\n");
    SetConfig("flaky", std::nullopt);
    WriteList({Row("good") + ",up", Row("flaky") + ",", Row("spare") + ",down", Row("gone") + ","}, "name,address,state");

    Night night = Backup({"--json"});
    EXPECT_EQ(night.nExit, 1) << night.err;
    struct stat st {};
    ASSERT_EQ(::stat(StateFile().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(State().value("version").toInt(), 1);
    EXPECT_EQ(RecordNames(), (std::vector<std::string>{"good", "flaky", "spare", "gone"}));

    const QJsonObject good = Record("good");
    EXPECT_EQ(good.value("address").toString().toStdString(), m_addresses["good"]);
    EXPECT_TRUE(good.value("ok").toBool());
    EXPECT_TRUE(ParseUtcTime(good.value("last_success").toString().toStdString()));
    EXPECT_EQ(good.value("last_change"), good.value("last_success"));
    EXPECT_EQ(good.value("last_attempt"), good.value("last_success"));
    EXPECT_EQ(good.value("bytes").toInt(), 12);
    // sha256 of "config good\n".
    EXPECT_EQ(good.value("sha256").toString(), "1f48fcf652dde6f73676ae79bbbe06f590cef4a49a4f7469954449925d0d47e6");

    const QJsonObject flaky = Record("flaky");
    EXPECT_FALSE(flaky.value("ok").toBool());
    EXPECT_TRUE(flaky.value("last_success").isNull());
    EXPECT_TRUE(flaky.value("last_change").isNull());
    EXPECT_TRUE(flaky.value("last_attempt").isString());
    EXPECT_EQ(flaky.value("consecutive_failures").toInt(), 1);
    EXPECT_EQ(flaky.value("class"), night.routers["flaky"].value("class"));
    EXPECT_EQ(flaky.value("code"), night.routers["flaky"].value("code"));
    EXPECT_FALSE(flaky.value("message").toString().isEmpty());

    const QJsonObject spare = Record("spare");
    EXPECT_TRUE(spare.value("down").toBool());
    EXPECT_TRUE(spare.value("last_attempt").isNull());
    EXPECT_TRUE(spare.value("ok").isNull());

    // A second night: good unchanged keeps its change time (set back by the test), flaky fails again.
    SetRecordFields("good", {{"last_change", "2020-01-02T03:04:05Z"}});
    SetRecordFields("spare", {{"last_success", "2020-01-02T03:04:05Z"}});
    night = Backup({"--json"});
    EXPECT_EQ(Record("good").value("last_change").toString(), "2020-01-02T03:04:05Z");
    EXPECT_EQ(Record("flaky").value("consecutive_failures").toInt(), 2);
    // A router that is down keeps its times and counts as skipped.
    EXPECT_EQ(Record("spare").value("last_success").toString(), "2020-01-02T03:04:05Z");
    EXPECT_EQ(night.summary.value("skipped").toInt(), 1);

    // flaky answers again: its streak ends, its copy is new.
    SetConfig("flaky", "config flaky\n");
    night = Backup({"--json"});
    EXPECT_EQ(night.nExit, 0) << night.err;
    EXPECT_EQ(Record("flaky").value("consecutive_failures").toInt(), 0);
    EXPECT_TRUE(Record("flaky").value("code").isNull());
    EXPECT_TRUE(Record("flaky").value("last_change").isString());

    // gone leaves the list: its record goes, its copy stays until --prune.
    WriteList({Row("good"), Row("flaky"), Row("spare")});
    night = Backup({"--json"});
    EXPECT_EQ(RecordNames(), (std::vector<std::string>{"good", "flaky", "spare"}));
    EXPECT_TRUE(fs::exists(m_out / "gone.conf"));
}

TEST_F(BackupStateTest, PruneRemovesTheCopiesOfRoutersNoLongerListedAndCommitsIt)
{
    AddRouter("keep", "config keep\n");
    AddRouter("old", "config old\n");
    WriteList({Row("keep"), Row("old")});
    ASSERT_EQ(Backup({"--git"}).nExit, 0);
    testsupport::WriteFileBytes(m_out / "notes.conf", Bytes("the admin's own file\n"));
    WriteList({Row("keep")});
    // Without --prune the copy stays, and so does the history.
    ASSERT_EQ(Backup({"--git"}).nExit, 0);
    EXPECT_TRUE(fs::exists(m_out / "old.conf"));
    // The state no longer knows old: list it once more so that --prune has it to remove.
    WriteList({Row("keep"), Row("old")});
    ASSERT_EQ(Backup({"--git"}).nExit, 0);
    WriteList({Row("keep")});
    Night night = Backup({"--git", "--prune", "--json"});
    EXPECT_EQ(night.nExit, 0) << night.err;
    EXPECT_FALSE(fs::exists(m_out / "old.conf"));
    EXPECT_TRUE(fs::exists(m_out / "keep.conf"));
    EXPECT_TRUE(fs::exists(m_out / "notes.conf"));  // never a router of ours
    EXPECT_EQ(night.summary.value("pruned").toArray(), QJsonArray{"old.conf"});
    EXPECT_EQ(Git({"ls-files"}), "keep.conf\n");
    EXPECT_NE(Git({"log", "-1", "--format=%B"}).find("Removed:\n  old\n"), std::string::npos);
    EXPECT_EQ(Git({"status", "--porcelain"}), "?? notes.conf\n");
}

struct DamagedCase {
    const char* title;
    std::string text;
    const char* words;
};

class BackupDamagedStateTest : public BackupStateTest, public ::testing::WithParamInterface<DamagedCase> {};

TEST_P(BackupDamagedStateTest, TheRunGoesOnSaysSoOnceAndWritesANewState)
{
    AddRouter("r", "config r\n");
    WriteList({Row("r")});
    fs::create_directories(m_out / ".velnor");
    testsupport::WriteFileBytes(m_out / "r.conf", Bytes("old r\n"));
    testsupport::WriteFileBytes(StateFile(), Bytes(GetParam().text));
    Night night = Backup({});
    EXPECT_EQ(night.nExit, 0) << night.err;
    const std::string warning = "warning: the state file " + StateFile().string() + " " + GetParam().words;
    EXPECT_NE(night.err.find(warning), std::string::npos) << night.err;
    EXPECT_EQ(night.err.find(warning), night.err.rfind(warning));
    EXPECT_EQ(Text(testsupport::ReadFileBytes(m_out / "r.conf")), "config r\n");
    EXPECT_EQ(State().value("version").toInt(), 1);
    EXPECT_TRUE(Record("r").value("ok").toBool());
    // The next night reads it without a word.
    night = Backup({});
    EXPECT_EQ(night.err.find("warning"), std::string::npos) << night.err;
}

INSTANTIATE_TEST_SUITE_P(
    States, BackupDamagedStateTest,
    ::testing::Values(DamagedCase{"CutShort", "{\"version\": 1, \"routers\": [{\"na", "is damaged"},
                      DamagedCase{"Binary", std::string("\x00\xff\x13garbage", 10), "is damaged"},
                      DamagedCase{"Foreign", "{\"hosts\": []}", "is not a backup state"},
                      DamagedCase{"LaterVersion", "{\"version\": 7, \"routers\": []}", "has a version this program does not know (7)"},
                      DamagedCase{"NoRouters", "{\"version\": 1, \"routers\": 3}", "is damaged (no list of routers)"}),
    [](const ::testing::TestParamInfo<DamagedCase>& info) { return std::string(info.param.title); });

// A router that fails three nights raises one `failed`, then one `recovered` (and `changed` for its
// new copy); every night ends with one `run_done`. The router's password is in no hook's environment.
TEST_F(BackupStateTest, HooksHearOfChangesOfStateNotOfEveryNight)
{
    AddRouter("good", "config good\n");
    AddRouter("flaky", "config flaky\n");
    SetConfig("flaky", std::nullopt);
    testsupport::WriteFileBytes(m_dir / "pw", Bytes("Sesame-4711\n"));
    WriteList({Row("good") + ",pw", Row("flaky") + ","}, "name,address,password_file");
    const QString hook = Q(EventHook());

    const std::vector<std::vector<std::string>> expected = {
        {"changed good 0", "failed flaky 1", "run_done  "},
        {"run_done  "},
        {"run_done  "},
        {"changed flaky 0", "recovered flaky 0", "run_done  "},
        {"run_done  "},
    };
    for (std::size_t nNight = 0; nNight < expected.size(); ++nNight) {
        if (nNight == 3)
            SetConfig("flaky", "config flaky\n");
        Night night = Backup({"--hook", hook, "--git", "--json"});
        EXPECT_EQ(night.nExit, nNight < 3 ? 1 : 0) << night.err;
        EXPECT_EQ(night.summary.value("hooks_failed").toInt(), 0);
        EXPECT_EQ(TakeEvents(), expected[nNight]) << "night " << nNight + 1;
    }
    const std::string env = Text(testsupport::ReadFileBytes(m_dir / "env"));
    EXPECT_EQ(env.find("Sesame-4711"), std::string::npos);
    EXPECT_NE(env.find("VELNOR_FILE=" + (m_out / "flaky.conf").string() + "\n"), std::string::npos);
    EXPECT_NE(env.find("VELNOR_ADDRESS=" + m_addresses["flaky"] + "\n"), std::string::npos);
    EXPECT_NE(env.find("VELNOR_COMMIT=" + Git({"rev-parse", "HEAD"})), std::string::npos);
    EXPECT_NE(env.find("VELNOR_FAILED=1\n"), std::string::npos);
    EXPECT_EQ(env.find("VELNOR_TEST_ROUTER_PORT"), std::string::npos);
}

// stale once when the last success crosses --stale-after (set back by the test), not every night.
TEST_F(BackupStateTest, StaleIsRaisedOnceWhenTheLastSuccessGetsTooOld)
{
    AddRouter("far", "config far\n");
    WriteList({Row("far")});
    ASSERT_EQ(Backup({}).nExit, 0);
    SetConfig("far", std::nullopt);
    const QString hook = Q(EventHook());
    Night night = Backup({"--hook", hook});
    EXPECT_EQ(TakeEvents(), (std::vector<std::string>{"failed far 1", "run_done  "}));
    SetRecordFields("far", {{"last_success", QString::fromStdString(FormatUtcTime(std::time(nullptr) - 50 * 3600))}});
    night = Backup({"--hook", hook});
    EXPECT_EQ(TakeEvents(), (std::vector<std::string>{"run_done  ", "stale far 2"}));
    night = Backup({"--hook", hook});
    EXPECT_EQ(TakeEvents(), (std::vector<std::string>{"run_done  "}));
    // A longer limit: not stale at all.
    SetRecordFields("far", {{"stale_reported", false}});
    night = Backup({"--hook", hook, "--stale-after", "72"});
    EXPECT_EQ(TakeEvents(), (std::vector<std::string>{"run_done  "}));
}

struct BadHookCase {
    const char* title;
    std::string script;
    const char* warning;
    const char* said;  // its line on the backup's standard error
};

class BackupBadHookTest : public BackupStateTest, public ::testing::WithParamInterface<BadHookCase> {};

TEST_P(BackupBadHookTest, AWarningNeverTheBackupsFailure)
{
    AddRouter("r", "config r\n");
    WriteList({Row("r")});
    const fs::path hook = m_dir / "bad-hook";
    testsupport::WriteFileBytes(hook, Bytes(GetParam().script));
    fs::permissions(hook, fs::perms::owner_all);
    const auto nStart = std::chrono::steady_clock::now();
    Night night = Backup({"--hook", Q(hook), "--hook-timeout", "1", "--json"});
    EXPECT_LT(std::chrono::steady_clock::now() - nStart, std::chrono::seconds(5));
    EXPECT_EQ(night.nExit, 0) << night.err;
    // Two events (changed, run_done), each failing.
    EXPECT_EQ(night.summary.value("hooks_failed").toInt(), 2) << night.err;
    EXPECT_NE(night.err.find("warning: the hook bad-hook (changed) " + std::string(GetParam().warning)),
              std::string::npos)
        << night.err;
    // What it said, with its name in front.
    EXPECT_NE(night.err.find("bad-hook: " + std::string(GetParam().said) + "\n"), std::string::npos) << night.err;
    EXPECT_EQ(Text(testsupport::ReadFileBytes(m_out / "r.conf")), "config r\n");
}

INSTANTIATE_TEST_SUITE_P(
    Hooks, BackupBadHookTest,
    ::testing::Values(BadHookCase{"Fails", "#!/bin/sh\necho about to fail\nexit 3\n", "failed with exit status 3",
                                  "about to fail"},
                      BadHookCase{"TakesTooLong", "#!/bin/sh\necho about to hang\nsleep 30 &\nwait\n",
                                  "did not end within 1 s", "about to hang"},
                      BadHookCase{"NoInterpreter", "#!/nowhere/sh\n", "failed with exit status 127",
                                  "cannot run it: No such file or directory"}),
    [](const ::testing::TestParamInfo<BadHookCase>& info) { return std::string(info.param.title); });

TEST_F(BackupStateTest, AHookThatCannotRunIsRefusedBeforeAnythingIsSent)
{
    AddRouter("r", "config r\n");
    WriteList({Row("r")});
    Night night = Backup({"--hook", Q(m_dir / "no-such-hook")});
    EXPECT_EQ(night.nExit, 2);
    EXPECT_NE(night.err.find("is not a program that can be run"), std::string::npos) << night.err;
    EXPECT_EQ(DatagramsIn(), 0u);
}

// Finding: a failed commit ended with "Nothing to commit" and a JSON summary without a reason.
TEST_F(BackupStateTest, AFailedCommitIsNamedAndNotCalledNothingToCommit)
{
    AddRouter("r", "config r\n");
    WriteList({Row("r")});
    ASSERT_EQ(Backup({"--git"}).nExit, 0);
    SetConfig("r", "config r 2\n");
    const fs::path hook = m_out / ".git" / "hooks" / "pre-commit";
    testsupport::WriteFileBytes(hook, Bytes("#!/bin/sh\necho refused by policy >&2\nexit 1\n"));
    fs::permissions(hook, fs::perms::owner_all);
    Night night = Backup({"--git", "--json"});
    EXPECT_EQ(night.nExit, 1);
    EXPECT_TRUE(night.summary.value("commit").isNull());
    EXPECT_NE(night.summary.value("commit_error").toString().toStdString().find("refused by policy"), std::string::npos)
        << night.out;
    night = Backup({"--git"});
    EXPECT_EQ(night.nExit, 1);
    EXPECT_EQ(night.out.find("Nothing to commit"), std::string::npos) << night.out;
    EXPECT_NE(night.out.find("Not committed: the commit failed\n"), std::string::npos) << night.out;
    // Once the hook is gone the change is committed and counted as the commit counts it.
    fs::remove(hook);
    night = Backup({"--git", "--json"});
    EXPECT_EQ(night.nExit, 0) << night.err;
    EXPECT_EQ(night.summary.value("changed").toInt(), 1);
    EXPECT_FALSE(night.routers["r"].value("changed").toBool());  // its bytes were in place already
    EXPECT_TRUE(night.summary.value("commit_error").isNull());
    EXPECT_EQ(Git({"show", "--name-only", "--format=", "HEAD"}), "r.conf\n");
}

TEST_F(BackupStateTest, ALogAPersonReadsTheMorningAfter)
{
    AddRouter("good", "config good\n");
    AddRouter("bad1", "x");
    AddRouter("bad2", "x");
    SetConfig("bad1", std::nullopt);
    SetConfig("bad2", std::nullopt);
    WriteList({Row("good"), Row("bad1"), Row("bad2")});
    Night night = Backup({});
    EXPECT_EQ(night.nExit, 1);
    EXPECT_EQ(night.out.rfind("Backup of 3 routers into " + m_out.string() + " started 20", 0), 0u) << night.out;
    EXPECT_NE(night.out.find("\nFailed: bad1, bad2\n"), std::string::npos) << night.out;
    const std::size_t nLast = night.out.rfind("\nBackup ended 20");
    ASSERT_NE(nLast, std::string::npos) << night.out;
    EXPECT_EQ(night.out.find('\n', nLast + 1), night.out.size() - 1);

    // -q: the failures and the summary, dated; nothing of the router that succeeded.
    night = Backup({"-q"});
    EXPECT_EQ(night.nExit, 1);
    EXPECT_EQ(night.out.find("good"), std::string::npos) << night.out;
    EXPECT_NE(night.out.find("bad1"), std::string::npos) << night.out;
    EXPECT_NE(night.out.find("+00:00 3 routers: 1 ok (0 changed), 2 failed"), std::string::npos) << night.out;

    // --json: a time on every object.
    night = Backup({"--json"});
    for (const auto& [name, object] : night.routers)
        EXPECT_TRUE(ParseUtcTime(object.value("time").toString().toStdString())) << name;
    EXPECT_TRUE(ParseUtcTime(night.summary.value("time").toString().toStdString()));
    EXPECT_EQ(night.summary.value("failed_routers").toArray(), (QJsonArray{"bad1", "bad2"}));
}

}  // namespace

namespace {

// At most four hooks at a time, and more than one when there are events enough.
TEST_F(BackupStateTest, HooksRunSideBySideFourAtMost)
{
    std::vector<std::string> rows;
    for (int i = 0; i < 8; ++i) {
        const std::string name = "r" + std::to_string(i);
        AddRouter(name, "config " + name + "\n");
        rows.push_back(Row(name));
    }
    WriteList(rows);
    fs::create_directories(m_dir / "running");
    const fs::path hook = m_dir / "count-hook";
    testsupport::WriteFileBytes(hook, Bytes("#!/bin/sh\n"
                                            "touch " + (m_dir / "running").string() + "/$$\n"
                                            "sleep 0.3\n"
                                            "ls " + (m_dir / "running").string() + " | wc -l >> "
                                            + (m_dir / "counts").string() + "\n"
                                            "rm " + (m_dir / "running").string() + "/$$\n"));
    fs::permissions(hook, fs::perms::owner_all);
    Night night = Backup({"--hook", Q(hook), "--json"});
    EXPECT_EQ(night.nExit, 0) << night.err;
    EXPECT_EQ(night.summary.value("hooks_failed").toInt(), 0) << night.err;
    std::ifstream in(m_dir / "counts");
    int nRuns = 0, nMost = 0;
    for (int n; in >> n; ++nRuns)
        nMost = std::max(nMost, n);
    EXPECT_EQ(nRuns, 9);  // eight changed, one run_done
    EXPECT_LE(nMost, 4);
    EXPECT_GE(nMost, 2);
}

// An interrupted run names the routers it did not back up and still keeps the state of the others.
TEST_F(BackupStateTest, AnInterruptedRunNamesWhatItDidNotDo)
{
    AddRouter("quick", "config quick\n");
    velnor::sim::RouterSimOptions silent;
    const std::string slow = testsupport::LoopbackAddressForTest(7);
    silent.listenAddress = slow;
    silent.port = testsupport::kTestRouterPort;
    silent.silent = true;
    testsupport::TempDir root;
    silent.root = root.Path();
    velnor::sim::RouterSim sim(silent);
    std::string error;
    ASSERT_TRUE(sim.Start(&error)) << error;
    WriteList({Row("quick"), "slow," + slow});
    m_env.insert("VELNOR_TEST_REPLY_TIMEOUT_MS", "5000");
    QProcess process;
    process.setProgram(QStringLiteral(VELNOR_TFTP_PROGRAM));
    process.setArguments(BackupArgs({"--json"}));
    process.setProcessEnvironment(m_env);
    process.start();
    ASSERT_TRUE(process.waitForStarted(5000));
    // quick reported, slow asked and waiting.
    std::string out;
    while (out.find("\"name\":\"quick\"") == std::string::npos && process.waitForReadyRead(5000))
        out += process.readAllStandardOutput().toStdString();
    ASSERT_TRUE(sim.WaitFor([](const auto& s) { return s.datagramsIn > 0; }, std::chrono::milliseconds(5000)));
    ::kill(static_cast<pid_t>(process.processId()), SIGTERM);
    ASSERT_TRUE(process.waitForFinished(10000));
    EXPECT_EQ(process.exitCode(), 143);
    out += process.readAllStandardOutput().toStdString();
    EXPECT_NE(out.find("\"not_done_routers\":[\"slow\"]"), std::string::npos) << out;
    EXPECT_TRUE(Record("quick").value("ok").toBool());
    EXPECT_TRUE(Record("slow").value("last_attempt").isNull());
    EXPECT_EQ(State().value("last_run").toObject().value("interrupted").toBool(), true);
}

}  // namespace

namespace {

// On a terminal the progress line names the routers that have waited longer than one time-out. The
// terminal is script(1)'s; the run is ended by a SIGTERM once the line has had its chance.
TEST_F(BackupStateTest, TheProgressLineNamesTheRoutersItWaitsFor)
{
    if (std::system("command -v script >/dev/null 2>&1 && command -v timeout >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "script(1) or timeout(1) is not installed";
    AddRouter("quick", "config quick\n");
    WriteList({Row("quick"), "mute-1," + testsupport::LoopbackAddressForTest(11),
               "mute-2," + testsupport::LoopbackAddressForTest(12)});
    std::string command = "timeout -s TERM 2.3 " + std::string(VELNOR_TFTP_PROGRAM);
    for (const QString& arg : BackupArgs({"--timeout", "1"}))
        command += " '" + arg.toStdString() + "'";
    m_env.insert("VELNOR_TEST_REPLY_TIMEOUT_MS", "5000");
    Night night = [&] {
        QProcess process;
        process.setProcessEnvironment(m_env);
        process.start("script", QStringList{"-qec", Q(command), "/dev/null"});
        EXPECT_TRUE(process.waitForFinished(15000));
        Night ran;
        ran.out = process.readAllStandardOutput().toStdString();
        return ran;
    }();
    EXPECT_NE(night.out.find(", waiting for mute-1, mute-2"), std::string::npos) << night.out;
    EXPECT_EQ(night.out.find("waiting for quick"), std::string::npos) << night.out;
}

}  // namespace
