#pragma once
// A bare TFTP client for the simulator's tests: it sends exactly the datagrams a test writes and shows
// every datagram that comes back, so that the cases a real client hides (a duplicate ACK, a repeated
// DATA, an OACK) can be played. Its packet builders are written here on purpose and not taken from the
// simulator, so that a mistake in one is not mirrored in the other.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/time.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace simtest {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

inline Bytes U16(std::uint16_t v)
{
    return {static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
}

inline Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

inline Bytes Str(const std::string& s)
{
    Bytes b(s.begin(), s.end());
    b.push_back(0);
    return b;
}

inline Bytes Request(std::uint16_t opcode, const std::string& name, const std::string& mode,
                     const std::vector<std::pair<std::string, std::string>>& options = {})
{
    Bytes b = Cat({U16(opcode), Str(name), Str(mode)});
    for (const auto& [k, v] : options)
        b = Cat({b, Str(k), Str(v)});
    return b;
}
inline Bytes Rrq(const std::string& name, const std::string& mode = "octet",
                 const std::vector<std::pair<std::string, std::string>>& options = {})
{
    return Request(1, name, mode, options);
}
inline Bytes Wrq(const std::string& name, const std::string& mode = "octet",
                 const std::vector<std::pair<std::string, std::string>>& options = {})
{
    return Request(2, name, mode, options);
}
inline Bytes Data(std::uint16_t block, const std::uint8_t* p, std::size_t n)
{
    Bytes b = Cat({U16(3), U16(block)});
    b.insert(b.end(), p, p + n);
    return b;
}
inline Bytes Data(std::uint16_t block, const Bytes& payload)
{
    return Data(block, payload.data(), payload.size());
}
inline Bytes Ack(std::uint16_t block)
{
    return Cat({U16(4), U16(block)});
}
inline Bytes ErrorPacket(std::uint16_t code, const std::string& text)
{
    return Cat({U16(5), U16(code), Str(text)});
}

inline std::uint16_t OpcodeOf(const Bytes& b)
{
    return b.size() >= 2 ? static_cast<std::uint16_t>((b[0] << 8) | b[1]) : 0xFFFF;
}
inline std::uint16_t BlockOf(const Bytes& b)
{
    return b.size() >= 4 ? static_cast<std::uint16_t>((b[2] << 8) | b[3]) : 0xFFFF;
}
inline Bytes PayloadOf(const Bytes& b)
{
    return b.size() >= 4 ? Bytes(b.begin() + 4, b.end()) : Bytes();
}
// The message of an ERROR packet, up to its zero byte.
inline std::string ErrorTextOf(const Bytes& b)
{
    std::string s;
    for (std::size_t i = 4; i < b.size() && b[i]; ++i)
        s += static_cast<char>(b[i]);
    return s;
}

struct Datagram {
    std::string address;
    std::uint16_t port = 0;
    Bytes bytes;
};

class RawClient {
public:
    explicit RawClient(std::string router, std::uint16_t routerPort = 69, const std::string& local = "127.0.0.1")
        : m_router(std::move(router)), m_routerPort(routerPort)
    {
        m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        inet_pton(AF_INET, local.c_str(), &addr.sin_addr);
        if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
            throw std::runtime_error("cannot open the test client's socket");
    }
    ~RawClient() { ::close(m_fd); }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    void Send(const Bytes& bytes) { SendTo(m_router, m_routerPort, bytes); }
    void SendTo(const std::string& address, std::uint16_t port, const Bytes& bytes)
    {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        inet_pton(AF_INET, address.c_str(), &to.sin_addr);
        ::sendto(m_fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }

    std::optional<Datagram> Receive(std::chrono::milliseconds timeout = 1000ms)
    {
        // A blocking read with a receive time-out: one system call per datagram, which counts in the
        // 65537-block cases.
        if (timeout != m_timeout) {
            timeval tv{static_cast<time_t>(timeout.count() / 1000),
                       static_cast<suseconds_t>((timeout.count() % 1000) * 1000)};
            if (timeout.count() <= 0)
                tv.tv_usec = 1;  // zero would mean no time-out at all
            ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
            m_timeout = timeout;
        }
        Bytes& buffer = m_buffer;
        buffer.resize(65536);
        sockaddr_in from{};
        socklen_t len = sizeof from;
        ssize_t n = ::recvfrom(m_fd, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0)
            return std::nullopt;
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
        return Datagram{text, ntohs(from.sin_port), Bytes(buffer.begin(), buffer.begin() + n)};
    }

    // The next datagram, which must come from the router's own address and port.
    std::optional<Bytes> ReceiveFromRouter(std::chrono::milliseconds timeout = 1000ms)
    {
        auto d = Receive(timeout);
        if (!d || d->address != m_router || d->port != m_routerPort)
            return std::nullopt;
        return d->bytes;
    }

    std::uint16_t LocalPort() const
    {
        sockaddr_in local{};
        socklen_t len = sizeof local;
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&local), &len);
        return ntohs(local.sin_port);
    }

private:
    std::string m_router;
    std::uint16_t m_routerPort;
    int m_fd = -1;
    Bytes m_buffer;
    std::chrono::milliseconds m_timeout{0};  // kept: a fresh 64 KiB per datagram would dominate a 65537-block transfer
};

}  // namespace simtest
