#pragma once
// A router's text as a window shows it. The boxes show plain text, never markup; what is left is that a
// router's ERROR message could still reshape the box: CR, LF or the Unicode line and paragraph
// separators would forge lines of their own under the program's message, direction overrides would
// reorder what is read, and one long run without a place to break would stretch the box past the
// screen. Printable text (Japanese included, a backslash too) stays exactly as the router sent it.

#include <string>
#include <string_view>

// Control bytes, invalid UTF-8 and the C1 controls become a visible "\xNN" per byte, as on the console;
// the line and paragraph separators and the direction embeddings, overrides and isolates too. A run of
// more than kWindowTextRunLength characters without a place to break gets an invisible one (U+200B)
// after every kWindowTextRunLength characters, so that the box wraps it like any sentence.
std::string RouterTextForWindow(std::string_view bytes);

inline constexpr int kWindowTextRunLength = 32;
