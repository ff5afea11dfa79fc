#pragma once
// A bare TFTP client for the simulator's tests: it sends exactly the datagrams a test writes and shows
// every datagram that comes back, so that the cases a real client hides (a duplicate ACK, a repeated
// DATA, an OACK) can be played. Its packet builders are written here on purpose and not taken from the
// simulator, so that a mistake in one is not mirrored in the other.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "TestSupport.h"

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

// The tests' raw peer as a client of one router: Send goes to the router's port (not back to the last
// sender), and Receive tells who sent each datagram.
class RawClient : public testsupport::UdpPeer {
public:
    explicit RawClient(std::string router, std::uint16_t routerPort = testsupport::kTestRouterPort,
                       const std::string& local = "127.0.0.1")
        : UdpPeer(local), m_router(std::move(router)), m_routerPort(routerPort)
    {
        if (!Bound())
            throw std::runtime_error("cannot open the test client's socket");
    }

    void Send(const Bytes& bytes) { SendTo(m_router, m_routerPort, bytes); }

    std::optional<Datagram> Receive(std::chrono::milliseconds timeout = 1000ms)
    {
        auto bytes = UdpPeer::Receive(static_cast<int>(std::max<std::chrono::milliseconds::rep>(timeout.count(), 0)));
        if (!bytes)
            return std::nullopt;
        return Datagram{LastSenderAddress(), LastSenderPort(), std::move(*bytes)};
    }

    // The next datagram, which must come from the router's own address and port.
    std::optional<Bytes> ReceiveFromRouter(std::chrono::milliseconds timeout = 1000ms)
    {
        auto d = Receive(timeout);
        if (!d || d->address != m_router || d->port != m_routerPort)
            return std::nullopt;
        return d->bytes;
    }

private:
    std::string m_router;
    std::uint16_t m_routerPort;
};

}  // namespace simtest
