#include "ConfStore.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <string_view>

#include "FileComparison.h"
#include "FileBytes.h"

namespace {

std::string Reason(int nError) { return std::strerror(nError); }

constexpr std::string_view kWorkFolderPrefix = "velnor-backup-";

// The folder the user named for temporary files; without one, memory (/dev/shm), so that the
// transfers' own saves cost no disk flush and no copy of a configuration reaches a disk outside DIR.
std::vector<std::filesystem::path> WorkFolderBases()
{
    std::vector<std::filesystem::path> bases;
    if (const char* tmpdir = std::getenv("TMPDIR"); tmpdir && *tmpdir)
        bases.emplace_back(tmpdir);
    bases.emplace_back("/dev/shm");
    bases.emplace_back("/tmp");
    return bases;
}

}  // namespace

bool IsConfLeftoverName(const std::string& name)
{
    // ".NAME.conf.new-XXXXXX", from ReplaceConfIfChanged of a run that lost power before its rename, as
    // copies were written before they shared the routine of every replacement.
    const std::size_t mark = name.rfind(".conf.new-");
    return name.size() > 1 && name[0] == '.' && mark != std::string::npos && mark > 1
           && name.size() == mark + std::string_view(".conf.new-").size() + 6;
}

void RemoveConfLeftovers(const std::filesystem::path& dir)
{
    RemoveStaleLeftovers(
        dir, [](const std::string& name) { return IsTemporaryFileName(name) || IsConfLeftoverName(name); },
        kStaleTemporaryMinutes);
}

namespace {

// The new bytes of a copy, handed to visit piece by piece; false when visit or a read failed.
using ConfPieces = std::function<bool(const std::function<bool(std::string_view piece)>& visit)>;

ConfReplaceResult ReplaceConfWith(const std::filesystem::path& target, std::int64_t nSize, const ConfPieces& pieces,
                                  bool bFlushFolder)
{
    struct stat old {};
    const bool bExists = ::lstat(target.c_str(), &old) == 0;
    if (bExists && S_ISREG(old.st_mode) && old.st_size == nSize) {
        // Compared a piece at a time: neither the copy nor the new bytes are ever held whole.
        CFileComparison comparison(target.string(), nSize);
        pieces([&](std::string_view piece) { return comparison.Next(piece); });
        if (comparison.Same())
            return {ConfReplace::Unchanged, {}};
    }
    // The folder is the backup's own: a link at a copy's name is no choice of the user's, and is
    // replaced, never followed (following it would let the router's bytes land wherever it points).
    // A configuration can hold secrets: a new copy is its owner's alone, as a file that velnor-tftp
    // get receives is; a copy the user has opened up keeps what they chose, and only a copy of our own
    // says what we chose.
    ReplaceRules rules;
    rules.link = LinkRule::ReplaceLink;
    rules.mode = ModeRule::KeepOwn;
    rules.nNewFileMode = 0600;
    rules.bNewFileModeExact = true;
    rules.bFlushFolder = bFlushFolder;
    // The run sweeps the folder once at its start (RemoveConfLeftovers), not once per copy.
    rules.bSweepLeftovers = false;
    rules.bShortenLongNames = false;
    int nReadError = 0;
    LocalFailure why;
    ReplaceStep step = ReplaceStep::None;
    const ReplaceOutcome outcome = ReplaceWholeFile(
        target.string(), rules,
        [&](CLocalFile& file) {
            bool bWriteFailed = false;
            const bool bDone = pieces([&](std::string_view piece) {
                bWriteFailed = !file.Write(piece.data(), piece.size());
                return !bWriteFailed;
            });
            // A source that could not be read says its own reason.
            if (!bDone && !bWriteFailed)
                nReadError = errno;
            return bDone;
        },
        &why, &step);
    if (outcome == ReplaceOutcome::Replaced)
        return {ConfReplace::Replaced, {}};
    const std::string shown = target.string();
    switch (step) {
    case ReplaceStep::Target:
        if (why.kind == LocalFailure::Kind::Folder)
            return {ConfReplace::Failed, "cannot replace " + shown + ": " + Reason(EISDIR)};
        [[fallthrough]];
    case ReplaceStep::Create:
        return {ConfReplace::Failed, "cannot create a file in " + target.parent_path().string() + ": " + Reason(why.nError)};
    case ReplaceStep::Permissions:
        return {ConfReplace::Failed, "cannot set the permissions of " + shown + ": " + Reason(why.nError)};
    case ReplaceStep::Rename:
        return {ConfReplace::Failed, "cannot replace " + shown + ": " + Reason(why.nError)};
    case ReplaceStep::Write:
        return {ConfReplace::Failed, "cannot write " + shown + ": " + Reason(nReadError ? nReadError : why.nError)};
    case ReplaceStep::None:
    case ReplaceStep::Owner:
    case ReplaceStep::Flush:
        break;
    }
    return {ConfReplace::Failed, "cannot write " + shown + ": " + Reason(why.nError)};
}

}  // namespace

