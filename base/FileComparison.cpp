#include "FileComparison.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

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
