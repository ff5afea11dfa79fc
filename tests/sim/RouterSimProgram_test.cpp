// The velnor-router-sim program: its command line, its refusals and its clean stop on a signal.

#include "RawClient.h"
#include "RouterSim.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// The program as a child process whose stdout and stderr the test reads.
class Program {
public:
    // uid >= 0: the child gives up root first, to meet the port-69 refusal an ordinary user sees.
    explicit Program(std::vector<std::string> args, int uid = -1)
    {
        int out[2], err[2];
        if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
            return;
        std::vector<char*> argv;
        static std::string path = VELNOR_ROUTER_SIM_PATH;
        argv.push_back(path.data());
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        m_pid = ::fork();
        if (m_pid == 0) {
            ::dup2(out[1], 1);
            ::dup2(err[1], 2);
            if (uid >= 0 && (::setgid(static_cast<gid_t>(uid)) != 0 || ::setuid(static_cast<uid_t>(uid)) != 0))
                ::_exit(126);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        ::close(err[1]);
        m_out = out[0];
        m_err = err[0];
    }
    ~Program()
    {
        if (m_pid > 0 && m_status < 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        if (m_out >= 0)
            ::close(m_out);
        if (m_err >= 0)
            ::close(m_err);
    }

    // Reads output until the text appears in stdout or the time is up.
    bool WaitForOutput(const std::string& text, std::chrono::milliseconds timeout)
    {
        const auto end = Clock::now() + timeout;
        while (m_stdout.find(text) == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
            if (left <= 0ms || !Pump(left))
                return m_stdout.find(text) != std::string::npos;
        }
        return true;
    }

    // The exit status, or -1 when the program is still running at the end of the time.
    int Wait(std::chrono::milliseconds timeout)
    {
        const auto end = Clock::now() + timeout;
        while (m_status < 0) {
            int status = 0;
            if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                break;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
            if (left <= 0ms)
                return -1;
            if (!Pump(std::min(left, 20ms)))
                ::usleep(2000);
        }
        while (Pump(0ms)) {
        }
        return m_status;
    }

    void Signal(int sig) { ::kill(m_pid, sig); }
    const std::string& Out() const { return m_stdout; }
    const std::string& Err() const { return m_stderr; }

private:
    // One round of reading; false when nothing more can come.
    bool Pump(std::chrono::milliseconds timeout)
    {
        pollfd fds[2] = {{m_out, POLLIN, 0}, {m_err, POLLIN, 0}};
        if (::poll(fds, 2, static_cast<int>(timeout.count())) <= 0)
            return false;
        bool bAny = false;
        char buffer[4096];
        for (int i = 0; i < 2; ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP)))
                continue;
            ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                (i == 0 ? m_stdout : m_stderr).append(buffer, static_cast<std::size_t>(n));
                bAny = true;
            }
        }
        return bAny;
    }

    pid_t m_pid = -1;
    int m_out = -1, m_err = -1;
    int m_status = -1;
    std::string m_stdout, m_stderr;
};

}  // namespace

TEST(RouterSimProgram, HelpDescribesTheOptionsAndExitsZero)
{
    Program p({"--help"});
    EXPECT_EQ(p.Wait(5000ms), 0);
    for (const char* text : {"Usage: velnor-router-sim", "--listen", "--root", "--password", "--password-file",
                             "--no-file-numbers",
                             "--oack", "--flash-seconds", "--drop-rate", "--seed", "--trace", "--max-seconds",
                             "SIGTERM", "--silent-address", "FIRST-LAST", "DIR/ADDRESS/", "--port",
                             "--max-file-bytes", "Server busy", "(--max-retransmits + 1) x --retransmit-seconds",
                             "config2/***"})
        EXPECT_NE(p.Out().find(text), std::string::npos) << text;
}

TEST(RouterSimProgram, MistakesOnTheCommandLineExitTwo)
{
    const std::vector<std::vector<std::string>> cases = {
        {"--bogus"},
        {"--port"},
        {"--port", "70000"},
        {"--drop-rate", "1.5"},
        {"--seed", "-1"},
        {"--flash-seconds", "soon"},
        {"--listen", "127.0.0.5-127.0.0.1"},       // a range backwards
        {"--listen", "127.0.0.1-router"},          // a range to a name
        {"--silent-address", "10.0.0.0-10.1.0.0"},  // 65537 routers
        {"--listen", "127.0.0.1-"},
    };
    for (const auto& args : cases) {
        Program p(args);
        EXPECT_EQ(p.Wait(5000ms), 2) << args[0];
        EXPECT_NE(p.Err().find("velnor-router-sim: "), std::string::npos) << p.Err();
        EXPECT_NE(p.Err().find("Try --help."), std::string::npos) << p.Err();
    }
}

