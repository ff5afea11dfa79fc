// `velnor-tftp restore` as a program: router simulators on loopback addresses of the test's own, a
// real backup folder with a real git history, and a router that stores other bytes than it was sent.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <optional>
#include <string>

#include "FolderLock.h"
#include "HistoryFixture.h"

namespace {

using namespace historytest;
using velnor::sim::RouterSimOptions;

using RestoreProgramTest = HistoryFixture;

TEST_F(RestoreProgramTest, WorkingCopyIsSentReadBackAndVerified)
{
    RouterSimOptions options;
    options.password = "secret";
    const std::string address = AddRouter("core", "replaced unit's factory file\n", options);
    testsupport::WriteFileBytes(m_dir / "core.pw", Bytes("secret\n"));
    WriteList("name,address,file_number,password_file\ncore," + address + ",2,core.pw\n");
    WriteCopy("core", "hostname core\ninterface lan 192.0.2.1\n");
    testsupport::WriteFileBytes(m_roots["core"]->Path() / "config2", Bytes("factory\n"));
    const auto before = Snapshot();

    const ProgramResult run = Restore({"core", "--json"});
    ASSERT_EQ(run.nExit, 0) << run.err;
    EXPECT_EQ(RouterFile("core", "config2"), "hostname core\ninterface lan 192.0.2.1\n");
    EXPECT_EQ(RouterFile("core"), "replaced unit's factory file\n");  // only the row's file number
    EXPECT_EQ(run.json.value("ok").toBool(), true) << run.out;
    EXPECT_EQ(run.json.value("operation").toString(), "restore");
    EXPECT_EQ(run.json.value("name").toString(), "core");
    EXPECT_EQ(run.json.value("router").toString().toStdString(), address);
    EXPECT_EQ(run.json.value("file_number").toInt(), 2);
    EXPECT_EQ(run.json.value("local_file").toString().toStdString(), (m_out / "core.conf").string());
    EXPECT_TRUE(run.json.value("verified").toBool());
    EXPECT_TRUE(run.json.value("revision").isNull());
    EXPECT_TRUE(run.json.value("changed").toBool());
    EXPECT_EQ(run.json.value("bytes").toInt(), 38);
    const auto stats = m_sims["core"]->Stats();
    EXPECT_EQ(stats.writeRequests, 1u);
    EXPECT_EQ(stats.readRequests, 1u);  // the read back
    EXPECT_EQ(Snapshot(), before);
    EXPECT_TRUE(fs::is_empty(m_tmp.Path()));  // the work folder is gone

    // Without --json: one line for a person, nothing on standard output.
    const ProgramResult plain = Restore({"core"});
    EXPECT_EQ(plain.nExit, 0) << plain.err;
    EXPECT_EQ(plain.out, "");
    EXPECT_EQ(plain.err, "velnor-tftp restore: router core (" + address + ") holds " + (m_out / "core.conf").string()
                             + " again (38 bytes, read back and verified)\n");
}

TEST_F(RestoreProgramTest, OlderRevisionsByCommitTagDateAndRelativeName)
{
    const std::string address = AddRouter("edge", "broken\n");
    WriteList("name,address\nedge," + address + "\n");
    Git(m_out, {"init", "-q"});
    WriteCopy("edge", "version 1\n");
    const std::string first = Commit("2026-06-01T12:00:00Z", "first");
    Git(m_out, {"tag", "known-good"});
    WriteCopy("edge", "version 2\n");
    const std::string second = Commit("2026-07-01T12:00:00Z", "second");
    WriteCopy("edge", "version 3, not committed\n");

    const struct {
        const char* revision;
        std::string commit;
        const char* bytes;
    } cases[] = {
        {"HEAD~1", first, "version 1\n"},
        {"known-good", first, "version 1\n"},
        {"@{2026-06-15}", first, "version 1\n"},
        {"@{2026-12-01}", second, "version 2\n"},
        {"HEAD", second, "version 2\n"},
        {nullptr, first, "version 1\n"},  // the full commit id
    };
    for (const auto& c : cases) {
        const QString revision = c.revision ? QString(c.revision) : Q(c.commit);
        const ProgramResult run = Restore({"edge", "--revision", revision, "--json"});
        EXPECT_EQ(run.nExit, 0) << revision.toStdString() << ": " << run.err;
        EXPECT_EQ(RouterFile("edge"), c.bytes) << revision.toStdString();
        EXPECT_EQ(run.json.value("revision").toString().toStdString(), c.commit) << revision.toStdString();
        EXPECT_TRUE(run.json.value("verified").toBool()) << revision.toStdString();
    }
    // The working copy stays as it was, uncommitted.
    EXPECT_EQ(Text(testsupport::ReadFileBytes(m_out / "edge.conf")), "version 3, not committed\n");
    EXPECT_EQ(Git(m_out, {"status", "--porcelain"}), "M edge.conf");
}

TEST_F(RestoreProgramTest, ARouterThatStoresOtherBytesFailsVerification)
{
    RouterSimOptions options;
    options.alterStoredFiles = true;
    const std::string address = AddRouter("flaky", "old\n", options);
    WriteList("name,address\nflaky," + address + "\n");
    Git(m_out, {"init", "-q"});
    WriteCopy("flaky", "hostname flaky\n");
    Commit("2026-06-01T12:00:00Z", "first");
    const auto before = Snapshot();

    const ProgramResult run = Restore({"flaky", "--json"});
    EXPECT_EQ(run.nExit, 1) << run.err;
    EXPECT_FALSE(run.json.value("ok").toBool());
    EXPECT_FALSE(run.json.value("verified").toBool());
    EXPECT_TRUE(run.json.value("verified").isBool());
    EXPECT_EQ(run.json.value("class").toString(), "protocol");
    const std::string altered = std::string("hostname flaky\n") + velnor::sim::kAlteredStoreLine;
    EXPECT_EQ(RouterFile("flaky"), altered);
    const std::string message = "the router holds other bytes than were sent: sent 15 bytes of "
                                + (m_out / "flaky.conf").string() + ", read back "
                                + std::to_string(altered.size()) + " bytes, first difference at byte 15";
    EXPECT_EQ(run.json.value("message").toString().toStdString(), message);
    EXPECT_NE(run.err.find("velnor-tftp restore: " + message + "\n"), std::string::npos) << run.err;
    // What came back, as a diff of what was sent.
    EXPECT_NE(run.err.find("\n+# altered by the router's storage\n"), std::string::npos) << run.err;
    EXPECT_EQ(Snapshot(), before);
}

TEST_F(RestoreProgramTest, CheckPrintsTheExactDiffAndSendsNoWrite)
{
    const std::string address = AddRouter("core", "hostname core\nip 192.0.2.9\nmtu 1500\n");
    WriteList("name,address\ncore," + address + "\n");
    Git(m_out, {"init", "-q"});
    WriteCopy("core", "hostname core\nip 192.0.2.1\nmtu 1500\n");
    Commit("2026-06-01T12:00:00Z", "first");
    WriteCopy("core", "hostname core\nip 192.0.2.9\nmtu 1500\n");
    const std::string copy = (m_out / "core.conf").string();

    const ProgramResult run = Restore({"core", "--check", "--revision", "HEAD"});
    EXPECT_EQ(run.nExit, 0) << run.err;
    EXPECT_EQ(run.out, "--- router core (" + address + ")\n+++ " + copy + "@HEAD\n@@ -1,3 +1,3 @@\n hostname core\n"
                       "-ip 192.0.2.9\n+ip 192.0.2.1\n mtu 1500\n");
    EXPECT_EQ(run.err, "velnor-tftp restore: check passed; a restore would change the router's file\n");

    // The working copy equals the router's file: no diff, changed false; with --json the line alone
    // on standard output.
    const ProgramResult same = Restore({"core", "--check", "--json"});
    EXPECT_EQ(same.nExit, 0) << same.err;
    EXPECT_EQ(std::count(same.out.begin(), same.out.end(), '\n'), 1) << same.out;
    EXPECT_FALSE(same.json.value("changed").toBool());
    EXPECT_TRUE(same.json.value("ok").toBool());
    EXPECT_TRUE(same.json.value("verified").isNull());
    const ProgramResult differs = Restore({"core", "--check", "--json", "--revision", "HEAD"});
    EXPECT_TRUE(differs.json.value("changed").toBool());
    EXPECT_NE(differs.err.find("-ip 192.0.2.9\n+ip 192.0.2.1\n"), std::string::npos) << differs.err;

    const auto stats = m_sims["core"]->Stats();
    EXPECT_EQ(stats.writeRequests, 0u);
    EXPECT_EQ(stats.readRequests, 3u);
    EXPECT_EQ(RouterFile("core"), "hostname core\nip 192.0.2.9\nmtu 1500\n");

    // A new unit without the file: everything would be added.
    fs::remove(m_roots["core"]->Path() / "config0");
    const ProgramResult fresh = Restore({"core", "--check", "--json"});
    EXPECT_EQ(fresh.nExit, 0) << fresh.err;
    EXPECT_TRUE(fresh.json.value("ok").toBool());
    EXPECT_TRUE(fresh.json.value("changed").toBool());
    EXPECT_TRUE(fresh.json.value("code").isNull());
    EXPECT_NE(fresh.err.find("+++ " + copy + "\n@@ -0,0 +1,3 @@\n+hostname core\n"), std::string::npos) << fresh.err;
    EXPECT_EQ(m_sims["core"]->Stats().writeRequests, 0u);
}

TEST_F(RestoreProgramTest, RefusalsSendNothing)
{
    const std::string address = AddRouter("core", "router's own\n");
    const std::string spare = AddRouter("spare", "spare's own\n");
    WriteList("name,address,state\ncore," + address + ",up\nspare," + spare + ",down\nnew,192.0.2.77,up\n");
    Git(m_out, {"init", "-q"});
    WriteCopy("core", "hostname core\n");
    WriteCopy("spare", "hostname spare\n");
    Commit("2026-06-01T12:00:00Z", "first");
    testsupport::TempDir empty;
    const fs::path notFolder = m_dir / "list.csv";

    const struct {
        QStringList args;
        const char* said;
    } cases[] = {
        {{"nobody"}, "no router nobody in "},
        {{"core", "--revision", "no-such-tag"}, "no revision no-such-tag in the history of "},
        {{"core", "--revision", "@{2020-01-01}"}, "no commit of "},
        {{"new", "--revision", "HEAD"}, "holds no new.conf"},
        {{"new"}, "holds no copy new.conf"},
        {{"spare"}, "router spare is marked down in "},
        {{"spare", "--check"}, "router spare is marked down in "},
    };
    for (const auto& c : cases) {
        const ProgramResult run = Restore(c.args + QStringList{"--json"});
        EXPECT_EQ(run.nExit, 2) << c.args.join(' ').toStdString() << ": " << run.err;
        EXPECT_NE(run.err.find(c.said), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("; nothing was sent\n"), std::string::npos) << run.err;
        EXPECT_EQ(run.json.value("class").toString(), "input") << c.args.join(' ').toStdString();
        EXPECT_EQ(run.json.value("operation").toString(), "restore");
        EXPECT_FALSE(run.json.value("ok").toBool());
    }
    // Folders that are no backup folder.
    for (const fs::path& dir : {empty.Path(), notFolder, m_dir / "missing"}) {
        const ProgramResult run = Program({"restore", "--inventory", Q(m_dir / "list.csv"), "--out", Q(dir), "core"});
        EXPECT_EQ(run.nExit, 2) << dir;
        EXPECT_NE(run.err.find("is not a backup folder"), std::string::npos) << run.err;
    }
    const ProgramResult noHistory = Program({"restore", "--inventory", Q(m_dir / "list.csv"), "--out", Q(empty.Path()), "core",
                                   "--revision", "HEAD"});
    EXPECT_EQ(noHistory.nExit, 2);
    EXPECT_NE(noHistory.err.find("is not a backup folder with a history"), std::string::npos) << noHistory.err;
    // The command line.
    for (const QStringList& args : {QStringList{"restore", "core"}, QStringList{"restore", "--inventory", "x"},
                                    QStringList{"restore", "--inventory", "x", "--out", "y"},
                                    QStringList{"restore", "--inventory", "x", "--out", "y", "a", "b"},
                                    QStringList{"restore", "--inventory", "x", "--out", "y", "a", "--bogus"}}) {
        const ProgramResult run = Program(args);
        EXPECT_EQ(run.nExit, 2) << args.join(' ').toStdString();
        EXPECT_NE(run.err.find("Try 'velnor-tftp restore --help'"), std::string::npos) << run.err;
    }
    EXPECT_TRUE(NothingReached("core"));
    EXPECT_TRUE(NothingReached("spare"));

    // A router marked down is restored when asked to.
    const ProgramResult forced = Restore({"spare", "--force"});
    EXPECT_EQ(forced.nExit, 0) << forced.err;
    EXPECT_EQ(RouterFile("spare"), "hostname spare\n");
}

TEST_F(RestoreProgramTest, AFolderThatABackupHoldsIsNotRead)
{
    const std::string address = AddRouter("core", "router's own\n");
    WriteList("name,address\ncore," + address + "\n");
    WriteCopy("core", "hostname core\n");
    std::string error;
    {
        // A backup running into the folder.
        std::optional<FolderLock> backup = FolderLock::Take(m_out.string(), FolderLock::Kind::Exclusive, 0, &error);
        ASSERT_TRUE(backup) << error;
        const ProgramResult run = Restore({"core", "--json"});
        EXPECT_EQ(run.nExit, 2) << run.err;
        EXPECT_NE(run.err.find("; nothing was sent\n"), std::string::npos) << run.err;
        EXPECT_EQ(run.json.value("class").toString(), "input");
        EXPECT_TRUE(NothingReached("core"));
    }
    // Other readers do not keep it out, and the backup's end lets it in.
    std::optional<FolderLock> reader = FolderLock::Take(m_out.string(), FolderLock::Kind::Shared, 0, &error);
    ASSERT_TRUE(reader) << error;
    const ProgramResult run = Restore({"core", "--wait-lock", "1"});
    EXPECT_EQ(run.nExit, 0) << run.err;
    EXPECT_EQ(RouterFile("core"), "hostname core\n");
}

TEST_F(RestoreProgramTest, AFailedPutIsReportedAsTheTransferFailed)
{
    RouterSimOptions options;
    options.password = "secret";
    const std::string address = AddRouter("locked", "keep\n", options);
    testsupport::WriteFileBytes(m_dir / "wrong.pw", Bytes("guess\n"));
    WriteList("name,address,password_file\nlocked," + address + ",wrong.pw\n");
    WriteCopy("locked", "hostname locked\n");
    const ProgramResult run = Restore({"locked", "--json"});
    EXPECT_EQ(run.nExit, 1) << run.err;
    EXPECT_EQ(run.json.value("class").toString(), "refused");
    EXPECT_FALSE(run.json.value("verified").toBool());
    EXPECT_NE(run.err.find("velnor-tftp restore: sending " + (m_out / "locked.conf").string() + " to router locked ("
                           + address + ") failed\n"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(RouterFile("locked"), "keep\n");
}

}  // namespace
