#pragma once
// The built velnor-tftp run as a subprocess, and a fixture with the router simulator on port 69 of the
// test's own loopback address.

#include <gtest/gtest.h>

#include <QProcess>
#include <QStringList>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include "RouterSim.h"
#include "TestSupport.h"

namespace clitest {

struct ProgramRun {
    int nExit = -1;
    std::string out;
    std::string err;
};

inline ProgramRun RunProgram(const QStringList& args, const QByteArray& input = {}, int nWaitMs = 20000)
{
    QProcess process;
    process.setProgram(QStringLiteral(VELNOR_TFTP_PROGRAM));
    process.setArguments(args);
    process.start();
    EXPECT_TRUE(process.waitForStarted(5000));
    if (!input.isEmpty())
        process.write(input);
    process.closeWriteChannel();
    EXPECT_TRUE(process.waitForFinished(nWaitMs)) << "velnor-tftp did not end";
    ProgramRun run;
    // A crash (an uncaught exception, an abort) is a fault of its own, whatever the status.
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit) << args.join(' ').toStdString();
    run.nExit = process.exitCode();
    run.out = process.readAllStandardOutput().toStdString();
    run.err = process.readAllStandardError().toStdString();
    return run;
}

inline QString Q(const std::string& s) { return QString::fromStdString(s); }
inline QString Q(const std::filesystem::path& p) { return QString::fromStdString(p.string()); }

inline std::string Line(std::string_view text) { return std::string(text) + "\n"; }

class CliProgramFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!testsupport::CanBindPort69())
            GTEST_SKIP() << testsupport::SkipReasonPort69();
        m_strRouter = testsupport::LoopbackAddressForTest();
    }

    void StartRouter(velnor::sim::RouterSimOptions options = {})
    {
        m_pSim.reset();
        options.listenAddress = m_strRouter;
        options.root = m_routerDir.Path();
        m_pSim = std::make_unique<velnor::sim::RouterSim>(std::move(options));
        std::string error;
        ASSERT_TRUE(m_pSim->Start(&error)) << error;
    }

    // Nothing reached the router.
    void ExpectNothingSent()
    {
        using namespace std::chrono_literals;
        EXPECT_FALSE(m_pSim->WaitFor([](const auto& s) { return s.datagramsIn > 0; }, 200ms));
    }

    testsupport::TempDir m_routerDir;
    testsupport::TempDir m_localDir;
    std::string m_strRouter;
    std::unique_ptr<velnor::sim::RouterSim> m_pSim;
};

}  // namespace clitest
