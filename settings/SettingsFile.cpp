#include "SettingsFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <string>
#include <system_error>

namespace {

// Closes a descriptor on every way out of a scope.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd)
        : m_fd(fd)
    {
    }
    ~FileDescriptor()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int Get() const { return m_fd; }
    // Closes now, so that the caller sees an error that close reports (a delayed write failure on
    // some file systems).
    bool Close()
    {
        const int fd = m_fd;
        m_fd = -1;
        return ::close(fd) == 0;
    }

private:
    int m_fd;
};

SettingsFileContents Unreadable()
{
    SettingsFileContents contents;
    contents.nStatus = SettingsFileStatus::Unreadable;
    return contents;
}

bool WriteAll(int fd, std::span<const std::uint8_t> bytes)
{
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        bytes = bytes.subspan(static_cast<std::size_t>(n));
    }
    return true;
}

// The file that a write to path really changes: the target of a symbolic link, so that replacing
// the file does not turn the link into a file of its own.
std::filesystem::path ResolveTarget(const std::filesystem::path& path)
{
    std::error_code ec;
    if (std::filesystem::is_symlink(path, ec)) {
        std::filesystem::path target = std::filesystem::canonical(path, ec);
        if (!ec)
            return target;
    }
    return path;
}

// Opens a new file of the given name for writing. A file of that name can only be left over from
// an earlier process with our process id that died during a save, so it is removed once.
int CreateTempFile(const std::filesystem::path& temp)
{
    for (int nAttempt = 0; nAttempt < 2; ++nAttempt) {
        const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST)
            return fd;
        if (::unlink(temp.c_str()) != 0)
            return -1;
    }
    return -1;
}

}  // namespace

SettingsFileContents ReadSettingsFile(const std::filesystem::path& path, std::size_t nMaxBytes)
{
    // Non-blocking, so that a FIFO of that name cannot hang the start-up.
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (file.Get() < 0) {
        SettingsFileContents contents;
        contents.nStatus = errno == ENOENT ? SettingsFileStatus::Missing : SettingsFileStatus::Unreadable;
        return contents;
    }

    struct stat status {};
    if (::fstat(file.Get(), &status) != 0 || !S_ISREG(status.st_mode))
        return Unreadable();
    // The file is opened without sharing: while another process holds an exclusive lock on it (it
    // is being written), it counts as unreadable. File systems without locks do not stop the read.
    if (::flock(file.Get(), LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK)
        return Unreadable();

    SettingsFileContents contents;
    contents.nStatus = SettingsFileStatus::Read;
    try {
        std::vector<std::uint8_t>& bytes = contents.bytes;
        const std::size_t nExpected =
            static_cast<std::uint64_t>(status.st_size) < nMaxBytes ? static_cast<std::size_t>(status.st_size) : nMaxBytes;
        bytes.reserve(nExpected);
        std::uint8_t buffer[4096];
        for (;;) {
            const ssize_t n = ::read(file.Get(), buffer, sizeof buffer);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                return Unreadable();
            }
            if (n == 0)
                break;
            const std::size_t nRoom = nMaxBytes - bytes.size();
            if (static_cast<std::size_t>(n) > nRoom) {
                bytes.insert(bytes.end(), buffer, buffer + nRoom);
                contents.bCut = true;
                break;
            }
            bytes.insert(bytes.end(), buffer, buffer + n);
        }
    } catch (const std::bad_alloc&) {
        return Unreadable();
    }
    return contents;
}

std::filesystem::path SettingsTempPath(const std::filesystem::path& path)
{
    // Appended piece by piece: GCC 12 at -O3 warns falsely (-Wrestrict) on a chain of string +.
    std::string strName = ".";
    strName += path.filename().string();
    strName += '.';
    strName += std::to_string(::getpid());
    strName += ".tmp";
    std::filesystem::path temp = path;
    temp.replace_filename(strName);
    return temp;
}

bool ReplaceSettingsFile(const std::filesystem::path& path, std::span<const std::uint8_t> bytes)
{
    const std::filesystem::path target = ResolveTarget(path);

    // A file that the user has made read-only keeps its contents, as it did when the file was
    // rewritten in place. (A rename would not be stopped by the file's own permissions.)
    struct stat oldStatus {};
    const bool bOldExists = ::stat(target.c_str(), &oldStatus) == 0;
    if (bOldExists && ::access(target.c_str(), W_OK) != 0)
        return false;

    const std::filesystem::path temp = SettingsTempPath(target);
    FileDescriptor file(CreateTempFile(temp));
    if (file.Get() < 0)
        return false;

    bool bWritten = true;
    // The new file takes the old one's permissions; a first file gets the usual 0666 less umask.
    if (bOldExists && S_ISREG(oldStatus.st_mode))
        bWritten = ::fchmod(file.Get(), oldStatus.st_mode & 07777) == 0;
    bWritten = bWritten && WriteAll(file.Get(), bytes);
    // The data must be on disk before the rename makes it the settings file; otherwise a crash
    // right after the rename could leave an empty file in place of the old one.
    bWritten = bWritten && ::fsync(file.Get()) == 0;
    bWritten = file.Close() && bWritten;
    if (!bWritten || ::rename(temp.c_str(), target.c_str()) != 0) {
        ::unlink(temp.c_str());
        return false;
    }

    // Makes the rename itself durable. Its failure changes nothing that has been done.
    std::filesystem::path folder = target.parent_path();
    if (folder.empty())
        folder = ".";
    FileDescriptor directory(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory.Get() >= 0)
        ::fsync(directory.Get());
    return true;
}
