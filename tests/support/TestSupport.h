#pragma once
// Helpers shared by the test binaries.

#include <netinet/in.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <functional>
#include <string>
#include <vector>

namespace testsupport {

// A fresh folder under the system's temporary folder, removed with the object.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& Path() const { return m_path; }
    std::filesystem::path operator/(const std::string& name) const { return m_path / name; }

private:
    std::filesystem::path m_path;
};

std::vector<std::uint8_t> ReadFileBytes(const std::filesystem::path& path);
void WriteFileBytes(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes);
// Deterministic pseudo-random content of the given size.
std::vector<std::uint8_t> PatternBytes(std::size_t nSize, std::uint32_t nSeed = 1);

// A loopback address of this test's own (127.a.b.c), derived from the running test's full name, so
// that tests running in parallel bind the router's port on different addresses. nSalt picks further
// addresses.
std::string LoopbackAddressForTest(unsigned nSalt = 0);

// The router's port in tests (the engine's TransferTimings::nRouterPort, the simulator's port): an
// unprivileged one, so that an ordinary user runs them. Only tests about port 69 itself bind 69.
inline constexpr std::uint16_t kTestRouterPort = 6969;

// Whether this process may bind UDP port 69 (root, or the capability). Tests about port 69 itself
// call GTEST_SKIP() with SkipReasonPort69() when it is false.
bool CanBindPort69();

// Bytes waiting in the receive queue of the UDP socket bound to 0.0.0.0:nPort, from the kernel's
// table (/proc/net/udp); -1 when there is no such socket.
long ReceiveQueueOf(std::uint16_t nPort);
const char* SkipReasonPort69();

// A raw UDP peer on loopback: a fake router on the router's port, another port of the router's host or
// another host talking to the engine's socket, or a bare client of the simulator. It sends exactly the
// datagrams a test writes and shows every datagram that comes back.
class UdpPeer {
public:
    // Bound to strAddress:nPort (0: any free port).
    explicit UdpPeer(const std::string& strAddress, std::uint16_t nPort = 0);
    ~UdpPeer();
    UdpPeer(const UdpPeer&) = delete;
    UdpPeer& operator=(const UdpPeer&) = delete;

    bool Bound() const { return m_bBound; }
    std::uint16_t LocalPort() const;
    // A datagram that has arrived or arrives within nWaitMs (0: only one already waiting); nothing when
    // none came. Its sender is remembered (Send, LastSender...) and given in pFrom. One system call
    // per datagram: it counts in transfers of 65537 blocks.
    std::optional<std::vector<std::uint8_t>> Receive(int nWaitMs = 2000, sockaddr_in* pFrom = nullptr);
    // No datagram arrives within nWaitMs (one that does is left waiting).
    bool Quiet(int nWaitMs = 150);
    // The whole datagram went out.
    bool SendTo(const sockaddr_in& to, const std::vector<std::uint8_t>& datagram);
    bool SendTo(const std::string& strAddress, std::uint16_t nPort, const std::vector<std::uint8_t>& datagram);
    // An answer to the sender of the last datagram received.
    bool Send(const std::vector<std::uint8_t>& datagram) { return SendTo(m_lastSender, datagram); }
    std::string LastSenderAddress() const;
    std::uint16_t LastSenderPort() const { return ntohs(m_lastSender.sin_port); }

private:
    int m_nSocket = -1;
    bool m_bBound = false;
    int m_nWaitMs = -1;  // the receive time-out set on the socket
    std::vector<std::uint8_t> m_buffer;
    sockaddr_in m_lastSender {};
};

enum class UnprivilegedRun { Passed, Failed, NotPossible };

// Runs check as an unprivileged user (nobody) in a child process when the tests run as root, who
// reads and writes files whatever their permissions; otherwise runs it here. Folders the child
// must reach have to be open to everyone.
UnprivilegedRun RunWithoutPrivileges(const std::function<bool()>& check);

}  // namespace testsupport
