// The unified diff of put --diff and restore --check, held against what `diff -u` prints for the same
// two files, and the form it takes on a terminal (escapes, binary files).

#include <gtest/gtest.h>

#include <QProcess>
#include <QStringList>

#include <algorithm>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "UnifiedDiff.h"

namespace {

std::vector<std::uint8_t> Bytes(const std::string& text) { return std::vector<std::uint8_t>(text.begin(), text.end()); }

// What diff -u prints for the two texts under the same labels.
std::string SystemDiff(const std::string& before, const std::string& after)
{
    testsupport::TempDir dir;
    testsupport::WriteFileBytes(dir / "a", Bytes(before));
    testsupport::WriteFileBytes(dir / "b", Bytes(after));
    QProcess diff;
    diff.start("diff", QStringList{"-u", "--label", "router A", "--label", "copy B",
                                   QString::fromStdString((dir / "a").string()),
                                   QString::fromStdString((dir / "b").string())});
    EXPECT_TRUE(diff.waitForFinished(10000));
    return diff.readAllStandardOutput().toStdString();
}

std::string Numbered(int nFrom, int nTo, const std::string& prefix = "line ")
{
    std::string text;
    for (int i = nFrom; i <= nTo; ++i)
        text += prefix + std::to_string(i) + "\n";
    return text;
}

struct DiffCase {
    const char* name;
    std::string before, after;
};

TEST(UnifiedDiffTest, PrintsWhatDiffUPrints)
{
    const std::string twenty = Numbered(1, 20);
    std::string farApart = twenty, nearTogether = twenty, twoBlocks = twenty;
    farApart.replace(farApart.find("line 2\n"), 7, "line two\n");
    farApart.replace(farApart.find("line 18\n"), 8, "line eighteen\n");
    nearTogether.replace(nearTogether.find("line 5\n"), 7, "line five\n");
    nearTogether.replace(nearTogether.find("line 12\n"), 8, "line twelve\n");  // six lines between: one hunk
    twoBlocks.replace(twoBlocks.find("line 5\n"), 7, "line five\n");
    twoBlocks.replace(twoBlocks.find("line 13\n"), 8, "line thirteen\n");  // seven between: two hunks
    const std::vector<DiffCase> cases = {
        {"one line changed", "hostname r1\ninterface lan\n", "hostname r2\ninterface lan\n"},
        {"from nothing", "", "hostname r1\nip 192.0.2.1\n"},
        {"to nothing", "hostname r1\nip 192.0.2.1\n", ""},
        {"line added at the end", Numbered(1, 8), Numbered(1, 9)},
        {"line removed at the start", Numbered(1, 8), Numbered(2, 8)},
        {"no line end at the end, before", "a\nb\nc", "a\nb\nc\n"},
        {"no line end at the end, after", "a\nb\nc\n", "a\nb\nx"},
        {"no line end on either side", "a\nb", "a\nc"},
        {"two lines swapped", "x\ny\n", "y\nx\n"},
        {"far apart: two hunks", twenty, farApart},
        {"six lines apart: one hunk", twenty, nearTogether},
        {"seven lines apart: two hunks", twenty, twoBlocks},
        {"block replaced by a longer one", Numbered(1, 10), Numbered(1, 4) + "new a\nnew b\nnew c\n" + Numbered(7, 10)},
        {"everything different", Numbered(1, 5, "old "), Numbered(1, 7, "new ")},
        {"inserted in the middle", Numbered(1, 12), Numbered(1, 6) + "inserted\n" + Numbered(7, 12)},
        {"Japanese text and CRLF", "ホスト名 r1\r\nx\r\n", "ホスト名 r2\r\nx\r\n"},
        {"repeated lines", "a\na\nb\na\na\n", "a\nb\na\nb\na\n"},
    };
    for (const DiffCase& c : cases)
        EXPECT_EQ(UnifiedDiff(c.before, c.after, "router A", "copy B"), SystemDiff(c.before, c.after)) << c.name;
}

TEST(UnifiedDiffTest, EqualBytesGiveNoDiff)
{
    EXPECT_EQ(UnifiedDiff("a\nb\n", "a\nb\n", "x", "y"), "");
    EXPECT_EQ(UnifiedDiff("", "", "x", "y"), "");
    EXPECT_EQ(DiffForTerminal("\x01\x02", "\x01\x02", "x", "y"), "");
}

TEST(UnifiedDiffTest, LargeFilesStayCorrect)
{
    // Far beyond the bound of the shortest-edit search: the whole middle is replaced, and the
    // result is still a diff that turns one file into the other.
    const std::string before = Numbered(1, 3000, "a ");
    const std::string after = Numbered(1, 3000, "b ");
    const std::string diff = UnifiedDiff(before, after, "router A", "copy B");
    EXPECT_EQ(diff.rfind("--- router A\n+++ copy B\n@@ -1,3000 +1,3000 @@\n-a 1\n", 0), 0u);
    EXPECT_NE(diff.find("\n+b 3000\n"), std::string::npos);
    EXPECT_EQ(std::count(diff.begin(), diff.end(), '\n'), 3 + 6000);
}

TEST(UnifiedDiffTest, TerminalFormEscapesAndNamesBinaryFiles)
{
    struct Case {
        const char* name;
        std::string before, after, expected;
    };
    const std::vector<Case> cases = {
        {"escape sequence in a line", "title\n", "title\x1b]0;owned\x07\n",
         "--- router A\n+++ copy B\n@@ -1 +1 @@\n-title\n+title\\x1b]0;owned\\x07\n"},
        {"NUL byte: binary", "abc\n", std::string("ab\0c\n", 5),
         "--- router A\n+++ copy B\nbinary files differ (4 bytes, 5 bytes)\n"},
        {"not UTF-8: binary", "\xff\xfe" "abc", "abc",
         "--- router A\n+++ copy B\nbinary files differ (5 bytes, 3 bytes)\n"},
        {"text to empty", "a\n", "", "--- router A\n+++ copy B\n@@ -1 +0,0 @@\n-a\n"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(DiffForTerminal(c.before, c.after, "router A", "copy B"), c.expected) << c.name;
    // Labels are text a person typed or a router's name: escaped too.
    EXPECT_EQ(DiffForTerminal("a\n", "b\n", "router\n1", "x").substr(0, 18), "--- router\\x0a1\n++");
    EXPECT_TRUE(IsDiffableText("ホスト名\tr1\r\n"));
    EXPECT_FALSE(IsDiffableText(std::string("a\0b", 3)));
    EXPECT_FALSE(IsDiffableText("\xc3"));
}

}  // namespace