ConfReplaceResult ReplaceConfIfChanged(const std::filesystem::path& target, const std::string& bytes,
                                       bool bFlushFolder)
{
    return ReplaceConfWith(
        target, static_cast<std::int64_t>(bytes.size()),
        [&bytes](const auto& visit) { return bytes.empty() || visit(bytes); }, bFlushFolder);
}

CConfSource::~CConfSource()
{
    if (m_nFd >= 0)
        ::close(m_nFd);
}

bool CConfSource::Open(const std::filesystem::path& path)
{
    m_nFd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    struct stat st {};
    if (m_nFd < 0 || ::fstat(m_nFd, &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    m_nSize = st.st_size;
    return true;
}

ConfReplaceResult ReplaceConfIfChanged(const std::filesystem::path& target, CConfSource& source, bool bFlushFolder)
{
    const int fd = source.Fd();
    return ReplaceConfWith(
        target, source.Size(),
        [fd](const auto& visit) {
            // From its start each time: once for the comparison, once for the copy.
            return ::lseek(fd, 0, SEEK_SET) == 0 && ReadEachPiece(fd, visit);
        },
        bFlushFolder);
}

CWorkFolder::CWorkFolder()
{
    for (const std::filesystem::path& base : WorkFolderBases()) {
        std::string pattern = (base / (std::string(kWorkFolderPrefix) + "XXXXXX")).string();
        if (::mkdtemp(pattern.data())) {
            m_path = pattern;
            // Held for the whole run: the sign, for the next run's sweep, that this folder is in use.
            m_nLockFd = ::open(m_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (m_nLockFd >= 0)
                ::flock(m_nLockFd, LOCK_EX);
            return;
        }
    }
}

void CWorkFolder::SweepOrphans(int nMinAgeSeconds)
{
    const std::time_t nNow = std::time(nullptr);
    for (const std::filesystem::path& base : WorkFolderBases()) {
        std::error_code ec;
        for (const std::filesystem::directory_entry& entry : std::filesystem::directory_iterator(base, ec)) {
            const std::string name = entry.path().filename().string();
            if (name.size() != kWorkFolderPrefix.size() + 6 || name.compare(0, kWorkFolderPrefix.size(), kWorkFolderPrefix) != 0)
                continue;
            // Ours only, and only when no run holds it: the lock goes with the process that took it,
            // however it ended. The age covers the moment between a folder's creation and its lock.
            const int fd = ::open(entry.path().c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (fd < 0)
                continue;
            struct stat st {};
            const bool bCandidate = ::fstat(fd, &st) == 0 && st.st_uid == ::geteuid()
                                    && nNow - st.st_mtime >= nMinAgeSeconds && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
            if (bCandidate)
                std::filesystem::remove_all(entry.path(), ec);
            ::close(fd);
        }
    }
}

CWorkFolder::~CWorkFolder()
{
    if (m_path.empty())
        return;
    if (m_nLockFd >= 0)
        ::close(m_nLockFd);
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}
