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
#include "TftpTransfer.h"

namespace {

std::string Named(const std::string& strPath, const std::string& strShown)
{
    if (strPath == "-")
        return "standard input";
    return "the password file " + (strShown.empty() ? EscapeForTerminal(strPath) : strShown);
}

}  // namespace

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

TftpResult ReadLocalFileBounded(const std::string& strPath, std::string& out, LocalFailure* pWhy)
{
    LocalFailure unused;
    LocalFailure& why = pWhy ? *pWhy : unused;
    // As the engine opens it: never waiting for a pipe's writer, only an ordinary file.
    const int nFd = ::open(strPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (nFd < 0) {
        why = FailureOfOpen(strPath, errno);
        return TFTP_ERR_FILE_OPEN;
    }
    struct stat st {};
    if (::fstat(nFd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (st.st_mode == 0)
            why = LocalFailure{LocalFailure::Kind::System, strPath, errno, 0};
        else
            why = LocalFailure{S_ISDIR(st.st_mode) ? LocalFailure::Kind::Folder : LocalFailure::Kind::NotOrdinary,
                               strPath, 0, 0};
        ::close(nFd);
        return TFTP_ERR_FILE_OPEN;
    }
    const int nFlags = ::fcntl(nFd, F_GETFL);
    if (nFlags >= 0)
        ::fcntl(nFd, F_SETFL, nFlags & ~O_NONBLOCK);
    const BoundedRead read =
        st.st_size > TFTP_MAX_SEND_BYTES ? BoundedRead::TooLarge : ReadAllBounded(nFd, TFTP_MAX_SEND_BYTES, out);
    const int nError = errno;
    ::close(nFd);
    if (read == BoundedRead::TooLarge)
        why = LocalFailure{LocalFailure::Kind::TooLarge, strPath, 0, TFTP_MAX_SEND_BYTES};
    else if (read == BoundedRead::Failed)
        why = LocalFailure{LocalFailure::Kind::System, strPath, nError, 0};
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

TftpResult CheckReceiveTarget(const std::string& strPath, LocalFailure* pWhy)
{
    // The very check the engine makes before a real get sends its request, so that --check can say no
    // more and no less than the run itself would (a read-only file is refused for root too).
    return CheckReplaceable(strPath, pWhy) == ReplaceOutcome::Replaced ? TFTP_OK : TFTP_ERR_FILE_OPEN;
}

CFileComparison::CFileComparison(const std::string& strPath, std::int64_t nSize) : m_nSize(nSize)
{
    m_nFd = ::open(strPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    struct stat st {};
    m_bDiffers = m_nFd < 0 || ::fstat(m_nFd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size != nSize;
}

CFileComparison::~CFileComparison()
{
    if (m_nFd >= 0)
        ::close(m_nFd);
}

bool CFileComparison::Next(std::string_view piece)
{
    char buffer[64 * 1024];
    while (!m_bDiffers && !piece.empty()) {
        // More bytes than the file had when it was measured: it differs, or it changed meanwhile.
        if (static_cast<std::int64_t>(piece.size()) > m_nSize - m_nCompared) {
            m_bDiffers = true;
            break;
        }
        const ssize_t nRead = ::read(m_nFd, buffer, std::min(piece.size(), sizeof buffer));
        if (nRead < 0 && errno == EINTR)
            continue;
        // A file that ends early (or cannot be read) does not hold the bytes.
        const auto nLength = static_cast<std::size_t>(nRead);
        if (nRead <= 0 || std::memcmp(buffer, piece.data(), nLength) != 0) {
            m_bDiffers = true;
            break;
        }
        piece.remove_prefix(nLength);
        m_nCompared += nRead;
    }
    return !m_bDiffers;
}

bool CFileComparison::Same()
{
    if (m_bDiffers || m_nCompared != m_nSize)
        return false;
    // Grown since it was measured.
    char extra = 0;
    ssize_t nRead;
    do {
        nRead = ::read(m_nFd, &extra, 1);
    } while (nRead < 0 && errno == EINTR);
    m_bDiffers = nRead != 0;
    return !m_bDiffers;
}
