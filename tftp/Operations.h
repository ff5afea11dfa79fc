#pragma once
// The three operations on a router and the rules of each, in the order of the window's operation
// list. The window and the console companion both take them from here, so that a router model with
// another file range or password limit is one edit.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "TftpTypes.h"

enum class Operation : int { RevisionUp = 0, GetConfig = 1, PutConfig = 2 };

struct OperationRule {
    Operation nOperation;
    std::int16_t nDirection;
    std::int16_t nFileKind;
    // File numbers 0 to this one can be named. Without a number the router takes its default file,
    // so no number is sent.
    int nHighestFileNumber;
    // The router password travels inside the remote name (configuration files only).
    bool bTakesPassword;
};

inline constexpr OperationRule kOperationRules[] = {
    // The router keeps two firmware slots and five configuration files.
    {Operation::RevisionUp, DIRECTION_SEND, FILE_KIND_FIRMWARE, 1, false},
    {Operation::GetConfig, DIRECTION_RECEIVE, FILE_KIND_CONFIG, 4, true},
    {Operation::PutConfig, DIRECTION_SEND, FILE_KIND_CONFIG, 4, true},
};

// The longest password the router takes, in bytes (the window's password field holds as many).
inline constexpr std::size_t MAX_PASSWORD_BYTES = 32;

constexpr const OperationRule& OperationRuleOf(Operation nOperation)
{
    return kOperationRules[static_cast<int>(nOperation)];
}

// Whether text names one of the operation's files. One digit: the router's numbers are 0 to 4, and
// "02" or "+1" would name another file on the wire. The console's -n and a backup list's
// file_number column both go by this rule; the window's list offers no other numbers.
constexpr bool IsFileNumberOf(const OperationRule& rule, std::string_view text)
{
    return text.size() == 1 && text[0] >= '0' && text[0] <= '0' + rule.nHighestFileNumber;
}
