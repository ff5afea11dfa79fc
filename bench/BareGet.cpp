// velnor-bench-bare-get: the least a lock-step client can do to fetch a file: one blocking read and
// one send per block, no event loop, no time-outs, no checks beyond the block number. It is not a
// client anyone should use; it shows how fast any client of this protocol can be against the same
// server on this machine, and so how far ahead of another client one can possibly get.
//
//   velnor-bench-bare-get SERVER REMOTE-NAME LOCAL-FILE
//
// Asks port 69 of SERVER for REMOTE-NAME in "octet" mode, answers every DATA from wherever it came
// with its ACK, and writes the file once at the end. Exit status 0 when the last block came, 1 else.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: velnor-bench-bare-get SERVER REMOTE-NAME LOCAL-FILE\n");
        return 2;
    }
    sockaddr_in server {};
    server.sin_family = AF_INET;
    server.sin_port = htons(69);
    if (::inet_pton(AF_INET, argv[1], &server.sin_addr) != 1) {
        std::fprintf(stderr, "velnor-bench-bare-get: not an IPv4 address: %s\n", argv[1]);
        return 2;
    }
    const int nSocket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (nSocket < 0)
        return 1;
    // Only so that a lost datagram ends the run instead of hanging it.
    timeval limit {5, 0};
    ::setsockopt(nSocket, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);

    std::string request("\0\1", 2);
    request += argv[2];
    request += std::string("\0octet\0", 7);
    if (::sendto(nSocket, request.data(), request.size(), 0, reinterpret_cast<const sockaddr*>(&server),
                 sizeof server) < 0)
        return 1;

    std::vector<std::uint8_t> content;
    std::uint16_t nExpected = 1;
    for (;;) {
        std::uint8_t datagram[516];
        sockaddr_in from {};
        socklen_t nFromLength = sizeof from;
        const ssize_t nLength =
            ::recvfrom(nSocket, datagram, sizeof datagram, 0, reinterpret_cast<sockaddr*>(&from), &nFromLength);
        if (nLength < 4 || datagram[1] != 3) {
            std::fprintf(stderr, "velnor-bench-bare-get: no DATA (%zd bytes)\n", nLength);
            return 1;
        }
        const std::uint16_t nBlock = static_cast<std::uint16_t>(datagram[2] << 8 | datagram[3]);
        const std::uint8_t ack[4] = {0, 4, datagram[2], datagram[3]};
        ::sendto(nSocket, ack, sizeof ack, 0, reinterpret_cast<const sockaddr*>(&from), nFromLength);
        if (nBlock != nExpected)
            continue;
        content.insert(content.end(), datagram + 4, datagram + nLength);
        ++nExpected;
        if (nLength < 516)
            break;
    }
    std::FILE* pFile = std::fopen(argv[3], "wb");
    if (!pFile || std::fwrite(content.data(), 1, content.size(), pFile) != content.size() || std::fclose(pFile) != 0)
        return 1;
    return 0;
}
