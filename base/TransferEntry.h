#pragma once
// Where the fleet's commands meet the console companion: the entry point that runs one transfer (the
// companion's own main), the outcome it hands back, the exit statuses it gives, the time-outs it
// takes and the classes of failure its JSON line names. Nothing here needs cli/: the fleet gets the
// entry point from the caller.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "ResultCodes.h"

enum class CliOperation { Get, Put, Revup };

// "get", "put", "revup": as the command line and the JSON line name them.
constexpr std::string_view CliOperationName(CliOperation operation)
{
    switch (operation) {
    case CliOperation::Put:
        return "put";
    case CliOperation::Revup:
        return "revup";
    case CliOperation::Get:
        break;
    }
    return "get";
}

// The outcome of one run of the transfer: what velnor-tftp --json writes as its line, field for field.
struct CliOutcome {
    std::optional<std::string> router;       // as typed
    std::optional<CliOperation> operation;
    std::optional<int> fileNumber;
    std::optional<std::string> localFile;    // absolute, or "-"
    bool bOk = false;
    std::optional<TftpResult> code;
    std::optional<std::string_view> failureClass;  // one of the kClass... below
    std::string message;                     // UTF-8
    std::optional<std::string> routerText;   // bytes as received
    std::int64_t nBytes = 0;
    double dSeconds = 0;
    std::optional<bool> changed;
    std::optional<std::string> detail;      // a local file's failure: the file and the system's reason
};

// velnor-tftp's own main for one transfer: a backup's worker runs it with the arguments of a get, a
// restore with those of a put. When pOutcome is given, the run's outcome is put there as well, typed,
// with or without --json; a run that gives none (--help, --version) leaves it empty.
using TransferMain = int (*)(int argc, char** argv, std::optional<CliOutcome>* pOutcome);

// Exit statuses.
inline constexpr int CLI_EXIT_OK = 0;
inline constexpr int CLI_EXIT_FAILED = 1;  // the transfer ran and failed
inline constexpr int CLI_EXIT_USAGE = 2;   // the command line or the input was refused

// Allowed values of --timeout and --rom-timeout, in seconds; a backup and a restore take the same
// --timeout.
inline constexpr int CLI_MIN_TIMEOUT = 1, CLI_MAX_TIMEOUT = 60;
inline constexpr int CLI_MIN_ROM_TIMEOUT = 10, CLI_MAX_ROM_TIMEOUT = 3600;

// The classes of a failure, so that a caller can decide without knowing every code.
inline constexpr std::string_view kClassInput = "input";        // refused before anything was sent
inline constexpr std::string_view kClassLocal = "local";        // the local file
inline constexpr std::string_view kClassNetwork = "network";    // the socket or the network
inline constexpr std::string_view kClassTimeout = "timeout";    // no answer
inline constexpr std::string_view kClassRefused = "refused";    // the router answered with an ERROR
inline constexpr std::string_view kClassProtocol = "protocol";  // the router broke the protocol

// The class by its name, as one of the constants above; none for a name that is not a class.
inline std::optional<std::string_view> FailureClassNamed(std::string_view name)
{
    for (std::string_view known : {kClassInput, kClassLocal, kClassNetwork, kClassTimeout, kClassRefused, kClassProtocol}) {
        if (name == known)
            return known;
    }
    return std::nullopt;
}
