#pragma once
// What the router tells about its datagrams and requests: the trace (one line per datagram, to a file and
// or in memory) and the texts of its log lines. A requested name can carry the router password and a
// client can send any bytes, so names and texts pass through two filters before they are shown: the
// password becomes "***" and every control byte a visible escape.

#include "SimPackets.h"

#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>

namespace velnor::sim {

// "config2/secret" -> "config2/***": everything after the first "/" of a requested name is the password
// (also in a name the router refuses, which may still hold one). A name without "/" is unchanged.
std::string MaskPassword(std::string_view name);

// A requested name as a log line or a trace shows it: password masked, then made safe for a terminal.
std::string ShownName(std::string_view name);
// A client's text (an ERROR message, a mode) made safe for a terminal.
std::string ShownText(std::string_view text);

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
