#include <gtest/gtest.h>

#include "CliReport.h"
#include "ResultMessages.h"

namespace {

TEST(CliReportTest, ProgressLineShowsBarPercentAndBytes)
{
    EXPECT_EQ(FormatProgressLine(0, 0, 1000), "[------------------------------]   0%  0 / 1000 bytes");
    EXPECT_EQ(FormatProgressLine(51, 512, 1000), "[###############---------------]  51%  512 / 1000 bytes");
    EXPECT_EQ(FormatProgressLine(100, 1000, 1000), "[##############################] 100%  1000 / 1000 bytes");
    // Beyond 32 bits.
    EXPECT_EQ(FormatProgressLine(75, 3000000000LL, 4000000000LL),
              "[######################--------]  75%  3000000000 / 4000000000 bytes");
}

TEST(CliReportTest, ProgressLineWithoutTotalShowsBytesOnly)
{
    EXPECT_EQ(FormatProgressLine(0, 0, 0), "0 bytes");
    EXPECT_EQ(FormatProgressLine(0, 1536, 0), "1536 bytes");
}

TEST(CliReportTest, FailureIsTheWindowsMessageThenTheCode)
{
    EXPECT_EQ(FormatFailure(TFTP_ERR_NO_RESPONSE, ""), LookupResultMessage(TFTP_ERR_NO_RESPONSE) + "\n(0x8213)\n");
    EXPECT_EQ(FormatFailure(TFTP_ERR_FILE_OPEN, ""), LookupResultMessage(TFTP_ERR_FILE_OPEN) + "\n(0x8012)\n");
    // An unknown code gets the default message; the number still tells which.
    EXPECT_EQ(FormatFailure(0x8999, ""), LookupResultMessage(-1) + "\n(0x8999)\n");
}

TEST(CliReportTest, RouterErrorsShowTheRoutersTextOrTheirOwnMessage)
{
    EXPECT_EQ(FormatFailure(TFTP_ERR_PEER_ERROR, "Disk full"),
              LookupResultMessage(TFTP_ERR_PEER_ERROR) + "\n<Disk full>\n(0x8214)\n");
    EXPECT_EQ(FormatFailure(TFTP_ERR_PEER_ERROR, "No such file"),
              LookupResultMessage(TFTP_ERR_NO_SUCH_FILE) + "\n(0x8216)\n");
    EXPECT_EQ(FormatFailure(TFTP_ERR_PEER_ERROR, "Access violation"),
              LookupResultMessage(TFTP_ERR_ACCESS_VIOLATION) + "\n(0x8217)\n");
    EXPECT_EQ(FormatFailure(TFTP_ERR_PEER_ERROR, "ACCESS VIOLATION"),
              LookupResultMessage(TFTP_ERR_PEER_ERROR) + "\n<ACCESS VIOLATION>\n(0x8214)\n");
}

// The line after the message and code: a file name or a router's text that holds control bytes shows
// them as escapes, as every other text a terminal gets; nothing at all where nothing is known.
TEST(CliReportTest, TheExtraLineIsSafeForATerminalAndOnlyWhereItTellsSomething)
{
    struct Case {
        const char* name;
        std::string shown;
        std::string expected;
    };
    const Case cases[] = {
        {"a plain reason", FormatLocalDetail("/srv/conf/gw1.txt: Permission denied"),
         "velnor-tftp: /srv/conf/gw1.txt: Permission denied\n"},
        {"a file name that would set the title", FormatLocalDetail("/tmp/\x1b]0;x\x07: is a folder"),
         "velnor-tftp: /tmp/\\x1b]0;x\\x07: is a folder\n"},
        {"a forged line in a file name", FormatLocalDetail("/tmp/a\nSuccess: is read-only"),
         "velnor-tftp: /tmp/a\\x0aSuccess: is read-only\n"},
        {"nothing known", FormatLocalDetail(""), ""},
        {"access violation", FormatRouterHint(TFTP_ERR_PEER_ERROR, "Access violation"),
         "velnor-tftp: the router said \"Access violation\": usually a wrong password, or a model without file "
         "numbers\n"},
        {"no such file, with more words", FormatRouterHint(TFTP_ERR_PEER_ERROR, "No such file\r\n"),
         "velnor-tftp: the router said \"No such file\\x0d\\x0a\": usually no settings are stored under that file "
         "number\n"},
        {"another router text is in the message already", FormatRouterHint(TFTP_ERR_PEER_ERROR, "Disk full"), ""},
        {"no router text at all", FormatRouterHint(TFTP_ERR_NO_RESPONSE, ""), ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.shown, c.expected) << c.name;
}

}  // namespace
