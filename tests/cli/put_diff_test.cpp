// put --diff: the router's file read first and the change shown before it is sent, as text or as
// "binary files differ", on standard error (standard output with --check), against the simulator.

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>

#include <chrono>
#include <string>
#include <vector>

#include "CliProgramSupport.h"
#include "Texts.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using velnor::sim::RouterSimOptions;
using namespace std::chrono_literals;
using namespace clitest;

using PutDiffTest = CliProgramFixture;

Bytes B(const std::string& text) { return Bytes(text.begin(), text.end()); }
std::string Text(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

TEST_F(PutDiffTest, ShowsTheChangeThenSends)
{
    StartRouter();
    testsupport::WriteFileBytes(m_routerDir / "config1", B("hostname r1\nmtu 1500\n"));
    const std::string local = (m_localDir / "r1.conf").string();
    testsupport::WriteFileBytes(local, B("hostname r1\nmtu 9000\n"));
    const std::string diff = "--- router " + m_strRouter + "\n+++ " + local
                             + "\n@@ -1,2 +1,2 @@\n hostname r1\n-mtu 1500\n+mtu 9000\n";

    // --check: the diff is the answer, on standard output; no write request.
    const ProgramRun check = RunProgram({"put", "--diff", "--check", "-n", "1", Q(m_strRouter), Q(local)});
    EXPECT_EQ(check.nExit, 0) << check.err;
    EXPECT_EQ(check.out, diff);
    EXPECT_NE(check.err.find("check passed; a put would change the router's file"), std::string::npos) << check.err;
    EXPECT_EQ(m_pSim->Stats().writeRequests, 0u);
    EXPECT_EQ(Text(testsupport::ReadFileBytes(m_routerDir / "config1")), "hostname r1\nmtu 1500\n");

    // --check --json: standard output holds the JSON line alone, the diff goes to standard error.
    const ProgramRun json = RunProgram({"put", "--diff", "--check", "--json", "-q", "-n", "1", Q(m_strRouter), Q(local)});
    EXPECT_EQ(json.nExit, 0) << json.err;
    const QJsonObject line = QJsonDocument::fromJson(QByteArray::fromStdString(json.out)).object();
    EXPECT_TRUE(line.value("changed").toBool()) << json.out;
    EXPECT_EQ(json.err, diff);

    // The real put: the diff on standard error before the transfer's own texts, then the file sent.
    const ProgramRun put = RunProgram({"put", "--diff", "-q", "-n", "1", Q(m_strRouter), Q(local)});
    EXPECT_EQ(put.nExit, 0) << put.err;
    EXPECT_EQ(put.out, "");
    EXPECT_EQ(put.err, diff);
    EXPECT_EQ(Text(testsupport::ReadFileBytes(m_routerDir / "config1")), "hostname r1\nmtu 9000\n");

    // --if-changed with equal bytes: no diff, nothing sent.
    const auto writes = m_pSim->Stats().writeRequests;
    const ProgramRun same = RunProgram({"put", "--diff", "--if-changed", "-n", "1", Q(m_strRouter), Q(local)});
    EXPECT_EQ(same.nExit, 0) << same.err;
    EXPECT_EQ(same.err.find("---"), std::string::npos) << same.err;
    EXPECT_NE(same.err.find("the router's file is the same; nothing was sent"), std::string::npos) << same.err;
    EXPECT_EQ(m_pSim->Stats().writeRequests, writes);
}

TEST_F(PutDiffTest, BinaryAndMissingFilesAndEscapes)
{
    StartRouter();
    const struct {
        const char* name;
        std::string router;  // empty: the router has no such file
        std::string local;
        std::string expectedBody;  // after the two label lines
    } cases[] = {
        {"binary on the router", std::string("\x00\x01\x02\x03", 4), "text\n", "binary files differ (4 bytes, 5 bytes)\n"},
        {"binary to send", "text\n", "\xff\xfe\xfd", "binary files differ (5 bytes, 3 bytes)\n"},
        {"no file on the router", "", "a\nb\n", "@@ -0,0 +1,2 @@\n+a\n+b\n"},
        {"escape sequence from the router", "title \x1b[2J\n", "title\n", "@@ -1 +1 @@\n-title \\x1b[2J\n+title\n"},
    };
    const std::string local = (m_localDir / "file").string();
    for (const auto& c : cases) {
        std::error_code ec;
        std::filesystem::remove(m_routerDir / "config3", ec);
        if (!c.router.empty())
            testsupport::WriteFileBytes(m_routerDir / "config3", B(c.router));
        testsupport::WriteFileBytes(local, B(c.local));
        const ProgramRun run = RunProgram({"put", "--diff", "--check", "-q", "-n", "3", Q(m_strRouter), Q(local)});
        EXPECT_EQ(run.nExit, 0) << c.name << ": " << run.err;
        EXPECT_EQ(run.out, "--- router " + m_strRouter + "\n+++ " + local + "\n" + c.expectedBody) << c.name;
    }
    EXPECT_EQ(m_pSim->Stats().writeRequests, 0u);
}

TEST_F(PutDiffTest, DiffIsForPutOnly)
{
    for (const char* command : {"get", "revup"}) {
        const ProgramRun run = RunProgram({command, "--diff", "127.0.0.1", "x"});
        EXPECT_EQ(run.nExit, 2) << command;
        EXPECT_NE(run.err.find("option --diff is for put only"), std::string::npos) << run.err;
    }
}

}  // namespace
