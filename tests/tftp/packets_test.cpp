// The bytes on the wire: request naming, DATA/ACK/ERROR, the classification of received datagrams and
// the router's error text; then the engine's packet operations over a real loopback socket.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QtCore/qtestsupport_core.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "Packets.h"
#include "TestSupport.h"
#include "TftpSocket.h"
#include "TftpTransfer.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes B(std::initializer_list<int> values)
{
    Bytes out;
    for (int v : values)
        out.push_back(static_cast<std::uint8_t>(v));
    return out;
}

Bytes Text(std::string_view s)
{
    return Bytes(s.begin(), s.end());
}

Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes Request(std::int16_t nDirection, std::int16_t nFileKind, std::string_view strNumber, std::string_view strPassword)
{
    std::array<std::uint8_t, TFTP_SEND_BUFFER_SIZE> buffer {};
    std::size_t n = tftp::BuildRequest(buffer, nDirection, nFileKind, strNumber, strPassword);
    return Bytes(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(n));
}

// ---------------------------------------------------------------------------------------------
// Requests and the router's file naming

struct RequestCase {
    const char* name;
    std::int16_t nDirection;
    std::int16_t nFileKind;
    const char* number;
    const char* password;
    Bytes expected;
};

TEST(Packets, RequestsCarryTheRoutersFileNamingModeAndOption)
{
    const Bytes z = B({0});
    const RequestCase cases[] = {
        {"revision up, no number", DIRECTION_SEND, FILE_KIND_FIRMWARE, "", "",
         B({0x00, 0x02, 0x65, 0x78, 0x65, 0x63, 0x00, 0x6F, 0x63, 0x74, 0x65, 0x74, 0x00})},
        {"revision up with a password has no slash", DIRECTION_SEND, FILE_KIND_FIRMWARE, "1", "secret",
         Cat({B({0, 2}), Text("exec1"), z, Text("octet"), z})},
        {"get configuration 2, no password", DIRECTION_RECEIVE, FILE_KIND_CONFIG, "2", "",
         Cat({B({0, 1}), Text("config2"), z, Text("netascii"), z, Text("tsize"), z, Text("0"), z})},
        {"get configuration 3 with a password", DIRECTION_RECEIVE, FILE_KIND_CONFIG, "3", "pw",
         Cat({B({0, 1}), Text("config3/pw"), z, Text("netascii"), z, Text("tsize"), z, Text("0"), z})},
        {"put configuration, nothing else", DIRECTION_SEND, FILE_KIND_CONFIG, "", "",
         Cat({B({0, 2}), Text("config"), z, Text("netascii"), z})},
        {"put configuration 4 with a password has no option", DIRECTION_SEND, FILE_KIND_CONFIG, "4", "p/w x",
         Cat({B({0, 2}), Text("config4/p/w x"), z, Text("netascii"), z})},
        {"UTF-8 password passes byte for byte", DIRECTION_SEND, FILE_KIND_CONFIG, "0", "パス",
         Cat({B({0, 2}), Text("config0/パス"), z, Text("netascii"), z})},
    };
    for (const RequestCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Request(c.nDirection, c.nFileKind, c.number, c.password), c.expected);
    }
    EXPECT_EQ(cases[0].expected.size(), 13u);
    EXPECT_EQ(cases[2].expected.size(), 27u);
    EXPECT_EQ(cases[4].expected.size(), 18u);
}

TEST(Packets, RemoteFileNameFoldsThePasswordOnlyIntoConfigurationNames)
{
    EXPECT_EQ(tftp::RemoteFileName(FILE_KIND_CONFIG, "", ""), "config");
    EXPECT_EQ(tftp::RemoteFileName(FILE_KIND_CONFIG, "3", ""), "config3");
    EXPECT_EQ(tftp::RemoteFileName(FILE_KIND_CONFIG, "3", "pw"), "config3/pw");
    EXPECT_EQ(tftp::RemoteFileName(FILE_KIND_FIRMWARE, "", "pw"), "exec");
    EXPECT_EQ(tftp::RemoteFileName(FILE_KIND_FIRMWARE, "1", "pw"), "exec1");
}

