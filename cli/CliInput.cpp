#include "CliInput.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>

#include "CliOptions.h"
#include "LocalFile.h"
#include "SafeText.h"

namespace {

// The largest file a transfer can carry: 65535 blocks, the last one short (as the engine's limit).
constexpr std::int64_t kMaxSendBytes = 65534LL * TFTP_BLOCK_SIZE + (TFTP_BLOCK_SIZE - 1);

std::string Named(const std::string& strPath, const std::string& strShown)
{
    if (strPath == "-")
        return "standard input";
    return "the password file " + (strShown.empty() ? EscapeForTerminal(strPath) : strShown);
}

}  // namespace

BoundedRead ReadAllBounded(int nFd, std::int64_t nLimit, std::string& out)
{
    out.clear();
    char buffer[64 * 1024];
    for (;;) {
        const std::int64_t nRoom = nLimit + 1 - static_cast<std::int64_t>(out.size());
        if (nRoom <= 0)
            return BoundedRead::TooLarge;
        const std::size_t nWant = static_cast<std::size_t>(std::min<std::int64_t>(nRoom, sizeof buffer));
        const ssize_t nRead = ::read(nFd, buffer, nWant);
        if (nRead < 0) {
            if (errno == EINTR)
                continue;
            return BoundedRead::Failed;
        }
        if (nRead == 0)
            return BoundedRead::Ok;
        out.append(buffer, static_cast<std::size_t>(nRead));
    }
}

PasswordFileResult ReadPasswordFile(const std::string& strPath, const std::string& strShown)
{
    PasswordFileResult result;
    const bool bStdin = strPath == "-";
    int nFd = STDIN_FILENO;
    if (!bStdin) {
        // A named pipe (a shell's process substitution) is a fine source: the open may wait for its writer.
        nFd = ::open(strPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
        if (nFd < 0) {
            result.strError = "cannot read " + Named(strPath, strShown) + ": " + std::strerror(errno);
            return result;
        }
    }
    struct stat st {};
    const bool bKnown = ::fstat(nFd, &st) == 0;
    std::string text;
    BoundedRead read = BoundedRead::Failed;
    int nError = 0;
    if (bKnown && S_ISDIR(st.st_mode)) {
        nError = EISDIR;
    } else {
        // A line end may follow the longest password; one byte more is enough to know it is too long.
        read = ReadAllBounded(nFd, static_cast<std::int64_t>(CLI_MAX_PASSWORD_BYTES) + 2, text);
        nError = errno;
    }
    if (!bStdin)
        ::close(nFd);

    if (nError == EISDIR && read == BoundedRead::Failed) {
        result.strError = Named(strPath, strShown) + " is a folder";
        return result;
    }
    if (read == BoundedRead::Failed) {
        result.strError = "cannot read " + Named(strPath, strShown) + ": " + std::strerror(nError);
        return result;
    }
    text = StripOneNewline(std::move(text));
    if (read == BoundedRead::TooLarge || text.size() > CLI_MAX_PASSWORD_BYTES) {
        result.strError = Named(strPath, strShown) + " holds more than " + std::to_string(CLI_MAX_PASSWORD_BYTES) +
                          " bytes: not a password";
        result.nCode = TFTP_ERR_BAD_PASSWORD;
        return result;
    }
    if (text.empty()) {
        // Read as "no password", a configuration request would go out without the one meant.
        result.strError = Named(strPath, strShown) + " is empty" + (bStdin ? " (or closed)" : "");
        return result;
    }
    if (!bStdin && bKnown && S_ISREG(st.st_mode) && (st.st_mode & (S_IRGRP | S_IROTH)) != 0) {
        result.strWarning = Named(strPath, strShown) + " can be read by other users (chmod 600 "
                            + EscapeForTerminal(strPath) + ")";
    }
    result.password = std::move(text);
    return result;
}

TftpResult ReadLocalFileBounded(const std::string& strPath, std::string& out)
{
    // As the engine opens it: never waiting for a pipe's writer, only an ordinary file.
    const int nFd = ::open(strPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (nFd < 0)
        return TFTP_ERR_FILE_OPEN;
    struct stat st {};
    if (::fstat(nFd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(nFd);
        return TFTP_ERR_FILE_OPEN;
    }
    const int nFlags = ::fcntl(nFd, F_GETFL);
    if (nFlags >= 0)
        ::fcntl(nFd, F_SETFL, nFlags & ~O_NONBLOCK);
    const BoundedRead read =
        st.st_size > kMaxSendBytes ? BoundedRead::TooLarge : ReadAllBounded(nFd, kMaxSendBytes, out);
    ::close(nFd);
    return read == BoundedRead::Ok ? TFTP_OK : TFTP_ERR_FILE_READ;
}

CMemoryFile::~CMemoryFile()
{
    if (m_nFd >= 0)
        ::close(m_nFd);
}

bool CMemoryFile::Create(const std::string& bytes)
{
    m_nFd = ::memfd_create("velnor-tftp-stdin", MFD_CLOEXEC);
    if (m_nFd < 0)
        return false;
    if (!WriteAllTo(m_nFd, bytes))
        return false;
    // Opened by name, the file starts at its beginning with an offset of its own.
    m_strPath = "/proc/self/fd/" + std::to_string(m_nFd);
    return true;
}

int CreateTraceFile(const std::string& strPath, std::string& strError)
{
    const int nFd =
        ::open(strPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600);
    if (nFd < 0) {
        const int nError = errno;
        strError = "cannot create the trace file " + EscapeForTerminal(strPath) + ": "
                   + (nError == EEXIST ? std::string("it exists (the trace is always a new file)")
                                       : std::string(std::strerror(nError)));
    }
    return nFd;
}

bool WriteAllTo(int nFd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t nWritten = ::write(nFd, bytes.data(), bytes.size());
        if (nWritten < 0 && errno == EINTR)
            continue;
        if (nWritten <= 0)
            return false;
        bytes.remove_prefix(static_cast<std::size_t>(nWritten));
    }
    return true;
}

TftpResult CheckReceiveTarget(const std::string& strPath)
{
    // The very check the engine makes before a real get sends its request, so that --check can say no
    // more and no less than the run itself would (a read-only file is refused for root too).
    return CheckReplaceable(strPath) == ReplaceOutcome::Replaced ? TFTP_OK : TFTP_ERR_FILE_OPEN;
}

bool FileHoldsBytes(const std::string& strPath, std::string_view bytes)
{
    const int nFd = ::open(strPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (nFd < 0)
        return false;
    struct stat st {};
    bool bSame = false;
    if (::fstat(nFd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size == static_cast<off_t>(bytes.size())) {
        std::string content;
        bSame = ReadAllBounded(nFd, static_cast<std::int64_t>(bytes.size()), content) == BoundedRead::Ok
                && content == bytes;
    }
    ::close(nFd);
    return bSame;
}
