#include "CliOptions.h"

#include <string_view>

#include "Operations.h"
#include "ResultMessages.h"
#include "RouterAddress.h"
#include "Texts.h"

namespace {

bool IsDigits(std::string_view text)
{
    if (text.empty())
        return false;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

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

}  // namespace

CliParseResult ParseCommandLine(const std::vector<std::string>& args)
{
    CliParseResult result;
    auto usageError = [&](std::string text) {
        result.action = CliAction::UsageError;
        result.strError = std::move(text);
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
        if (arg == "--version") {
            result.action = CliAction::Version;
            return result;
        }
        if (arg == "-q" || arg == "--quiet") {
            result.options.bQuiet = true;
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
        return usageError("unknown option " + arg);
    }

    if (result.options.password && result.options.passwordFile)
        return usageError("give the password either with --password or with --password-file, not both");
    if (positional.empty())
        return usageError("missing command: get, put or revup");

    const std::string& command = positional[0];
    if (command == "get") {
        result.options.operation = CliOperation::Get;
    } else if (command == "put") {
        result.options.operation = CliOperation::Put;
    } else if (command == "revup") {
        result.options.operation = CliOperation::Revup;
    } else {
        return usageError("unknown command " + command + " (get, put or revup)");
    }
    if (positional.size() != 3)
        return usageError(command + " takes two arguments: ROUTER FILE");
    result.options.strRouter = positional[1];
    result.options.strLocalPath = positional[2];
    if (result.options.strLocalPath.empty())
        return usageError("the local file name is empty");
    result.action = CliAction::Run;
    return result;
}

std::string UsageText()
{
    return "Usage: velnor-tftp get ROUTER FILE     fetch a configuration file into FILE\n"
           "       velnor-tftp put ROUTER FILE     send FILE as a configuration file\n"
           "       velnor-tftp revup ROUTER FILE   send the firmware image FILE (revision up)\n"
           "\n"
           "ROUTER is the router's IPv4 address in dotted decimal form.\n"
           "\n"
           "Options:\n"
           "  -n, --file-number N     the router's file number: 0-4 for configuration files,\n"
           "                          0-1 for firmware; without it the router's default file\n"
           "  -p, --password PW       the router password (configuration files only; at most\n"
           "                          32 bytes). Other users can see it in the process list:\n"
           "                          prefer --password-file\n"
           "      --password-file F   read the password from file F (- for standard input);\n"
           "                          one trailing line end is removed\n"
           "  -q, --quiet             show nothing but failures\n"
           "  -h, --help              show this help\n"
           "      --version           show the version\n"
           "\n"
           "Exit status: 0 success, 1 the transfer failed, 2 the command line or input was refused.\n";
}

std::string StripOneNewline(std::string text)
{
    if (!text.empty() && text.back() == '\n') {
        text.pop_back();
        if (!text.empty() && text.back() == '\r')
            text.pop_back();
    }
    return text;
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
        // One digit: the router's numbers are 0 to 4, and "02" or "+1" would name another file on the wire.
        if (text.size() != 1 || !IsDigits(text) || text[0] - '0' > nHighest) {
            return CliInputError{"invalid file number \"" + text + "\": use 0 to " + std::to_string(nHighest)
                                     + (options.operation == CliOperation::Revup ? " for firmware"
                                                                                 : " for configuration files"),
                                 std::nullopt};
        }
    }
    return std::nullopt;
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
