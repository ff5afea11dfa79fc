#include "TestSupport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <grp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <sstream>
#include <stdexcept>

namespace testsupport {

TempDir::TempDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "velnor-test-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    m_path = pattern;
}

TempDir::~TempDir()
{
    std::error_code ec;
    // Tests may leave folders without write permission behind; give them back before removing.
    for (auto it = std::filesystem::recursive_directory_iterator(m_path, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
    }
    std::filesystem::permissions(m_path, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(m_path, ec);
}

std::vector<std::uint8_t> ReadFileBytes(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFileBytes(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::uint8_t> PatternBytes(std::size_t nSize, std::uint32_t nSeed)
{
    std::mt19937 rng(nSeed);
    std::vector<std::uint8_t> bytes(nSize);
    for (auto& b : bytes)
        b = static_cast<std::uint8_t>(rng());
    return bytes;
}

std::string LoopbackAddressForTest(unsigned nSalt)
{
    std::string name = "velnor";
    if (const auto* info = ::testing::UnitTest::GetInstance()->current_test_info())
        name = std::string(info->test_suite_name()) + "." + info->name();
    std::size_t h = std::hash<std::string>{}(name) + nSalt * 7919u;
    // 127.10.0.1 .. 127.209.249.250: clear of 127.0.0.0/16, which people use by hand.
    unsigned a = 10 + static_cast<unsigned>(h % 200);
    unsigned b = static_cast<unsigned>((h / 200) % 250);
    unsigned c = 1 + static_cast<unsigned>((h / 50000) % 250);
    return "127." + std::to_string(a) + "." + std::to_string(b) + "." + std::to_string(c);
}

bool CanBindPort69()
{
    static const bool bCan = [] {
        int s = ::socket(AF_INET, SOCK_DGRAM, 0);
        if (s < 0)
            return false;
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(69);
        // An address nobody else in the suite uses; only the permission is being asked.
        inet_pton(AF_INET, "127.254.254.254", &addr.sin_addr);
        bool bOk = ::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 || errno == EADDRINUSE;
        ::close(s);
        return bOk;
    }();
    return bCan;
}

long ReceiveQueueOf(std::uint16_t nPort)
{
    std::ifstream table("/proc/net/udp");
    std::string line;
    std::getline(table, line);  // heading
    char local[32];
    std::snprintf(local, sizeof local, "00000000:%04X", nPort);
    while (std::getline(table, line)) {
        std::istringstream in(line);
        std::string slot, localAddress, remoteAddress, state, queues;
        in >> slot >> localAddress >> remoteAddress >> state >> queues;
        if (localAddress == local)
            return std::stol(queues.substr(queues.find(':') + 1), nullptr, 16);
    }
    return -1;
}

const char* SkipReasonPort69()
{
    return "binding UDP port 69 is not allowed here (run as root or grant CAP_NET_BIND_SERVICE)";
}

UdpPeer::UdpPeer(const std::string& strAddress, std::uint16_t nPort)
{
    m_nSocket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(nPort);
    m_bBound = m_nSocket >= 0 && ::inet_pton(AF_INET, strAddress.c_str(), &addr.sin_addr) == 1 &&
               ::bind(m_nSocket, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
}

UdpPeer::~UdpPeer()
{
    if (m_nSocket >= 0)
        ::close(m_nSocket);
}

std::uint16_t UdpPeer::LocalPort() const
{
    sockaddr_in local {};
    socklen_t nLen = sizeof local;
    ::getsockname(m_nSocket, reinterpret_cast<sockaddr*>(&local), &nLen);
    return ntohs(local.sin_port);
}

std::optional<std::vector<std::uint8_t>> UdpPeer::Receive(int nWaitMs, sockaddr_in* pFrom)
{
    // A blocking read with a receive time-out, set again only when it changes.
    if (nWaitMs > 0 && nWaitMs != m_nWaitMs) {
        timeval tv {static_cast<time_t>(nWaitMs / 1000), static_cast<suseconds_t>((nWaitMs % 1000) * 1000)};
        ::setsockopt(m_nSocket, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        m_nWaitMs = nWaitMs;
    }
    m_buffer.resize(65536);
    socklen_t nFrom = sizeof m_lastSender;
    const ssize_t n = ::recvfrom(m_nSocket, m_buffer.data(), m_buffer.size(), nWaitMs > 0 ? 0 : MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr*>(&m_lastSender), &nFrom);
    if (n < 0)
        return std::nullopt;
    if (pFrom)
        *pFrom = m_lastSender;
    return std::vector<std::uint8_t>(m_buffer.begin(), m_buffer.begin() + n);
}

bool UdpPeer::Quiet(int nWaitMs)
{
    pollfd p {m_nSocket, POLLIN, 0};
    return ::poll(&p, 1, nWaitMs) == 0;
}

bool UdpPeer::SendTo(const sockaddr_in& to, const std::vector<std::uint8_t>& datagram)
{
    return ::sendto(m_nSocket, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                    sizeof to) == static_cast<ssize_t>(datagram.size());
}

bool UdpPeer::SendTo(const std::string& strAddress, std::uint16_t nPort, const std::vector<std::uint8_t>& datagram)
{
    sockaddr_in to {};
    to.sin_family = AF_INET;
    to.sin_port = htons(nPort);
    return ::inet_pton(AF_INET, strAddress.c_str(), &to.sin_addr) == 1 && SendTo(to, datagram);
}

std::string UdpPeer::LastSenderAddress() const
{
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &m_lastSender.sin_addr, text, sizeof text);
    return text;
}

UnprivilegedRun RunWithoutPrivileges(const std::function<bool()>& check)
{
    if (::geteuid() != 0)
        return check() ? UnprivilegedRun::Passed : UnprivilegedRun::Failed;
    constexpr int NOT_POSSIBLE = 77;
    const pid_t pid = ::fork();
    if (pid < 0)
        return UnprivilegedRun::NotPossible;
    if (pid == 0) {
        constexpr uid_t NOBODY = 65534;
        if (::setgroups(0, nullptr) != 0 || ::setgid(NOBODY) != 0 || ::setuid(NOBODY) != 0)
            ::_exit(NOT_POSSIBLE);
        // _exit: the child must not run the test framework's or the sanitizer's exit work.
        ::_exit(check() ? 0 : 1);
    }
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return UnprivilegedRun::Failed;
    if (WEXITSTATUS(status) == NOT_POSSIBLE)
        return UnprivilegedRun::NotPossible;
    return WEXITSTATUS(status) == 0 ? UnprivilegedRun::Passed : UnprivilegedRun::Failed;
}

}  // namespace testsupport
