#include "LocalFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>

#include "FileBytes.h"

namespace {

void FillStatus(const struct stat& st, CLocalFile::Status& status)
{
    status.bRegular = S_ISREG(st.st_mode);
    status.nSize = static_cast<std::int64_t>(st.st_size);
    status.nPermissions = st.st_mode & 07777;
}

}  // namespace

CLocalFile::~CLocalFile()
{
    Abort();
}

bool CLocalFile::OpenForRead(const std::string& strPath, Status& status)
{
    Abort();
    // Non-blocking only for the open itself: a pipe at the path would otherwise hold the window
    // until some writer appears.
    int nHandle = ::open(strPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (nHandle < 0) {
        m_nLastError = errno;
        return false;
    }
    struct stat st {};
    if (::fstat(nHandle, &st) != 0) {
        m_nLastError = errno;
        ::close(nHandle);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        // A folder opens fine for reading on this system but has no bytes to send; a device could
        // hand out bytes for ever.
        m_nLastError = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        ::close(nHandle);
        return false;
    }
    int nFlags = ::fcntl(nHandle, F_GETFL);
    if (nFlags >= 0)
        ::fcntl(nHandle, F_SETFL, nFlags & ~O_NONBLOCK);
    FillStatus(st, status);
    m_nHandle = nHandle;
    return true;
}

bool CLocalFile::CreateExclusive(const std::string& strPath, mode_t nMode)
{
    Abort();
    // O_EXCL refuses every existing name, a symbolic link too (dangling or not); O_NOFOLLOW says the
    // same once more for a reader of this line.
    int nHandle =
        ::open(strPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, nMode);
    if (nHandle < 0) {
        m_nLastError = errno;
        return false;
    }
    m_nHandle = nHandle;
    return true;
}

bool CLocalFile::SetPermissions(mode_t nPermissions)
{
    if (::fchmod(m_nHandle, nPermissions) != 0) {
        m_nLastError = errno;
        return false;
    }
    return true;
}

bool CLocalFile::SetOwner(uid_t nOwner, gid_t nGroup)
{
    if (::fchown(m_nHandle, nOwner, nGroup) != 0) {
        m_nLastError = errno;
        return false;
    }
    return true;
}

std::int64_t CLocalFile::Read(void* pBuffer, std::size_t nCount)
{
    auto* p = static_cast<unsigned char*>(pBuffer);
    std::size_t nDone = 0;
    // The system may return less than asked before the end of the file (signals, some file
    // systems); callers rely on a short count meaning the end.
    while (nDone < nCount) {
        ssize_t n = ::read(m_nHandle, p + nDone, nCount - nDone);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            m_nLastError = errno;
            return -1;
        }
        if (n == 0)
            break;
        nDone += static_cast<std::size_t>(n);
    }
    return static_cast<std::int64_t>(nDone);
}

bool CLocalFile::Write(const void* pBuffer, std::size_t nCount)
{
    if (!WriteAllTo(m_nHandle, std::string_view(static_cast<const char*>(pBuffer), nCount))) {
        m_nLastError = errno;
        return false;
    }
    return true;
}

bool CLocalFile::Flush()
{
    if (::fsync(m_nHandle) != 0) {
        m_nLastError = errno;
        return false;
    }
    return true;
}

bool CLocalFile::Close()
{
    if (m_nHandle < 0)
        return true;
    int nHandle = m_nHandle;
    m_nHandle = -1;
    // Not retried on EINTR: on this system the handle is gone whatever close reports.
    if (::close(nHandle) != 0) {
        m_nLastError = errno;
        return false;
    }
    return true;
}

void CLocalFile::Abort()
{
    if (m_nHandle >= 0) {
        ::close(m_nHandle);
        m_nHandle = -1;
    }
}
