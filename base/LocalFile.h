#pragma once
// The only code that touches the user's local file, and the one way in which a whole file on disk is
// replaced: by the engine for a received file, and by the settings object for the settings file.
// Standard library and POSIX only, so that the settings room, which has no Qt, shares it.
//
// A thin file object in the manner of the framework's file class, whose failures are results rather
// than exceptions. Every failing call leaves the system's error number in LastError().

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "LocalFailure.h"

class CLocalFile {
public:
    CLocalFile() = default;
    ~CLocalFile();
    CLocalFile(const CLocalFile&) = delete;
    CLocalFile& operator=(const CLocalFile&) = delete;

    // What an opened file is.
    struct Status {
        bool bRegular = false;      // an ordinary file (not a folder, device or pipe)
        std::int64_t nSize = 0;
        mode_t nPermissions = 0;    // the permission bits (rwx for owner, group, others)
    };

    // Opens an existing ordinary file for reading. A folder, a device or a pipe is refused (the
    // open never waits for a pipe's writer). status receives what the open file is.
    bool OpenForRead(const std::string& strPath, Status& status);
    // Creates a new file for writing that must not exist yet under any form: an existing name, a
    // symbolic link included (even one that leads nowhere), is never opened or followed. nMode is
    // passed to the system, which applies the process's file creation mask to it.
    bool CreateExclusive(const std::string& strPath, mode_t nMode);
    // Sets the permission bits of the open file exactly, without the creation mask.
    bool SetPermissions(mode_t nPermissions);
    // Gives the open file an owner and a group; -1 leaves that one as it is.
    bool SetOwner(uid_t nOwner, gid_t nGroup);

    // Reads up to nCount bytes; fewer only at the end of the file. The count read, or -1 on failure.
    std::int64_t Read(void* pBuffer, std::size_t nCount);
    // Writes all nCount bytes (a short write, disk full included, is a failure).
    bool Write(const void* pBuffer, std::size_t nCount);
    // Forces the written data onto the disk.
    bool Flush();
    // Closes the file; the object is closed afterwards even when the close fails.
    bool Close();
    // Closes the file if it is open, ignoring every error.
    void Abort();
    bool IsOpen() const { return m_nHandle >= 0; }
    int LastError() const { return m_nLastError; }

private:
    int m_nHandle = -1;
    int m_nLastError = 0;
};

// ---------------------------------------------------------------------------------------------
// Replacing a whole file
//
// The new bytes go to a temporary file beside the target (same folder, so that the final rename is one
// step within one file system), which is written, flushed to disk and then renamed over the target;
// the folder is flushed last, so that the rename itself survives a power cut. At every moment the
// target's name holds either the old file or the complete new one.
//
// What is refused, before anything is written (and, by the engine, before a request goes out):
//  - an existing target that is not an ordinary file (a folder, a device, a pipe);
//  - an existing target this user could not open for writing, or whose permission bits hold no write
//    permission at all. The bits count for root too: a file made read-only is read-only for everyone,
//    although a rename, which needs only the folder's permission, would replace it;
//  - a folder this user cannot create files in, or that does not exist.
//
// Symbolic links: a link at the target's name is followed, and the file it leads to is replaced; the
// link stays a link. That is what editing "the file" means to a user who keeps a link to it (and what
// writing into the file in place always did). A link that leads nowhere, or round in a circle, is
// refused, so that no file appears somewhere the user did not choose. Like the system's own rule for
// links in shared folders, a link in a folder that everyone may write and whose sticky bit is set (such
// as /tmp) is followed only when it belongs to this user or to the folder's owner: another user's link
// there could otherwise point a save by root at any file of the system.
//
// Permissions: a replaced file keeps its permission bits, and, when root replaces it, its owner and
// group. A new file gets ReplaceRules::nNewFileMode. The temporary file is created exclusively, with
// mode 0600, so nobody else can read it or slip a link in its place while it is written.
//
// Temporary files are named "." + target name + ".velnor-" + 12 random letters or digits + ".tmp"
// (received files had no ".tmp" before the settings file shared the routine). One left behind by a process that was killed is removed by the next save into the same folder once it
// is older than kStaleTemporaryMinutes and belongs to this user; nothing else is ever removed.

enum class ReplaceOutcome {
    Replaced,     // the check: a replacement may go ahead; the replacement: done
    Refused,      // the target or its folder refuses (see above), or no temporary file could be created
    WriteFailed,  // writing the new bytes failed (a full disk included)
    SaveFailed,   // the flush, the close, keeping the owner, or the rename failed
};
// After Refused, WriteFailed and SaveFailed the target is exactly as it was and no temporary file is
// left behind.

inline constexpr int kStaleTemporaryMinutes = 10;

struct ReplaceRules {
    // Permission bits of a target that did not exist before.
    mode_t nNewFileMode = 0600;
    // True: exactly nNewFileMode. False: nNewFileMode less the process's file creation mask (the usual
    // permissions of a new file).
    bool bNewFileModeExact = true;
    // For tests: the temporary names tried one after the other (nAttempt from 0), as full paths. Empty:
    // the usual random names beside the target.
    std::function<std::string(unsigned nAttempt)> temporaryName;
};

// Whether a replacement of strPath would be allowed now (Replaced) or is refused (Refused). pWhy, when
// given, receives the file and the reason of a refusal.
ReplaceOutcome CheckReplaceable(const std::string& strPath, LocalFailure* pWhy = nullptr);

// Replaces strPath with the bytes that fill writes into the new file (fill returns false when a write
// failed). See above for what is refused and what remains after a failure; pWhy, when given, receives
// the file and the reason of any failure.
ReplaceOutcome ReplaceWholeFile(const std::string& strPath, const ReplaceRules& rules,
                                const std::function<bool(CLocalFile&)>& fill, LocalFailure* pWhy = nullptr);

// Whether a file name has the form of our temporary files.
bool IsTemporaryFileName(const std::string& strName);

// Removes the temporary file of a replacement under way, if there is one. Safe to call from a signal
// handler (one unlink, no allocation): a program that ends on SIGINT or SIGTERM calls it so that it
// leaves no temporary file behind.
void RemovePendingTemporaryFile() noexcept;
