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

}  // namespace
