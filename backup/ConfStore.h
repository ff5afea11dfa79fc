#pragma once
// The backup folder: DIR/NAME.conf per router, each replaced in one step and only when its bytes
// changed, so that `git status`, file times and anyone reading a copy see either the old file or the
// whole new one. Nothing else is left in DIR: the new bytes go to a hidden file beside the target,
// which is renamed over it or removed.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "FileBytes.h"
#include "LocalFile.h"

enum class ConfReplace { Unchanged, Replaced, Failed };

struct ConfReplaceResult {
    ConfReplace outcome = ConfReplace::Failed;
    std::string strError;  // for Failed: what went wrong, with the system's reason
};

// Puts bytes at target when they differ from what is there, compared a piece at a time (a file of
// another size simply differs), through ReplaceWholeFile (FileReplace.h) with LinkRule::ReplaceLink
// and ModeRule::KeepOwn: a new file is its owner's alone (0600, whatever the creation mask); a
// replaced one keeps its permission bits when it is this user's own, else it becomes 0600 too, and
// the set-user, set-group and sticky bits are never kept. A symbolic link at target is replaced
// by the file, never written through. The new bytes are on the disk before the rename; the rename
// itself is flushed with the folder when bFlushFolder (a caller that replaces many files flushes the
// folder once, with FlushFolder, instead). The folder's leftovers are not swept here but once per run
// (RemoveConfLeftovers).
ConfReplaceResult ReplaceConfIfChanged(const std::filesystem::path& target, const std::string& bytes,
                                       bool bFlushFolder = true);

// A file whose bytes are to become a copy, read a piece at a time (a configuration can be large).
class CConfSource {
public:
    CConfSource() = default;
    ~CConfSource();
    CConfSource(const CConfSource&) = delete;
    CConfSource& operator=(const CConfSource&) = delete;
    // An ordinary file (not through a link); false when it cannot be read.
    bool Open(const std::filesystem::path& path);
    int Fd() const { return m_nFd; }
    std::int64_t Size() const { return m_nSize; }

private:
    int m_nFd = -1;
    std::int64_t m_nSize = 0;
};

// As above, with the bytes of an open source file.
ConfReplaceResult ReplaceConfIfChanged(const std::filesystem::path& target, CConfSource& source,
                                       bool bFlushFolder = true);

// Whether name is that of the hidden file ReplaceConfIfChanged wrote beside a copy before copies were
// replaced by the routine of every replacement (".NAME.conf.new-XXXXXX"); its own temporary names are
// those of IsTemporaryFileName.
bool IsConfLeftoverName(const std::string& name);

// Removes what a replacement that was cut short left in dir: only those hidden files (of either
// form), only ordinary files of this user, and only once they are older than kStaleTemporaryMinutes,
// so that a run still writing into the same folder keeps its own.
void RemoveConfLeftovers(const std::filesystem::path& dir);

// A private folder (mode 0700) for the transfers' own files, in $TMPDIR, else /dev/shm, else /tmp;
// everything in it removed with the object. The folder is locked while the object lives, so that a run
// killed outright leaves one that the next run can tell from a live one.
class CWorkFolder {
public:
    CWorkFolder();
    ~CWorkFolder();
    CWorkFolder(const CWorkFolder&) = delete;
    CWorkFolder& operator=(const CWorkFolder&) = delete;
    bool IsValid() const { return !m_path.empty(); }
    const std::filesystem::path& Path() const { return m_path; }

    // Removes this user's work folders that no live run holds and that are at least nMinAgeSeconds
    // old (those of a run that was killed outright), in every place a work folder is made.
    static void SweepOrphans(int nMinAgeSeconds = kStaleTemporaryMinutes * 60);

private:
    std::filesystem::path m_path;
    int m_nLockFd = -1;
};
