#pragma once
// The one way in which a whole file on disk is replaced: by the engine for a received file, by the
// settings object for the settings file, by the backup for each router's copy, its state file and its
// metrics. Standard library and POSIX only.
//
// The new bytes go to a temporary file beside the target (same folder, so that the final rename is one
// step within one file system), which is written, flushed to disk and then renamed over the target;
// the folder is flushed last, so that the rename itself survives a power cut. At every moment the
// target's name holds either the old file or the complete new one. After a failure the target is
// exactly as it was and no temporary file is left behind.
//
// Every caller says in its ReplaceRules what a symbolic link at the target's name means and whose the
// old file's permissions are; the defaults are those of a received file.
//
// Symbolic links (ReplaceRules::link):
//  - Follow: the file the link leads to is replaced; the link stays a link. For a file the user chose
//    and keeps (a received file, the settings file): that is what editing "the file" means to a user
//    who keeps a link to it, and what writing into the file in place always did. A link that leads
//    nowhere, or round in a circle, is refused, so that no file appears somewhere the user did not
//    choose. Like the system's own rule for links in shared folders, a name in a folder that everyone
//    may write and whose sticky bit is set (such as /tmp), a link or a file, is followed or replaced
//    only when it belongs to this user or to the folder's owner: another user's link there could
//    otherwise point a save by root at any file of the system.
//  - ReplaceLink: the link itself is replaced by the new file, which then counts as a new one; what the
//    link led to is untouched. For a file in a folder of the program's own (the backup's copies, its
//    state): a link there is no choice of the user's, and following it would let bytes from the
//    network land wherever it points.
//  - Refuse: a link at the name is refused with the system's ELOOP, as an open that follows no link
//    reports it, and nothing is written.
//
// Permissions (ReplaceRules::mode). The set-user, set-group and sticky bits never pass to the new file:
// its bytes may come from the network.
//  - KeepOld: the old file is the user's, and so are its permissions: the new file gets its permission
//    bits, and when root replaces it, its owner and group. Its bits are obeyed as well: an old file
//    without any write permission (read-only for root too, as a read-only file is for everyone,
//    although a rename, which needs only the folder's permission, would replace it), one this user
//    could not open for writing, and one that is no ordinary file (a device, a pipe) are refused. Should
//    the bits not be set, the new file stays at 0600: only more private than the old one.
//  - KeepOwn: the old file's permission bits when it is an ordinary file of this user, who chose them;
//    a file someone else put at the name (the folder may be theirs) hands nothing on, and the new file
//    gets nNewFileMode. Whatever is at the name, a folder apart, is replaced.
//  - Given: nNewFileMode, whatever was there; whatever is at the name, a folder apart, is replaced.
// A file that did not exist gets nNewFileMode, exactly or less the process's file creation mask
// (bNewFileModeExact). Under KeepOwn and Given, bits that cannot be set fail the replacement.
//
// Refused under every rule, before anything is written: a folder at the target (or where its link
// leads), and a folder this user cannot create files in, or that does not exist. CheckReplaceable says
// beforehand whether a replacement would be refused (the engine asks before a request goes out).
//
// Temporary files are created exclusively, with mode 0600, so nobody else can slip a link in the
// place of one or open it before it has its final bits, which it gets before the new bytes go in.
// They are named "." + target name + ".velnor-" + 12 random letters or digits + ".tmp": hidden,
// beside the target, named after it so that a leftover says whose it was, and unpredictable, so that
// nobody can place a name in the way of the next save. (Received files had no ".tmp" before the
// settings file shared the routine.) A target name too long to take these within the usual 255-byte
// limit is cut short in its temporary name, so that a user's file of any name can be saved; with
// bShortenLongNames false it is kept whole and the replacement is refused with the system's
// ENAMETOOLONG, as the backup's copies always were.
//
// Leftovers: one left behind by a process that was killed, or by a power cut, is removed by the next
// replacement into the same folder once it is older than kStaleTemporaryMinutes and an ordinary file
// of this user (a replacement still writing its own is younger); nothing else is ever removed. A
// caller that replaces many files in one folder sets bSweepLeftovers to false and sweeps once itself
// with RemoveStaleLeftovers and IsTemporaryFileName (a sweep reads the whole folder).
//
// Folder flush: a caller that replaces many files in one folder sets bFlushFolder to false and flushes
// the folder once, with FlushFolder, when all are in place (the backup's copies). Without any flush
// (the backup's state and metrics), a power cut may bring back the old file, never a broken one.

