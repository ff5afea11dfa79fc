#include "SimPackets.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace velnor::sim {

std::uint16_t ReadU16(const std::uint8_t* p)
{
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

namespace {

void PutU16(Bytes& out, std::uint16_t v)
{
    out.push_back(static_cast<std::uint8_t>(v >> 8));
    out.push_back(static_cast<std::uint8_t>(v & 0xFF));
}

void PutString(Bytes& out, const std::string& s)
{
    out.insert(out.end(), s.begin(), s.end());
    out.push_back(0);
}

// The zero-terminated string starting at pos; nullopt when the datagram ends before its zero byte.
std::optional<std::string> TakeString(const std::uint8_t* p, std::size_t n, std::size_t& pos)
{
    const auto* begin = p + pos;
    const auto* end = p + n;
    const auto* zero = std::find(begin, end, std::uint8_t{0});
    if (zero == end)
        return std::nullopt;
    std::string s(reinterpret_cast<const char*>(begin), static_cast<std::size_t>(zero - begin));
    pos = static_cast<std::size_t>(zero - p) + 1;
    return s;
}

}  // namespace

std::optional<Request> ParseRequest(const std::uint8_t* p, std::size_t n)
{
    if (n < 2)
        return std::nullopt;
    Request req;
    req.opcode = ReadU16(p);
    if (req.opcode != OP_RRQ && req.opcode != OP_WRQ)
        return std::nullopt;
    std::size_t pos = 2;
    auto name = TakeString(p, n, pos);
    if (!name || name->empty())
        return std::nullopt;
    auto mode = TakeString(p, n, pos);
    if (!mode || mode->empty())
        return std::nullopt;
    req.name = std::move(*name);
    req.mode = std::move(*mode);
    while (pos < n) {
        auto key = TakeString(p, n, pos);
        if (!key)
            break;
        auto value = TakeString(p, n, pos);
        if (!value)
            break;
        // Some clients pad requests with zero bytes; an empty option name is padding, not an option.
        if (!key->empty())
            req.options.emplace_back(std::move(*key), std::move(*value));
    }
    return req;
}

Bytes MakeData(std::uint16_t block, const std::uint8_t* data, std::size_t n)
{
    Bytes out;
    out.reserve(4 + n);
    PutU16(out, OP_DATA);
    PutU16(out, block);
    if (n)
        out.insert(out.end(), data, data + n);
    return out;
}

Bytes MakeAck(std::uint16_t block)
{
    Bytes out;
    PutU16(out, OP_ACK);
    PutU16(out, block);
    return out;
}

Bytes MakeError(std::uint16_t code, const std::string& text)
{
    Bytes out;
    PutU16(out, OP_ERROR);
    PutU16(out, code);
    PutString(out, text);
    return out;
}

Bytes MakeOack(const std::vector<std::pair<std::string, std::string>>& options)
{
    Bytes out;
    PutU16(out, OP_OACK);
    for (const auto& [key, value] : options) {
        PutString(out, key);
        PutString(out, value);
    }
    return out;
}

std::string RemoteName::FileName() const
{
    return (kind == FileKind::Config ? "config" : "exec") + std::to_string(number);
}

std::optional<RemoteName> ParseRemoteName(const std::string& name)
{
    RemoteName rn;
    std::size_t pos = 0;
    if (name.rfind("config", 0) == 0) {
        rn.kind = FileKind::Config;
        pos = 6;
    } else if (name.rfind("exec", 0) == 0) {
        rn.kind = FileKind::Exec;
        pos = 4;
    } else {
        return std::nullopt;
    }
    std::size_t digits = 0;
    while (pos < name.size() && name[pos] >= '0' && name[pos] <= '9') {
        // Only the range check looks at the value; a cap keeps a long digit run from overflowing.
        rn.number = std::min(1000u, rn.number * 10 + static_cast<unsigned>(name[pos] - '0'));
        ++pos;
        ++digits;
    }
    rn.hasNumber = digits > 0;
    if (pos == name.size())
        return rn;
    if (name[pos] != '/')
        return std::nullopt;
    rn.hasPassword = true;
    rn.password = name.substr(pos + 1);
    return rn;
}

bool IsServedMode(const std::string& mode)
{
    std::string lower(mode);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower == "netascii" || lower == "octet";
}

}  // namespace velnor::sim
