#pragma once
// Times as the backup writes them: RFC 3339 UTC in files and JSON, local ISO 8601 with its offset in
// the lines a person reads.

#include <ctime>
#include <optional>
#include <string>

// "2026-12-09T03:04:05Z".
std::string FormatUtcTime(std::time_t t);
// "2026-12-09T04:04:05+01:00".
std::string FormatLocalTime(std::time_t t);
// The UTC form above (also with "+00:00"); nothing for anything else.
std::optional<std::time_t> ParseUtcTime(const std::string& text);
// Milliseconds of the monotonic clock, for waits and time-outs.
long long MonotonicMs();