TEST(Packets, RequestThatDoesNotFitOrHoldsAZeroByteIsNotBuilt)
{
    // Configuration read with no number: 27 bytes of frame around the password.
    EXPECT_EQ(Request(DIRECTION_RECEIVE, FILE_KIND_CONFIG, "", std::string(1001, 'p')).size(), 1028u);
    EXPECT_TRUE(Request(DIRECTION_RECEIVE, FILE_KIND_CONFIG, "", std::string(1002, 'p')).empty());
    using namespace std::string_view_literals;
    EXPECT_TRUE(Request(DIRECTION_SEND, FILE_KIND_CONFIG, "1", "ab\0cd"sv).empty());
    EXPECT_TRUE(Request(DIRECTION_SEND, FILE_KIND_FIRMWARE, "1\0"sv, "").empty());

    std::array<std::uint8_t, 12> small {};
    EXPECT_EQ(tftp::BuildRequest(small, DIRECTION_SEND, FILE_KIND_FIRMWARE, "", ""), 0u);
}

TEST(Packets, DataAckAndErrorBytes)
{
    std::array<std::uint8_t, TFTP_SEND_BUFFER_SIZE> out {};

    EXPECT_EQ(tftp::BuildData(out, 1, {}), 4u);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 4), B({0, 3, 0, 1}));

    const Bytes payload = testsupport::PatternBytes(512);
    ASSERT_EQ(tftp::BuildData(out, 0xABCD, payload), 516u);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 4), B({0, 3, 0xAB, 0xCD}));
    EXPECT_EQ(Bytes(out.begin() + 4, out.begin() + 516), payload);
    EXPECT_EQ(tftp::BuildData(out, 1, testsupport::PatternBytes(513)), 0u);

    ASSERT_EQ(tftp::BuildAck(out, 0xFFFF), 4u);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 4), B({0, 4, 0xFF, 0xFF}));

    ASSERT_EQ(tftp::BuildError(out, TFTP_ERR_RECV_NO_MEMORY), 19u);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 19), Cat({B({0, 5, 0x82, 0x15}), Text("Client Error!!"), B({0})}));
}

// ---------------------------------------------------------------------------------------------
// Classification of received datagrams

Bytes Packet(std::uint16_t nOpcode, std::uint16_t nBlock, std::size_t nLength, std::uint8_t nFill = 'x')
{
    Bytes p(nLength, nFill);
    if (nLength > 0)
        p[0] = static_cast<std::uint8_t>(nOpcode >> 8);
    if (nLength > 1)
        p[1] = static_cast<std::uint8_t>(nOpcode);
    if (nLength > 2)
        p[2] = static_cast<std::uint8_t>(nBlock >> 8);
    if (nLength > 3)
        p[3] = static_cast<std::uint8_t>(nBlock);
    return p;
}

struct ClassifyCase {
    const char* name;
    Bytes datagram;
    std::uint16_t nExpectedBlock;
    std::uint16_t kind;
};

