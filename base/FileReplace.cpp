#include "FileReplace.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string_view>

#include "FileBytes.h"
#include "LocalFile.h"

namespace {

constexpr mode_t kPermissionBits = 0777;
constexpr mode_t kGroupBits = 0070;
constexpr mode_t kAnyWrite = 0222;
// A chain of links longer than this is taken for a loop, as the system itself does.
constexpr int kMaxLinkHops = 40;
constexpr unsigned kTemporaryNameAttempts = 64;
// Leaves room for the prefix and the suffix within the usual 255-byte limit of a name.
constexpr std::size_t kMaxTemporaryBaseName = 200;
constexpr std::string_view kTemporaryMark = ".velnor-";
constexpr std::string_view kTemporarySuffix = ".tmp";
constexpr std::size_t kTemporaryRandomLength = 12;
constexpr char kTemporaryDigits[] = "0123456789abcdefghijklmnopqrstuv";

// The temporary file of the replacement under way, for RemovePendingTemporaryFile. A plain buffer and
// a lock-free flag: a signal handler may read them at any moment.
char s_pendingTemporary[4096];
std::atomic<bool> s_bPendingTemporary{false};
static_assert(std::atomic<bool>::is_always_lock_free);

void SetPendingTemporary(const std::string& strPath)
{
    if (strPath.size() >= sizeof s_pendingTemporary)
        return;  // not remembered; a later save into the folder removes it once it is stale
    std::memcpy(s_pendingTemporary, strPath.c_str(), strPath.size() + 1);
    s_bPendingTemporary.store(true, std::memory_order_release);
}

void ClearPendingTemporary()
{
    s_bPendingTemporary.store(false, std::memory_order_release);
}

// Holds SIGINT and SIGTERM back on this thread while a temporary file is created and remembered: a
// signal that came between the two would end the program with the file on disk but not yet known to
// RemovePendingTemporaryFile. A signal held back is taken as soon as the guard ends.
class CEndingSignalsHeld {
public:
    CEndingSignalsHeld()
    {
        sigset_t held;
        sigemptyset(&held);
        sigaddset(&held, SIGINT);
        sigaddset(&held, SIGTERM);
        ::pthread_sigmask(SIG_BLOCK, &held, &m_previous);
    }
    ~CEndingSignalsHeld() { ::pthread_sigmask(SIG_SETMASK, &m_previous, nullptr); }
    CEndingSignalsHeld(const CEndingSignalsHeld&) = delete;
    CEndingSignalsHeld& operator=(const CEndingSignalsHeld&) = delete;

private:
    sigset_t m_previous {};
};

std::string FolderOf(const std::string& strPath)
{
    const std::string strFolder = std::filesystem::path(strPath).parent_path().string();
    return strFolder.empty() ? std::string(".") : strFolder;
}

// A folder that everyone may write and whose sticky bit is set (/tmp): only a name's owner may remove
// or rename it, and another user may have put any name there.
bool IsSharedStickyFolder(const struct stat& folder)
{
    return (folder.st_mode & S_ISVTX) && (folder.st_mode & S_IWOTH);
}

// In such a folder, a name that belongs neither to us nor to the folder's owner was put there by
// someone else: neither followed as a link nor replaced as a file.
bool IsStrangersNameInSharedFolder(const std::string& strPath, const struct stat& entry)
{
    struct stat folder {};
    if (::stat(FolderOf(strPath).c_str(), &folder) != 0)
        return true;
    return IsSharedStickyFolder(folder) && entry.st_uid != ::geteuid() && entry.st_uid != folder.st_uid;
}

// What a replacement of a path would do: write target (the path, or where its links lead), replacing
// the file described by old when bExists.
struct ReplaceTarget {
    std::string strPath;
    bool bExists = false;
    struct stat old {};
};

// The link rules and every refusal of the header, in one place for the check before a transfer and the
// replacement itself. A refusal says in why which file refused and for what reason.
bool ResolveTarget(const std::string& strPath, const ReplaceRules& rules, ReplaceTarget& target, LocalFailure& why)
{
    using Kind = LocalFailure::Kind;
    auto refuse = [&why](Kind kind, const std::string& strFile, int nError = 0) {
        why = LocalFailure{kind, strFile, nError, 0};
        return false;
    };
    if (strPath.empty())
        return refuse(Kind::System, strPath, ENOENT);
    std::string strCurrent = strPath;
    for (int nHop = 0;; ++nHop) {
        struct stat entry {};
        if (::lstat(strCurrent.c_str(), &entry) != 0) {
            // Nothing of that name: a new file, unless a link led here.
            if (errno == ENOENT && nHop > 0)
                return refuse(Kind::DanglingLink, strPath);
            if (errno != ENOENT)
                return refuse(Kind::System, strCurrent, errno);
            target.strPath = strCurrent;
            target.bExists = false;
            break;
        }
        if (rules.link == LinkRule::Follow && IsStrangersNameInSharedFolder(strCurrent, entry))
            return refuse(Kind::StrangersName, strCurrent);
        if (!S_ISLNK(entry.st_mode)) {
            target.strPath = strCurrent;
            target.bExists = true;
            target.old = entry;
            break;
        }
        if (rules.link == LinkRule::Refuse)
            return refuse(Kind::System, strCurrent, ELOOP);
        if (rules.link == LinkRule::ReplaceLink) {
            // The link goes, and the new file takes its name as a new one.
            target.strPath = strCurrent;
            target.bExists = false;
            break;
        }
        if (nHop == kMaxLinkHops)
            return refuse(Kind::System, strPath, ELOOP);
        std::error_code ec;
        const std::filesystem::path link = std::filesystem::read_symlink(strCurrent, ec);
        if (ec || link.empty())
            return refuse(Kind::System, strCurrent, ec ? ec.value() : ENOENT);
        strCurrent = link.is_absolute() ? link.string()
                                        : (std::filesystem::path(strCurrent).parent_path() / link).string();
    }

    if (target.bExists && S_ISDIR(target.old.st_mode))
        return refuse(Kind::Folder, target.strPath);
    if (target.bExists && rules.mode == ModeRule::KeepOld) {
        if (!S_ISREG(target.old.st_mode))
            return refuse(Kind::NotOrdinary, target.strPath);
        if ((target.old.st_mode & kAnyWrite) == 0)
            return refuse(Kind::ReadOnly, target.strPath);
        // With the effective identity, as an open for writing would judge it: this also catches a
        // read-only file system and an immutable file, for root as for anyone.
        if (::faccessat(AT_FDCWD, target.strPath.c_str(), W_OK, AT_EACCESS) != 0)
            return refuse(Kind::System, target.strPath, errno);
    }
    const std::string strFolder = FolderOf(target.strPath);
    if (::faccessat(AT_FDCWD, strFolder.c_str(), W_OK | X_OK, AT_EACCESS) == 0)
        return true;
    // The file could not be created there: the system's reason, as a creation would give it.
    return refuse(errno == ENOENT ? Kind::NoFolder : Kind::System, target.strPath, errno);
}

std::string RandomTemporaryName(const std::string& strTarget, bool bShortenLongNames)
{
    const std::filesystem::path target(strTarget);
    std::string strBase = target.filename().string();
    if (bShortenLongNames && strBase.size() > kMaxTemporaryBaseName)
        strBase.resize(kMaxTemporaryBaseName);
    // Unpredictable, so that nobody can place a name in the way of the next save.
    std::random_device random;
    const std::uint64_t nBits = (std::uint64_t{random()} << 32) ^ random();
    std::string strName = ".";
    strName += strBase;
    strName += kTemporaryMark;
    for (std::size_t i = 0; i < kTemporaryRandomLength; ++i)
        strName += kTemporaryDigits[(nBits >> (i * 5)) & 0x1F];
    strName += kTemporarySuffix;
    return (target.parent_path() / strName).string();
}

// Gives the new file what the old one had: its permission bits, and when root replaces it, its owner and
// group. False only when root cannot keep the owner: the file would otherwise pass to root, and its
// owner would lose it.
bool KeepOwnerAndPermissions(CLocalFile& file, const struct stat& old)
{
    mode_t nPermissions = old.st_mode & kPermissionBits;
    if (::geteuid() == 0) {
        if (!file.SetOwner(old.st_uid, old.st_gid))
            return false;
    } else if (old.st_gid != ::getegid() && !file.SetOwner(static_cast<uid_t>(-1), old.st_gid)) {
        // The new file belongs to our own group, not to the old one's: the old group's permissions must
        // not pass to ours.
        nPermissions &= ~kGroupBits;
    }
    // A failure leaves the file at 0600: only more private than the one it replaces, never less.
    file.SetPermissions(nPermissions);
    return true;
}

// The permission bits the new file gets by the mode rule, decided before it is created.
struct NewFileBits {
    bool bFromOld = false;   // KeepOld: the old file's bits and owner (KeepOwnerAndPermissions)
    bool bMasked = false;    // created with nBits, less the creation mask, and left so
    mode_t nBits = 0600;     // otherwise set exactly once created
};

NewFileBits BitsFor(const ReplaceRules& rules, const ReplaceTarget& target)
{
    NewFileBits bits;
    if (target.bExists && rules.mode == ModeRule::KeepOld) {
        bits.bFromOld = true;
        return bits;
    }
    if (target.bExists && rules.mode == ModeRule::KeepOwn && S_ISREG(target.old.st_mode)
        && target.old.st_uid == ::geteuid()) {
        bits.nBits = target.old.st_mode & kPermissionBits;
        return bits;
    }
    // As for a new file.
    bits.bMasked = !rules.bNewFileModeExact;
    bits.nBits = rules.bNewFileModeExact ? (rules.nNewFileMode & kPermissionBits) : rules.nNewFileMode;
    return bits;
}

}  // namespace

