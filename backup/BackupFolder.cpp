#include "BackupFolder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "ConfStore.h"
#include "SafeText.h"

std::optional<std::string> PrepareBackupFolder(const std::filesystem::path& named, int nWaitLockSeconds,
                                               std::optional<FolderLock>* pLock)
{
    // "out/" names the folder out: made by mkdir below, not as a parent.
    std::filesystem::path dir = named;
    while (dir.has_parent_path() && !dir.has_filename() && dir != dir.root_path())
        dir = dir.parent_path();
    const std::string shown = EscapeForTerminal(dir.string());
    std::error_code ec;
    if (!std::filesystem::exists(std::filesystem::symlink_status(dir, ec))) {
        // Its history is as private as each copy: a folder others may enter would let them read the
        // configurations from git's objects.
        if (dir.has_parent_path())
            std::filesystem::create_directories(dir.parent_path(), ec);
        if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
            return "cannot create the output folder " + shown + ": " + std::strerror(errno);
    }
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return "the output folder " + shown + " is not a folder";
    if (st.st_uid != ::geteuid())
        return "the output folder " + shown + " belongs to another user (uid " + std::to_string(st.st_uid)
               + "): its files could be changed under the backup";
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return "the output folder " + shown + " can be written by other users than its owner (chmod go-w "
               + shown + ")";
    if (::access(dir.c_str(), W_OK | X_OK) != 0)
        return "cannot write into the output folder " + shown;
    std::string strLockError;
    *pLock = FolderLock::Take(dir.string(), FolderLock::Kind::Exclusive, nWaitLockSeconds, &strLockError);
    if (!*pLock)
        return strLockError + "; nothing was sent";
    RemoveConfLeftovers(dir);
    return std::nullopt;
}

std::optional<std::string> BackupFolderOpenToOthers(const std::filesystem::path& dir)
{
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || (st.st_mode & (S_IXGRP | S_IXOTH)) == 0)
        return std::nullopt;
    const std::string shown = EscapeForTerminal(dir.string());
    return "other users may enter " + shown + ": any history there (git) shows them every configuration "
           "with its passwords (chmod 700 " + shown + ")";
}
