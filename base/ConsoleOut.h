#pragma once
// Writes to the standard streams at once (a line a person or a script must see before anything else
// happens, such as a fork or the end of the process).

#include <cstdio>
#include <string_view>

inline void WriteErr(std::string_view text)
{
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

inline void WriteOut(std::string_view text)
{
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}
