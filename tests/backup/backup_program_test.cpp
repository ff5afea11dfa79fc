// `velnor-tftp backup` as a program against a small fleet: router simulators on loopback addresses of
// the test's own, a real backup folder and a real git repository.

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>

#include <ctime>
#include <fstream>
#include <thread>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "GitRun.h"
#include "RouterSim.h"
#include "TestSupport.h"

namespace fs = std::filesystem;

namespace {

using velnor::sim::RouterSim;
using velnor::sim::RouterSimOptions;
using namespace std::chrono_literals;

QString Q(const fs::path& p) { return QString::fromStdString(p.string()); }

std::string Text(const std::vector<std::uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }
std::vector<std::uint8_t> Bytes(const std::string& text) { return std::vector<std::uint8_t>(text.begin(), text.end()); }

struct BackupRun {
    int nExit = -1;
    std::vector<QJsonObject> routers;  // by the order of the lines
    QJsonObject summary;
    std::string out, err;
    const QJsonObject* Router(const std::string& name) const
    {
        for (const QJsonObject& object : routers) {
            if (object.value("name").toString().toStdString() == name)
                return &object;
        }
        return nullptr;
    }
};

class BackupProgramTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Commits of these tests have no user identity to find.
        m_env = QProcessEnvironment::systemEnvironment();
        m_env.insert("VELNOR_TEST_ROUTER_PORT", QString::number(testsupport::kTestRouterPort));
        m_env.insert("HOME", Q(m_home.Path()));
        m_env.insert("GIT_CONFIG_NOSYSTEM", "1");
        m_env.insert("TMPDIR", Q(m_tmp.Path()));
        for (const char* name : {"GIT_COMMITTER_NAME", "GIT_COMMITTER_EMAIL", "GIT_AUTHOR_NAME", "GIT_AUTHOR_EMAIL"})
            m_env.remove(name);
    }

    // A router on an address of its own, serving config0 with these bytes.
    std::string AddRouter(const std::string& name, const std::string& config, RouterSimOptions options = {})
    {
        auto root = std::make_unique<testsupport::TempDir>();
        testsupport::WriteFileBytes(root->Path() / "config0", Bytes(config));
        options.listenAddress = testsupport::LoopbackAddressForTest(static_cast<unsigned>(m_sims.size()));
        options.port = testsupport::kTestRouterPort;
        options.root = root->Path();
        auto sim = std::make_unique<RouterSim>(options);
        std::string error;
        EXPECT_TRUE(sim->Start(&error)) << error;
        m_roots[name] = std::move(root);
        m_addresses[name] = options.listenAddress;
        m_sims[name] = std::move(sim);
        return options.listenAddress;
    }

    void WriteList(const std::string& text) { testsupport::WriteFileBytes(m_dir / "list.csv", Bytes(text)); }

    QProcess* Start(QStringList extra)
    {
        auto process = std::make_unique<QProcess>();
        process->setProgram(QStringLiteral(VELNOR_TFTP_PROGRAM));
        process->setArguments(QStringList{"backup", "--inventory", Q(m_dir / "list.csv"), "--out", Q(m_out)} + extra);
        process->setProcessEnvironment(m_env);
        process->start();
        EXPECT_TRUE(process->waitForStarted(5000));
        m_process = std::move(process);
        return m_process.get();
    }

    BackupRun Finish(const QByteArray& input = {})
    {
        QProcess& process = *m_process;
        if (!input.isEmpty())
            process.write(input);
        process.closeWriteChannel();
        EXPECT_TRUE(process.waitForFinished(30000)) << "velnor-tftp backup did not end";
        BackupRun run;
        EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
        run.nExit = process.exitCode();
        run.out = process.readAllStandardOutput().toStdString();
        run.err = process.readAllStandardError().toStdString();
        for (const QByteArray& line : QByteArray::fromStdString(run.out).split('\n')) {
            if (line.isEmpty() || !m_process->arguments().contains("--json"))
                continue;
            QJsonParseError error {};
            const QJsonDocument document = QJsonDocument::fromJson(line, &error);
            EXPECT_TRUE(document.isObject()) << "not a JSON object: " << line.toStdString();
            if (document.object().value("summary").toBool())
                run.summary = document.object();
            else
                run.routers.push_back(document.object());
        }
        return run;
    }

    BackupRun Backup(QStringList extra, const QByteArray& input = {})
    {
        Start(std::move(extra));
        return Finish(input);
    }

    std::string Git(const QStringList& args) { return fleettest::RunGit(m_env, m_out, args); }

    // The names in the backup folder but the backup's own folder of lock and state (.velnor).
    std::set<std::string> OutNames() const
    {
        std::set<std::string> names;
        for (const fs::directory_entry& entry : fs::directory_iterator(m_out)) {
            if (entry.path().filename() != ".velnor")
                names.insert(entry.path().filename().string());
        }
        return names;
    }

    bool NothingReachedAnyRouter()
    {
        for (auto& [name, sim] : m_sims) {
            if (sim->WaitFor([](const auto& s) { return s.datagramsIn > 0; }, 100ms))
                return false;
        }
        return true;
    }

    testsupport::TempDir m_home, m_tmp, m_dir;
    fs::path m_out = m_dir / "backups";
    QProcessEnvironment m_env;
    std::map<std::string, std::unique_ptr<testsupport::TempDir>> m_roots;
    std::map<std::string, std::string> m_addresses;
    std::map<std::string, std::unique_ptr<RouterSim>> m_sims;
    std::unique_ptr<QProcess> m_process;
};