// A UDP port that is free on the address now (the program binds it a moment later).
std::uint16_t FreePort(const std::string& address)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    inet_pton(AF_INET, address.c_str(), &addr.sin_addr);
    socklen_t len = sizeof addr;
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}

TEST(RouterSimProgram, RangeOfAddressesIsAFleetWithAFolderPerRouterAndSilentOnes)
{
    if (!std::filesystem::exists("/usr/bin/tftp"))
        GTEST_SKIP() << "tftp-hpa's client is not installed";
    testsupport::TempDir dir;
    const std::string text = "hostname fleet\r\n";
    testsupport::WriteFileBytes(dir / "config0", std::vector<std::uint8_t>(text.begin(), text.end()));
    const std::string base = testsupport::LoopbackAddressForTest();
    const std::string prefix = base.substr(0, base.rfind('.') + 1);
    const std::string a1 = prefix + "1", a2 = prefix + "2", a3 = prefix + "3";
    const std::string port = std::to_string(FreePort(a1));
    Program p({"--listen", a1 + "-" + a3, "--silent-address", a3, "--port", port, "--root", dir.Path().string()});
    ASSERT_TRUE(p.WaitForOutput("(Ctrl+C stops)", 5000ms)) << p.Out() << p.Err();
    EXPECT_NE(p.Out().find("serving 3 routers (1 silent)"), std::string::npos) << p.Out();
    const std::string command = "/usr/bin/tftp -m binary " + a2 + " " + port + " -c get config0 " +
                                (dir / "got").string() + " 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(testsupport::ReadFileBytes(dir / "got"), std::vector<std::uint8_t>(text.begin(), text.end()));
    EXPECT_TRUE(p.WaitForOutput(a2 + ": sent config0 (16 bytes)", 2000ms)) << p.Out();
    p.Signal(SIGTERM);
    ASSERT_EQ(p.Wait(2000ms), 0);
    EXPECT_NE(p.Out().find("1 transfers completed"), std::string::npos) << p.Out();
    EXPECT_TRUE(std::filesystem::exists(dir / a1 / "config0"));
    EXPECT_TRUE(std::filesystem::exists(dir / a2 / "config0"));
    EXPECT_FALSE(std::filesystem::exists(dir / a3)) << "a silent router keeps no files";
}

TEST(RouterSimProgram, AddressOfAnotherMachineIsAClearRefusalWithStatusOne)
{
    testsupport::TempDir dir;
    Program p({"--listen", "192.0.2.1", "--port", "6969", "--root", dir.Path().string()});
    EXPECT_EQ(p.Wait(5000ms), 1);
    EXPECT_NE(p.Err().find("cannot bind UDP 192.0.2.1:6969"), std::string::npos) << p.Err();
    EXPECT_NE(p.Err().find("is not an address of this machine"), std::string::npos) << p.Err();
}

TEST(RouterSimProgram, Port69WithoutPermissionIsAClearRefusalWithStatusOne)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to run the program as an ordinary user";
    std::ifstream unprivileged("/proc/sys/net/ipv4/ip_unprivileged_port_start");
    int nFirstFreePort = 1024;
    if (unprivileged >> nFirstFreePort && nFirstFreePort <= 69)
        GTEST_SKIP() << "every user may bind port 69 on this system";
    testsupport::TempDir dir;
    std::filesystem::permissions(dir.Path(), std::filesystem::perms::all);
    Program p({"--listen", testsupport::LoopbackAddressForTest(), "--root", dir.Path().string()}, 65534);
    const int status = p.Wait(5000ms);
    if (status == 126 || status == 127)
        GTEST_SKIP() << "the program cannot be run as user 65534 here";
    EXPECT_EQ(status, 1);
    EXPECT_NE(p.Err().find("Permission denied"), std::string::npos) << p.Err();
    EXPECT_NE(p.Err().find("need root or CAP_NET_BIND_SERVICE"), std::string::npos) << p.Err();
}