TEST(Packets, ClassificationTable)
{
    const ClassifyCase cases[] = {
        {"empty", {}, 7, 0},
        {"one byte", B({0}), 7, 0},
        {"DATA of 3 bytes", Packet(3, 7, 3), 7, 0},
        {"DATA of 4 bytes is an empty last block", Packet(3, 7, 4), 7, PACKET_DATA},
        {"DATA of 516 bytes", Packet(3, 7, 516), 7, PACKET_DATA},
        {"DATA of 517 bytes", Packet(3, 7, 517), 7, 0},
        {"DATA of 1024 bytes", Packet(3, 7, 1024), 7, 0},
        {"DATA of an earlier block", Packet(3, 6, 100), 7, 0},
        {"DATA of a later block", Packet(3, 8, 100), 7, 0},
        {"DATA block 0 after the wrap", Packet(3, 0, 516), 0, PACKET_DATA},
        {"DATA block 65535", Packet(3, 65535, 516), 65535, PACKET_DATA},
        {"DATA block 65535 when 0 is due", Packet(3, 65535, 516), 0, 0},
        {"ACK of 4 bytes", Packet(4, 7, 4), 7, PACKET_ACK},
        {"ACK of 5 bytes", Packet(4, 7, 5), 7, 0},
        {"ACK of 3 bytes", Packet(4, 7, 3), 7, 0},
        {"ACK of the previous block", Packet(4, 6, 4), 7, 0},
        {"ACK block 0 answers the write request", Packet(4, 0, 4), 0, PACKET_ACK},
        {"ERROR of 4 bytes has no message", Packet(5, 1, 4), 7, 0},
        {"ERROR of 5 bytes", Packet(5, 1, 5), 7, PACKET_ERROR},
        {"ERROR whatever its code field", Packet(5, 0xBEEF, 20), 7, PACKET_ERROR},
        {"ERROR of 516 bytes", Packet(5, 1, 516), 7, PACKET_ERROR},
        {"ERROR of 517 bytes", Packet(5, 1, 517), 7, 0},
        {"option acknowledgement (opcode 6)", Cat({B({0, 6}), Text("tsize"), B({0}), Text("120"), B({0})}), 1, 0},
        {"opcode 0", Packet(0, 7, 20), 7, 0},
        {"read request", Packet(1, 7, 20), 7, 0},
        {"write request", Packet(2, 7, 20), 7, 0},
        {"opcode 7", Packet(7, 7, 20), 7, 0},
        {"opcode 0x0103 (DATA in the wrong byte)", Packet(0x0103, 7, 20), 7, 0},
        {"opcode 0xFFFF", Packet(0xFFFF, 7, 20), 7, 0},
    };
    for (const ClassifyCase& c : cases) {
        SCOPED_TRACE(c.name);
        // An exact-size heap copy, so that a read beyond the datagram shows under the sanitizer.
        Bytes exact(c.datagram);
        EXPECT_EQ(tftp::ClassifyPacket(exact, c.nExpectedBlock), c.kind);
    }
}

TEST(Packets, EveryTruncatedPrefixOfAValidPacketIsClassifiedWithoutReadingBeyondIt)
{
    struct Valid {
        const char* name;
        Bytes packet;
        // Classification of a prefix of n bytes.
        std::uint16_t (*expect)(std::size_t n);
    };
    const Valid valid[] = {
        {"DATA", Packet(3, 9, 516), [](std::size_t n) -> std::uint16_t { return n >= 4 ? PACKET_DATA : 0; }},
        {"ACK", Packet(4, 9, 4), [](std::size_t n) -> std::uint16_t { return n == 4 ? PACKET_ACK : 0; }},
        {"ERROR", Cat({B({0, 5, 0, 1}), Text("No such file"), B({0})}),
         [](std::size_t n) -> std::uint16_t { return n >= 5 ? PACKET_ERROR : 0; }},
    };
    for (const Valid& v : valid) {
        for (std::size_t n = 0; n <= v.packet.size(); ++n) {
            SCOPED_TRACE(std::string(v.name) + " prefix " + std::to_string(n));
            Bytes prefix(v.packet.begin(), v.packet.begin() + static_cast<std::ptrdiff_t>(n));
            EXPECT_EQ(tftp::ClassifyPacket(prefix, 9), v.expect(n));
            std::string_view text = tftp::ErrorMessageOf(prefix);
            EXPECT_LE(text.size(), n > 4 ? n - 4 : 0);
        }
    }
}

TEST(Packets, ErrorMessageEndsAtTheFirstZeroOrTheEndOfTheDatagram)
{
    struct TextCase {
        const char* name;
        Bytes datagram;
        std::string expected;
    };
    Bytes atLimit = Packet(5, 0, TFTP_RECV_BUFFER_SIZE, 'L');
    const TextCase cases[] = {
        {"terminated", Cat({B({0, 5, 0, 1}), Text("No such file"), B({0})}), "No such file"},
        {"unterminated", Cat({B({0, 5, 0, 2}), Text("Access violation")}), "Access violation"},
        {"empty text", B({0, 5, 0, 0, 0}), ""},
        {"header only", B({0, 5, 0, 0}), ""},
        {"shorter than a header", B({0, 5}), ""},
        {"text then zero then more", Cat({B({0, 5, 0, 0}), Text("abc"), B({0}), Text("def")}), "abc"},
        {"1024-byte datagram without a zero", atLimit, std::string(TFTP_RECV_BUFFER_SIZE - 4, 'L')},
    };
    for (const TextCase& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes exact(c.datagram);
        EXPECT_EQ(std::string(tftp::ErrorMessageOf(exact)), c.expected);
    }
}

