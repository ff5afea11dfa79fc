#pragma once
// What the console companion writes while a transfer runs and when it ends: texts only, no I/O, so
// that the exact bytes can be tested.

#include <cstdint>
#include <string>

#include "TftpTypes.h"

// One progress line (without line end) for a terminal: a bar, the percentage and the bytes. While
// receiving no total is known (nTotalBytes 0): the bytes alone, without bar or percentage.
std::string FormatProgressLine(int nPercent, std::int64_t nBytesDone, std::int64_t nTotalBytes);

// The report of a failed transfer: the message the window would show for the code (for an ERROR from
// the router, the router's text in angle brackets, or the message of one of its two known phrases),
// followed by the code of that message in hex, e.g. "(0x8213)". Ends with a line end. The router's
// text is shown with its control bytes and invalid UTF-8 as visible escapes (EscapeForTerminal).
std::string FormatFailure(TftpResult nResult, const std::string& strPeerText);

// "(0x8213)"
std::string FormatCode(TftpResult nCode);