bool IsTemporaryFileName(const std::string& strName)
{
    std::string_view name = strName;
    // Received files were saved through temporary names without the suffix before the settings file
    // shared them; such a name left by a killed save of that time is ours too.
    if (name.ends_with(kTemporarySuffix))
        name.remove_suffix(kTemporarySuffix.size());
    const std::size_t nTail = kTemporaryMark.size() + kTemporaryRandomLength;
    // "." + at least one byte of the target's name + the tail.
    if (name.size() < 2 + nTail || name[0] != '.')
        return false;
    const std::string_view tail = name.substr(name.size() - nTail);
    return tail.starts_with(kTemporaryMark) &&
           tail.substr(kTemporaryMark.size()).find_first_not_of(kTemporaryDigits) == std::string_view::npos;
}

ReplaceOutcome CheckReplaceable(const std::string& strPath, LocalFailure* pWhy, const ReplaceRules& rules)
{
    ReplaceTarget target;
    LocalFailure why;
    if (ResolveTarget(strPath, rules, target, why))
        return ReplaceOutcome::Replaced;
    if (pWhy)
        *pWhy = why;
    return ReplaceOutcome::Refused;
}

ReplaceOutcome ReplaceWholeFile(const std::string& strPath, const ReplaceRules& rules,
                                const std::function<bool(CLocalFile&)>& fill, LocalFailure* pWhy, ReplaceStep* pStep)
{
    LocalFailure why;
    ReplaceStep nStep = ReplaceStep::Target;
    auto fail = [&](ReplaceOutcome nOutcome) {
        if (pWhy)
            *pWhy = why;
        if (pStep)
            *pStep = nStep;
        return nOutcome;
    };
    // Checked again here: the world may have changed since a check before the transfer.
    ReplaceTarget target;
    if (!ResolveTarget(strPath, rules, target, why))
        return fail(ReplaceOutcome::Refused);
    const std::string strFolder = FolderOf(target.strPath);
    // What a killed save left in the folder: only our temporary names, only once no save can still be
    // writing them.
    if (rules.bSweepLeftovers)
        RemoveStaleLeftovers(strFolder, IsTemporaryFileName, kStaleTemporaryMinutes);

    const NewFileBits bits = BitsFor(rules, target);
    CLocalFile file;
    std::string strTemporary;
    bool bCreated = false;
    // 0600 while it is written; a new file created with the usual permissions gets them at once.
    const mode_t nCreateMode = bits.bMasked ? bits.nBits : 0600;
    {
        const CEndingSignalsHeld held;
        for (unsigned nAttempt = 0; nAttempt < kTemporaryNameAttempts && !bCreated; ++nAttempt) {
            strTemporary = rules.temporaryName ? rules.temporaryName(nAttempt)
                                               : RandomTemporaryName(target.strPath, rules.bShortenLongNames);
            bCreated = file.CreateExclusive(strTemporary, nCreateMode);
            if (!bCreated && file.LastError() != EEXIST)
                break;
        }
        if (bCreated)
            SetPendingTemporary(strTemporary);
    }
    // The temporary file is ours; a person knows the file they chose, and the reason is the same.
    why = LocalFailure{LocalFailure::Kind::System, target.strPath, file.LastError(), 0};
    nStep = ReplaceStep::Create;
    if (!bCreated)
        return fail(ReplaceOutcome::Refused);

    ReplaceOutcome nOutcome = ReplaceOutcome::Replaced;
    auto stopAt = [&](ReplaceStep nAt, ReplaceOutcome nWhat) {
        nStep = nAt;
        nOutcome = nWhat;
    };
    if (bits.bFromOld) {
        if (!KeepOwnerAndPermissions(file, target.old))
            stopAt(ReplaceStep::Owner, ReplaceOutcome::SaveFailed);
    } else if (!bits.bMasked) {
        // The creation mask may have narrowed the bits. Under KeepOld a failure leaves them only
        // narrower; under the other rules the caller's bits are wanted (a reader of another user).
        if (!file.SetPermissions(bits.nBits) && rules.mode != ModeRule::KeepOld)
            stopAt(ReplaceStep::Permissions, ReplaceOutcome::SaveFailed);
    }
    if (nOutcome == ReplaceOutcome::Replaced && !fill(file))
        stopAt(ReplaceStep::Write, ReplaceOutcome::WriteFailed);
    // The data must be on disk before the rename makes it the file; otherwise a crash right after the
    // rename could leave an empty file in place of the old one.
    if (nOutcome == ReplaceOutcome::Replaced && !file.Flush())
        stopAt(ReplaceStep::Flush, ReplaceOutcome::SaveFailed);
    if (nOutcome == ReplaceOutcome::Replaced && !file.Close())
        stopAt(ReplaceStep::Flush, ReplaceOutcome::SaveFailed);
    why.nError = file.LastError();
    if (nOutcome == ReplaceOutcome::Replaced && std::rename(strTemporary.c_str(), target.strPath.c_str()) != 0) {
        why.nError = errno;
        stopAt(ReplaceStep::Rename, ReplaceOutcome::SaveFailed);
    }
    if (nOutcome != ReplaceOutcome::Replaced) {
        file.Abort();
        ::unlink(strTemporary.c_str());
        ClearPendingTemporary();
        return fail(nOutcome);
    }
    // Cleared only after the rename: a signal in between finds no file of that name to remove, whereas
    // clearing it first could leave the temporary file behind.
    ClearPendingTemporary();
    // Makes the rename itself durable, unless the caller flushes the folder once for many files.
    if (rules.bFlushFolder)
        FlushFolder(strFolder);
    if (pStep)
        *pStep = ReplaceStep::None;
    return ReplaceOutcome::Replaced;
}

void RemovePendingTemporaryFile() noexcept
{
    if (s_bPendingTemporary.load(std::memory_order_acquire))
        ::unlink(s_pendingTemporary);
}
