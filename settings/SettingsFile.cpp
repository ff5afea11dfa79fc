#include "SettingsFile.h"

#include "FileBytes.h"
#include "LocalFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <new>
#include <string_view>

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

private:
    int m_fd;
};

SettingsFileContents Unreadable()
{
    SettingsFileContents contents;
    contents.nStatus = SettingsFileStatus::Unreadable;
    return contents;
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
        const bool bRead = ReadEachPiece(file.Get(), [&](std::string_view piece) {
            const std::size_t nRoom = nMaxBytes - bytes.size();
            if (piece.size() > nRoom) {
                bytes.insert(bytes.end(), piece.begin(), piece.begin() + static_cast<std::ptrdiff_t>(nRoom));
                contents.bCut = true;
                return false;
            }
            bytes.insert(bytes.end(), piece.begin(), piece.end());
            return true;
        });
        if (!bRead && !contents.bCut)
            return Unreadable();
    } catch (const std::bad_alloc&) {
        return Unreadable();
    }
    return contents;
}

bool ReplaceSettingsFile(const std::filesystem::path& path, std::span<const std::uint8_t> bytes)
{
    // The settings file is the user's, as a received file is: a link at its name is followed and the
    // file it leads to keeps its permissions. It names addresses and a folder, nothing secret: a first
    // file gets the usual permissions, as any file the user creates.
    ReplaceRules rules;
    rules.link = LinkRule::Follow;
    rules.mode = ModeRule::KeepOld;
    rules.nNewFileMode = 0666;
    rules.bNewFileModeExact = false;
    return ReplaceWholeFile(path.string(), rules, [bytes](CLocalFile& file) {
               return file.Write(bytes.data(), bytes.size());
           }) == ReplaceOutcome::Replaced;
}
