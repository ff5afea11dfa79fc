// The built velnor-tftp, run as a subprocess against the router simulator on the tests' router port of
// the test's own loopback address. The program keeps its real time-outs, so every failure tested here is
// a fast one.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "CliProgramSupport.h"
#include "ResultMessages.h"
#include "TftpTypes.h"
#include "Texts.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using velnor::sim::RouterSimOptions;
using namespace std::chrono_literals;
using namespace clitest;

using CliProgramTest = CliProgramFixture;

// The installed program talks to the router's port 69, whatever the environment says.
TEST(CliShippedProgramTest, TalksToPort69WhateverTheEnvironmentSays)
{
    if (!testsupport::CanBindPort69())
        GTEST_SKIP() << testsupport::SkipReasonPort69();
    testsupport::TempDir dir;
    testsupport::WriteFileBytes(dir / "config0", {'o', 'k'});
    RouterSimOptions options;  // on port 69
    options.listenAddress = testsupport::LoopbackAddressForTest();
    options.root = dir.Path();
    velnor::sim::RouterSim sim(options);
    std::string error;
    ASSERT_TRUE(sim.Start(&error)) << error;
    const ProgramRun run = RunProgram({"get", Q(options.listenAddress), Q(dir / "got")}, {}, 20000,
                                      VELNOR_TFTP_SHIPPED_PROGRAM);
    EXPECT_EQ(run.nExit, 0) << run.err;
    EXPECT_EQ(testsupport::ReadFileBytes(dir / "got"), (Bytes{'o', 'k'}));
}

TEST_F(CliProgramTest, GetWritesTheFileAndShowsTheStatusTexts)
{
    StartRouter();
    const Bytes content = testsupport::PatternBytes(5000);
    testsupport::WriteFileBytes(m_routerDir / "config0", content);
    const ProgramRun run = RunProgram({"get", Q(m_strRouter), Q(m_localDir / "config.txt")});
    EXPECT_EQ(run.nExit, 0) << run.err;
    EXPECT_EQ(testsupport::ReadFileBytes(m_localDir / "config.txt"), content);
    // Not a terminal: no progress bar, only the status texts as the phases change.
    EXPECT_EQ(run.err, Line(kStatusTexts[PHASE_PREPARE]) + Line(kStatusTexts[PHASE_WAIT_REPLY])
                           + Line(kStatusTexts[PHASE_RECEIVING]) + Line(kStatusTexts[PHASE_FINISH]));
    EXPECT_EQ(run.out, "");
}

TEST_F(CliProgramTest, PutWithFileNumberAndPasswordFile)
{
    RouterSimOptions options;
    options.password = "secret";
    StartRouter(options);
    const Bytes content = testsupport::PatternBytes(1300);
    testsupport::WriteFileBytes(m_localDir / "c.txt", content);
    const std::string pw = "secret\n";
    testsupport::WriteFileBytes(m_localDir / "pw", Bytes(pw.begin(), pw.end()));
    const ProgramRun run = RunProgram({"put", "-n", "2", "--password-file", Q(m_localDir / "pw"), Q(m_strRouter),
                                       Q(m_localDir / "c.txt")});
    EXPECT_EQ(run.nExit, 0) << run.err;
    ASSERT_TRUE(m_pSim->WaitForTransfers(1, 2000ms));
    EXPECT_EQ(testsupport::ReadFileBytes(m_routerDir / "config2"), content);
    EXPECT_EQ(m_pSim->Stats().lastRequestName, "config2/secret");
    EXPECT_NE(run.err.find(std::string(kStatusTexts[PHASE_SENDING])), std::string::npos);
}

TEST_F(CliProgramTest, PasswordFromStandardInput)
{
    RouterSimOptions options;
    options.password = "secret";
    StartRouter(options);
    testsupport::WriteFileBytes(m_routerDir / "config4", {'o', 'k'});
    const ProgramRun run = RunProgram({"get", "-q", "--file-number=4", "--password-file", "-", Q(m_strRouter),
                                       Q(m_localDir / "c.txt")},
                                      "secret\r\n");
    EXPECT_EQ(run.nExit, 0) << run.err;
    EXPECT_EQ(testsupport::ReadFileBytes(m_localDir / "c.txt"), (Bytes{'o', 'k'}));
}

TEST_F(CliProgramTest, QuietRevupSaysNothingOnSuccess)
{
    StartRouter();
    const Bytes image = testsupport::PatternBytes(4096);
    testsupport::WriteFileBytes(m_localDir / "fw.bin", image);
    const ProgramRun run = RunProgram({"revup", "-q", "-n", "1", "-p", "ignored", Q(m_strRouter),
                                       Q(m_localDir / "fw.bin")});
    EXPECT_EQ(run.nExit, 0) << run.err;
    EXPECT_EQ(run.err, "");
    ASSERT_TRUE(m_pSim->WaitForTransfers(1, 2000ms));
    EXPECT_EQ(testsupport::ReadFileBytes(m_routerDir / "exec1"), image);
    EXPECT_EQ(m_pSim->Stats().lastRequestName, "exec1");
}

// --- refused before anything goes out

