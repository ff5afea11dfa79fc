#pragma once
// The backup's output folder as the backup finds it at the start: made when missing, refused when
// someone else could change what lands in it, and cleared of what a cut-short run left.

#include <filesystem>
#include <optional>
#include <string>

#include "FolderLock.h"

// DIR exists (created with mode 0700 when missing, its missing parents as usual) and is a folder that
// this user owns, that no group or other user may write into, and that this process may write into;
// its lock is taken into *pLock (waiting up to nWaitLockSeconds) before anything in it is touched;
// hidden files of replacements that were cut short, old enough to be nobody's work in progress, are
// removed. The reason for a refusal, naming the folder, or nothing.
//
// Another user's folder, or one others may write into, would let them plant a file at a copy's name
// or swap one between our check and our rename: the copies hold router passwords, and the backup
// often runs as root.
std::optional<std::string> PrepareBackupFolder(const std::filesystem::path& dir, int nWaitLockSeconds,
                                               std::optional<FolderLock>* pLock);

// A warning when others may enter DIR and read what is in it: the copies are 0600, but a history
// (.git) made before it was private, or one of a repository shared on purpose, holds every copy ever
// made. Nothing when DIR is its owner's alone or cannot be looked at.
std::optional<std::string> BackupFolderOpenToOthers(const std::filesystem::path& dir);
