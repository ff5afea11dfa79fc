#include "RouterAddress.h"

#include <array>

namespace {

constexpr std::size_t kMaxAddressLength = 15;

// Splits the text into four groups of one to three digits; false for anything else.
bool SplitGroups(std::string_view s, std::array<std::string_view, 4>& groups)
{
    if (s.empty() || s.size() > kMaxAddressLength)
        return false;
    std::size_t nGroup = 0;
    std::size_t nStart = 0;
    for (std::size_t i = 0; i <= s.size(); ++i) {
        if (i == s.size() || s[i] == '.') {
            std::size_t nLength = i - nStart;
            if (nLength < 1 || nLength > 3 || nGroup >= groups.size())
                return false;
            groups[nGroup++] = s.substr(nStart, nLength);
            nStart = i + 1;
        } else if (s[i] < '0' || s[i] > '9') {
            return false;
        }
    }
    return nGroup == groups.size();
}

// A three-digit group must not exceed 255; shorter groups always pass.
bool GroupInRange(std::string_view g)
{
    if (g.size() < 3)
        return true;
    if (g[0] > '2')
        return false;
    if (g[0] == '2') {
        if (g[1] > '5')
            return false;
        if (g[1] == '5' && g[2] > '5')
            return false;
    }
    return true;
}

}  // namespace

bool IsValidRouterAddress(std::string_view strAddress)
{
    return ParseRouterAddress(strAddress).has_value();
}

std::optional<std::uint32_t> ParseRouterAddress(std::string_view strAddress)
{
    std::array<std::string_view, 4> groups;
    if (!SplitGroups(strAddress, groups))
        return std::nullopt;
    std::uint32_t nAddress = 0;
    for (std::string_view g : groups) {
        if (!GroupInRange(g))
            return std::nullopt;
        std::uint32_t nValue = 0;
        for (char c : g)
            nValue = nValue * 10 + static_cast<std::uint32_t>(c - '0');
        nAddress = (nAddress << 8) | nValue;
    }
    return nAddress;
}

bool IsRefusedDestination(std::uint32_t nAddress)
{
    constexpr std::uint32_t kAnyHost = 0, kEveryHost = 0xFFFFFFFFu;
    return nAddress == kAnyHost || nAddress == kEveryHost || (nAddress >> 28) == 0xE;
}