TEST_F(CliProgramTest, InvalidAddressIsRefusedWithTheWindowsMessage)
{
    StartRouter();
    for (const std::string& address : {m_strRouter + ".1", std::string("256.1.1.1"), std::string("router")}) {
        const ProgramRun run = RunProgram({"get", Q(address), Q(m_localDir / "c.txt")});
        EXPECT_EQ(run.nExit, 2) << address;
        EXPECT_EQ(run.err, Line(kInvalidRouterAddress)) << address;
    }
    ExpectNothingSent();
    EXPECT_FALSE(std::filesystem::exists(m_localDir / "c.txt"));
}

TEST_F(CliProgramTest, PasswordLongerThan32BytesIsRefused)
{
    StartRouter();
    const ProgramRun run = RunProgram({"get", "-p", Q(std::string(33, 'p')), Q(m_strRouter), Q(m_localDir / "c.txt")});
    EXPECT_EQ(run.nExit, 2);
    EXPECT_EQ(run.err, LookupResultMessage(TFTP_ERR_BAD_PASSWORD) + "\n(0x8022)\n");
    ExpectNothingSent();
}

TEST_F(CliProgramTest, FileNumberOutOfRangeIsRefused)
{
    StartRouter();
    testsupport::WriteFileBytes(m_localDir / "fw.bin", {1});
    const ProgramRun get = RunProgram({"get", "-n", "5", Q(m_strRouter), Q(m_localDir / "c.txt")});
    EXPECT_EQ(get.nExit, 2);
    EXPECT_NE(get.err.find("0 to 4"), std::string::npos) << get.err;
    const ProgramRun revup = RunProgram({"revup", "-n", "2", Q(m_strRouter), Q(m_localDir / "fw.bin")});
    EXPECT_EQ(revup.nExit, 2);
    EXPECT_NE(revup.err.find("0 to 1"), std::string::npos) << revup.err;
    ExpectNothingSent();
}

// --- failures of the transfer

TEST_F(CliProgramTest, AccessViolationGetsItsOwnMessage)
{
    RouterSimOptions options;
    options.password = "secret";
    StartRouter(options);
    const ProgramRun run = RunProgram({"get", "-p", "wrong", Q(m_strRouter), Q(m_localDir / "c.txt")});
    EXPECT_EQ(run.nExit, 1);
    EXPECT_EQ(run.err, Line(kStatusTexts[PHASE_PREPARE]) + Line(kStatusTexts[PHASE_WAIT_REPLY])
                           + Line(kStatusTexts[PHASE_FAILED]) + LookupResultMessage(TFTP_ERR_ACCESS_VIOLATION)
                           + "\n(0x8217)\n"
                           + "velnor-tftp: the router said \"Access violation\": usually a wrong password, or a "
                             "model without file numbers\n");
    EXPECT_FALSE(std::filesystem::exists(m_localDir / "c.txt"));
}

TEST_F(CliProgramTest, OtherRouterErrorShowsTheRoutersTextEvenWhenQuiet)
{
    RouterSimOptions options;
    options.errorText = "Disk full";
    StartRouter(options);
    testsupport::WriteFileBytes(m_localDir / "c.txt", {1, 2, 3});
    const ProgramRun run = RunProgram({"put", "--quiet", Q(m_strRouter), Q(m_localDir / "c.txt")});
    EXPECT_EQ(run.nExit, 1);
    EXPECT_EQ(run.err, LookupResultMessage(TFTP_ERR_PEER_ERROR) + "\n<Disk full>\n(0x8214)\n");
}

TEST_F(CliProgramTest, MissingLocalFileFailsBeforeAnyPacket)
{
    StartRouter();
    const ProgramRun run = RunProgram({"put", "-q", Q(m_strRouter), Q(m_localDir / "absent.txt")});
    EXPECT_EQ(run.nExit, 1);
    EXPECT_EQ(run.err, LookupResultMessage(TFTP_ERR_FILE_OPEN) + "\n(0x8012)\n" + "velnor-tftp: "
                           + (m_localDir / "absent.txt").string() + ": No such file or directory\n");
    ExpectNothingSent();
}

// --- the program's own texts

TEST(CliProgramTextsTest, VersionHelpAndUsage)
{
    ProgramRun run = RunProgram({"--version"});
    EXPECT_EQ(run.nExit, 0);
    // The name, then the version box's number.
    EXPECT_EQ(run.out, "velnor-tftp 1.21\n");
    EXPECT_EQ(RunProgram({"-V"}).out, run.out);

    run = RunProgram({"--help"});
    EXPECT_EQ(run.nExit, 0);
    EXPECT_NE(run.out.find("velnor-tftp get ROUTER FILE"), std::string::npos);
    EXPECT_EQ(run.err, "");

    for (const QStringList& args : {QStringList{}, QStringList{"fetch", "1.2.3.4", "x"},
                                    QStringList{"get", "1.2.3.4"}, QStringList{"get", "--bogus", "1.2.3.4", "x"}}) {
        run = RunProgram(args);
        EXPECT_EQ(run.nExit, 2) << args.join(' ').toStdString();
        EXPECT_NE(run.err.find("velnor-tftp --help"), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "");
    }

    run = RunProgram({"get", "--password-file", "/nonexistent/pw", "1.2.3.4", "x"});
    EXPECT_EQ(run.nExit, 2);
    EXPECT_NE(run.err.find("password file"), std::string::npos) << run.err;
}

}  // namespace
