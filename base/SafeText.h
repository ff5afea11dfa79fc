#pragma once
// Text that a router, a client or a file controls, made safe for a terminal or a log line. A router's
// ERROR message or a requested file name may hold ESC, BEL, CR or LF: printed raw they could set the
// terminal's title, clear its screen or forge output lines. Printable UTF-8 (Japanese included) stays
// as it is; every control byte, every byte of invalid UTF-8 and the C1 controls (U+0080 to U+009F,
// which some terminals obey as ESC sequences) become a visible "\xNN" per byte, and a backslash
// becomes "\\" so that the escapes cannot be forged either. Needs nothing but the standard library,
// so that the router simulator can use it too.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

std::string EscapeForTerminal(std::string_view bytes);

// Length of the well-formed UTF-8 sequence at text[i] (RFC 3629: no overlong forms, no surrogates,
// nothing above U+10FFFF) with its code point, or 0 when the bytes there are not one.
std::size_t Utf8SequenceLength(std::string_view text, std::size_t i, std::uint32_t& codePoint);

// A text written for a message box, with its line breaks, as one line that reads the same: Japanese
// runs on without a gap across a break (a break between two Japanese characters only fell where the
// box was full), any other break becomes one space, and a space already beside the break is not
// doubled. Blank lines count as one break. Nothing else changes; the result is not escaped.
std::string JoinLineBreaks(std::string_view text);
