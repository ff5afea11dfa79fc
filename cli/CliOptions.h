#pragma once
// The console companion's command line and the checks it makes before anything goes out: the same
// as the transfer window's (the address rule, the password length), plus the file-number range that
// the window's list enforces by its items.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Operations.h"
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
    bool bJson = false;          // one JSON line with the outcome on standard output at the end
    bool bVerbose = false;       // one line per datagram on standard error
    std::optional<std::string> tracePath;      // the same lines into this new file
    int nTimeoutSeconds = 5;     // the wait for each answer
    int nRomTimeoutSeconds = 180;  // the wait for the last ACK while the router writes its flash ROM
    bool bIfChanged = false;     // put only when the router's file differs
    bool bCheck = false;         // validate, send no write request, write nothing
    bool bDiff = false;          // put: read the router's file first and show the unified diff to FILE
};

// FILE given as "-": standard output for get, standard input for put and revup.
inline bool IsStandardStream(const std::string& strPath) { return strPath == "-"; }

enum class CliAction { Run, Help, Version, UsageError };

struct CliParseResult {
    CliAction action = CliAction::UsageError;
    CliOptions options;
    std::string strError;  // for UsageError
    bool bCommandKnown = false;  // options.operation holds the command (also for a UsageError)
};

// Allowed values of --timeout and --rom-timeout, in seconds; a backup and a restore take the same
// --timeout.
inline constexpr int CLI_MIN_TIMEOUT = 1, CLI_MAX_TIMEOUT = 60;
inline constexpr int CLI_MIN_ROM_TIMEOUT = 10, CLI_MAX_ROM_TIMEOUT = 3600;

// The window refuses a password longer than its edit field takes.
inline constexpr std::size_t CLI_MAX_PASSWORD_BYTES = MAX_PASSWORD_BYTES;

// Exit statuses.
inline constexpr int CLI_EXIT_OK = 0;
inline constexpr int CLI_EXIT_FAILED = 1;  // the transfer ran and failed
inline constexpr int CLI_EXIT_USAGE = 2;   // the command line or the input was refused

// A whole decimal number in [nLow, nHigh], without sign, spaces or leading "+", of at most nMaxDigits
// digits (leading zeros count): every number of every command line goes through it.
std::optional<int> ParseBounded(std::string_view text, int nLow, int nHigh, std::size_t nMaxDigits = 4);

// A long option written "--name=value" is split at its first '='; any other argument is its own name,
// without a value (the value, if the option takes one, is the next argument).
struct SplitOption {
    std::string name;
    std::optional<std::string> value;
};
SplitOption SplitLongOption(const std::string& arg);

// args: the arguments after the program name, as bytes.
CliParseResult ParseCommandLine(const std::vector<std::string>& args);

std::string UsageText();
// "velnor-tftp 1.21" and the lines after it.
std::string VersionText();

// Whether the arguments ask for the JSON line: for a command line that is refused before it has been
// understood, which still owes the caller its one line.
bool WantsJson(const std::vector<std::string>& args);

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

// The highest file number the operation can name.
int HighestFileNumberOf(CliOperation operation);

// The request for the engine. Call only after ValidateInput accepted the input.
TransferRequest MakeRequest(const CliOptions& options, const std::string& strPassword);
