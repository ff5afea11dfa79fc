#include "TimeText.h"

#include <cstdio>
#include <time.h>

std::string FormatUtcTime(std::time_t t)
{
    std::tm tm {};
    ::gmtime_r(&t, &tm);
    char buffer[32];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buffer;
}

std::string FormatLocalTime(std::time_t t)
{
    std::tm tm {};
    ::localtime_r(&t, &tm);
    char buffer[40];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%S", &tm);
    const long nOffset = tm.tm_gmtoff;
    const long nAbs = nOffset < 0 ? -nOffset : nOffset;
    char zone[48];
    std::snprintf(zone, sizeof zone, "%c%02ld:%02ld", nOffset < 0 ? '-' : '+', nAbs / 3600, (nAbs / 60) % 60);
    return std::string(buffer) + zone;
}

std::optional<std::time_t> ParseUtcTime(const std::string& text)
{
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, n = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &y, &mo, &d, &h, &mi, &s, &n) != 6)
        return std::nullopt;
    const std::string rest = text.substr(static_cast<std::size_t>(n));
    if (rest != "Z" && rest != "+00:00")
        return std::nullopt;
    if (y < 1970 || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60)
        return std::nullopt;
    std::tm tm {};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = s;
    return ::timegm(&tm);
}

long long MonotonicMs()
{
    timespec ts {};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}