TEST_F(BackupProgramTest, AFleetBackedUpThenUnchangedThenOneChangeOneCommit)
{
    RouterSimOptions withPassword;
    withPassword.password = "secret";
    RouterSimOptions failing;
    failing.errorText = "Disk error";
    failing.errorCode = 2;
    const std::string core = AddRouter("core", "hostname core\n", withPassword);
    const std::string edge = AddRouter("edge", "hostname edge\n");
    const std::string locked = AddRouter("locked", "hostname locked\n", withPassword);
    const std::string broken = AddRouter("broken", "hostname broken\n", failing);
    const std::string spare = AddRouter("spare", "hostname spare\n");
    testsupport::WriteFileBytes(m_dir / "core.pw", Bytes("secret\n"));
    testsupport::WriteFileBytes(m_dir / "wrong.pw", Bytes("guess\n"));
    WriteList("name,address,password_file,state\n"
              "core," + core + ",core.pw,\n"
              "edge," + edge + ",,up\n"
              "locked," + locked + ",wrong.pw,\n"
              "broken," + broken + ",,\n"
              "spare," + spare + ",,down\n");
    // Copies from before: edge's is current, locked's and broken's are old and must survive.
    fs::create_directory(m_out);
    testsupport::WriteFileBytes(m_out / "edge.conf", Bytes("hostname edge\n"));
    testsupport::WriteFileBytes(m_out / "locked.conf", Bytes("old locked\n"));
    testsupport::WriteFileBytes(m_out / "broken.conf", Bytes("old broken\n"));

    BackupRun first = Backup({"--json", "--git", "--jobs", "3"});
    EXPECT_EQ(first.nExit, 1) << first.err;
    ASSERT_EQ(first.routers.size(), 5u) << first.out;
    const struct {
        const char* name;
        bool bOk;
        bool bChanged;
        const char* failureClass;
    } expected[] = {{"core", true, true, nullptr},
                    {"edge", true, false, nullptr},
                    {"locked", false, false, "refused"},
                    {"broken", false, false, "refused"}};
    for (const auto& e : expected) {
        const QJsonObject* router = first.Router(e.name);
        ASSERT_TRUE(router) << e.name;
        EXPECT_EQ(router->value("ok").toBool(), e.bOk) << e.name;
        EXPECT_EQ(router->value("changed").toBool(), e.bChanged) << e.name;
        EXPECT_EQ(router->value("state").toString(), "up") << e.name;
        EXPECT_EQ(router->value("router").toString().toStdString(), m_addresses[e.name]) << e.name;
        EXPECT_EQ(router->value("operation").toString(), "get") << e.name;
        EXPECT_EQ(router->value("local_file").toString().toStdString(), (m_out / (std::string(e.name) + ".conf")).string());
        if (e.failureClass) {
            EXPECT_EQ(router->value("class").toString(), e.failureClass) << e.name;
            EXPECT_TRUE(router->value("code").isString()) << e.name;
        } else {
            EXPECT_TRUE(router->value("class").isNull()) << e.name;
        }
    }
    EXPECT_EQ(first.Router("broken")->value("router_text").toString(), "Disk error");
    const QJsonObject* skipped = first.Router("spare");
    ASSERT_TRUE(skipped);
    EXPECT_EQ(skipped->value("state").toString(), "down");
    EXPECT_TRUE(skipped->value("ok").isNull());
    EXPECT_EQ(m_sims["spare"]->Stats().datagramsIn, 0u);

    EXPECT_EQ(first.summary.value("routers").toInt(), 5);
    EXPECT_EQ(first.summary.value("ok").toInt(), 2);
    // As the commit counts: edge's copy was current but new to the history.
    EXPECT_EQ(first.summary.value("changed").toInt(), 2);
    EXPECT_EQ(first.summary.value("failed").toInt(), 2);
    EXPECT_EQ(first.summary.value("skipped").toInt(), 1);
    EXPECT_TRUE(first.summary.value("commit").isString());

    EXPECT_EQ(Text(testsupport::ReadFileBytes(m_out / "core.conf")), "hostname core\n");
    EXPECT_EQ(Text(testsupport::ReadFileBytes(m_out / "locked.conf")), "old locked\n");
    EXPECT_EQ(Text(testsupport::ReadFileBytes(m_out / "broken.conf")), "old broken\n");
    EXPECT_EQ(OutNames(), (std::set<std::string>{".git", "core.conf", "edge.conf", "locked.conf", "broken.conf"}));
    // The first commit holds the answering routers' copies; the message names changes and failures.
    EXPECT_EQ(Git({"show", "--name-only", "--format=", "HEAD"}), "core.conf\nedge.conf\n");
    const std::string message = Git({"log", "-1", "--format=%B%n%cn"});
    EXPECT_NE(message.find("core " + core), std::string::npos) << message;
    EXPECT_NE(message.find("locked " + locked + ": "), std::string::npos) << message;
    EXPECT_NE(message.find("broken " + broken + ": "), std::string::npos) << message;
    EXPECT_NE(message.find("velnor-tftp"), std::string::npos) << message;
    EXPECT_TRUE(fs::is_empty(m_tmp.Path()));  // no work folder left

    // Second run, nothing changed on any router: every one unchanged, no commit.
    WriteList("name,address,password_file\ncore," + core + ",core.pw\nedge," + edge + ",\n");
    BackupRun second = Backup({"--json", "--git"});
    EXPECT_EQ(second.nExit, 0) << second.err;
    ASSERT_EQ(second.routers.size(), 2u);
    for (const QJsonObject& router : second.routers) {
        EXPECT_TRUE(router.value("ok").toBool());
        EXPECT_FALSE(router.value("changed").toBool());
    }
    EXPECT_TRUE(second.summary.value("commit").isNull());
    EXPECT_EQ(Git({"rev-list", "--count", "HEAD"}), "1\n");

    // One router's configuration changes: exactly one commit, touching one file.
    testsupport::WriteFileBytes(m_roots["edge"]->Path() / "config0", Bytes("hostname edge\nvlan 2\n"));
    BackupRun third = Backup({"--json", "--git"});
    EXPECT_EQ(third.nExit, 0) << third.err;
    EXPECT_TRUE(third.Router("edge")->value("changed").toBool());
    EXPECT_FALSE(third.Router("core")->value("changed").toBool());
    EXPECT_EQ(third.summary.value("changed").toInt(), 1);
    EXPECT_EQ(Git({"rev-list", "--count", "HEAD"}), "2\n");
    EXPECT_EQ(Git({"show", "--name-only", "--format=", "HEAD"}), "edge.conf\n");
    EXPECT_EQ(Git({"show", "--format=", "HEAD", "--", "edge.conf"}).find("+vlan 2") != std::string::npos, true);
}

