// The router simulator against an independent client: tftp-hpa's tftp program, in binary (octet) mode.

#include "RouterFixture.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

using velnor::sim::RouterSim;
using velnor::sim::RouterSimOptions;
using namespace std::chrono_literals;

namespace {

constexpr const char* kTftp = "/usr/bin/tftp";

struct TftpRun {
    int status = -1;
    std::string output;  // stdout and stderr together
};

TftpRun RunTftp(const std::string& address, const std::string& command)
{
    const std::string line = std::string(kTftp) + " -m binary " + address + " " +
                             std::to_string(testsupport::kTestRouterPort) + " -c " + command + " 2>&1";
    TftpRun run;
    std::FILE* pipe = ::popen(line.c_str(), "r");
    if (!pipe)
        return run;
    char buffer[512];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        run.output.append(buffer, n);
    run.status = ::pclose(pipe);
    return run;
}

class RouterSimInteropTest : public testsupport::RouterFixture {
protected:
    void SetUp() override
    {
        if (!std::filesystem::exists(kTftp))
            GTEST_SKIP() << "tftp-hpa's client is not installed (apt-get install tftp-hpa)";
        RouterFixture::SetUp();
    }

    RouterSim& Start(RouterSimOptions o = {}) { return StartRouter(std::move(o)); }

    std::string Local(const std::string& name) const { return (m_localDir / name).string(); }
    std::filesystem::path Remote(const std::string& name) const { return m_routerDir / name; }
};

}  // namespace

TEST_F(RouterSimInteropTest, PutThenGetKeepsEveryByteAtTheBlockBoundaries)
{
    auto& sim = Start();
    const std::size_t sizes[] = {0, 511, 512, 513, 1024 * 1024};
    int nTransfers = 0;
    for (std::size_t size : sizes) {
        SCOPED_TRACE(std::to_string(size) + " bytes");
        const auto content = testsupport::PatternBytes(size, static_cast<std::uint32_t>(size) + 11);
        testsupport::WriteFileBytes(Local("up"), content);
        auto put = RunTftp(m_strRouter, "put " + Local("up") + " config2");
        EXPECT_EQ(put.status, 0) << put.output;
        ASSERT_TRUE(sim.WaitForTransfers(++nTransfers, 2000ms)) << put.output;
        EXPECT_EQ(testsupport::ReadFileBytes(Remote("config2")), content);

        std::filesystem::remove(Local("down"));
        auto get = RunTftp(m_strRouter, "get config2 " + Local("down"));
        EXPECT_EQ(get.status, 0) << get.output;
        EXPECT_TRUE(get.output.find("Error") == std::string::npos) << get.output;
        ASSERT_TRUE(sim.WaitForTransfers(++nTransfers, 2000ms)) << get.output;
        EXPECT_EQ(testsupport::ReadFileBytes(Local("down")), content);
    }
    EXPECT_EQ(sim.Stats().transfersFailed, 0u);
    EXPECT_EQ(sim.Stats().retransmits, 0u);
}

TEST_F(RouterSimInteropTest, PasswordAndFileNumberRulesReachTheClientAsTheTwoRouterTexts)
{
    const std::string config = "hostname velnor\r\nip lan address 192.168.0.1/24\r\n";
    testsupport::WriteFileBytes(Remote("config0"), std::vector<std::uint8_t>(config.begin(), config.end()));
    RouterSimOptions o;
    o.password = "s3cret";
    Start(o);

    auto ok = RunTftp(m_strRouter, "get config0/s3cret " + Local("got"));
    EXPECT_TRUE(ok.output.find("Error") == std::string::npos) << ok.output;
    EXPECT_EQ(testsupport::ReadFileBytes(Local("got")), std::vector<std::uint8_t>(config.begin(), config.end()));

    const struct {
        const char* command;
        const char* expected;
    } refusals[] = {
        {"get config0 ", "Error code 2: Access violation"},
        {"get config0/S3CRET ", "Error code 2: Access violation"},
        {"get config3/s3cret ", "Error code 1: No such file"},
        {"get config5/s3cret ", "Error code 2: Access violation"},
        {"get exec0 ", "Error code 2: Access violation"},
    };
    for (const auto& r : refusals) {
        auto run = RunTftp(m_strRouter, std::string(r.command) + Local("refused"));
        EXPECT_NE(run.output.find(r.expected), std::string::npos) << r.command << ": " << run.output;
    }
}

TEST_F(RouterSimInteropTest, ModelWithoutFileNumbersRefusesEveryNumber)
{
    testsupport::WriteFileBytes(Remote("config0"), {'c'});
    RouterSimOptions o;
    o.noFileNumbers = true;
    Start(o);
    auto plain = RunTftp(m_strRouter, "get config " + Local("got"));
    EXPECT_TRUE(plain.output.find("Error") == std::string::npos) << plain.output;
    EXPECT_EQ(testsupport::ReadFileBytes(Local("got")), std::vector<std::uint8_t>{'c'});
    auto numbered = RunTftp(m_strRouter, "get config0 " + Local("refused"));
    EXPECT_NE(numbered.output.find("Error code 2: Access violation"), std::string::npos) << numbered.output;
}

TEST_F(RouterSimInteropTest, FirmwareUploadWaitsOutTheFlashWrite)
{
    RouterSimOptions o;
    o.flashSeconds = 0.3;
    auto& sim = Start(o);
    const auto image = testsupport::PatternBytes(2000, 4);
    testsupport::WriteFileBytes(Local("image.bin"), image);
    const auto begin = std::chrono::steady_clock::now();
    auto put = RunTftp(m_strRouter, "put " + Local("image.bin") + " exec1");
    EXPECT_GE(std::chrono::steady_clock::now() - begin, 290ms);
    EXPECT_TRUE(put.output.find("Error") == std::string::npos) << put.output;
    ASSERT_TRUE(sim.WaitForTransfers(1, 1000ms));
    EXPECT_EQ(testsupport::ReadFileBytes(Remote("exec1")), image);
}
