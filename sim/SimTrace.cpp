#include "SimTrace.h"

#include "RouterSim.h"
#include "SafeText.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace velnor::sim {

std::string MaskPassword(std::string_view name)
{
    const auto slash = name.find('/');
    if (slash == std::string_view::npos)
        return std::string(name);
    return std::string(name.substr(0, slash + 1)) + "***";
}

std::string ShownText(std::string_view text)
{
    if (text.size() <= kMaxShownBytes)
        return EscapeForTerminal(text);
    return EscapeForTerminal(text.substr(0, kMaxShownBytes)) + "... (" + std::to_string(text.size()) + " bytes)";
}

std::string ShownName(std::string_view name)
{
    return ShownText(MaskPassword(name));
}

std::vector<std::string> LogLimiter::Take(const std::string& line, double dSeconds)
{
    std::vector<std::string> out;
    if (m_nWaiting > 0)
        TellEnded(dSeconds, out);
    std::size_t end = line.find(' ');
    if (end != std::string::npos)
        end = line.find(' ', end + 1);
    Kind& kind = m_kinds[line.substr(0, end)];
    if (dSeconds - kind.dStart >= 1.0 && kind.nLeftOut == 0) {
        kind.dStart = dSeconds;
        kind.nShown = 0;
    }
    if (kind.nShown < m_nPerSecond) {
        ++kind.nShown;
        out.push_back(line);
    } else {
        ++kind.nLeftOut;
        ++m_nWaiting;
    }
    return out;
}

void LogLimiter::TellEnded(double dSeconds, std::vector<std::string>& out)
{
    for (auto& [name, kind] : m_kinds) {
        if (kind.nLeftOut == 0 || dSeconds - kind.dStart < 1.0)
            continue;
        out.push_back(Note(name, kind.nLeftOut));
        m_nWaiting -= kind.nLeftOut;
        kind = Kind{dSeconds, 0, 0};
    }
}

std::vector<std::string> LogLimiter::Flush()
{
    std::vector<std::string> out;
    for (auto& [name, kind] : m_kinds) {
        if (kind.nLeftOut > 0)
            out.push_back(Note(name, kind.nLeftOut));
        kind.nLeftOut = 0;
    }
    m_nWaiting = 0;
    return out;
}

std::string LogLimiter::Note(const std::string& kind, unsigned long long nLeftOut) const
{
    return std::to_string(nLeftOut) + " more \"" + kind + " ...\" " + (nLeftOut == 1 ? "line" : "lines")
           + " left out (more than " + std::to_string(m_nPerSecond) + " a second)";
}

Bytes TracedBytes(const std::uint8_t* p, std::size_t n)
{
    Bytes bytes(p, p + n);
    if (n < 2)
        return bytes;
    const std::uint16_t op = ReadU16(p);
    if (op != OP_RRQ && op != OP_WRQ)
        return bytes;
    // The name runs from byte 2 to its zero byte (or to the end of a malformed request).
    const auto* begin = p + 2;
    const auto* end = static_cast<const std::uint8_t*>(std::memchr(begin, 0, n - 2));
    if (!end)
        end = p + n;
    const std::string name(begin, end);
    const std::string masked = MaskPassword(name);
    if (masked == name)
        return bytes;
    Bytes out(p, begin);
    out.insert(out.end(), masked.begin(), masked.end());
    out.insert(out.end(), end, p + n);
    return out;
}

bool TraceFile::Open(const std::filesystem::path& path, std::string* error)
{
    Close();
    auto fail = [&](const std::string& why) {
        if (error)
            *error = "cannot write the trace file \"" + EscapeForTerminal(path.string()) + "\": " + why;
        return false;
    };
    // O_NONBLOCK so that a FIFO in the trace's place cannot hold the start; O_TRUNC only once the file
    // is known to be ours to write.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0) {
        const int e = errno;
        return fail(e == ELOOP ? "it is a symbolic link" : std::strerror(e));
    }
    struct stat st {};
    const char* refusal = nullptr;
    if (::fstat(fd, &st) != 0)
        refusal = std::strerror(errno);
    else if (!S_ISREG(st.st_mode))
        refusal = "it is not a regular file";
    else if (st.st_nlink > 1)
        refusal = "it has another hard link";
    if (!refusal && (::ftruncate(fd, 0) != 0 || ::fchmod(fd, 0600) != 0 ||
                     ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0))
        refusal = std::strerror(errno);
    if (!refusal) {
        m_pFile = ::fdopen(fd, "w");
        if (!m_pFile)
            refusal = std::strerror(errno);
    }
    if (refusal) {
        ::close(fd);
        return fail(refusal);
    }
    std::setvbuf(m_pFile, nullptr, _IOLBF, 0);
    return true;
}

void TraceFile::WriteLine(const std::string& line)
{
    if (m_pFile)
        std::fprintf(m_pFile, "%s\n", line.c_str());
}

void TraceFile::Close()
{
    if (m_pFile) {
        std::fclose(m_pFile);
        m_pFile = nullptr;
    }
}

std::string TraceLine::Text() const
{
    static const char* const kHex = "0123456789abcdef";
    char head[64];
    std::snprintf(head, sizeof head, "%.6f ", seconds);
    std::string line = head + direction + " ";
    // Always "from -> to", so that a reader follows the datagram whichever way it went.
    if (direction == "in" || direction == "drop-in")
        line += peer + " -> " + local;
    else
        line += local + " -> " + peer;
    line += " " + std::to_string(bytes.size()) + " ";
    for (std::uint8_t b : bytes) {
        line += kHex[b >> 4];
        line += kHex[b & 0x0F];
    }
    return line;
}

}  // namespace velnor::sim