TEST(RouterSimProgram, OrdinaryUserServesOnAPortOfItsOwn)
{
    testsupport::TempDir dir;
    std::filesystem::permissions(dir.Path(), std::filesystem::perms::all);
    const std::string address = testsupport::LoopbackAddressForTest();
    const std::string port = std::to_string(FreePort(address));
    Program p({"--listen", address, "--port", port, "--root", dir.Path().string()}, ::geteuid() == 0 ? 65534 : -1);
    ASSERT_TRUE(p.WaitForOutput("(Ctrl+C stops)", 5000ms)) << p.Out() << p.Err();
    EXPECT_NE(p.Out().find("on " + address + ":" + port + " "), std::string::npos) << p.Out();
    p.Signal(SIGTERM);
    EXPECT_EQ(p.Wait(2000ms), 0) << p.Err();
}

TEST(RouterSimProgram, MissingRootFolderIsRefusedWithStatusOne)
{
    testsupport::TempDir dir;
    Program p({"--port", "0", "--root", (dir.Path() / "nowhere").string()});
    EXPECT_EQ(p.Wait(5000ms), 1);
    EXPECT_NE(p.Err().find("does not exist"), std::string::npos) << p.Err();
}

TEST(RouterSimProgram, SigtermAndSigintStopItCleanly)
{
    testsupport::TempDir dir;
    const std::string port = std::to_string(testsupport::kTestRouterPort);
    for (int sig : {SIGTERM, SIGINT}) {
        Program p({"--listen", testsupport::LoopbackAddressForTest(), "--port", port, "--root", dir.Path().string()});
        ASSERT_TRUE(p.WaitForOutput("(Ctrl+C stops)", 5000ms)) << p.Out() << p.Err();
        p.Signal(sig);
        EXPECT_EQ(p.Wait(2000ms), 0) << p.Err();
        EXPECT_NE(p.Out().find(sig == SIGTERM ? "stopped (SIGTERM)" : "stopped (SIGINT)"), std::string::npos)
            << p.Out();
    }
}

TEST(RouterSimProgram, MaxSecondsEndsItByItself)
{
    testsupport::TempDir dir;
    Program p({"--port", "0", "--root", dir.Path().string(), "--max-seconds", "0.2"});
    EXPECT_EQ(p.Wait(3000ms), 0) << p.Err();
    EXPECT_NE(p.Out().find("stopped (time is up"), std::string::npos) << p.Out();
}

TEST(RouterSimProgram, ServesTftpHpaAndTracesEveryDatagram)
{
    if (!std::filesystem::exists("/usr/bin/tftp"))
        GTEST_SKIP() << "tftp-hpa's client is not installed";
    testsupport::TempDir dir;
    const std::string address = testsupport::LoopbackAddressForTest();
    const std::string port = std::to_string(testsupport::kTestRouterPort);
    const std::string text = "hostname velnor\r\n";
    testsupport::WriteFileBytes(dir / "config1", std::vector<std::uint8_t>(text.begin(), text.end()));
    Program p({"--listen", address, "--port", port, "--root", dir.Path().string(), "--trace",
               (dir / "trace.txt").string()});
    ASSERT_TRUE(p.WaitForOutput("(Ctrl+C stops)", 5000ms)) << p.Out() << p.Err();
    const std::string command =
        "/usr/bin/tftp -m binary " + address + " " + port + " -c get config1 " + (dir / "got").string() + " 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(testsupport::ReadFileBytes(dir / "got"), std::vector<std::uint8_t>(text.begin(), text.end()));
    EXPECT_TRUE(p.WaitForOutput("sent config1 (17 bytes)", 2000ms)) << p.Out();
    p.Signal(SIGTERM);
    ASSERT_EQ(p.Wait(2000ms), 0);
    EXPECT_NE(p.Out().find("1 transfers completed"), std::string::npos) << p.Out();
    std::ifstream trace(dir / "trace.txt");
    int nLines = 0;
    for (std::string line; std::getline(trace, line);)
        ++nLines;
    EXPECT_EQ(nLines, 3) << "request, DATA 1, ACK 1";
}

