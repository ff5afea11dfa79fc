#pragma once
// One run at a time per backup folder: an advisory lock (flock) on DIR/.velnor/lock. The kernel
// lets go of it when its process ends, however it ends, so a killed run never leaves a stale lock.
// The exclusive holder writes its process id and start time into the file, so that a refused run
// can name it.

#include <optional>
#include <string>

class FolderLock {
public:
    enum class Kind { Shared, Exclusive };

    // Takes the lock of the backup folder strDir (DIR/.velnor/lock), waiting up to nWaitSeconds (0: one try).
    // nullopt and *pstrError (naming the folder and the holder) when it cannot.
    // A shared lock of a folder without DIR/.velnor/lock holds nothing and creates nothing: there is
    // no writer to keep out, and a reader must not write.
    static std::optional<FolderLock> Take(const std::string& strDir, Kind kind, int nWaitSeconds, std::string* pstrError);

    FolderLock(FolderLock&& other) noexcept;
    FolderLock& operator=(FolderLock&& other) noexcept;
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;
    ~FolderLock();  // releases

    // DIR/.velnor, the folder of the backup's own files.
    static std::string StateFolder(const std::string& strDir);

private:
    FolderLock(int nFd, Kind kind) : m_nFd(nFd), m_kind(kind) {}
    void Release() noexcept;

    int m_nFd = -1;
    Kind m_kind = Kind::Shared;
};
