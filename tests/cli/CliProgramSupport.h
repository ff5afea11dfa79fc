#pragma once
// The built velnor-tftp run as a subprocess, and a fixture with the router simulator on the tests' router
// port of the test's own loopback address.

#include <gtest/gtest.h>

#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include "RouterFixture.h"

namespace clitest {

struct ProgramRun {
    int nExit = -1;
    std::string out;
    std::string err;
};

// The program for the tests, told the tests' router port; or the installed one, which ignores that.
inline ProgramRun RunProgram(const QStringList& args, const QByteArray& input = {}, int nWaitMs = 20000,
                             const char* pProgram = VELNOR_TFTP_PROGRAM)
{
    QProcess process;
    process.setProgram(QString::fromUtf8(pProgram));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("VELNOR_TEST_ROUTER_PORT"), QString::number(testsupport::kTestRouterPort));
    process.setProcessEnvironment(env);
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

class CliProgramFixture : public testsupport::RouterFixture {
protected:
    // Nothing reached the router.
    void ExpectNothingSent()
    {
        using namespace std::chrono_literals;
        EXPECT_FALSE(m_pSim->WaitFor([](const auto& s) { return s.datagramsIn > 0; }, 200ms));
    }
};

}  // namespace clitest
