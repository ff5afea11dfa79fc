// Bytes a router or a client controls, as a terminal will be shown them.

#include <gtest/gtest.h>

#include <string>

#include "SafeText.h"

namespace {

struct EscapeCase {
    const char* name;
    std::string input;
    std::string shown;
};

TEST(SafeText, HostileAndHarmlessTextsAreShownAsTheyShouldBe)
{
    const EscapeCase cases[] = {
        {"plain ASCII", "No such file", "No such file"},
        {"Japanese stays", "ファイルがありません", "ファイルがありません"},
        {"terminal title sequence", "\x1b]0;title\a", "\\x1b]0;title\\x07"},
        {"clear screen", "\x1b[2J", "\\x1b[2J"},
        {"forged line", "\r\nSuccess!", "\\x0d\\x0aSuccess!"},
        {"tab and DEL", "a\tb\x7f", "a\\x09b\\x7f"},
        {"NUL inside", std::string("a\0b", 3), "a\\x00b"},
        {"backslash cannot forge an escape", "\\x1b", "\\\\x1b"},
        {"C1 control (CSI) in UTF-8", "\xc2\x9b" "2J", "\\xc2\\x9b2J"},
        {"lone C1 byte", "\x9b" "2J", "\\x9b2J"},
        {"truncated Japanese", "\xe3\x83", "\\xe3\\x83"},
        {"overlong slash", "\xc0\xaf", "\\xc0\\xaf"},
        {"surrogate", "\xed\xa0\x80", "\\xed\\xa0\\x80"},
        {"above U+10FFFF", "\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},
        {"four-byte emoji stays", "\xf0\x9f\x98\x80", "\xf0\x9f\x98\x80"},
        {"NBSP stays", "a\xc2\xa0" "b", "a\xc2\xa0" "b"},
        {"empty", "", ""},
    };
    for (const EscapeCase& c : cases)
        EXPECT_EQ(EscapeForTerminal(c.input), c.shown) << c.name;
}

TEST(SafeText, NoByteBelowSpaceEverSurvives)
{
    std::string all;
    for (int b = 0; b < 256; ++b)
        all += static_cast<char>(b);
    const std::string shown = EscapeForTerminal(all);
    for (char c : shown) {
        const auto byte = static_cast<unsigned char>(c);
        EXPECT_TRUE(byte >= 0x20 && byte < 0x7F) << "byte " << int(byte) << " passed through";
    }
}

TEST(SafeText, LineBreaksAreJoinedTheWayTheTextReads)
{
    const EscapeCase cases[] = {
        {"between two Japanese characters nothing", "可能性\nがあります", "可能性があります"},
        {"Japanese punctuation runs on", "または、\nファイル", "または、ファイル"},
        {"full-width letters run on", "ＭＳ\nＰゴシック", "ＭＳＰゴシック"},
        {"between Latin words one space", "first\nsecond", "first second"},
        {"a space before the break is not doubled", "[Velnor \nClient]", "[Velnor Client]"},
        {"a space after the break is not doubled", "Velnor\n Client", "Velnor Client"},
        {"Japanese beside Latin gets a space", "再度\n[Velnor", "再度 [Velnor"},
        {"Latin beside Japanese gets a space", "LAN\nケーブル", "LAN ケーブル"},
        {"a blank line is one break", "ありません\n\n相手", "ありません相手"},
        {"a blank line between Latin", "one\n\ntwo", "one two"},
        {"router text in brackets", "ありました\n<Disk full>", "ありました <Disk full>"},
        {"leading and trailing breaks vanish", "\nabc\n", "abc"},
        {"invalid UTF-8 before the break", "\xe3\x83\nが", "\xe3\x83 が"},
        {"no break at all", "指定されたファイルが開けません", "指定されたファイルが開けません"},
        {"empty", "", ""},
    };
    for (const EscapeCase& c : cases)
        EXPECT_EQ(JoinLineBreaks(c.input), c.shown) << c.name;
}

}  // namespace
