#include "FileBytes.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

bool WriteAllTo(int nFd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t nWritten = ::write(nFd, bytes.data(), bytes.size());
        if (nWritten < 0 && errno == EINTR)
            continue;
        if (nWritten <= 0) {
            if (nWritten == 0)
                errno = ENOSPC;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(nWritten));
    }
    return true;
}

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

bool ReadEachPiece(int nFd, const std::function<bool(std::string_view piece)>& visit)
{
    char buffer[64 * 1024];
    for (;;) {
        const ssize_t n = ::read(nFd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n == 0;
        if (!visit(std::string_view(buffer, static_cast<std::size_t>(n))))
            return false;
    }
}

bool ReadFileBytes(const std::string& strPath, std::string& bytes)
{
    bytes.clear();
    const int nFd = ::open(strPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (nFd < 0)
        return false;
    const bool bRead = ReadEachPiece(nFd, [&bytes](std::string_view piece) {
        bytes.append(piece);
        return true;
    });
    const int nError = errno;
    ::close(nFd);
    errno = nError;
    return bRead;
}

void FlushFolder(const std::string& strFolder)
{
    const int nFolder = ::open(strFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (nFolder >= 0) {
        ::fsync(nFolder);
        ::close(nFolder);
    }
}

void RemoveStaleLeftovers(const std::string& strFolder, const std::function<bool(const std::string&)>& isLeftover,
                          int nMinAgeMinutes)
{
    DIR* pDir = ::opendir(strFolder.c_str());
    if (!pDir)
        return;
    const std::time_t nNow = std::time(nullptr);
    while (const dirent* pEntry = ::readdir(pDir)) {
        if (!isLeftover(pEntry->d_name))
            continue;
        struct stat entry {};
        if (::fstatat(::dirfd(pDir), pEntry->d_name, &entry, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        if (!S_ISREG(entry.st_mode) || entry.st_uid != ::geteuid())
            continue;
        if (nNow - entry.st_mtime < std::time_t{nMinAgeMinutes} * 60)
            continue;
        ::unlinkat(::dirfd(pDir), pEntry->d_name, 0);
    }
    ::closedir(pDir);
}