#include <sys/types.h>

#include <functional>
#include <string>

#include "LocalFailure.h"

class CLocalFile;

enum class ReplaceOutcome {
    Replaced,     // the check: a replacement may go ahead; the replacement: done
    Refused,      // the target or its folder refuses (see above), or no temporary file could be created
    WriteFailed,  // writing the new bytes failed (a full disk included)
    SaveFailed,   // the permissions, the owner, the flush, the close or the rename failed
};

// Where a replacement stopped, for a caller that words its own messages.
enum class ReplaceStep {
    None,         // it did not stop
    Target,       // the target or its folder refuses
    Create,       // no temporary file could be created
    Owner,        // root could not keep the old file's owner (KeepOld)
    Permissions,  // the permission bits could not be set (KeepOwn, Given)
    Write,        // the new bytes could not be written
    Flush,        // the new bytes could not be flushed to disk, or the file not closed
    Rename,       // the rename over the target failed
};

inline constexpr int kStaleTemporaryMinutes = 10;

enum class LinkRule { Follow, ReplaceLink, Refuse };
enum class ModeRule { KeepOld, KeepOwn, Given };

struct ReplaceRules {
    LinkRule link = LinkRule::Follow;
    ModeRule mode = ModeRule::KeepOld;
    // Permission bits of a target that did not exist before (and under KeepOwn and Given, see above).
    mode_t nNewFileMode = 0600;
    // True: exactly nNewFileMode. False: nNewFileMode less the process's file creation mask (the usual
    // permissions of a new file).
    bool bNewFileModeExact = true;
    // Makes the rename durable at once; false for a caller that flushes the folder once itself.
    bool bFlushFolder = true;
    // Removes stale leftovers from the folder first; false for a caller that sweeps once itself.
    bool bSweepLeftovers = true;
    // Cuts a long target name short in the temporary name (see above).
    bool bShortenLongNames = true;
    // For tests: the temporary names tried one after the other (nAttempt from 0), as full paths. Empty:
    // the usual random names beside the target.
    std::function<std::string(unsigned nAttempt)> temporaryName;
};

// Whether a replacement of strPath under rules would be allowed now (Replaced) or is refused (Refused).
// pWhy, when given, receives the file and the reason of a refusal.
ReplaceOutcome CheckReplaceable(const std::string& strPath, LocalFailure* pWhy = nullptr,
                                const ReplaceRules& rules = ReplaceRules());

// Replaces strPath with the bytes that fill writes into the new file (fill returns false when a write
// failed). See above for what is refused and what remains after a failure; pWhy, when given, receives
// the file and the reason of any failure, pStep the step at which it stopped.
ReplaceOutcome ReplaceWholeFile(const std::string& strPath, const ReplaceRules& rules,
                                const std::function<bool(CLocalFile&)>& fill, LocalFailure* pWhy = nullptr,
                                ReplaceStep* pStep = nullptr);

// Whether a file name has the form of our temporary files.
bool IsTemporaryFileName(const std::string& strName);

// Removes the temporary file of a replacement under way, if there is one. Safe to call from a signal
// handler (one unlink, no allocation): a program that ends on SIGINT or SIGTERM calls it so that it
// leaves no temporary file behind.
void RemovePendingTemporaryFile() noexcept;
