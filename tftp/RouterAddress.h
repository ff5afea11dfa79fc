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

// Addresses that name no single router: 0.0.0.0 reaches this very host, 255.255.255.255 every host of
// the local network, 224.0.0.0 to 239.255.255.255 a multicast group. The program's first platform
// refused to send to them at once ("address not available"), which the user saw as an invalid
// address; this system would send, and the user would wait for an answer that cannot come, or take
// one from whichever host answers first. nAddress as ParseRouterAddress gives it.
bool IsRefusedDestination(std::uint32_t nAddress);
