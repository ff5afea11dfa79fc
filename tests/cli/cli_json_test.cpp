// The JSON line, the class of each code, the lines of -v/--trace, and what becomes of a text that a
// router controls on each of the console's outputs.

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <string>
#include <vector>

#include "CliJson.h"
#include "CliReport.h"
#include "CliTrace.h"
#include "ResultMessages.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes ErrorPacket(std::uint16_t nCode, const std::string& text)
{
    std::string packet = {'\0', '\5', static_cast<char>(nCode >> 8), static_cast<char>(nCode)};
    packet += text;
    packet += '\0';
    return Bytes(packet.begin(), packet.end());
}

QJsonValue ParseJsonString(const std::string& json)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString("[" + json + "]"), &error);
    EXPECT_EQ(error.error, QJsonParseError::NoError) << json << ": " << error.errorString().toStdString();
    return document.array().at(0);
}

// A router's ERROR text on every output of the console: the failure message on standard error, the
// -v/--trace line, and the JSON line. None passes a control byte or invalid UTF-8 on raw.
TEST(CliHostileTextTest, RouterTextsReachNoOutputRaw)
{
    struct Case {
        std::string raw;
        std::string terminal;  // as shown on standard error and in the trace
        std::string json;      // inside the JSON string's quotes
        bool bValidUtf8;
    };
    const Case cases[] = {
        {"\x1b]0;owned\x07", "\\x1b]0;owned\\x07", "\\u001b]0;owned\\u0007", true},  // sets the title
        {"\x1b[2J\x1b[H", "\\x1b[2J\\x1b[H", "\\u001b[2J\\u001b[H", true},            // clears the screen
        {"x\r\nSuccess!", "x\\x0d\\x0aSuccess!", "x\\r\\nSuccess!", true},            // a forged line
        {"tab\there\x7f", "tab\\x09here\\x7f", "tab\\there\\u007f", true},
        {"\xc2\x9b" "31m", "\\xc2\\x9b31m", "\\u009b31m", true},                     // C1 CSI
        {"bad\xff\xfe", "bad\\xff\\xfe", "bad\xef\xbf\xbd\xef\xbf\xbd", false},       // not UTF-8
        {"cut\xe3\x81", "cut\\xe3\\x81", "cut\xef\xbf\xbd\xef\xbf\xbd", false},       // cut sequence
        {"\xc0\xaf", "\\xc0\\xaf", "\xef\xbf\xbd\xef\xbf\xbd", false},                // overlong "/"
        {"q\"b\\s", "q\"b\\\\s", "q\\\"b\\\\s", true},
        {"line\xe2\x80\xa8sep", "line\xe2\x80\xa8sep", "line\\u2028sep", true},
        {"ディスクが一杯です", "ディスクが一杯です", "ディスクが一杯です", true},          // stays readable
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.terminal);
        EXPECT_EQ(FormatFailure(TFTP_ERR_PEER_ERROR, c.raw),
                  LookupResultMessage(TFTP_ERR_PEER_ERROR) + "\n<" + c.terminal + ">\n(0x8214)\n");
        const std::string line = DescribeDatagram(false, ErrorPacket(0, c.raw), 0.25);
        EXPECT_EQ(line, "+0.250s recv ERROR code=0 text=\"" + c.terminal + "\" len="
                            + std::to_string(c.raw.size() + 5));
        const std::string json = JsonString(c.raw);
        EXPECT_EQ(json, "\"" + c.json + "\"");
        const QJsonValue value = ParseJsonString(json);
        ASSERT_TRUE(value.isString());
        if (c.bValidUtf8) {
            EXPECT_EQ(value.toString(), QString::fromUtf8(c.raw.data(), static_cast<qsizetype>(c.raw.size())));
        }
    }
}

