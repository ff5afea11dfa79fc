#pragma once
// The only code that touches the user's local file. Standard library and POSIX only, so that the
// settings room, which has no Qt, shares it. The one way a whole file is replaced, which writes through
// this object, is in FileReplace.h, included here for the users of both.
//
// A thin file object in the manner of the framework's file class, whose failures are results rather
// than exceptions. Every failing call leaves the system's error number in LastError().

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "FileReplace.h"
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
