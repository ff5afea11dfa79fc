#pragma once
// What a put or a restore would change in a router's file, shown before anything is sent: the unified
// diff of two texts with three lines of context, as `diff -u` prints it (a file that does not end in a
// line end gets "\ No newline at end of file"). Texts only, no I/O.

#include <string>
#include <string_view>

// The diff of before and after under the two labels ("--- " and "+++ " lines); empty when the bytes
// are equal.
std::string UnifiedDiff(std::string_view before, std::string_view after, std::string_view beforeLabel,
                        std::string_view afterLabel);

// Whether a file may be shown line by line: well-formed UTF-8 without a NUL byte.
bool IsDiffableText(std::string_view bytes);

// The diff for a person's terminal or a log: every line escaped as any text from a router is (labels
// included), or, when either side is binary or not UTF-8, the two labels and the line
// "binary files differ (N bytes, M bytes)". Empty when the bytes are equal.
std::string DiffForTerminal(std::string_view before, std::string_view after, std::string_view beforeLabel,
                            std::string_view afterLabel);
