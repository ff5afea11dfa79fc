#include "CliTrace.h"

#include <cstdio>
#include <string_view>
#include <vector>

#include "Packets.h"
#include "SafeText.h"

namespace {

// The zero-terminated strings of a request or an OACK from nOffset on; a last one without its zero
// byte counts too (it is shown, not trusted).
std::vector<std::string_view> ZeroTerminatedFields(std::span<const std::uint8_t> datagram, std::size_t nOffset)
{
    std::vector<std::string_view> fields;
    const auto* pText = reinterpret_cast<const char*>(datagram.data());
    std::size_t nStart = nOffset;
    for (std::size_t i = nOffset; i < datagram.size(); ++i) {
        if (datagram[i] == 0) {
            fields.emplace_back(pText + nStart, i - nStart);
            nStart = i + 1;
        }
    }
    if (nStart < datagram.size())
        fields.emplace_back(pText + nStart, datagram.size() - nStart);
    return fields;
}

// The password follows the first "/" of a configuration file's name.
std::string MaskedName(std::string_view name)
{
    const std::size_t nSlash = name.find('/');
    if (nSlash == std::string_view::npos)
        return EscapeForTerminal(name);
    return EscapeForTerminal(name.substr(0, nSlash)) + "/***";
}

std::string Options(const std::vector<std::string_view>& fields, std::size_t nFirst)
{
    std::string text;
    for (std::size_t i = nFirst; i < fields.size(); i += 2) {
        text += ' ' + EscapeForTerminal(fields[i]) + '=';
        if (i + 1 < fields.size())
            text += EscapeForTerminal(fields[i + 1]);
    }
    return text;
}

}  // namespace

std::string DescribeDatagram(bool bSent, std::span<const std::uint8_t> datagram, double dSeconds)
{
    char prefix[48];
    std::snprintf(prefix, sizeof prefix, "+%.3fs %s ", dSeconds < 0 ? 0.0 : dSeconds, bSent ? "sent" : "recv");
    std::string line = prefix;
    const std::uint16_t nOpcode = datagram.size() >= 2 ? tftp::ReadNumber(datagram, 0) : 0;
    switch (datagram.size() >= 2 ? nOpcode : 0) {
    case tftp::OPCODE_RRQ:
    case tftp::OPCODE_WRQ: {
        const std::vector<std::string_view> fields = ZeroTerminatedFields(datagram, 2);
        line += nOpcode == tftp::OPCODE_RRQ ? "RRQ" : "WRQ";
        line += " name=" + (fields.empty() ? std::string() : MaskedName(fields[0]));
        line += " mode=" + (fields.size() < 2 ? std::string() : EscapeForTerminal(fields[1]));
        line += Options(fields, 2);
        break;
    }
    case tftp::OPCODE_DATA:
    case tftp::OPCODE_ACK:
        line += nOpcode == tftp::OPCODE_DATA ? "DATA" : "ACK";
        if (datagram.size() >= 4)
            line += " block=" + std::to_string(tftp::ReadNumber(datagram, 2));
        break;
    case tftp::OPCODE_ERROR:
        line += "ERROR";
        if (datagram.size() >= 4)
            line += " code=" + std::to_string(tftp::ReadNumber(datagram, 2));
        line += " text=\"" + EscapeForTerminal(tftp::ErrorMessageOf(datagram)) + "\"";
        break;
    case tftp::OPCODE_OACK:
        line += "OACK";
        line += Options(ZeroTerminatedFields(datagram, 2), 0);
        break;
    default:
        line += datagram.size() >= 2 ? "opcode=" + std::to_string(nOpcode) : std::string("short");
        break;
    }
    line += " len=" + std::to_string(datagram.size());
    return line;
}
