#pragma once
// The router address rule: four groups of one to three decimal digits separated by single dots,
// each group at most 255, leading zeros allowed ("010" is ten, never octal), at most 15 characters.

#include <cstdint>
#include <optional>
#include <string_view>

// True when the text passes the rule.
bool IsValidRouterAddress(std::string_view strAddress);

// The address as a host-order 32-bit number (192.0.2.1 -> 0xC0000201), or nothing when the text
// does not pass the rule. Each group is read as a decimal number.
std::optional<std::uint32_t> ParseRouterAddress(std::string_view strAddress);
