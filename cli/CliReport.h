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

// The line after a failed transfer's message and code that says what the code cannot: for a failure of
// the local file, the file and the system's reason (DescribeLocalFailure), made safe for a terminal;
// "velnor-tftp: /srv/conf/gw1.txt: Permission denied". Empty when nothing is known.
std::string FormatLocalDetail(const std::string& strDetail);

// For the router's two phrases (0x8216, 0x8217), whose messages do not show the router's words: its own
// text and what it usually means. Empty for every other result.
std::string FormatRouterHint(TftpResult nResult, const std::string& strPeerText);
