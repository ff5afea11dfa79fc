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
