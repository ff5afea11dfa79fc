#include "SimStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "FileBytes.h"

namespace velnor::sim {

namespace {

// Opens a file of the folder for reading only when it is a regular file and not a link. O_NONBLOCK so
// that a FIFO planted under the name cannot hold the router.
int OpenRegular(const std::filesystem::path& path, int* pError)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *pError = errno;
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        *pError = ENOENT;  // a folder or a device under the name is no file of the router's
        return -1;
    }
    return fd;
}

bool ReadAll(int fd, Bytes* content)
{
    struct stat st {};
    if (::fstat(fd, &st) == 0)
        content->reserve(static_cast<std::size_t>(st.st_size));  // sized up front: a test file may be large
    return ReadEachPiece(fd, [content](std::string_view piece) {
        content->insert(content->end(), piece.begin(), piece.end());
        return true;
    });
}

bool WriteAll(int fd, const Bytes& content)
{
    return WriteAllTo(fd, std::string_view(reinterpret_cast<const char*>(content.data()), content.size()));
}

}  // namespace

RouterFiles::Load RouterFiles::Read(const std::string& name, Bytes* content) const
{
    int e = 0;
    const int fd = OpenRegular(m_folder / name, &e);
    if (fd < 0)
        return e == ENOENT || e == ENOTDIR ? Load::Missing : Load::Refused;  // ELOOP: a link
    content->clear();
    const bool bOk = ReadAll(fd, content);
    ::close(fd);
    return bOk ? Load::Ok : Load::Refused;
}

int RouterFiles::CreateTemporary(const std::string& name, std::filesystem::path* tempPath, std::string* error) const
{
    *tempPath = m_folder / ("." + name + ".incoming");
    for (int attempt = 0; attempt < 2; ++attempt) {
        const int fd = ::open(tempPath->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd >= 0)
            return fd;
        if (errno != EEXIST || attempt > 0)
            break;
        // The name is taken: a file left by a router that was killed, or something planted. unlink
        // removes the name itself, a link included, and never what a link points to.
        if (::unlink(tempPath->c_str()) != 0 && errno != ENOENT)
            break;
    }
    *error = std::strerror(errno);
    tempPath->clear();
    return -1;
}

bool RouterFiles::Commit(const std::filesystem::path& tempPath, const std::string& name, std::string* error) const
{
    // rename replaces the name in the folder; a link under the target's name is replaced, not followed.
    if (::rename(tempPath.c_str(), (m_folder / name).c_str()) != 0) {
        *error = std::strerror(errno);
        return false;
    }
    return true;
}

bool PrepareRouterFolder(const std::filesystem::path& root, const std::string& address,
                         std::filesystem::path* folder, std::string* error)
{
    *folder = root / address;
    struct stat st {};
    if (::lstat(folder->c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
            return true;
        *error = "\"" + folder->string() + "\" is not a folder (a link or a file is not used)";
        return false;
    }
    if (errno != ENOENT || ::mkdir(folder->c_str(), 0755) != 0) {
        *error = "cannot make the folder \"" + folder->string() + "\": " + std::strerror(errno);
        return false;
    }
    const RouterFiles samples(root);
    for (const char* name : ROUTER_FILE_NAMES) {
        Bytes content;
        if (samples.Read(name, &content) != RouterFiles::Load::Ok)
            continue;  // only the samples there are, and never one that is a link
        const auto target = *folder / name;
        const int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        const bool bOk = fd >= 0 && WriteAll(fd, content);
        const int e = errno;
        if (fd >= 0 && ::close(fd) != 0 && bOk) {
            *error = "cannot write \"" + target.string() + "\": " + std::strerror(errno);
            return false;
        }
        if (!bOk) {
            *error = "cannot write \"" + target.string() + "\": " + std::strerror(e);
            return false;
        }
    }
    return true;
}

}  // namespace velnor::sim