// ---------------------------------------------------------------------------------------------
// The engine's packet operations

class CPacketProbe : public CTftpTransfer {
public:
    using CTftpTransfer::ReadPacket;
    using CTftpTransfer::Resend;
    using CTftpTransfer::SendAck;
    using CTftpTransfer::SendData;
    using CTftpTransfer::SendError;
    using CTftpTransfer::SendRequest;

    using CTftpTransfer::m_bLastBlock;
    using CTftpTransfer::m_nBlock;
    using CTftpTransfer::m_nBlockCount;
    using CTftpTransfer::m_nBlockLen;
    using CTftpTransfer::m_nDirection;
    using CTftpTransfer::m_nFileKind;
    using CTftpTransfer::m_nRecvLen;
    using CTftpTransfer::m_nResult;
    using CTftpTransfer::m_nSendLen;
    using CTftpTransfer::m_strFileNumber;
    using CTftpTransfer::m_strPassword;
    using CTftpTransfer::m_strRouter;
};

// Puts a datagram in the socket's slot as if it had just been accepted from the router.
void HoldDatagram(const Bytes& datagram)
{
    ASSERT_LE(datagram.size(), sizeof g_pSocket->m_datagram);
    std::memcpy(g_pSocket->m_datagram, datagram.data(), datagram.size());
    g_pSocket->m_nDatagramLen = static_cast<int>(datagram.size());
    g_pSocket->m_bHasDatagram = true;
}

TEST(EnginePackets, PeerErrorTextOutlivesTheReceiveBufferAndTheNextDatagram)
{
    CPacketProbe engine;
    engine.m_nBlock = 1;
    HoldDatagram(Cat({B({0, 5, 0, 1}), Text("No such file"), B({0})}));
    std::uint16_t nKind = 99;
    EXPECT_EQ(engine.ReadPacket(nKind), TFTP_OK);
    EXPECT_EQ(nKind, PACKET_ERROR);
    EXPECT_EQ(engine.PeerErrorText(), "No such file");

    // The next datagram overwrites the receive buffer; the message read by the dialog stays.
    HoldDatagram(Packet(3, 1, 516, 'D'));
    EXPECT_EQ(engine.ReadPacket(nKind), TFTP_OK);
    EXPECT_EQ(nKind, PACKET_DATA);
    EXPECT_EQ(engine.m_nRecvLen, 516);
    EXPECT_EQ(engine.PeerErrorText(), "No such file");

    // A datagram that is not an ERROR (here too long for one) does not replace it either.
    HoldDatagram(Packet(5, 1, 600, 'E'));
    EXPECT_EQ(engine.ReadPacket(nKind), TFTP_OK);
    EXPECT_EQ(nKind, PACKET_NONE);
    EXPECT_EQ(engine.PeerErrorText(), "No such file");

    HoldDatagram(Cat({B({0, 5, 0, 2}), Text("Access violation")}));
    EXPECT_EQ(engine.ReadPacket(nKind), TFTP_OK);
    EXPECT_EQ(engine.PeerErrorText(), "Access violation");
}

TEST(EnginePackets, ReadPacketWithNothingHeldIsNothingUsable)
{
    CPacketProbe engine;
    engine.m_nBlock = 0;
    std::uint16_t nKind = 99;
    EXPECT_EQ(engine.ReadPacket(nKind), TFTP_OK);
    EXPECT_EQ(nKind, PACKET_NONE);
    EXPECT_EQ(engine.m_nRecvLen, 0);
}

TEST(EnginePackets, OverlongPasswordFromOutsideTheDialogIsRefusedBeforeSending)
{
    CPacketProbe engine;
    engine.m_nDirection = DIRECTION_RECEIVE;
    engine.m_nFileKind = FILE_KIND_CONFIG;
    engine.m_strRouter = "127.0.0.1";
    engine.m_strPassword = std::string(2000, 'p');
    EXPECT_EQ(engine.SendRequest(), TFTP_ERR_BAD_PASSWORD);
    engine.m_strPassword.clear();
    engine.m_strFileNumber = std::string(2000, '1');
    EXPECT_EQ(engine.SendRequest(), TFTP_ERR_OTHER);
}

