#include "CliOptions.h"

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <utility>
#include <string_view>

#include "Operations.h"
#include "ResultMessages.h"
#include "RouterAddress.h"
#include "SafeText.h"
#include "StringTable.h"
#include "Texts.h"

namespace {

const OperationRule& RuleOf(CliOperation operation)
{
    switch (operation) {
    case CliOperation::Get:
        return OperationRuleOf(Operation::GetConfig);
    case CliOperation::Put:
        return OperationRuleOf(Operation::PutConfig);
    case CliOperation::Revup:
        break;
    }
    return OperationRuleOf(Operation::RevisionUp);
}

// "--name=value" or "--name value"; "-n value" or "-nvalue".
struct OptionValue {
    bool bMatched = false;
    bool bMissing = false;
    std::string value;
};

OptionValue TakeValue(const std::vector<std::string>& args, std::size_t& i, std::string_view shortName,
                      std::string_view longName)
{
    OptionValue result;
    const std::string& arg = args[i];
    auto takeNext = [&] {
        if (i + 1 < args.size()) {
            result.value = args[++i];
        } else {
            result.bMissing = true;
        }
    };
    if (!shortName.empty() && arg == shortName) {
        result.bMatched = true;
        takeNext();
    } else if (!shortName.empty() && arg.size() > shortName.size() && arg.compare(0, shortName.size(), shortName) == 0
               && shortName.size() == 2) {
        result.bMatched = true;
        result.value = arg.substr(2);
    } else if (arg == longName) {
        result.bMatched = true;
        takeNext();
    } else if (arg.size() > longName.size() && arg.compare(0, longName.size(), longName) == 0
               && arg[longName.size()] == '=') {
        result.bMatched = true;
        result.value = arg.substr(longName.size() + 1);
    }
    return result;
}

// The same file named twice, as far as the names tell without looking at the disk.
bool SamePath(const std::string& a, const std::string& b)
{
    std::error_code ec;
    const std::filesystem::path pa = std::filesystem::absolute(a, ec).lexically_normal();
    const std::filesystem::path pb = std::filesystem::absolute(b, ec).lexically_normal();
    return pa == pb;
}

// For a command line refused while its options were read: the command, router and file it seems to
// name, so that the JSON line of the refusal can tell which run it was.
void GuessCommand(const std::vector<std::string>& args, CliParseResult& result)
{
    static constexpr std::string_view kTakesValue[] = {"-n", "-p", "--file-number", "--password", "--password-file",
                                                       "--trace", "--timeout", "--rom-timeout"};
    std::vector<std::string> positional;
    bool bOptionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (!bOptionsEnded && arg == "--") {
            bOptionsEnded = true;
        } else if (bOptionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
            positional.push_back(arg);
        } else if (std::find(std::begin(kTakesValue), std::end(kTakesValue), arg) != std::end(kTakesValue)) {
            ++i;
        }
    }
    static constexpr std::pair<std::string_view, CliOperation> kCommands[] = {
        {"get", CliOperation::Get}, {"put", CliOperation::Put}, {"revup", CliOperation::Revup}};
    for (const auto& [name, operation] : kCommands) {
        if (!positional.empty() && positional[0] == name) {
            result.bCommandKnown = true;
            result.options.operation = operation;
        }
    }
    if (!result.bCommandKnown)
        return;
    if (positional.size() >= 2)
        result.options.strRouter = positional[1];
    if (positional.size() >= 3)
        result.options.strLocalPath = positional[2];
}

}  // namespace

