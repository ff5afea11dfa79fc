// velnor-bench-pingpong: the round-trip limit of lock-step TFTP on this machine. Two processes play
// DATA and ACK with plain blocking UDP sockets on loopback: one sends a 516-byte datagram, the other
// answers each with 4 bytes. No client can move blocks faster than one per round trip of this.
//
//   velnor-bench-pingpong [--address A] [--count N]
//
// Prints: microseconds per round trip, and the throughput of 512-byte blocks at that rate in MB/s
// (10^6 bytes per second).

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr int kDataLength = 516;
constexpr int kAckLength = 4;
constexpr int kWarmUp = 1000;
constexpr int kReceiveTimeoutSeconds = 5;

double Now()
{
    timespec ts {};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

int BoundSocket(const std::string& strAddress, sockaddr_in& bound)
{
    const int nSocket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (nSocket < 0)
        return -1;
    // A lost datagram (there should be none on loopback) ends the run instead of hanging it.
    timeval timeout {kReceiveTimeoutSeconds, 0};
    ::setsockopt(nSocket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_in local {};
    local.sin_family = AF_INET;
    local.sin_port = 0;
    if (::inet_pton(AF_INET, strAddress.c_str(), &local.sin_addr) != 1 ||
        ::bind(nSocket, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        ::close(nSocket);
        return -1;
    }
    socklen_t nLength = sizeof bound;
    ::getsockname(nSocket, reinterpret_cast<sockaddr*>(&bound), &nLength);
    return nSocket;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string strAddress = "127.0.0.1";
    long nCount = 16384;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--address" && i + 1 < argc) {
            strAddress = argv[++i];
        } else if (arg == "--count" && i + 1 < argc) {
            nCount = std::strtol(argv[++i], nullptr, 10);
        } else {
            std::fprintf(stderr, "usage: velnor-bench-pingpong [--address A] [--count N]\n");
            return 2;
        }
    }
    if (nCount <= 0) {
        std::fprintf(stderr, "velnor-bench-pingpong: the count must be positive\n");
        return 2;
    }
    // Loopback only: the figure is the machine's, never a network's.
    if (strAddress.rfind("127.", 0) != 0) {
        std::fprintf(stderr, "velnor-bench-pingpong: %s is not a loopback address\n", strAddress.c_str());
        return 2;
    }

    sockaddr_in dataAddress {};
    sockaddr_in ackAddress {};
    const int nDataSocket = BoundSocket(strAddress, dataAddress);
    const int nAckSocket = BoundSocket(strAddress, ackAddress);
    if (nDataSocket < 0 || nAckSocket < 0) {
        std::perror("velnor-bench-pingpong: socket");
        return 1;
    }

    const long nTotal = kWarmUp + nCount;
    const pid_t nChild = ::fork();
    if (nChild < 0) {
        std::perror("fork");
        return 1;
    }
    if (nChild == 0) {
        // The client's side: every DATA is answered with an ACK.
        std::uint8_t buffer[1024];
        const std::uint8_t ack[kAckLength] = {0, 4, 0, 0};
        for (long n = 0; n < nTotal; ++n) {
            if (::recv(nAckSocket, buffer, sizeof buffer, 0) != kDataLength)
                ::_exit(1);
            if (::sendto(nAckSocket, ack, sizeof ack, 0, reinterpret_cast<const sockaddr*>(&dataAddress),
                         sizeof dataAddress) != kAckLength)
                ::_exit(1);
        }
        ::_exit(0);
    }

    // The server's side: one DATA, wait for its ACK, the next DATA.
    std::uint8_t data[kDataLength];
    std::memset(data, 'x', sizeof data);
    data[0] = 0;
    data[1] = 3;
    std::uint8_t reply[64];
    double dStart = 0;
    bool bFailed = false;
    for (long n = 0; n < nTotal && !bFailed; ++n) {
        if (n == kWarmUp)
            dStart = Now();
        bFailed = ::sendto(nDataSocket, data, sizeof data, 0, reinterpret_cast<const sockaddr*>(&ackAddress),
                           sizeof ackAddress) != kDataLength ||
                  ::recv(nDataSocket, reply, sizeof reply, 0) != kAckLength;
    }
    const double dElapsed = Now() - dStart;
    int nStatus = 0;
    ::waitpid(nChild, &nStatus, 0);
    if (bFailed || !WIFEXITED(nStatus) || WEXITSTATUS(nStatus) != 0) {
        std::fprintf(stderr, "velnor-bench-pingpong: a datagram was lost\n");
        return 1;
    }
    const double dRoundTrip = dElapsed / static_cast<double>(nCount);
    std::printf("%.3f %.3f\n", dRoundTrip * 1e6, 512.0 / dRoundTrip / 1e6);
    return 0;
}
