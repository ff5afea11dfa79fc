#pragma once
// A router's stored copy in the backup folder: the working copy DIR/NAME.conf, or the file as it was
// in a git revision of the folder's history (a commit, a tag, HEAD~3, or a date as @{2026-12-01}).

#include <filesystem>
#include <optional>
#include <string>

struct StoredCopy {
    std::string bytes;
    std::optional<std::string> commit;  // the revision's full commit id; none for the working copy
    std::string strError;               // why there is no copy: not a backup folder, no such revision ...
};

// A date in the form @{DATE} (not @{N}, a reflog entry, nor @{u}, @{push} or @{-N}): the text between
// the braces; none for any other revision.
std::optional<std::string> RevisionDate(const std::string& strRevision);

// The copy named fileName in dir, or in revision of dir's repository. Holds the folder's lock while it
// reads, so that a backup running meanwhile neither replaces the file nor commits halfway.
// A folder another run holds is waited for up to nWaitLockSeconds (0: refused at once).
StoredCopy ReadStoredCopy(const std::filesystem::path& dir, const std::string& fileName,
                          const std::optional<std::string>& revision, int nWaitLockSeconds);
