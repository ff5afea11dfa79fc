// A router's text as the window shows it: printable text exactly as sent, everything that would
// reshape a box as visible escapes, and long runs given places to wrap.

#include <gtest/gtest.h>

#include <QString>

#include <string>

#include "WindowText.h"

namespace {

const std::string kBreak = "\u200B";

TEST(WindowTextTest, PrintableTextStaysAndShapingBytesBecomeVisibleEscapes)
{
    struct TextCase {
        std::string bytes;
        std::string shown;
    };
    const TextCase cases[] = {
        {"Disk full", "Disk full"},
        {"ファイルが見つかりません (config2)", "ファイルが見つかりません (config2)"},
        {"", ""},
        {"C:\\flash\\x1b", "C:\\flash\\x1b"},  // a router's own backslashes are not doubled
        {"<b>bold</b> &amp;", "<b>bold</b> &amp;"},
        {"a\r\nSuccess!", "a\\x0d\\x0aSuccess!"},
        {"\x1b]0;title\a", "\\x1b]0;title\\x07"},
        {"\x1b[2J\tx\x7f", "\\x1b[2J\\x09x\\x7f"},
        {std::string("nul\0byte", 8), "nul\\x00byte"},
        {"bad \xff\xfe utf-8 \xe3\x81", "bad \\xff\\xfe utf-8 \\xe3\\x81"},
        {"c1 \xc2\x85 next line", "c1 \\xc2\\x85 next line"},
        {"a\u2028b\u2029c", "a\\xe2\\x80\\xa8b\\xe2\\x80\\xa9c"},
        {"abc\u202Eevil\u202C \u2067x\u2069", "abc\\xe2\\x80\\xaeevil\\xe2\\x80\\xac \\xe2\\x81\\xa7x\\xe2\\x81\\xa9"},
    };
    for (const TextCase& c : cases) {
        SCOPED_TRACE(c.bytes);
        EXPECT_EQ(RouterTextForWindow(c.bytes), c.shown);
    }
}

TEST(WindowTextTest, LongRunsWithoutABreakGetOneEveryRunLength)
{
    const std::string run32(32, 'A');
    struct RunCase {
        std::string bytes;
        std::string shown;
    };
    const RunCase cases[] = {
        {run32, run32},
        {run32 + "B", run32 + kBreak + "B"},
        {std::string(70, 'A'), run32 + kBreak + run32 + kBreak + "AAAAAA"},
        // Spaces already give places to break: the run starts again after each.
        {run32 + " " + run32, run32 + " " + run32},
        // Japanese breaks between any two characters: nothing is added.
        {[] { std::string s; for (int i = 0; i < 40; ++i) s += "名"; return s; }(),
         [] { std::string s; for (int i = 0; i < 40; ++i) s += "名"; return s; }()},
        // A letter outside the basic plane is one character and is never split.
        {std::string(31, 'A') + "\U0001D400B", std::string(31, 'A') + "\U0001D400" + kBreak + "B"},
        {run32 + "\U0001D400", run32 + kBreak + "\U0001D400"},
    };
    for (const RunCase& c : cases) {
        SCOPED_TRACE(c.bytes);
        EXPECT_EQ(RouterTextForWindow(c.bytes), c.shown);
    }
}

}  // namespace
