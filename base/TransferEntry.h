#pragma once
// Where the fleet's commands meet the console companion: the entry point that runs one transfer (the
// companion's own main), the exit statuses it gives, the time-outs it takes and the classes of
// failure its JSON line names. Declarations only: the fleet gets the entry point from the caller.

#include <string_view>

// velnor-tftp's own main for one transfer: a backup's worker runs it with the arguments of a get, a
// restore with those of a put.
using TransferMain = int (*)(int argc, char** argv);

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
