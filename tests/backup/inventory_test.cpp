// The router list of `velnor-tftp backup`: what a list means, and every way a list is refused with the
// line that is at fault.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

#include "Inventory.h"
#include "TestSupport.h"

namespace {

std::vector<int> LinesOf(const Inventory& inventory)
{
    std::vector<int> lines;
    for (const InventoryProblem& problem : inventory.problems)
        lines.push_back(problem.nLine);
    return lines;
}

std::string AllProblems(const Inventory& inventory)
{
    return FormatInventoryProblems("list.csv", inventory.problems);
}

TEST(InventoryTest, ColumnsInAnyOrderWithCommentsQuotesAndDefaults)
{
    const Inventory inventory = ParseInventory("\xEF\xBB\xBF# fleet of the second floor\r\n"
                                               "state, Address ,name,file_number,password_file\r\n"
                                               "\r\n"
                                               ",192.0.2.1,core-1,,\r\n"
                                               "  # a comment after blanks\n"
                                               "down,010.0.0.7,edge_2.b,4,\"pw, with comma\"\n"
                                               "UP , 192.0.2.3 , r3 , 0 , \"say \"\"hi\"\"\"\n");
    ASSERT_TRUE(inventory.problems.empty()) << AllProblems(inventory);
    ASSERT_EQ(inventory.rows.size(), 3u);

    const InventoryRow& first = inventory.rows[0];
    EXPECT_EQ(first.nLine, 4);
    EXPECT_EQ(first.strName, "core-1");
    EXPECT_EQ(first.strAddress, "192.0.2.1");
    EXPECT_FALSE(first.fileNumber);  // the router's default file, not "0"
    EXPECT_FALSE(first.passwordFile);
    EXPECT_FALSE(first.bDown);

    const InventoryRow& second = inventory.rows[1];
    EXPECT_EQ(second.nLine, 6);
    EXPECT_EQ(second.strName, "edge_2.b");
    EXPECT_EQ(second.strAddress, "010.0.0.7");  // kept as typed, the window's rule reads it as ten
    EXPECT_EQ(second.fileNumber, "4");
    EXPECT_EQ(second.passwordFile, "pw, with comma");
    EXPECT_TRUE(second.bDown);

    const InventoryRow& third = inventory.rows[2];
    EXPECT_EQ(third.nLine, 7);
    EXPECT_EQ(third.strAddress, "192.0.2.3");
    EXPECT_EQ(third.fileNumber, "0");
    EXPECT_EQ(third.passwordFile, "say \"hi\"");
    EXPECT_FALSE(third.bDown);
}

TEST(InventoryTest, OnlyTheRequiredColumnsAndNoRows)
{
    Inventory inventory = ParseInventory("address,name\n192.0.2.9,r9");
    ASSERT_TRUE(inventory.problems.empty()) << AllProblems(inventory);
    ASSERT_EQ(inventory.rows.size(), 1u);
    EXPECT_EQ(inventory.rows[0].strName, "r9");

    inventory = ParseInventory("name,address\n# nothing yet\n");
    EXPECT_TRUE(inventory.problems.empty()) << AllProblems(inventory);
    EXPECT_TRUE(inventory.rows.empty());
}

struct BadListCase {
    const char* title;
    std::string text;
    std::vector<int> lines;  // every line at fault, in order
    const char* words;       // in the report
};

class BadInventoryTest : public ::testing::TestWithParam<BadListCase> {};

TEST_P(BadInventoryTest, RefusedWithEveryLineAtFault)
{
    const BadListCase& c = GetParam();
    const Inventory inventory = ParseInventory(c.text);
    EXPECT_EQ(LinesOf(inventory), c.lines) << AllProblems(inventory);
    EXPECT_NE(AllProblems(inventory).find(c.words), std::string::npos) << AllProblems(inventory);
}

const std::string kLongName(65, 'a');
const std::string kLongestName(64, 'a');
const std::string kHugeShown = "\"" + std::string(64, '9') + "...\" (1048576 bytes)";

INSTANTIATE_TEST_SUITE_P(
    Lists, BadInventoryTest,
    ::testing::Values(
        BadListCase{"Empty", "", {0}, "list.csv: no header row"},
        BadListCase{"OnlyComments", "# a\n\n   \n# b\n", {0}, "no header row"},
        BadListCase{"NoAddressColumn", "# x\nname,file_number\nr1,1\n", {2}, "no column \"address\""},
        BadListCase{"NoNameColumn", "address\n192.0.2.1\n", {1}, "no column \"name\""},
        BadListCase{"UnknownColumnIsATypoNotIgnored", "name,address,passwd_file\nr1,192.0.2.1,pw\n", {1},
                    "unknown column \"passwd_file\""},
        BadListCase{"ColumnTwice", "name,address,name\n", {1}, "column \"name\" appears twice"},
        BadListCase{"BrokenHeaderQuote", "\"name,address\n", {1}, "no closing quote"},
        BadListCase{"TooFewFields", "name,address,state\nr1,192.0.2.1\n", {2}, "2 fields where the header has 3"},
        BadListCase{"TooManyFields", "name,address\nr1,192.0.2.1,down\n", {2}, "list.csv:2: 3 fields"},
        BadListCase{"UnclosedQuote", "name,address\n\"r1,192.0.2.1\n", {2}, "no closing quote"},
        BadListCase{"TextAfterQuote", "name,address\n\"r1\"x,192.0.2.1\n", {2}, "after a closing quote"},
        BadListCase{"QuoteInsideField", "name,address\nr\"1,192.0.2.1\n", {2}, "quote inside"},
        BadListCase{"EmptyName", "name,address\n,192.0.2.1\n", {2}, "name is empty"},
        BadListCase{"NameWithSlash", "name,address\n../etc/passwd,192.0.2.1\n", {2}, "only letters, digits"},
        BadListCase{"NameWithSpace", "name,address\n\"core 1\",192.0.2.1\n", {2}, "only letters"},
        BadListCase{"NameDotDot", "name,address\n..,192.0.2.1\n", {2}, "only letters"},
        BadListCase{"NameNotAscii", "name,address\nルータ,192.0.2.1\n", {2}, "only letters"},
        BadListCase{"NameWithEscapeShownSafely", "name,address\na\x1b[2Jb,192.0.2.1\n", {2}, "a\\x1b[2Jb"},
        BadListCase{"NameTooLong", "name,address\n" + kLongName + ",192.0.2.1\n", {2},
                    "longer than 64 characters"},
        BadListCase{"DuplicateName", "name,address\nr1,192.0.2.1\nr2,192.0.2.2\nr1,192.0.2.3\n", {4},
                    "already used on line 2"},
        BadListCase{"DuplicateNameInAnotherCase", "name,address\nCore,192.0.2.1\ncore,192.0.2.2\n", {3},
                    "already used on line 2"},
        BadListCase{"AddressGroupOver255", "name,address\nr1,192.0.2.256\n", {2}, "invalid router address"},
        BadListCase{"AddressName", "name,address\nr1,router.example\n", {2}, "\"router.example\""},
        BadListCase{"AddressEmpty", "name,address\nr1,\n", {2}, "invalid router address \"\""},
        BadListCase{"AddressThisHost", "name,address\nr1,0.0.0.0\n", {2}, "\"0.0.0.0\" names no single router"},
        BadListCase{"AddressEveryHost", "name,address\nr1,255.255.255.255\n", {2}, "names no single router"},
        BadListCase{"AddressMulticastFirst", "name,address\nr1,224.0.0.1\n", {2}, "names no single router"},
        BadListCase{"AddressMulticastLast", "name,address\nr1,239.255.255.255\n", {2}, "names no single router"},
        BadListCase{"HugeFieldCut", "name,address\nr1," + std::string(1 << 20, '9') + "\n", {2}, kHugeShown.c_str()},
        BadListCase{"FileNumberFive", "name,address,file_number\nr1,192.0.2.1,5\n", {2}, "use 0 to 4"},
        BadListCase{"FileNumberTwoDigits", "name,address,file_number\nr1,192.0.2.1,02\n", {2}, "\"02\""},
        BadListCase{"FileNumberSigned", "name,address,file_number\nr1,192.0.2.1,+1\n", {2}, "\"+1\""},
        BadListCase{"StateUnknown", "name,address,state\nr1,192.0.2.1,off\n", {2}, "use up or down"},
        BadListCase{"EveryBadLineNamedOnce",
                    "name,address,file_number\n"
                    "good,192.0.2.1,\n"
                    "bad name,192.0.2.2,\n"
                    "# fine\n"
                    "r3,192.0.2.999,7\n"
                    "good,192.0.2.4,1\n",
                    {3, 5, 5, 6},
                    "list.csv:5: invalid file number"}),
    [](const ::testing::TestParamInfo<BadListCase>& info) { return std::string(info.param.title); });

TEST(InventoryTest, NamesUpToTheirLimit)
{
    EXPECT_TRUE(IsValidInventoryName(kLongestName));
    EXPECT_FALSE(IsValidInventoryName(kLongName));
    for (const char* name : {"a", "R-1", "core.site_2", ".hidden", "..."})
        EXPECT_TRUE(IsValidInventoryName(name)) << name;
    for (const char* name : {"", ".", "..", "a/b", "a\\b", "a:b", "a b", "é"})
        EXPECT_FALSE(IsValidInventoryName(name)) << name;
}

// Password files: beside the list, once per file, the default for the rest, and every failure on the
// line of the row that needs it.
class InventoryFileTest : public ::testing::Test {
protected:
    void Write(const std::string& name, const std::string& text)
    {
        testsupport::WriteFileBytes(m_dir / name, std::vector<std::uint8_t>(text.begin(), text.end()));
    }
    testsupport::TempDir m_dir;
};

TEST_F(InventoryFileTest, PasswordsRelativeToTheListAndTheDefaultForTheRest)
{
    std::filesystem::create_directory(m_dir / "pw");
    Write("pw/core", "core-secret\r\n");
    Write("shared", "everyone\n");
    Write("list.csv", "name,address,password_file\n"
                      "core,192.0.2.1,pw/core\n"
                      "edge,192.0.2.2,\n"
                      "lab,192.0.2.3," + (m_dir / "pw/core").string() + "\n");
    // An absolute password file (line 4) only when the option allows it.
    const Inventory inventory = LoadInventory(m_dir / "list.csv", (m_dir / "shared").string(), true);
    ASSERT_TRUE(inventory.problems.empty()) << AllProblems(inventory);
    ASSERT_EQ(inventory.rows.size(), 3u);
    EXPECT_EQ(inventory.rows[0].strPassword, "core-secret");  // one line end taken off, as velnor-tftp does
    EXPECT_EQ(inventory.rows[1].strPassword, "everyone");
    EXPECT_EQ(inventory.rows[2].strPassword, "core-secret");

    const Inventory without = LoadInventory(m_dir / "list.csv", std::nullopt, true);
    ASSERT_TRUE(without.problems.empty()) << AllProblems(without);
    EXPECT_EQ(without.rows[1].strPassword, "");
}

TEST_F(InventoryFileTest, UnreadableListOrPasswordFilesRefusedOnTheirLines)
{
    EXPECT_EQ(LinesOf(LoadInventory(m_dir / "missing.csv", std::nullopt)), std::vector<int>{0});
    EXPECT_EQ(LinesOf(LoadInventory(m_dir.Path(), std::nullopt)), std::vector<int>{0});  // a folder

    std::filesystem::create_directory(m_dir / "folder");
    Write("long", std::string(33, 'x'));
    Write("list.csv", "name,address,password_file,state\n"
                      "a,192.0.2.1,missing,\n"
                      "b,192.0.2.2,folder,\n"
                      "c,192.0.2.3,long,down\n"
                      "d,192.0.2.4,,\n"
                      "e,300.0.0.1,missing,\n");
    const Inventory inventory = LoadInventory(m_dir / "list.csv", (m_dir / "nodefault").string());
    // The bad address of line 6 is reported once: its row is not read further.
    EXPECT_EQ(LinesOf(inventory), (std::vector<int>{2, 3, 4, 5, 6})) << AllProblems(inventory);
    const std::string report = FormatInventoryProblems("list.csv", inventory.problems);
    EXPECT_NE(report.find("list.csv:2: cannot read the password file \"missing\""), std::string::npos) << report;
    EXPECT_NE(report.find("list.csv:4: the password file \"long\" holds more than 32 bytes"), std::string::npos)
        << report;
    EXPECT_NE(report.find("list.csv:5: cannot read the password file"), std::string::npos) << report;
}

// The rows' password files are read by the very rules of velnor-tftp --password-file, each refusal on
// the line of the row that needs the file, before anything is sent.
struct PasswordFileCase {
    const char* title;
    std::string content;  // of pw; unused when file is given
    const char* file;     // the row's password_file; nullptr: pw
    const char* words;    // of the refusal of line 2; nullptr: accepted
};

class InventoryPasswordTest : public InventoryFileTest, public ::testing::WithParamInterface<PasswordFileCase> {};

TEST_P(InventoryPasswordTest, RefusedByTheConsolesRules)
{
    const PasswordFileCase& c = GetParam();
    Write("pw", c.content);
    ::chmod((m_dir / "pw").c_str(), 0600);
    Write("list.csv", std::string("name,address,password_file\nr1,192.0.2.1,") + (c.file ? c.file : "pw") + "\n");
    const Inventory inventory = LoadInventory(m_dir / "list.csv", std::nullopt, true);
    if (!c.words) {
        EXPECT_TRUE(inventory.problems.empty()) << AllProblems(inventory);
        return;
    }
    EXPECT_EQ(LinesOf(inventory), std::vector<int>{2});
    EXPECT_EQ(AllProblems(inventory).rfind("list.csv:2: ", 0), 0u) << AllProblems(inventory);
    EXPECT_NE(AllProblems(inventory).find(c.words), std::string::npos) << AllProblems(inventory);
}

INSTANTIATE_TEST_SUITE_P(
    Files, InventoryPasswordTest,
    ::testing::Values(PasswordFileCase{"Empty", "", nullptr, "the password file \"pw\" is empty"},
                      PasswordFileCase{"OnlyANewline", "\n", nullptr, "the password file \"pw\" is empty"},
                      PasswordFileCase{"EndlessDevice", "", "/dev/zero", "holds more than 32 bytes"},
                      PasswordFileCase{"ZeroByte", std::string("se\0cret", 7), nullptr, "holds a zero byte"},
                      PasswordFileCase{"ALineEndTakenOff", "secret\r\n", nullptr, nullptr},
                      PasswordFileCase{"ThirtyTwoBytes", std::string(32, 'p'), nullptr, nullptr}),
    [](const ::testing::TestParamInfo<PasswordFileCase>& info) { return std::string(info.param.title); });

TEST_F(InventoryFileTest, PasswordFilesStayWithinTheListsFolderUnlessAllowed)
{
    std::filesystem::create_directory(m_dir / "lists");
    std::filesystem::create_directory(m_dir / "lists" / "pw");
    Write("outside", "secret");
    Write("lists/pw/ok", "secret");
    std::filesystem::create_symlink(m_dir / "outside", m_dir / "lists" / "pw" / "link");
    Write("lists/list.csv", "name,address,password_file\n"
                            "a,192.0.2.1," + (m_dir / "outside").string() + "\n"
                            "b,192.0.2.2,../outside\n"
                            "c,192.0.2.3,pw/../../outside\n"
                            "d,192.0.2.4,pw/link\n"
                            "e,192.0.2.5,pw/ok\n"
                            "f,192.0.2.6,./pw/ok\n");
    const Inventory refused = LoadInventory(m_dir / "lists" / "list.csv", std::nullopt);
    EXPECT_EQ(LinesOf(refused), (std::vector<int>{2, 3, 4, 5})) << AllProblems(refused);
    EXPECT_NE(AllProblems(refused).find("list.csv:3: the password file \"../outside\" is not within the list's folder"),
              std::string::npos)
        << AllProblems(refused);
    const Inventory allowed = LoadInventory(m_dir / "lists" / "list.csv", std::nullopt, true);
    EXPECT_TRUE(allowed.problems.empty()) << AllProblems(allowed);
    for (const InventoryRow& row : allowed.rows)
        EXPECT_EQ(row.strPassword, "secret") << row.strName;
}

TEST_F(InventoryFileTest, AReadablePasswordFileIsAWarningOnceOnItsFirstLine)
{
    Write("pw", "secret\n");
    ::chmod((m_dir / "pw").c_str(), 0640);
    Write("list.csv", "name,address,password_file\n# two rows share it\nr1,192.0.2.1,pw\nr2,192.0.2.2,pw\n");
    const Inventory inventory = LoadInventory(m_dir / "list.csv", std::nullopt);
    EXPECT_TRUE(inventory.problems.empty()) << AllProblems(inventory);
    ASSERT_EQ(inventory.warnings.size(), 1u);
    EXPECT_EQ(inventory.warnings[0].nLine, 3);
    EXPECT_NE(inventory.warnings[0].strText.find("can be read by other users"), std::string::npos);
}

TEST_F(InventoryFileTest, TheListItselfIsReadWithABoundAndItsReasonTold)
{
    const struct {
        std::filesystem::path path;
        const char* words;
    } cases[] = {{"/dev/zero", "it is larger than 16 MiB"},
                 {m_dir / "missing.csv", "No such file or directory"},
                 {m_dir.Path(), "it is a folder"}};
    for (const auto& c : cases) {
        const Inventory inventory = LoadInventory(c.path, std::nullopt);
        ASSERT_EQ(inventory.problems.size(), 1u) << c.path;
        EXPECT_EQ(inventory.problems[0].nLine, 0);
        EXPECT_NE(inventory.problems[0].strText.find(std::string("cannot read the inventory: ") + c.words),
                  std::string::npos)
            << inventory.problems[0].strText;
    }
}

}  // namespace
