#include "FolderLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "SafeText.h"
#include "TimeText.h"

namespace {

constexpr long kPollMs = 100;  // how often a waiting run tries again

void SleepMs(long nMs)
{
    timespec ts{nMs / 1000, (nMs % 1000) * 1000000};
    while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

// "process 1234 (started 2026-12-09T03:04:05+01:00)" from the holder's lines, or a plain word when
// the holder wrote none (a reader, or a writer that has only just taken it).
std::string DescribeHolder(int nFd)
{
    char buffer[256] = {};
    const ssize_t n = ::pread(nFd, buffer, sizeof buffer - 1, 0);
    std::string pid, started;
    if (n > 0) {
        const std::string text(buffer, static_cast<std::size_t>(n));
        std::size_t pos = 0;
        while (pos < text.size()) {
            std::size_t end = text.find('\n', pos);
            if (end == std::string::npos)
                end = text.size();
            const std::string line = text.substr(pos, end - pos);
            if (line.rfind("pid ", 0) == 0)
                pid = line.substr(4);
            else if (line.rfind("started ", 0) == 0)
                started = line.substr(8);
            pos = end + 1;
        }
    }
    if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos)
        return "another process";
    std::string text = "process " + pid;
    if (!started.empty())
        text += " (started " + EscapeForTerminal(started) + ")";
    return text;
}

}  // namespace

std::string FolderLock::StateFolder(const std::string& strDir)
{
    return strDir + "/.velnor";
}

std::optional<FolderLock> FolderLock::Take(const std::string& strDir, Kind kind, int nWaitSeconds, std::string* pstrError)
{
    const std::string strState = StateFolder(strDir);
    const std::string strLock = strState + "/lock";
    auto fail = [&](const std::string& text) -> std::optional<FolderLock> {
        if (pstrError)
            *pstrError = text;
        return std::nullopt;
    };
    const std::string strShown = EscapeForTerminal(strDir);

    int nFd = -1;
    if (kind == Kind::Exclusive) {
        if (::mkdir(strState.c_str(), 0700) != 0 && errno != EEXIST)
            return fail("cannot create " + EscapeForTerminal(strState) + ": " + std::strerror(errno));
        // The backup's own folder, not a link to somewhere else nor another user's.
        struct stat st {};
        if (::lstat(strState.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid())
            return fail(EscapeForTerminal(strState) + " is not a folder of this user");
        nFd = ::open(strLock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    } else {
        nFd = ::open(strLock.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (nFd < 0 && (errno == ENOENT || errno == ENOTDIR))
            return FolderLock(-1, kind);
    }
    if (nFd < 0)
        return fail("cannot open the lock " + EscapeForTerminal(strLock) + ": " + std::strerror(errno));

    const int nOperation = (kind == Kind::Exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB;
    const long long nDeadline = MonotonicMs() + static_cast<long long>(nWaitSeconds) * 1000;
    while (::flock(nFd, nOperation) != 0) {
        if (errno == EINTR)
            continue;
        if (errno != EWOULDBLOCK) {
            const std::string reason = std::strerror(errno);
            ::close(nFd);
            return fail("cannot lock " + EscapeForTerminal(strLock) + ": " + reason);
        }
        const long long nLeft = nDeadline - MonotonicMs();
        if (nLeft <= 0) {
            std::string text = "the backup folder " + strShown + " is in use by " + DescribeHolder(nFd);
            if (nWaitSeconds > 0)
                text += "; gave up after waiting " + std::to_string(nWaitSeconds) + " s";
            ::close(nFd);
            return fail(text);
        }
        SleepMs(nLeft < kPollMs ? static_cast<long>(nLeft) : kPollMs);
    }
    if (kind == Kind::Exclusive) {
        const std::string text = "pid " + std::to_string(::getpid()) + "\nstarted " + FormatLocalTime(std::time(nullptr))
                                 + "\n";
        if (::ftruncate(nFd, 0) != 0 || ::pwrite(nFd, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) {
            // The lock holds all the same; only a refused run would name its holder less well.
        }
    }
    return FolderLock(nFd, kind);
}

FolderLock::FolderLock(FolderLock&& other) noexcept : m_nFd(other.m_nFd), m_kind(other.m_kind)
{
    other.m_nFd = -1;
}

FolderLock& FolderLock::operator=(FolderLock&& other) noexcept
{
    if (this != &other) {
        Release();
        m_nFd = other.m_nFd;
        m_kind = other.m_kind;
        other.m_nFd = -1;
    }
    return *this;
}

FolderLock::~FolderLock()
{
    Release();
}

void FolderLock::Release() noexcept
{
    if (m_nFd < 0)
        return;
    // The holder's lines go with the holder: a reader taking the lock next is not named after it.
    if (m_kind == Kind::Exclusive) {
        [[maybe_unused]] const int nIgnored = ::ftruncate(m_nFd, 0);
    }
    ::flock(m_nFd, LOCK_UN);
    ::close(m_nFd);
    m_nFd = -1;
}
