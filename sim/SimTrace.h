#pragma once
// What the router tells about its datagrams and requests: the trace (one line per datagram, to a file and
// or in memory) and the texts of its log lines. A requested name can carry the router password and a
// client can send any bytes, so names and texts pass through two filters before they are shown: the
// password becomes "***" and every control byte a visible escape.

#include "SimPackets.h"

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace velnor::sim {

// "config2/secret" -> "config2/***": everything after the first "/" of a requested name is the password
// (also in a name the router refuses, which may still hold one). A name without "/" is unchanged.
std::string MaskPassword(std::string_view name);

// A requested name as a log line shows it: password masked, cut after kMaxShownBytes (a request may
// carry a name of 65,000 bytes), then made safe for a terminal.
std::string ShownName(std::string_view name);
// A client's text (an ERROR message, a mode), cut and made safe for a terminal.
std::string ShownText(std::string_view text);
inline constexpr std::size_t kMaxShownBytes = 128;

// Keeps a flood of requests from becoming a flood of log lines: of the lines of one kind (their first
// two words, "refused read", "busy: refused"), at most nPerSecond a second are shown; the others are
// counted, and told as one line once their second is over.
class LogLimiter {
public:
    explicit LogLimiter(int nPerSecond = 20) : m_nPerSecond(nPerSecond) {}
    // The lines to show for this one at dSeconds (a steady clock): the counts of any kind whose second
    // is over, then the line itself unless its kind has had its share.
    std::vector<std::string> Take(const std::string& line, double dSeconds);
    // The counts not told yet (at the end).
    std::vector<std::string> Flush();

private:
    struct Kind {
        double dStart = 0;
        int nShown = 0;
        unsigned long long nLeftOut = 0;
    };
    void TellEnded(double dSeconds, std::vector<std::string>& out);
    std::string Note(const std::string& kind, unsigned long long nLeftOut) const;

    int m_nPerSecond;
    std::map<std::string, Kind> m_kinds;
    unsigned long long m_nWaiting = 0;  // left out, not told yet
};

// The datagram as the trace keeps it: a request whose name carries a password is rebuilt with "***"
// in its place; every other datagram is kept byte for byte. The trace shows bytes only as hex, so no
// text of a client ever reaches a terminal through it.
Bytes TracedBytes(const std::uint8_t* p, std::size_t n);

// The trace file, opened so that it cannot be turned against the host when the router runs as root:
// a symbolic link, a FIFO, a device or a file with another hard link in the trace's place is refused,
// and the file is private (mode 0600, also when it existed before).
class TraceFile {
public:
    TraceFile() = default;
    ~TraceFile() { Close(); }
    TraceFile(const TraceFile&) = delete;
    TraceFile& operator=(const TraceFile&) = delete;

    bool Open(const std::filesystem::path& path, std::string* error);
    bool IsOpen() const { return m_pFile != nullptr; }
    void WriteLine(const std::string& line);
    void Close();

private:
    std::FILE* m_pFile = nullptr;
};

}  // namespace velnor::sim
