#pragma once
// Helpers shared by the test binaries.

#include <netinet/in.h>

#include <cstdint>
#include <filesystem>
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
// that tests running in parallel bind port 69 of different addresses. nSalt picks further addresses.
std::string LoopbackAddressForTest(unsigned nSalt = 0);

// Whether this process may bind UDP port 69 (root, or the capability). Tests that need it call
// GTEST_SKIP() with SkipReasonPort69() when it is false.
bool CanBindPort69();

// Bytes waiting in the receive queue of the UDP socket bound to 0.0.0.0:nPort, from the kernel's
// table (/proc/net/udp); -1 when there is no such socket.
long ReceiveQueueOf(std::uint16_t nPort);
const char* SkipReasonPort69();

// A plain blocking UDP socket bound to an address and port of loopback: a router's port 69, another
// port of the router's host, or another host, talking to the engine's socket.
class UdpPeer {
public:
    UdpPeer(const std::string& strAddress, std::uint16_t nPort);
    ~UdpPeer();
    UdpPeer(const UdpPeer&) = delete;
    UdpPeer& operator=(const UdpPeer&) = delete;

    bool Bound() const { return m_bBound; }
    // A datagram that has arrived or arrives within nWaitMs; empty when none came. Its sender is
    // remembered (SendToLastSender) and given in pFrom.
    std::vector<std::uint8_t> Receive(int nWaitMs = 1000, sockaddr_in* pFrom = nullptr);
    // No datagram arrives within nWaitMs.
    bool Quiet(int nWaitMs = 50);
    // The whole datagram went out.
    bool SendTo(const sockaddr_in& to, const std::vector<std::uint8_t>& datagram);
    bool SendToLastSender(const std::vector<std::uint8_t>& datagram) { return SendTo(m_lastSender, datagram); }
    std::uint16_t LastSenderPort() const { return ntohs(m_lastSender.sin_port); }

private:
    int m_nSocket = -1;
    bool m_bBound = false;
    sockaddr_in m_lastSender {};
};

}  // namespace testsupport