TEST(EnginePackets, SendDataOutsideTheLoadedBlocksIsRefused)
{
    CPacketProbe engine;
    engine.m_nBlock = 1;
    EXPECT_EQ(engine.SendData(), TFTP_ERR_FILE_READ);  // nothing loaded
}


TEST(EnginePackets, EachSendPutsItsPacketOnTheWireToTheRoutersPortAndResendRepeatsIt)
{
    const std::string strRouter = testsupport::LoopbackAddressForTest();
    testsupport::UdpPeer router(strRouter, testsupport::kTestRouterPort);
    ASSERT_TRUE(router.Bound());

    CPacketProbe engine;
    ASSERT_EQ(g_pSocket->Open(testsupport::kTestRouterPort, strRouter), TFTP_OK);
    engine.m_strRouter = strRouter;
    engine.m_nDirection = DIRECTION_RECEIVE;
    engine.m_nFileKind = FILE_KIND_CONFIG;
    engine.m_strFileNumber = "2";
    engine.m_strPassword = "pw";

    const Bytes request = Request(DIRECTION_RECEIVE, FILE_KIND_CONFIG, "2", "pw");
    ASSERT_EQ(engine.SendRequest(), TFTP_OK);
    EXPECT_EQ(engine.m_nSendLen, static_cast<int>(request.size()));
    EXPECT_EQ(router.Receive(), request);

    engine.m_nBlock = 5;
    ASSERT_EQ(engine.SendAck(), TFTP_OK);
    EXPECT_EQ(router.Receive(), B({0, 4, 0, 5}));
    ASSERT_EQ(engine.Resend(), TFTP_OK);
    EXPECT_EQ(router.Receive(), B({0, 4, 0, 5}));

    engine.m_nResult = TFTP_ERR_RECV_NO_MEMORY;
    ASSERT_EQ(engine.SendError(), TFTP_OK);
    EXPECT_EQ(router.Receive(), Cat({B({0, 5, 0x82, 0x15}), Text("Client Error!!"), B({0})}));
    EXPECT_EQ(engine.m_nSendLen, 19);
    EXPECT_TRUE(router.Quiet());

    // A closed socket is a network fault; the packet stays held for a later retransmission.
    g_pSocket->Close();
    EXPECT_EQ(engine.Resend(), TFTP_ERR_NET_FAULT);
    EXPECT_EQ(engine.m_nSendLen, 19);
}

TEST(EnginePackets, SendDataTakesEachBlockFromTheArrayAndMarksOnlyTheShortOneLast)
{
    const std::string strRouter = testsupport::LoopbackAddressForTest();
    testsupport::UdpPeer router(strRouter, testsupport::kTestRouterPort);
    ASSERT_TRUE(router.Bound());

    CPacketProbe engine;
    ASSERT_EQ(g_pSocket->Open(testsupport::kTestRouterPort, strRouter), TFTP_OK);
    engine.m_strRouter = strRouter;
    // A 512-byte file: one full block, then the empty block that ends the transfer.
    const Bytes file = testsupport::PatternBytes(512, 3);
    g_pSendBlocks = new SendBlock[2];
    g_pSendBlocks[0].nLength = 512;
    std::memcpy(g_pSendBlocks[0].data, file.data(), 512);
    g_pSendBlocks[1].nLength = 0;
    engine.m_nBlockCount = 2;

    engine.m_nBlock = 1;
    ASSERT_EQ(engine.SendData(), TFTP_OK);
    EXPECT_FALSE(engine.m_bLastBlock);
    EXPECT_EQ(engine.m_nBlockLen, 512);
    EXPECT_EQ(router.Receive(), Cat({B({0, 3, 0, 1}), file}));

    engine.m_nBlock = 2;
    ASSERT_EQ(engine.SendData(), TFTP_OK);
    EXPECT_TRUE(engine.m_bLastBlock);
    EXPECT_EQ(engine.m_nBlockLen, 0);
    EXPECT_EQ(engine.m_nSendLen, 4);
    EXPECT_EQ(router.Receive(), B({0, 3, 0, 2}));

    engine.m_nBlock = 3;
    EXPECT_EQ(engine.SendData(), TFTP_ERR_FILE_READ);
    EXPECT_TRUE(router.Quiet());
}

}  // namespace