TEST(CliJsonTest, EveryFieldIsThereWithItsType)
{
    CliOutcome failed;
    failed.router = "192.0.2.1";
    failed.operation = CliOperation::Put;
    failed.fileNumber = 3;
    failed.localFile = "/tmp/c.txt";
    failed.code = TFTP_ERR_PEER_ERROR;
    failed.failureClass = kClassRefused;
    failed.message = LookupResultMessage(TFTP_ERR_PEER_ERROR);
    failed.routerText = "Disk full";
    failed.nBytes = 1536;
    failed.dSeconds = 1.23456;
    failed.changed = false;

    CliOutcome local;  // the local file refused, with the file and the system's reason
    local.router = "192.0.2.1";
    local.operation = CliOperation::Get;
    local.localFile = "/srv/c.txt";
    local.code = TFTP_ERR_FILE_OPEN;
    local.failureClass = kClassLocal;
    local.message = LookupResultMessage(TFTP_ERR_FILE_OPEN);
    local.changed = false;
    local.detail = "/srv/c.txt: Permission denied";

    CliOutcome refused;  // a command line refused before its command was known
    refused.failureClass = kClassInput;
    refused.message = "unknown option --x";

    struct Case {
        CliOutcome outcome;
        const char* line;
    };
    const Case cases[] = {
        {failed, "{\"router\":\"192.0.2.1\",\"operation\":\"put\",\"file_number\":3,\"local_file\":\"/tmp/c.txt\","
                 "\"ok\":false,\"code\":\"0x8214\",\"class\":\"refused\",\"message\":\"相手先からエラー通知がありました\","
                 "\"router_text\":\"Disk full\",\"bytes\":1536,\"seconds\":1.235,\"changed\":false,\"detail\":null}\n"},
        {refused, "{\"router\":null,\"operation\":null,\"file_number\":null,\"local_file\":null,\"ok\":false,"
                  "\"code\":null,\"class\":\"input\",\"message\":\"unknown option --x\",\"router_text\":null,"
                  "\"bytes\":0,\"seconds\":0.000,\"changed\":null,\"detail\":null}\n"},
        {local, "{\"router\":\"192.0.2.1\",\"operation\":\"get\",\"file_number\":null,\"local_file\":\"/srv/c.txt\","
                "\"ok\":false,\"code\":\"0x8012\",\"class\":\"local\",\"message\":\"指定されたファイルが開けません\","
                "\"router_text\":null,\"bytes\":0,\"seconds\":0.000,\"changed\":false,"
                "\"detail\":\"/srv/c.txt: Permission denied\"}\n"},
    };
    for (const Case& c : cases) {
        const std::string line = FormatJsonLine(c.outcome);
        EXPECT_EQ(line, c.line);
        // One line, one object that Qt's reader takes.
        EXPECT_EQ(line.find('\n'), line.size() - 1);
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(line), &error);
        ASSERT_EQ(error.error, QJsonParseError::NoError) << line;
        EXPECT_EQ(document.object().size(), 13);
        // New fields come after the old ones: a reader that splits the line by position keeps working.
        EXPECT_EQ(document.object().keys().size(), 13);
        EXPECT_LT(line.find("\"changed\":"), line.find("\"detail\":"));
    }
}

TEST(CliJsonTest, EachCodeHasItsClass)
{
    struct Case {
        TftpResult nCode;
        std::string_view cls;
    };
    const Case cases[] = {
        {TFTP_ERR_NO_MEMORY, kClassLocal},          {TFTP_ERR_FILE_OPEN, kClassLocal},
        {TFTP_ERR_FILE_READ, kClassLocal},          {TFTP_ERR_FILE_WRITE, kClassLocal},
        {TFTP_ERR_FILE_SAVE, kClassLocal},          {TFTP_ERR_OTHER, kClassLocal},
        {TFTP_ERR_BAD_PASSWORD, kClassInput},       {TFTP_ERR_BAD_ADDRESS, kClassNetwork},
        {TFTP_ERR_NET_OPEN, kClassNetwork},         {TFTP_ERR_NET_FAULT, kClassNetwork},
        {TFTP_ERR_NO_RESPONSE, kClassTimeout},      {TFTP_ERR_PEER_ERROR, kClassRefused},
        {TFTP_ERR_NO_SUCH_FILE, kClassRefused},     {TFTP_ERR_ACCESS_VIOLATION, kClassRefused},
        {TFTP_ERR_RECV_NO_MEMORY, kClassProtocol},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ClassOfResult(c.nCode), c.cls) << CodeText(c.nCode);
    EXPECT_EQ(CodeText(TFTP_ERR_NO_RESPONSE), "0x8213");
}

TEST(CliTraceTest, OneLinePerDatagramWithThePasswordMasked)
{
    auto bytes = [](std::string_view text) { return Bytes(text.begin(), text.end()); };
    struct Case {
        bool bSent;
        Bytes datagram;
        const char* line;
    };
    const Case cases[] = {
        {true, bytes(std::string_view("\0\1config2/secret\0netascii\0tsize\0" "0\0", 33)),
         "+1.500s sent RRQ name=config2/*** mode=netascii tsize=0 len=33"},
        {true, bytes(std::string_view("\0\2config/a/b\0netascii\0", 22)),
         "+1.500s sent WRQ name=config/*** mode=netascii len=22"},
        {true, bytes(std::string_view("\0\2exec1\0octet\0", 14)), "+1.500s sent WRQ name=exec1 mode=octet len=14"},
        {false, Bytes{0, 3, 0x01, 0x02, 'a', 'b'}, "+1.500s recv DATA block=258 len=6"},
        {true, Bytes{0, 4, 0xFF, 0xFF}, "+1.500s sent ACK block=65535 len=4"},
        {false, bytes(std::string_view("\0\6tsize\0" "99\0", 11)), "+1.500s recv OACK tsize=99 len=11"},
        {false, Bytes{0, 9, 1}, "+1.500s recv opcode=9 len=3"},
        {false, Bytes{7}, "+1.500s recv short len=1"},
        {false, Bytes{0, 4, 1}, "+1.500s recv ACK len=3"},
        // A request name without its zero byte, cut inside the password, still hides it.
        {true, bytes(std::string_view("\0\1config/sec", 12)), "+1.500s sent RRQ name=config/*** mode= len=12"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(DescribeDatagram(c.bSent, c.datagram, 1.5), c.line);
}

}  // namespace
