#pragma once
// The console companion's command line and the checks it makes before anything goes out: the same
// as the transfer window's (the address rule, the password length), plus the file-number range that
// the window's list enforces by its items.

#include <optional>
#include <string>
#include <vector>

#include "TftpTypes.h"

enum class CliOperation { Get, Put, Revup };

struct CliOptions {
    CliOperation operation = CliOperation::Get;
    std::string strRouter;
    std::string strLocalPath;
    std::optional<std::string> fileNumber;     // as typed
    std::optional<std::string> password;       // from -p/--password
    std::optional<std::string> passwordFile;   // from --password-file ("-" is standard input)
    bool bQuiet = false;
};

enum class CliAction { Run, Help, Version, UsageError };

struct CliParseResult {
    CliAction action = CliAction::UsageError;
    CliOptions options;
    std::string strError;  // for UsageError
};

// Exit statuses.
inline constexpr int CLI_EXIT_OK = 0;
inline constexpr int CLI_EXIT_FAILED = 1;  // the transfer ran and failed
inline constexpr int CLI_EXIT_USAGE = 2;   // the command line or the input was refused

// args: the arguments after the program name, as bytes.
CliParseResult ParseCommandLine(const std::vector<std::string>& args);

std::string UsageText();

// Removes one trailing line end ("\n" or "\r\n") that an editor or `echo` leaves in a password file.
std::string StripOneNewline(std::string text);

// A refused input: the text to show, and the result code when the check is one of the window's coded
// ones (the password length), so that the code can be shown beside it.
struct CliInputError {
    std::string strMessage;
    std::optional<TftpResult> nCode;
};

// The checks, in the window's order: router address, password length, then the file number. The
// password is the one finally in effect (after reading a password file).
std::optional<CliInputError> ValidateInput(const CliOptions& options, const std::string& strPassword);

// The request for the engine. Call only after ValidateInput accepted the input.
TransferRequest MakeRequest(const CliOptions& options, const std::string& strPassword);
