#pragma once
// The console companion's command line and the checks it makes before anything goes out: the same
// as the transfer window's (the address rule, the password length), plus the file-number range that
// the window's list enforces by its items.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "CommandLine.h"
#include "Operations.h"
#include "PasswordFile.h"
#include "TftpTypes.h"
#include "TransferEntry.h"

// CliOperation is the entry point's (TransferEntry.h).

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

// The window refuses a password longer than its edit field takes.
inline constexpr std::size_t CLI_MAX_PASSWORD_BYTES = MAX_PASSWORD_BYTES;

// args: the arguments after the program name, as bytes.
CliParseResult ParseCommandLine(const std::vector<std::string>& args);

std::string UsageText();
// "velnor-tftp 1.21" and the lines after it.
std::string VersionText();

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
