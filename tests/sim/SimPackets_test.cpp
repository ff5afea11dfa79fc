// The router's packet functions and its remote-name rule, byte by byte.

#include "SimPackets.h"

#include <gtest/gtest.h>

#include <string>

using namespace velnor::sim;

namespace {

Bytes B(std::initializer_list<int> values)
{
    Bytes b;
    for (int v : values)
        b.push_back(static_cast<std::uint8_t>(v));
    return b;
}

Bytes WithText(Bytes head, const std::string& text)
{
    head.insert(head.end(), text.begin(), text.end());
    return head;
}

// The client's get-configuration request for file 2 with the password "pw" and the option tsize.
const Bytes kConfigRead = WithText(B({0, 1}), std::string("config2/pw\0netascii\0tsize\0" "0\0", 28));

}  // namespace

TEST(SimPackets, ParsesTheClientsReadRequestWithItsOption)
{
    auto req = ParseRequest(kConfigRead.data(), kConfigRead.size());
    ASSERT_TRUE(req);
    EXPECT_EQ(req->opcode, OP_RRQ);
    EXPECT_EQ(req->name, "config2/pw");
    EXPECT_EQ(req->mode, "netascii");
    ASSERT_EQ(req->options.size(), 1u);
    EXPECT_EQ(req->options[0].first, "tsize");
    EXPECT_EQ(req->options[0].second, "0");
}

TEST(SimPackets, EveryPrefixCutInsideNameOrModeIsRefused)
{
    // Up to the mode's zero byte the request is incomplete; after it an unfinished option is left out
    // and the request stands.
    const std::size_t modeEnd = 2 + std::string("config2/pw").size() + 1 + std::string("netascii").size() + 1;
    for (std::size_t n = 0; n < kConfigRead.size(); ++n) {
        auto req = ParseRequest(kConfigRead.data(), n);
        if (n < modeEnd) {
            EXPECT_FALSE(req) << "prefix of " << n << " bytes";
        } else {
            ASSERT_TRUE(req) << "prefix of " << n << " bytes";
            EXPECT_TRUE(req->options.empty()) << "prefix of " << n << " bytes";
        }
    }
}

TEST(SimPackets, RefusesEmptyNameEmptyModeAndOtherOpcodes)
{
    const Bytes emptyName = WithText(B({0, 2}), std::string("\0octet\0", 7));
    const Bytes emptyMode = WithText(B({0, 2}), std::string("exec\0\0", 6));
    const Bytes dataOpcode = WithText(B({0, 3}), std::string("exec\0octet\0", 11));
    EXPECT_FALSE(ParseRequest(emptyName.data(), emptyName.size()));
    EXPECT_FALSE(ParseRequest(emptyMode.data(), emptyMode.size()));
    EXPECT_FALSE(ParseRequest(dataOpcode.data(), dataOpcode.size()));
}

TEST(SimPackets, ZeroPaddingAfterTheModeIsNotAnOption)
{
    const Bytes padded = WithText(B({0, 2}), std::string("exec\0octet\0\0\0\0\0", 15));
    auto req = ParseRequest(padded.data(), padded.size());
    ASSERT_TRUE(req);
    EXPECT_EQ(req->name, "exec");
    EXPECT_TRUE(req->options.empty());
}

TEST(SimPackets, BuildsDataAckErrorAndOack)
{
    const std::uint8_t payload[] = {0xAA, 0x00, 0x55};
    EXPECT_EQ(MakeData(0x0102, payload, 3), B({0, 3, 1, 2, 0xAA, 0x00, 0x55}));
    EXPECT_EQ(MakeData(65535, nullptr, 0), B({0, 3, 0xFF, 0xFF}));
    EXPECT_EQ(MakeAck(0), B({0, 4, 0, 0}));
    EXPECT_EQ(MakeError(1, "No such file"), WithText(B({0, 5, 0, 1}), std::string("No such file\0", 13)));
    EXPECT_EQ(MakeError(0, ""), B({0, 5, 0, 0, 0}));
    EXPECT_EQ(MakeOack({{"tsize", "1025"}}), WithText(B({0, 6}), std::string("tsize\0" "1025\0", 11)));
}

TEST(SimPackets, RemoteNamesOfTheRouter)
{
    struct Case {
        const char* name;
        bool valid;
        FileKind kind;
        bool hasNumber;
        unsigned number;
        bool hasPassword;
        const char* password;
        const char* file;
    };
    const Case cases[] = {
        {"config", true, FileKind::Config, false, 0, false, "", "config0"},
        {"config3", true, FileKind::Config, true, 3, false, "", "config3"},
        {"config0/secret", true, FileKind::Config, true, 0, true, "secret", "config0"},
        {"config/pw/with/slashes", true, FileKind::Config, false, 0, true, "pw/with/slashes", "config0"},
        {"config/", true, FileKind::Config, false, 0, true, "", "config0"},
        {"exec", true, FileKind::Exec, false, 0, false, "", "exec0"},
        {"exec1", true, FileKind::Exec, true, 1, false, "", "exec1"},
        {"config12", true, FileKind::Config, true, 12, false, "", "config12"},
        {"config99999999999999999999", true, FileKind::Config, true, 1000, false, "", "config1000"},
        {"Config1", false, FileKind::Config, false, 0, false, "", ""},
        {"config 1", false, FileKind::Config, false, 0, false, "", ""},
        {"config1x", false, FileKind::Config, false, 0, false, "", ""},
        {"execute", false, FileKind::Config, false, 0, false, "", ""},
        {"/config1", false, FileKind::Config, false, 0, false, "", ""},
        {"", false, FileKind::Config, false, 0, false, "", ""},
    };
    for (const auto& c : cases) {
        auto rn = ParseRemoteName(c.name);
        ASSERT_EQ(rn.has_value(), c.valid) << c.name;
        if (!rn)
            continue;
        EXPECT_EQ(rn->kind, c.kind) << c.name;
        EXPECT_EQ(rn->hasNumber, c.hasNumber) << c.name;
        EXPECT_EQ(rn->number, c.number) << c.name;
        EXPECT_EQ(rn->hasPassword, c.hasPassword) << c.name;
        EXPECT_EQ(rn->password, c.password) << c.name;
        EXPECT_EQ(rn->FileName(), c.file) << c.name;
    }
}

TEST(SimPackets, ServesNetasciiAndOctetInAnyLetterCaseButNotMail)
{
    EXPECT_TRUE(IsServedMode("netascii"));
    EXPECT_TRUE(IsServedMode("octet"));
    EXPECT_TRUE(IsServedMode("OCTET"));
    EXPECT_TRUE(IsServedMode("NetAscii"));
    EXPECT_FALSE(IsServedMode("mail"));
    EXPECT_FALSE(IsServedMode("binary"));
    EXPECT_FALSE(IsServedMode("octet "));
}
