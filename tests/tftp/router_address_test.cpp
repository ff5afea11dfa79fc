#include <gtest/gtest.h>

#include "RouterAddress.h"

namespace {

struct AddressCase {
    const char* text;
    bool valid;
    std::uint32_t value;  // when valid
};

const AddressCase kAddressCases[] = {
    {"192.168.0.1", true, 0xC0A80001},
    {"0.0.0.0", true, 0x00000000},
    {"255.255.255.255", true, 0xFFFFFFFF},
    {"010.001.000.001", true, 0x0A010001},  // leading zeros are decimal, never octal
    {"199.249.259.1", false, 0},  // 259 exceeds 255 in the middle digit
    {"1.2.3.4", true, 0x01020304},
    {"249.250.251.252", true, 0xF9FAFBFC},
    {"", false, 0},
    {"192.168.0", false, 0},
    {"192.168.0.1.", false, 0},
    {".192.168.0.1", false, 0},
    {"192..168.1", false, 0},
    {"1.2.3.4.5", false, 0},
    {"256.1.1.1", false, 0},
    {"300.1.1.1", false, 0},
    {"1.2.3.1000", false, 0},
    {" 1.2.3.4", false, 0},
    {"1.2.3.4 ", false, 0},
    {"router.example", false, 0},
    {"0001.2.3.4", false, 0},
    {"1.2.3.-4", false, 0},
    {"+1.2.3.4", false, 0},
    {"1.2.3.4x", false, 0},
    {"192.168.000.0010", false, 0},    // longer than 15 characters
    {"1.2.3.260", false, 0},
    {"1.2.3.256", false, 0},
};

TEST(RouterAddress, AcceptsAndRejectsByTheDottedDecimalRule)
{
    for (const AddressCase& c : kAddressCases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(IsValidRouterAddress(c.text), c.valid);
        auto parsed = ParseRouterAddress(c.text);
        ASSERT_EQ(parsed.has_value(), c.valid);
        if (c.valid) {
            EXPECT_EQ(*parsed, c.value);
        }
    }
}

TEST(RouterAddress, EmbeddedZeroByteIsRejected)
{
    using namespace std::string_view_literals;
    EXPECT_FALSE(IsValidRouterAddress("1.2.3.4\0"sv));
    EXPECT_FALSE(IsValidRouterAddress("1.2\0.3.4"sv));
}

}  // namespace
