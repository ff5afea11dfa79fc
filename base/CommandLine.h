#pragma once
// The rules every command line of velnor-tftp follows (a transfer's, a backup's, a restore's, a
// status's): how a number is read, how "--name=value" is split, and when a refused one still owes
// its JSON line.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// Whether the arguments ask for the JSON line: for a command line that is refused before it has been
// understood, which still owes the caller its one line.
bool WantsJson(const std::vector<std::string>& args);
