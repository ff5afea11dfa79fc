#include <gtest/gtest.h>

#include "CliOptions.h"
#include "ResultMessages.h"
#include "Texts.h"

namespace {

using Args = std::vector<std::string>;

TEST(CliOptionsTest, CommandsAndOptionsInAnyOrder)
{
    struct Case {
        Args args;
        CliOperation operation;
        std::optional<std::string> number, password, passwordFile;
        bool bQuiet;
    };
    const Case cases[] = {
        {{"get", "192.168.0.1", "c.txt"}, CliOperation::Get, {}, {}, {}, false},
        {{"put", "192.168.0.1", "c.txt", "-n", "3"}, CliOperation::Put, "3", {}, {}, false},
        {{"-q", "revup", "-n1", "10.0.0.1", "fw.bin"}, CliOperation::Revup, "1", {}, {}, true},
        {{"get", "--file-number=4", "--password", "pw", "1.2.3.4", "x"}, CliOperation::Get, "4", "pw", {}, false},
        {{"get", "--file-number", "0", "-ppw", "1.2.3.4", "x"}, CliOperation::Get, "0", "pw", {}, false},
        {{"get", "--password=", "1.2.3.4", "x"}, CliOperation::Get, {}, "", {}, false},
        {{"get", "--password-file", "-", "1.2.3.4", "x"}, CliOperation::Get, {}, {}, "-", false},
        {{"--quiet", "get", "--password-file=pw.txt", "1.2.3.4", "x"}, CliOperation::Get, {}, {}, "pw.txt", true},
        // A password that starts with a dash is still the option's value.
        {{"get", "-p", "-secret", "1.2.3.4", "x"}, CliOperation::Get, {}, "-secret", {}, false},
        // After "--" everything is positional: a local file may start with a dash.
        {{"get", "--", "1.2.3.4", "-odd-name"}, CliOperation::Get, {}, {}, {}, false},
    };
    for (const Case& c : cases) {
        const CliParseResult r = ParseCommandLine(c.args);
        ASSERT_EQ(r.action, CliAction::Run) << r.strError;
        EXPECT_EQ(r.options.operation, c.operation);
        EXPECT_EQ(r.options.fileNumber, c.number);
        EXPECT_EQ(r.options.password, c.password);
        EXPECT_EQ(r.options.passwordFile, c.passwordFile);
        EXPECT_EQ(r.options.bQuiet, c.bQuiet);
    }
    EXPECT_EQ(ParseCommandLine({"get", "--", "1.2.3.4", "-odd-name"}).options.strLocalPath, "-odd-name");
    EXPECT_EQ(ParseCommandLine({"put", "1.2.3.4", "dir/c.txt"}).options.strRouter, "1.2.3.4");
}

TEST(CliOptionsTest, HelpAndVersionWinOverEverythingElse)
{
    EXPECT_EQ(ParseCommandLine({"-h"}).action, CliAction::Help);
    EXPECT_EQ(ParseCommandLine({"get", "--help"}).action, CliAction::Help);
    EXPECT_EQ(ParseCommandLine({"--version"}).action, CliAction::Version);
    EXPECT_EQ(ParseCommandLine({"bogus", "--version"}).action, CliAction::Version);
    EXPECT_EQ(ParseCommandLine({"-V"}).action, CliAction::Version);
    EXPECT_EQ(VersionText(), "velnor-tftp 1.21\n");
}

TEST(CliOptionsTest, ScriptingOptionsAndTheirValues)
{
    struct Case {
        Args args;
        bool bJson, bVerbose, bIfChanged, bCheck;
        std::optional<std::string> trace;
        int nTimeout, nRomTimeout;
    };
    const Case cases[] = {
        {{"get", "1.2.3.4", "x"}, false, false, false, false, {}, 5, 180},
        {{"put", "--json", "-v", "--if-changed", "--check", "1.2.3.4", "x"}, true, true, true, true, {}, 5, 180},
        {{"get", "--verbose", "--trace", "t.log", "1.2.3.4", "x"}, false, true, false, false, "t.log", 5, 180},
        {{"get", "--trace=t.log", "--timeout", "1", "1.2.3.4", "x"}, false, false, false, false, "t.log", 1, 180},
        {{"revup", "--timeout=60", "--rom-timeout", "10", "1.2.3.4", "x"}, false, false, false, false, {}, 60, 10},
        {{"revup", "--rom-timeout=3600", "1.2.3.4", "x"}, false, false, false, false, {}, 5, 3600},
        // Standard streams: get to standard output, put from standard input.
        {{"get", "1.2.3.4", "-"}, false, false, false, false, {}, 5, 180},
        {{"put", "--json", "--password-file", "pw", "1.2.3.4", "-"}, true, false, false, false, {}, 5, 180},
        {{"get", "--json", "--password-file", "-", "1.2.3.4", "x"}, true, false, false, false, {}, 5, 180},
    };
    for (const Case& c : cases) {
        const CliParseResult r = ParseCommandLine(c.args);
        ASSERT_EQ(r.action, CliAction::Run) << ::testing::PrintToString(c.args) << ": " << r.strError;
        EXPECT_EQ(r.options.bJson, c.bJson);
        EXPECT_EQ(r.options.bVerbose, c.bVerbose);
        EXPECT_EQ(r.options.bIfChanged, c.bIfChanged);
        EXPECT_EQ(r.options.bCheck, c.bCheck);
        EXPECT_EQ(r.options.tracePath, c.trace);
        EXPECT_EQ(r.options.nTimeoutSeconds, c.nTimeout);
        EXPECT_EQ(r.options.nRomTimeoutSeconds, c.nRomTimeout);
    }
}

TEST(CliOptionsTest, BadValuesOfTheScriptingOptionsAreRefusedWithTheirReason)
{
    struct Case {
        Args args;
        const char* reason;  // a part of the message
    };
    const Case cases[] = {
        {{"get", "--timeout", "1.2.3.4", "x"}, "--timeout"},  // the address taken as the value
        {{"get", "1.2.3.4", "x", "--timeout"}, "--timeout"},
        {{"get", "--timeout=", "1.2.3.4", "x"}, "--timeout"},
        {{"get", "--timeout", "0", "1.2.3.4", "x"}, "1 to 60"},
        {{"get", "--timeout", "61", "1.2.3.4", "x"}, "1 to 60"},
        {{"get", "--timeout", "2.5", "1.2.3.4", "x"}, "whole seconds"},
        {{"get", "--timeout", "+5", "1.2.3.4", "x"}, "whole seconds"},
        {{"get", "--timeout", "5s", "1.2.3.4", "x"}, "whole seconds"},
        {{"get", "--timeout", "99999999999999999999", "1.2.3.4", "x"}, "1 to 60"},
        {{"revup", "--rom-timeout", "9", "1.2.3.4", "x"}, "10 to 3600"},
        {{"revup", "--rom-timeout", "3601", "1.2.3.4", "x"}, "10 to 3600"},
        {{"revup", "--rom-timeout", "-1", "1.2.3.4", "x"}, "10 to 3600"},
        {{"get", "--json", "--json", "1.2.3.4", "x"}, "twice"},
        {{"get", "--trace", "1.2.3.4", "x"}, "two arguments"},  // the address taken as the file name
        {{"get", "1.2.3.4", "x", "--trace"}, "--trace"},
        {{"get", "--trace=", "1.2.3.4", "x"}, "--trace"},
        {{"get", "--trace", "-", "1.2.3.4", "x"}, "-v"},
        {{"get", "--trace", "x", "1.2.3.4", "./x"}, "same file"},
        {{"get", "--trace", "pw", "--password-file", "pw", "1.2.3.4", "x"}, "same file"},
        {{"get", "--if-changed", "1.2.3.4", "x"}, "put only"},
        {{"revup", "--if-changed", "1.2.3.4", "x"}, "put only"},
        {{"put", "--password-file", "-", "1.2.3.4", "-"}, "standard input"},
        {{"revup", "--password-file=-", "1.2.3.4", "-"}, "standard input"},
        {{"get", "--json", "1.2.3.4", "-"}, "standard output"},
        // Every command is listed, the backup included.
        {{}, "missing command: get, put, revup or backup"},
        {{"-q"}, "missing command: get, put, revup or backup"},
        {{"fetch", "1.2.3.4", "x"}, "unknown command fetch (get, put, revup or backup)"},
    };
    for (const Case& c : cases) {
        const CliParseResult r = ParseCommandLine(c.args);
        EXPECT_EQ(r.action, CliAction::UsageError) << ::testing::PrintToString(c.args);
        EXPECT_NE(r.strError.find(c.reason), std::string::npos) << ::testing::PrintToString(c.args) << ": " << r.strError;
    }
}

TEST(CliOptionsTest, ARefusedCommandLineStillKnowsWhetherItOwesAJsonLine)
{
    EXPECT_TRUE(WantsJson({"get", "--json", "--timeout", "0", "1.2.3.4", "x"}));
    EXPECT_TRUE(WantsJson({"--json", "--json"}));
    EXPECT_FALSE(WantsJson({"get", "1.2.3.4", "x"}));
    // After "--" it is a file name.
    EXPECT_FALSE(WantsJson({"get", "1.2.3.4", "--", "--json"}));
    // What the refused line seems to name, for the JSON line to tell.
    struct Case {
        Args args;
        bool bKnown;
        CliOperation operation;
        std::string router, file;
    };
    const Case cases[] = {
        {{"put", "--json", "--if-changed", "1.2.3.4"}, true, CliOperation::Put, "1.2.3.4", ""},
        {{"revup", "--timeout", "0", "-p", "x", "1.2.3.4", "fw.bin"}, true, CliOperation::Revup, "1.2.3.4", "fw.bin"},
        {{"--bogus", "get", "-n", "9", "--", "1.2.3.4", "-x"}, true, CliOperation::Get, "1.2.3.4", "-x"},
        {{"--timeout=0", "put", "1.2.3.4", "c.txt"}, true, CliOperation::Put, "1.2.3.4", "c.txt"},
        {{"--bogus", "fetch", "1.2.3.4", "x"}, false, CliOperation::Get, "", ""},
    };
    for (const Case& c : cases) {
        const CliParseResult r = ParseCommandLine(c.args);
        EXPECT_EQ(r.action, CliAction::UsageError) << ::testing::PrintToString(c.args);
        EXPECT_EQ(r.bCommandKnown, c.bKnown) << ::testing::PrintToString(c.args);
        if (c.bKnown) {
            EXPECT_EQ(r.options.operation, c.operation);
            EXPECT_EQ(r.options.strRouter, c.router);
            EXPECT_EQ(r.options.strLocalPath, c.file);
        }
    }
}

TEST(CliOptionsTest, MistakesAreUsageErrorsWithAReason)
{
    const Args cases[] = {
        {},
        {"fetch", "1.2.3.4", "x"},
        {"get"},
        {"get", "1.2.3.4"},
        {"get", "1.2.3.4", "x", "y"},
        {"get", "1.2.3.4", ""},
        {"get", "1.2.3.4", "x", "-n"},
        {"get", "1.2.3.4", "x", "--password"},
        {"get", "1.2.3.4", "x", "--password-file"},
        {"get", "1.2.3.4", "x", "--password-file="},
        {"get", "1.2.3.4", "x", "--verbosity"},
        {"get", "1.2.3.4", "x", "-p", "a", "--password-file", "f"},
    };
    for (const Args& args : cases) {
        const CliParseResult r = ParseCommandLine(args);
        EXPECT_EQ(r.action, CliAction::UsageError) << ::testing::PrintToString(args);
        EXPECT_FALSE(r.strError.empty());
    }
}

TEST(CliOptionsTest, PasswordFileLosesOneLineEndOnly)
{
    EXPECT_EQ(StripOneNewline("pw\n"), "pw");
    EXPECT_EQ(StripOneNewline("pw\r\n"), "pw");
    EXPECT_EQ(StripOneNewline("pw\n\n"), "pw\n");
    EXPECT_EQ(StripOneNewline("pw"), "pw");
    EXPECT_EQ(StripOneNewline(" pw \n"), " pw ");
    EXPECT_EQ(StripOneNewline("\n"), "");
    EXPECT_EQ(StripOneNewline(""), "");
}

CliOptions Options(CliOperation operation, std::string router, std::optional<std::string> number = {})
{
    CliOptions o;
    o.operation = operation;
    o.strRouter = std::move(router);
    o.strLocalPath = "x";
    o.fileNumber = std::move(number);
    return o;
}

TEST(CliOptionsTest, ChecksInTheWindowsOrder)
{
    // The address first, even when the password is too long as well.
    auto e = ValidateInput(Options(CliOperation::Get, "1.2.3"), std::string(40, 'p'));
    ASSERT_TRUE(e);
    EXPECT_EQ(e->strMessage, kInvalidRouterAddress);
    EXPECT_FALSE(e->nCode);

    e = ValidateInput(Options(CliOperation::Get, "1.2.3.4", "9"), std::string(33, 'p'));
    ASSERT_TRUE(e);
    EXPECT_EQ(e->strMessage, LookupResultMessage(TFTP_ERR_BAD_PASSWORD));
    EXPECT_EQ(e->nCode, TFTP_ERR_BAD_PASSWORD);

    EXPECT_FALSE(ValidateInput(Options(CliOperation::Get, "1.2.3.4"), std::string(32, 'p')));
    // 32 bytes, not 32 characters: eleven three-byte characters are 33 bytes.
    std::string wide;
    for (int i = 0; i < 11; ++i)
        wide += "パ";
    EXPECT_TRUE(ValidateInput(Options(CliOperation::Get, "1.2.3.4"), wide));
}

TEST(CliOptionsTest, FileNumberRangeDependsOnTheOperation)
{
    struct Case {
        CliOperation operation;
        const char* number;
        bool bValid;
    };
    const Case cases[] = {
        {CliOperation::Get, "0", true},   {CliOperation::Get, "4", true},    {CliOperation::Get, "5", false},
        {CliOperation::Put, "4", true},   {CliOperation::Put, "5", false},   {CliOperation::Revup, "0", true},
        {CliOperation::Revup, "1", true}, {CliOperation::Revup, "2", false}, {CliOperation::Get, "", false},
        {CliOperation::Get, "02", false}, {CliOperation::Get, "+1", false},  {CliOperation::Get, "-1", false},
        {CliOperation::Get, "1x", false}, {CliOperation::Get, " 1", false},  {CliOperation::Revup, "10", false},
    };
    for (const Case& c : cases) {
        const auto e = ValidateInput(Options(c.operation, "192.168.0.1", c.number), "");
        EXPECT_EQ(!e.has_value(), c.bValid) << "'" << c.number << "'";
        if (e) {
            EXPECT_NE(e->strMessage.find(c.number), std::string::npos) << e->strMessage;
        }
    }
    EXPECT_FALSE(ValidateInput(Options(CliOperation::Get, "010.1.1.1"), ""));  // the window's rule allows it
    // The number is echoed as typed, but never a control byte of it.
    const auto e = ValidateInput(Options(CliOperation::Get, "192.168.0.1", "\x1b[2J"), "");
    ASSERT_TRUE(e);
    EXPECT_NE(e->strMessage.find("\"\\x1b[2J\""), std::string::npos) << e->strMessage;
}

TEST(CliOptionsTest, RequestCarriesTheOperationNumberAndPassword)
{
    CliOptions o = Options(CliOperation::Get, "192.0.2.1", "2");
    TransferRequest r = MakeRequest(o, "pw");
    EXPECT_EQ(r.nDirection, DIRECTION_RECEIVE);
    EXPECT_EQ(r.nFileKind, FILE_KIND_CONFIG);
    EXPECT_EQ(r.strRouter, "192.0.2.1");
    EXPECT_EQ(r.strFileNumber, "2");
    EXPECT_EQ(r.strPassword, "pw");

    r = MakeRequest(Options(CliOperation::Put, "192.0.2.1"), "");
    EXPECT_EQ(r.nDirection, DIRECTION_SEND);
    EXPECT_EQ(r.nFileKind, FILE_KIND_CONFIG);
    EXPECT_EQ(r.strFileNumber, "");

    r = MakeRequest(Options(CliOperation::Revup, "192.0.2.1", "1"), "pw");
    EXPECT_EQ(r.nDirection, DIRECTION_SEND);
    EXPECT_EQ(r.nFileKind, FILE_KIND_FIRMWARE);
    EXPECT_EQ(r.strFileNumber, "1");
}

}  // namespace

// The "--name=value" form of every command's long options: split at the first '=' only, and only for
// a long option; a short option or a plain argument keeps its '=' as part of itself.
TEST(SplitLongOptionTest, SplitsOnlyALongOptionAtItsFirstEqualsSign)
{
    struct Case {
        const char* arg;
        const char* name;
        std::optional<std::string> value;
    };
    const Case cases[] = {
        {"--out=/srv/conf", "--out", "/srv/conf"},
        {"--out=", "--out", ""},
        {"--hook=a=b", "--hook", "a=b"},
        {"--out", "--out", std::nullopt},
        {"-n=1", "-n=1", std::nullopt},
        {"name=x", "name=x", std::nullopt},
        {"", "", std::nullopt},
    };
    for (const Case& c : cases) {
        const SplitOption split = SplitLongOption(c.arg);
        EXPECT_EQ(split.name, c.name) << c.arg;
        EXPECT_EQ(split.value, c.value) << c.arg;
    }
}
