#include "CommandLine.h"

std::optional<int> ParseBounded(std::string_view text, int nLow, int nHigh, std::size_t nMaxDigits)
{
    if (text.empty() || text.size() > nMaxDigits)
        return std::nullopt;
    int nValue = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        nValue = nValue * 10 + (c - '0');
    }
    if (nValue < nLow || nValue > nHigh)
        return std::nullopt;
    return nValue;
}

SplitOption SplitLongOption(const std::string& arg)
{
    if (const std::size_t eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos)
        return {arg.substr(0, eq), arg.substr(eq + 1)};
    return {arg, std::nullopt};
}

bool WantsJson(const std::vector<std::string>& args)
{
    for (const std::string& arg : args) {
        if (arg == "--")
            return false;
        if (arg == "--json")
            return true;
    }
    return false;
}