CliParseResult ParseCommandLine(const std::vector<std::string>& args)
{
    CliParseResult result;
    auto usageError = [&](std::string text) {
        result.action = CliAction::UsageError;
        result.strError = std::move(text);
        if (!result.bCommandKnown)
            GuessCommand(args, result);
        return result;
    };

    std::vector<std::string> positional;
    bool bOptionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (bOptionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
            positional.push_back(arg);
            continue;
        }
        if (arg == "--") {
            bOptionsEnded = true;
            continue;
        }
        if (arg == "-h" || arg == "--help") {
            result.action = CliAction::Help;
            return result;
        }
        if (arg == "-V" || arg == "--version") {
            result.action = CliAction::Version;
            return result;
        }
        if (arg == "-q" || arg == "--quiet") {
            result.options.bQuiet = true;
            continue;
        }
        if (arg == "--json") {
            // Twice is a mistake of the caller that builds the line, not a wish for two lines.
            if (result.options.bJson)
                return usageError("option --json given twice");
            result.options.bJson = true;
            continue;
        }
        if (arg == "-v" || arg == "--verbose") {
            result.options.bVerbose = true;
            continue;
        }
        if (arg == "--if-changed") {
            result.options.bIfChanged = true;
            continue;
        }
        if (arg == "--check") {
            result.options.bCheck = true;
            continue;
        }
        if (arg == "--diff") {
            result.options.bDiff = true;
            continue;
        }
        OptionValue v = TakeValue(args, i, "-n", "--file-number");
        if (v.bMatched) {
            if (v.bMissing)
                return usageError("option " + arg + " needs a file number");
            result.options.fileNumber = v.value;
            continue;
        }
        v = TakeValue(args, i, "-p", "--password");
        if (v.bMatched) {
            if (v.bMissing)
                return usageError("option " + arg + " needs a password");
            result.options.password = v.value;
            continue;
        }
        v = TakeValue(args, i, "", "--password-file");
        if (v.bMatched) {
            if (v.bMissing || v.value.empty())
                return usageError("option --password-file needs a file name (- for standard input)");
            result.options.passwordFile = v.value;
            continue;
        }
        v = TakeValue(args, i, "", "--trace");
        if (v.bMatched) {
            if (v.bMissing || v.value.empty())
                return usageError("option --trace needs a file name");
            if (IsStandardStream(v.value))
                return usageError("option --trace needs a file name (-v writes the same lines to standard error)");
            result.options.tracePath = v.value;
            continue;
        }
        v = TakeValue(args, i, "", "--timeout");
        if (v.bMatched) {
            const std::optional<int> seconds =
                v.bMissing ? std::nullopt : ParseBounded(v.value, CLI_MIN_TIMEOUT, CLI_MAX_TIMEOUT, 6);
            if (!seconds)
                return usageError("option --timeout takes whole seconds from 1 to 60");
            result.options.nTimeoutSeconds = *seconds;
            continue;
        }
        v = TakeValue(args, i, "", "--rom-timeout");
        if (v.bMatched) {
            const std::optional<int> seconds =
                v.bMissing ? std::nullopt : ParseBounded(v.value, CLI_MIN_ROM_TIMEOUT, CLI_MAX_ROM_TIMEOUT, 6);
            if (!seconds)
                return usageError("option --rom-timeout takes whole seconds from 10 to 3600");
            result.options.nRomTimeoutSeconds = *seconds;
            continue;
        }
        return usageError("unknown option " + EscapeForTerminal(arg));
    }

    if (result.options.password && result.options.passwordFile)
        return usageError("give the password either with --password or with --password-file, not both");
    if (positional.empty())
        return usageError("missing command: get, put, revup or backup");

    const std::string& command = positional[0];
    if (command == "get") {
        result.options.operation = CliOperation::Get;
    } else if (command == "put") {
        result.options.operation = CliOperation::Put;
    } else if (command == "revup") {
        result.options.operation = CliOperation::Revup;
    } else {
        return usageError("unknown command " + EscapeForTerminal(command) + " (get, put, revup or backup)");
    }
    result.bCommandKnown = true;
    if (positional.size() >= 2)
        result.options.strRouter = positional[1];
    if (positional.size() >= 3)
        result.options.strLocalPath = positional[2];
    if (positional.size() != 3)
        return usageError(command + " takes two arguments: ROUTER FILE");
    const CliOptions& o = result.options;
    if (o.strLocalPath.empty())
        return usageError("the local file name is empty");
    if (o.bIfChanged && o.operation != CliOperation::Put)
        return usageError("option --if-changed is for put only (firmware cannot be read back, and get "
                          "always tells whether the local file changed)");
    if (o.bDiff && o.operation != CliOperation::Put)
        return usageError("option --diff is for put only (a get shows its change in its own file, and "
                          "firmware cannot be read back)");
    if (IsStandardStream(o.strLocalPath)) {
        if (o.operation != CliOperation::Get && o.passwordFile && IsStandardStream(*o.passwordFile))
            return usageError("standard input cannot carry both the file (-) and the password "
                              "(--password-file -)");
        if (o.operation == CliOperation::Get && o.bJson)
            return usageError("get to standard output (-) cannot go with --json: the file's bytes and the "
                              "JSON line would share standard output");
    }
    if (o.tracePath) {
        if (!IsStandardStream(o.strLocalPath) && SamePath(*o.tracePath, o.strLocalPath))
            return usageError("the trace file and the local file are the same file");
        if (o.passwordFile && SamePath(*o.tracePath, *o.passwordFile))
            return usageError("the trace file and the password file are the same file");
    }
    result.action = CliAction::Run;
    return result;
}