// The password from a file, so that it never shows in the process list: the right one is served, a
// wrong one refused, and an empty or doubled one is a mistake on the command line.
TEST(RouterSimProgram, PasswordFromAFileNeverOnTheCommandLine)
{
    testsupport::TempDir dir;
    const std::string text = "hostname r\n";
    testsupport::WriteFileBytes(dir / "config0", std::vector<std::uint8_t>(text.begin(), text.end()));
    const std::string pw = "s3cret-pw\n";
    testsupport::WriteFileBytes(dir / "pw", std::vector<std::uint8_t>(pw.begin(), pw.end()));
    testsupport::WriteFileBytes(dir / "empty", {});
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--password-file", (dir / "empty").string()},
          std::vector<std::string>{"--password-file", (dir / "missing").string()},
          std::vector<std::string>{"--password", "x", "--password-file", (dir / "pw").string()}}) {
        Program p(args);
        EXPECT_EQ(p.Wait(5000ms), 2) << args[1];
        EXPECT_NE(p.Err().find("velnor-router-sim: "), std::string::npos) << p.Err();
    }

    const std::string address = testsupport::LoopbackAddressForTest();
    const std::string port = std::to_string(testsupport::kTestRouterPort);
    Program p({"--listen", address, "--port", port, "--root", dir.Path().string(), "--password-file",
               (dir / "pw").string()});
    ASSERT_TRUE(p.WaitForOutput("(Ctrl+C stops)", 5000ms)) << p.Out() << p.Err();
    testsupport::UdpPeer client(address);
    ASSERT_TRUE(client.Bound());
    ASSERT_TRUE(client.SendTo(address, testsupport::kTestRouterPort, simtest::Rrq("config0/s3cret-pw")));
    auto answer = client.Receive(2000);
    ASSERT_TRUE(answer);
    EXPECT_EQ((*answer)[1], 3) << "DATA";
    ASSERT_TRUE(client.Send(simtest::Ack(1)));
    ASSERT_TRUE(p.WaitForOutput("sent config0", 2000ms)) << p.Out();
    ASSERT_TRUE(client.SendTo(address, testsupport::kTestRouterPort, simtest::Rrq("config0/guess")));
    answer = client.Receive(2000);
    ASSERT_TRUE(answer);
    EXPECT_EQ((*answer)[1], 5) << "ERROR";
    p.Signal(SIGTERM);
    EXPECT_EQ(p.Wait(2000ms), 0) << p.Err();
    EXPECT_EQ(p.Out().find("s3cret"), std::string::npos) << p.Out();
}

// A flood of long names makes a few short lines, not a log as large as the flood.
TEST(RouterSimProgram, AFloodOfLongNamesMakesAFewShortLines)
{
    testsupport::TempDir dir;
    const std::string address = testsupport::LoopbackAddressForTest();
    const std::string port = std::to_string(testsupport::kTestRouterPort);
    Program p({"--listen", address, "--port", port, "--root", dir.Path().string()});
    ASSERT_TRUE(p.WaitForOutput("(Ctrl+C stops)", 5000ms)) << p.Out() << p.Err();
    testsupport::UdpPeer client(address);
    ASSERT_TRUE(client.Bound());
    // One after another, each answer awaited: a burst would overflow the socket's buffer.
    for (int i = 0; i < 300; ++i) {
        ASSERT_TRUE(client.SendTo(address, testsupport::kTestRouterPort, simtest::Rrq(std::string(8000, '\x01'))));
        ASSERT_TRUE(client.Receive(2000)) << "request " << i;
    }
    p.Signal(SIGTERM);
    EXPECT_EQ(p.Wait(5000ms), 0) << p.Err();
    EXPECT_LT(p.Out().size(), 64u * 1024) << "a log line per request, each whole";
    EXPECT_NE(p.Out().find("lines left out"), std::string::npos) << p.Out().substr(0, 2000);
}

TEST(RouterSimProgram, AlterStoredAcknowledgesAWriteAndStoresOtherBytes)
{
    if (!std::filesystem::exists("/usr/bin/tftp"))
        GTEST_SKIP() << "tftp-hpa's client is not installed";
    testsupport::TempDir dir;
    const std::string address = testsupport::LoopbackAddressForTest();
    const std::string port = std::to_string(testsupport::kTestRouterPort);
    const std::string text = "hostname sent\n";
    testsupport::WriteFileBytes(dir / "local", std::vector<std::uint8_t>(text.begin(), text.end()));
    std::filesystem::create_directory(dir / "router");
    Program p({"--listen", address, "--port", port, "--root", (dir / "router").string(), "--alter-stored"});
    ASSERT_TRUE(p.WaitForOutput("(Ctrl+C stops)", 5000ms)) << p.Out() << p.Err();
    // The writer hears its last ACK, as from any router, and cannot tell.
    const std::string command =
        "/usr/bin/tftp -m binary " + address + " " + port + " -c put " + (dir / "local").string() + " config2 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_TRUE(p.WaitForOutput("stored config2", 2000ms)) << p.Out();
    const std::string stored = text + velnor::sim::kAlteredStoreLine;
    EXPECT_EQ(testsupport::ReadFileBytes(dir / "router" / "config2"), std::vector<std::uint8_t>(stored.begin(), stored.end()));
    p.Signal(SIGTERM);
    EXPECT_EQ(p.Wait(2000ms), 0);
}