TEST_F(BackupProgramTest, APersonReadsOneLinePerRouterAndTheSummary)
{
    const std::string a = AddRouter("a", "config a\n");
    const std::string b = AddRouter("b", "config b\n");
    WriteList("name,address,state\nrouter-a," + a + ",\nb," + b + ",down\n");
    BackupRun run = Backup({});
    EXPECT_EQ(run.nExit, 0) << run.err;
    EXPECT_NE(run.out.find("router-a  " + a), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("OK changed\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("skipped\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("2 routers: 1 ok (1 changed), 0 failed, 1 skipped in "), std::string::npos) << run.out;
    EXPECT_EQ(OutNames(), std::set<std::string>{"router-a.conf"});
}

TEST_F(BackupProgramTest, PasswordsGoThroughAPipeNeverTheCommandLine)
{
    RouterSimOptions options;
    options.password = "s3cret-pw";
    const std::string r = AddRouter("r", "config r\n", options);
    WriteList("name,address\nr," + r + "\n");
    // The default password from standard input, as a scheduler's secret store would hand it over.
    BackupRun run = Backup({"--json", "--password-file", "-"}, "s3cret-pw\n");
    EXPECT_EQ(run.nExit, 0) << run.err << run.out;
    EXPECT_EQ(m_sims["r"]->Stats().lastRequestName, "config/s3cret-pw");
    EXPECT_EQ(run.out.find("s3cret"), std::string::npos);
}

// A worker serves one router after another: nothing of one router's transfer, its password least of
// all, reaches the next one's.
TEST_F(BackupProgramTest, OneWorkerAfterAnotherRouterTakesNothingAlong)
{
    RouterSimOptions alphaOptions, betaOptions;
    alphaOptions.password = "alpha-pw";
    betaOptions.password = "beta-pw";
    const std::string alpha = AddRouter("alpha", "config alpha\n", alphaOptions);
    const std::string open = AddRouter("open", "config open\n");
    const std::string beta = AddRouter("beta", "config beta\n", betaOptions);
    testsupport::WriteFileBytes(m_roots["beta"]->Path() / "config2", Bytes("config beta 2\n"));
    fs::create_directory(m_dir / "pw");
    testsupport::WriteFileBytes(m_dir / "pw" / "alpha", Bytes("alpha-pw\n"));
    testsupport::WriteFileBytes(m_dir / "pw" / "beta", Bytes("beta-pw\n"));
    fs::permissions(m_dir / "pw" / "alpha", fs::perms::owner_read | fs::perms::owner_write);
    fs::permissions(m_dir / "pw" / "beta", fs::perms::owner_read | fs::perms::owner_write);
    WriteList("name,address,file_number,password_file\nalpha," + alpha + ",,pw/alpha\nopen," + open
              + ",,\nbeta," + beta + ",2,pw/beta\nalpha-again," + alpha + ",,pw/alpha\n");
    BackupRun run = Backup({"--json", "--jobs", "1"});
    EXPECT_EQ(run.nExit, 0) << run.err << run.out;
    EXPECT_EQ(run.summary.value("ok").toInt(), 4) << run.out;
    EXPECT_EQ(m_sims["alpha"]->Stats().requests, 2u);
    EXPECT_EQ(m_sims["alpha"]->Stats().lastRequestName, "config/alpha-pw");
    EXPECT_EQ(m_sims["open"]->Stats().lastRequestName, "config");
    EXPECT_EQ(m_sims["beta"]->Stats().lastRequestName, "config2/beta-pw");
    EXPECT_EQ(Text(testsupport::ReadFileBytes(m_out / "open.conf")), "config open\n");
    EXPECT_EQ(Text(testsupport::ReadFileBytes(m_out / "beta.conf")), "config beta 2\n");
    EXPECT_EQ(Text(testsupport::ReadFileBytes(m_out / "alpha-again.conf")), "config alpha\n");
    EXPECT_TRUE(fs::is_empty(m_tmp.Path()));
}

struct RefusedListCase {
    const char* title;
    std::string list;  // ROUTER stands for the router's address
    const char* words;
};

class BackupRefusedTest : public BackupProgramTest, public ::testing::WithParamInterface<RefusedListCase> {};

TEST_P(BackupRefusedTest, NothingSentNothingWritten)
{
    const std::string router = AddRouter("r", "config\n");
    std::string list = GetParam().list;
    for (std::size_t pos; (pos = list.find("ROUTER")) != std::string::npos;)
        list.replace(pos, 6, router);
    WriteList(list);
    BackupRun run = Backup({"--git"});
    EXPECT_EQ(run.nExit, 2);
    EXPECT_NE(run.err.find(GetParam().words), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("nothing was sent"), std::string::npos) << run.err;
    EXPECT_TRUE(NothingReachedAnyRouter());
    EXPECT_FALSE(fs::exists(m_out));
}

INSTANTIATE_TEST_SUITE_P(
    Lists, BackupRefusedTest,
    ::testing::Values(RefusedListCase{"BadLineAfterAGoodOne", "name,address\ngood,ROUTER\nbad,ROUTER.1\n",
                                      "list.csv:3: invalid router address"},
                      RefusedListCase{"UnreadablePasswordFile", "name,address,password_file\nr,ROUTER,nowhere\n",
                                      "list.csv:2: cannot read the password file"},
                      RefusedListCase{"NoAddressColumn", "# routers\nname,addr\nr,ROUTER\n",
                                      "list.csv:2: unknown column \"addr\""},
                      RefusedListCase{"DuplicateName", "name,address\nr,ROUTER\nR,ROUTER\n",
                                      "list.csv:3: the name \"R\" is already used on line 2"}),
    [](const ::testing::TestParamInfo<RefusedListCase>& info) { return std::string(info.param.title); });

struct StopCase {
    const char* title;
    int nSignal;
    int nExit;
};

class BackupStopTest : public BackupProgramTest, public ::testing::WithParamInterface<StopCase> {};

TEST_P(BackupStopTest, NoNewTransferNoPartialFileASummaryAndTheShellsStatus)
{
    RouterSimOptions silent;
    silent.silent = true;
    const std::string quick = AddRouter("quick", "config quick\n");
    const std::string slow1 = AddRouter("slow1", "x", silent);
    const std::string slow2 = AddRouter("slow2", "x", silent);
    const std::string later = AddRouter("later", "config later\n");
    WriteList("name,address\nquick," + quick + "\nslow1," + slow1 + "\nslow2," + slow2 + "\nlater," + later + "\n");
    QProcess* process = Start({"--json", "--jobs", "2"});
    process->closeWriteChannel();
    // quick finishes, then both silent routers hold the two places; later waits for one.
    ASSERT_TRUE(m_sims["quick"]->WaitForTransfers(1, 5000ms));
    ASSERT_TRUE(m_sims["slow1"]->WaitFor([](const auto& s) { return s.datagramsIn > 0; }, 5000ms));
    ASSERT_TRUE(m_sims["slow2"]->WaitFor([](const auto& s) { return s.datagramsIn > 0; }, 5000ms));
    ::kill(static_cast<pid_t>(process->processId()), GetParam().nSignal);
    BackupRun run = Finish();
    EXPECT_EQ(run.nExit, GetParam().nExit) << run.err;
    ASSERT_EQ(run.routers.size(), 1u) << run.out;
    EXPECT_EQ(run.routers[0].value("name").toString(), "quick");
    EXPECT_TRUE(run.summary.value("interrupted").toBool());
    EXPECT_EQ(run.summary.value("not_done").toInt(), 3);
    EXPECT_EQ(m_sims["later"]->Stats().datagramsIn, 0u);
    EXPECT_EQ(OutNames(), std::set<std::string>{"quick.conf"});
    EXPECT_TRUE(fs::is_empty(m_tmp.Path()));
}

INSTANTIATE_TEST_SUITE_P(Signals, BackupStopTest,
                         ::testing::Values(StopCase{"Interrupt", SIGINT, 130}, StopCase{"Terminate", SIGTERM, 143}),
                         [](const ::testing::TestParamInfo<StopCase>& info) { return std::string(info.param.title); });

TEST_F(BackupProgramTest, ASilentRouterFailsWithTheTimeOutOthersGoOn)
{
    RouterSimOptions silent;
    silent.silent = true;
    const std::string mute = AddRouter("mute", "x", silent);
    const std::string fine = AddRouter("fine", "config fine\n");
    fs::create_directory(m_out);
    testsupport::WriteFileBytes(m_out / "mute.conf", Bytes("kept\n"));
    WriteList("name,address\nmute," + mute + "\nfine," + fine + "\n");
    // 100 ms a try, five tries: the silent router takes half a second.
    m_env.insert("VELNOR_TEST_REPLY_TIMEOUT_MS", "100");
    BackupRun run = Backup({"--json"});
    EXPECT_EQ(run.nExit, 1) << run.err;
    ASSERT_TRUE(run.Router("mute"));
    EXPECT_EQ(run.Router("mute")->value("class").toString(), "timeout");
    EXPECT_TRUE(run.Router("fine")->value("ok").toBool());
    EXPECT_EQ(Text(testsupport::ReadFileBytes(m_out / "mute.conf")), "kept\n");
    // The silent router took no place from the answering one: it finished long before.
    EXPECT_LT(run.Router("fine")->value("seconds").toDouble(), 0.5);
}

// At most --jobs transfers at once and one at a time per router address; a slot is free again once
// its transfer has ended. Each transfer here takes at least 200 ms (two DATA blocks, each answer
// 100 ms late), so transfers that overlapped would show requests a few milliseconds apart.
TEST_F(BackupProgramTest, JobsLimitTheTransfersAndARouterServesOneAtATime)
{
    using Clock = std::chrono::steady_clock;
    // When each router accepted a request; the routers' threads write it.
    struct Requests {
        std::mutex mutex;
        std::map<std::string, std::vector<Clock::time_point>> times;
    };
    const auto requests = std::make_shared<Requests>();
    auto take = [&] {
        const std::lock_guard<std::mutex> lock(requests->mutex);
        return std::exchange(requests->times, {});
    };
    const std::string config(600, 'c');
    auto routerOptions = [&](const std::string& name) {
        RouterSimOptions options;
        options.replyDelaySeconds = 0.1;
        options.onEvent = [requests, name](const std::string& event) {
            if (event.rfind("accepted read ", 0) == 0) {
                const std::lock_guard<std::mutex> lock(requests->mutex);
                requests->times[name].push_back(Clock::now());
            }
        };
        return options;
    };
    const std::string two = AddRouter("two", config, routerOptions("two"));
    testsupport::WriteFileBytes(m_roots["two"]->Path() / "config1", Bytes(config));
    const std::string other = AddRouter("other", config, routerOptions("other"));
    WriteList("name,address,file_number\ntwo-0," + two + ",0\ntwo-1," + two + ",1\nother," + other + ",\n");

    // Two places: two-0 and other start together; two-1 waits for its router, not for a place.
    BackupRun run = Backup({"--json", "--jobs", "2"});
    EXPECT_EQ(run.nExit, 0) << run.err;
    EXPECT_EQ(run.summary.value("ok").toInt(), 3) << run.out;
    auto times = take();
    ASSERT_EQ(times["two"].size(), 2u);
    ASSERT_EQ(times["other"].size(), 1u);
    EXPECT_GE(times["two"][1] - times["two"][0], 150ms);
    const auto apart = times["other"][0] - times["two"][0];
    EXPECT_LT(apart < 0ms ? -apart : apart, 150ms);

    // One place: the three one after another.
    BackupRun serial = Backup({"--json", "--jobs", "1"});
    EXPECT_EQ(serial.nExit, 0) << serial.err;
    std::vector<Clock::time_point> all;
    for (const auto& [name, list] : take())
        all.insert(all.end(), list.begin(), list.end());
    ASSERT_EQ(all.size(), 3u);
    std::sort(all.begin(), all.end());
    EXPECT_GE(all[1] - all[0], 150ms);
    EXPECT_GE(all[2] - all[1], 150ms);
}

// Every password source is read by velnor-tftp --password-file's rules and the list with a bound:
// an endless or empty source is refused before anything is sent, never read until memory runs out.
struct SourceCase {
    const char* title;
    QStringList args;  // PW stands for a password file of the test's
    QByteArray input;
    const char* pw;       // the content of PW
    bool bListIsDevZero;  // the list itself is /dev/zero
    const char* words;
};

class BackupSourceTest : public BackupProgramTest, public ::testing::WithParamInterface<SourceCase> {};

TEST_P(BackupSourceTest, RefusedBeforeAnythingIsSent)
{
    const SourceCase& c = GetParam();
    const std::string r = AddRouter("r", "config\n");
    if (c.bListIsDevZero)
        fs::create_symlink("/dev/zero", m_dir / "list.csv");
    else
        WriteList("name,address\nr," + r + "\n");
    testsupport::WriteFileBytes(m_dir / "pw", Bytes(c.pw));
    ::chmod((m_dir / "pw").c_str(), 0600);
    QStringList args = c.args;
    args.replaceInStrings("PW", Q(m_dir / "pw"));
    BackupRun run = Backup(args, c.input);
    EXPECT_EQ(run.nExit, 2) << run.err;
    EXPECT_NE(run.err.find(c.words), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("nothing was sent"), std::string::npos) << run.err;
    EXPECT_TRUE(NothingReachedAnyRouter());
}

INSTANTIATE_TEST_SUITE_P(
    Sources, BackupSourceTest,
    ::testing::Values(SourceCase{"DevZero", {"--password-file", "/dev/zero"}, {}, "", false,
                                 "list.csv:2: the password file \"/dev/zero\" holds more than 32 bytes"},
                      SourceCase{"EndlessStandardInput", {"--password-file", "-"}, QByteArray(1 << 20, 'y'), "", false,
                                 "list.csv:2: standard input holds more than 32 bytes"},
                      SourceCase{"EmptyFile", {"--password-file", "PW"}, {}, "", false, "list.csv:2: the password file"},
                      SourceCase{"OnlyANewline", {"--password-file", "PW"}, {}, "\n", false, "is empty"},
                      SourceCase{"ListIsEndless", {}, {}, "", true, "cannot read the inventory: it is larger than"}),
    [](const ::testing::TestParamInfo<SourceCase>& info) { return std::string(info.param.title); });

// An output folder others may write into is refused before anything is sent; one the backup makes is
// its owner's alone.
TEST_F(BackupProgramTest, AFolderOthersMayWriteIntoIsRefusedAMadeOneIsPrivate)
{
    const std::string r = AddRouter("r", "config r\n");
    WriteList("name,address\nr," + r + "\n");
    fs::create_directory(m_out);
    ASSERT_EQ(::chmod(m_out.c_str(), 0777), 0);
    BackupRun refused = Backup({"--git"});
    EXPECT_EQ(refused.nExit, 2) << refused.err;
    EXPECT_NE(refused.err.find(m_out.string() + " can be written by other users"), std::string::npos) << refused.err;
    EXPECT_TRUE(NothingReachedAnyRouter());
    EXPECT_TRUE(fs::is_empty(m_out));

    fs::remove(m_out);
    BackupRun made = Backup({"--git"});
    EXPECT_EQ(made.nExit, 0) << made.err;
    struct stat st {};
    ASSERT_EQ(::stat(m_out.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_EQ(Git({"config", "core.sharedRepository"}), "0600\n");
}

// Killed outright, the backup takes its workers along, and the next run sweeps its work folder.
TEST_F(BackupProgramTest, KilledOutrightItsWorkersEndAndItsWorkFolderIsSweptNextTime)
{
    RouterSimOptions silent;
    silent.silent = true;
    const std::string mute = AddRouter("mute", "x", silent);
    const std::string fine = AddRouter("fine", "config fine\n");
    WriteList("name,address\nmute," + mute + "\n");
    QProcess* process = Start({"--json"});
    process->closeWriteChannel();
    ASSERT_TRUE(m_sims["mute"]->WaitFor([](const auto& s) { return s.datagramsIn > 0; }, 5000ms));
    const pid_t backup = static_cast<pid_t>(process->processId());
    std::vector<pid_t> workers;
    {
        std::ifstream children("/proc/" + std::to_string(backup) + "/task/" + std::to_string(backup) + "/children");
        for (pid_t pid; children >> pid;)
            workers.push_back(pid);
    }
    ASSERT_FALSE(workers.empty());
    ::kill(backup, SIGKILL);
    ASSERT_TRUE(process->waitForFinished(5000));
    auto running = [&] {
        for (pid_t pid : workers) {
            std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
            std::string field, name, state;
            if (stat >> field >> name >> state && state != "Z")
                return true;
        }
        return false;
    };
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    while (running() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(running()) << "a worker outlived the backup";

    // Its work folder is left; once old enough to be nobody's, the next run takes it away.
    std::vector<fs::path> left;
    for (const fs::directory_entry& entry : fs::directory_iterator(m_tmp.Path()))
        left.push_back(entry.path());
    ASSERT_EQ(left.size(), 1u);
    const timespec old{std::time(nullptr) - 3600, 0};
    const timespec times[2] = {old, old};
    ASSERT_EQ(::utimensat(AT_FDCWD, left[0].c_str(), times, 0), 0);
    WriteList("name,address\nfine," + fine + "\n");
    BackupRun next = Backup({"--json"});
    EXPECT_EQ(next.nExit, 0) << next.err;
    EXPECT_TRUE(fs::is_empty(m_tmp.Path()));
}

}  // namespace

namespace {

// A worker killed in the middle of its transfer fails its own router, as a transfer without a result,
// and the run goes on with a new worker for the next router.
TEST_F(BackupProgramTest, AWorkerKilledMidTransferFailsOnlyItsRouter)
{
    RouterSimOptions silent;
    silent.silent = true;
    const std::string mute = AddRouter("mute", "x", silent);
    const std::string fine = AddRouter("fine", "config fine\n");
    WriteList("name,address\nmute," + mute + "\nfine," + fine + "\n");
    QProcess* process = Start({"--json", "--jobs", "1"});
    process->closeWriteChannel();
    ASSERT_TRUE(m_sims["mute"]->WaitFor([](const auto& s) { return s.datagramsIn > 0; }, 5000ms));
    const pid_t backup = static_cast<pid_t>(process->processId());
    std::vector<pid_t> workers;
    {
        std::ifstream children("/proc/" + std::to_string(backup) + "/task/" + std::to_string(backup) + "/children");
        for (pid_t pid; children >> pid;)
            workers.push_back(pid);
    }
    ASSERT_EQ(workers.size(), 1u);
    ::kill(workers[0], SIGKILL);
    BackupRun run = Finish();
    EXPECT_EQ(run.nExit, 1) << run.err;
    const QJsonObject* pMute = run.Router("mute");
    ASSERT_NE(pMute, nullptr) << run.out;
    EXPECT_FALSE(pMute->value("ok").toBool());
    EXPECT_EQ(pMute->value("class").toString(), "local");
    EXPECT_EQ(pMute->value("message").toString(), "the transfer ended without a result (exit status -1)");
    const QJsonObject* pFine = run.Router("fine");
    ASSERT_NE(pFine, nullptr) << run.out;
    EXPECT_TRUE(pFine->value("ok").toBool());
    EXPECT_EQ(run.summary.value("failed").toInt(), 1);
    EXPECT_EQ(run.summary.value("ok").toInt(), 1);
}

}  // namespace