std::string UsageText()
{
    return "Usage: velnor-tftp get ROUTER FILE     fetch a configuration file into FILE\n"
           "       velnor-tftp put ROUTER FILE     send FILE as a configuration file\n"
           "       velnor-tftp revup ROUTER FILE   send the firmware image FILE (revision up)\n"
           "       velnor-tftp backup --inventory FILE --out DIR ...\n"
           "                                       fetch every listed router's configuration\n"
           "                                       (velnor-tftp backup --help)\n"
           "       velnor-tftp restore --inventory FILE --out DIR NAME ...\n"
           "                                       send a router its stored copy back, and\n"
           "                                       read it back (velnor-tftp restore --help)\n"
           "       velnor-tftp status --out DIR    what the backups into DIR know of each router\n"
           "                                       (velnor-tftp status --help)\n"
           "\n"
           "ROUTER is the router's IPv4 address in dotted decimal form. FILE - is standard\n"
           "output for get (written only once the whole file has arrived) and standard\n"
           "input for put and revup.\n"
           "\n"
           "Options:\n"
           "  -n, --file-number N     the router's file number: 0-4 for configuration files,\n"
           "                          0-1 for firmware; without it the router's default file\n"
           "  -p, --password PW       the router password (configuration files only; at most\n"
           "                          32 bytes). Other users can see it in the process list:\n"
           "                          prefer --password-file\n"
           "      --password-file F   read the password from file F (- for standard input);\n"
           "                          one trailing line end is removed\n"
           "      --timeout S         wait S seconds for each answer (1-60, default 5)\n"
           "      --rom-timeout S     wait S seconds for the last answer while the router\n"
           "                          writes its flash ROM (10-3600, default 180)\n"
           "      --if-changed        put: read the router's file first (same number and\n"
           "                          password) and send nothing when it equals FILE\n"
           "      --check             check the input and the local file, send no write\n"
           "                          request, write nothing (with put --if-changed: read\n"
           "                          the router's file, tell whether a put would change it)\n"
           "      --diff              put: read the router's file first (same number and\n"
           "                          password) and show the unified diff from it to FILE on\n"
           "                          standard error (standard output with --check but not\n"
           "                          --json); binary files as \"binary files differ\"\n"
           "      --json              at the end, one line on standard output: a JSON object\n"
           "                          with the outcome (fields below)\n"
           "  -v, --verbose           one line per datagram sent or received on standard\n"
           "                          error (the password shown as ***)\n"
           "      --trace F           the same lines into F, a new file (mode 0600)\n"
           "  -q, --quiet             show nothing but failures\n"
           "  -h, --help              show this help\n"
           "  -V, --version           show the version\n"
           "\n"
           "Exit status: 0 success, 1 the transfer failed, 2 the command line or input was refused.\n"
           "\n"
           "The JSON line (new fields may be added, none renamed):\n"
           "  router       the ROUTER argument (null when the command line had none)\n"
           "  operation    \"get\", \"put\" or \"revup\" (null when the command is unknown)\n"
           "  file_number  the file number, or null for the router's default file\n"
           "  local_file   FILE as an absolute path, or \"-\"\n"
           "  ok           true on success\n"
           "  code         the result code as in the messages, e.g. \"0x8213\"; null on\n"
           "               success and for a refused command line that has no code\n"
           "  class        null on success, else one of: input (refused before anything\n"
           "               was sent), local (the local file), network (the socket or the\n"
           "               network), timeout (no answer), refused (the router answered\n"
           "               with an ERROR), protocol (the router broke the protocol, e.g.\n"
           "               a file over the receive bound)\n"
           "  message      the message the window shows for the code (on success its status\n"
           "               text; for refused input the reason)\n"
           "  router_text  the router's ERROR text, or null (bytes that are not UTF-8 become\n"
           "               U+FFFD)\n"
           "  bytes        bytes of the file carried by this operation\n"
           "  seconds      time from start to end of the run\n"
           "  changed      get: the local file's bytes changed; put: the router's file was\n"
           "               replaced (false when --if-changed found it equal); revup: true on\n"
           "               success. With --check: whether a put or revup would change the\n"
           "               router (null for get)\n"
           "  detail       for a failure of the local file, the file and the system's\n"
           "               reason, e.g. \"/srv/conf/gw1.txt: Permission denied\"; else null\n";
}

std::string VersionText()
{
    // The name first, as other tools print it; the number is the version box's.
    return "velnor-tftp " + LoadString(IDS_VERSION) + "\n";
}

std::optional<CliInputError> ValidateInput(const CliOptions& options, const std::string& strPassword)
{
    if (!IsValidRouterAddress(options.strRouter))
        return CliInputError{std::string(kInvalidRouterAddress), std::nullopt};
    if (strPassword.size() > MAX_PASSWORD_BYTES)
        return CliInputError{LookupResultMessage(TFTP_ERR_BAD_PASSWORD), TFTP_ERR_BAD_PASSWORD};
    if (options.fileNumber) {
        const std::string& text = *options.fileNumber;
        const int nHighest = RuleOf(options.operation).nHighestFileNumber;
        if (!IsFileNumberOf(RuleOf(options.operation), text)) {
            return CliInputError{"invalid file number \"" + EscapeForTerminal(text) + "\": use 0 to "
                                     + std::to_string(nHighest)
                                     + (options.operation == CliOperation::Revup ? " for firmware"
                                                                                 : " for configuration files"),
                                 std::nullopt};
        }
    }
    return std::nullopt;
}

int HighestFileNumberOf(CliOperation operation)
{
    return RuleOf(operation).nHighestFileNumber;
}

TransferRequest MakeRequest(const CliOptions& options, const std::string& strPassword)
{
    TransferRequest request;
    const OperationRule& rule = RuleOf(options.operation);
    request.nDirection = rule.nDirection;
    request.nFileKind = rule.nFileKind;
    request.strRouter = options.strRouter;
    request.strPassword = strPassword;
    request.strFileNumber = options.fileNumber.value_or(std::string());
    return request;
}
