#include "Packets.h"

#include <algorithm>
#include <cstring>

namespace tftp {

namespace {

constexpr std::string_view kConfigKeyword = "config";
constexpr std::string_view kFirmwareKeyword = "exec";
constexpr std::string_view kModeNetascii = "netascii";
constexpr std::string_view kModeOctet = "octet";
constexpr std::string_view kOptionTsize = "tsize";
constexpr std::string_view kOptionTsizeQuery = "0";

// Appends to a fixed buffer and remembers whether everything fitted, so that a builder can write
// its fields one after the other and check once at the end.
class PacketWriter {
public:
    explicit PacketWriter(std::span<std::uint8_t> out) : m_out(out) {}

    void Number(std::uint16_t nValue)
    {
        if (!Room(2))
            return;
        m_out[m_nPos++] = static_cast<std::uint8_t>(nValue >> 8);
        m_out[m_nPos++] = static_cast<std::uint8_t>(nValue & 0xFF);
    }

    void Bytes(std::span<const std::uint8_t> bytes)
    {
        if (!Room(bytes.size()))
            return;
        if (!bytes.empty())
            std::memcpy(m_out.data() + m_nPos, bytes.data(), bytes.size());
        m_nPos += bytes.size();
    }

    void Text(std::string_view text)
    {
        Bytes(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
    }

    // A text with its terminating zero byte.
    void Field(std::string_view text)
    {
        Text(text);
        Zero();
    }

    void Zero()
    {
        if (!Room(1))
            return;
        m_out[m_nPos++] = 0;
    }

    std::size_t Length() const { return m_bOverflow ? 0 : m_nPos; }

private:
    bool Room(std::size_t nBytes)
    {
        if (m_bOverflow || m_out.size() - m_nPos < nBytes) {
            m_bOverflow = true;
            return false;
        }
        return true;
    }

    std::span<std::uint8_t> m_out;
    std::size_t m_nPos = 0;
    bool m_bOverflow = false;
};

}  // namespace

std::string RemoteFileName(std::int16_t nFileKind, std::string_view strFileNumber, std::string_view strPassword)
{
    const bool bConfig = nFileKind == FILE_KIND_CONFIG;
    std::string strName(bConfig ? kConfigKeyword : kFirmwareKeyword);
    strName += strFileNumber;
    if (bConfig && !strPassword.empty()) {
        strName += '/';
        strName += strPassword;
    }
    return strName;
}

std::size_t BuildRequest(std::span<std::uint8_t> out, std::int16_t nDirection, std::int16_t nFileKind,
                         std::string_view strFileNumber, std::string_view strPassword)
{
    // A zero byte would end the name early on the router's side: it would act on another file, or
    // check a shorter password than the one the user typed.
    if (strFileNumber.find('\0') != std::string_view::npos || strPassword.find('\0') != std::string_view::npos)
        return 0;

    const bool bConfig = nFileKind == FILE_KIND_CONFIG;
    const bool bReceive = nDirection == DIRECTION_RECEIVE;
    PacketWriter w(out);
    w.Number(bReceive ? OPCODE_RRQ : OPCODE_WRQ);
    // Built in place rather than through RemoteFileName: the request goes out on every transfer and
    // the send path stays free of allocations.
    w.Text(bConfig ? kConfigKeyword : kFirmwareKeyword);
    w.Text(strFileNumber);
    if (bConfig && !strPassword.empty()) {
        w.Text("/");
        w.Text(strPassword);
    }
    w.Zero();
    w.Field(bConfig ? kModeNetascii : kModeOctet);
    if (bConfig && bReceive) {
        // Asked for but never read: the router's answer to it is dropped like any unexpected packet.
        w.Field(kOptionTsize);
        w.Field(kOptionTsizeQuery);
    }
    return w.Length();
}

std::size_t BuildData(std::span<std::uint8_t> out, std::uint16_t nBlock, std::span<const std::uint8_t> payload)
{
    if (payload.size() > static_cast<std::size_t>(TFTP_BLOCK_SIZE))
        return 0;
    PacketWriter w(out);
    w.Number(OPCODE_DATA);
    w.Number(nBlock);
    w.Bytes(payload);
    return w.Length();
}

std::size_t BuildAck(std::span<std::uint8_t> out, std::uint16_t nBlock)
{
    PacketWriter w(out);
    w.Number(OPCODE_ACK);
    w.Number(nBlock);
    return w.Length();
}

std::size_t BuildError(std::span<std::uint8_t> out, TftpResult nCode)
{
    PacketWriter w(out);
    w.Number(OPCODE_ERROR);
    // The router is told our own code (82 15 when memory ran out), outside the protocol's 0..7 on
    // purpose: it only needs to stop sending, and its log then shows what the client met.
    w.Number(static_cast<std::uint16_t>(static_cast<std::uint32_t>(nCode) & 0xFFFF));
    w.Field(kClientErrorText);
    return w.Length();
}

std::uint16_t ReadNumber(std::span<const std::uint8_t> datagram, std::size_t nOffset)
{
    if (datagram.size() < nOffset + 2)
        return 0;
    return static_cast<std::uint16_t>((datagram[nOffset] << 8) | datagram[nOffset + 1]);
}

std::uint16_t ClassifyPacket(std::span<const std::uint8_t> datagram, std::uint16_t nExpectedBlock)
{
    const std::size_t nLength = datagram.size();
    if (nLength < TFTP_HEADER_SIZE)
        return 0;
    const std::uint16_t nOpcode = ReadNumber(datagram, 0);
    const std::uint16_t nBlock = ReadNumber(datagram, 2);
    switch (nOpcode) {
    case OPCODE_DATA:
        return nLength <= TFTP_MAX_DATA_PACKET && nBlock == nExpectedBlock ? OPCODE_DATA : 0;
    case OPCODE_ACK:
        return nLength == TFTP_HEADER_SIZE && nBlock == nExpectedBlock ? OPCODE_ACK : 0;
    case OPCODE_ERROR:
        // The router's error number is not looked at; only its text means something to the user.
        return nLength > TFTP_HEADER_SIZE && nLength <= TFTP_MAX_DATA_PACKET ? OPCODE_ERROR : 0;
    default:
        // Requests, option acknowledgements and unknown opcodes: the client never follows any of them.
        return 0;
    }
}

std::string_view ErrorMessageOf(std::span<const std::uint8_t> datagram)
{
    if (datagram.size() <= TFTP_HEADER_SIZE)
        return {};
    auto text = datagram.subspan(TFTP_HEADER_SIZE);
    // A router may omit the terminating zero; the text then ends with the datagram.
    auto end = std::find(text.begin(), text.end(), std::uint8_t{0});
    return {reinterpret_cast<const char*>(text.data()), static_cast<std::size_t>(end - text.begin())};
}

}  // namespace tftp
