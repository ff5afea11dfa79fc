#pragma once
// What velnor-tftp reads and opens before anything goes out: the password file, a file from standard
// input, the local file for a comparison or a check, and the trace file. Each refusal is a text for
// the user (naming the file) rather than an exception, and no read is ever unbounded.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "FileBytes.h"
#include "FileComparison.h"
#include "LocalFailure.h"
#include "PasswordFile.h"
#include "Operations.h"
#include "TftpTypes.h"

// The console's password file: at most the router's longest password.
inline PasswordFileResult ReadPasswordFile(const std::string& strPath, const std::string& strShown = {})
{
    return ReadPasswordFile(strPath, MAX_PASSWORD_BYTES, strShown);
}

// The local file of a put, read whole as the engine would read it: 0, TFTP_ERR_FILE_OPEN (missing,
// unreadable, not an ordinary file) or TFTP_ERR_FILE_READ (larger than a transfer can carry, or a
// failing read). pWhy, when given, receives the file and the reason of a failure.
TftpResult ReadLocalFileBounded(const std::string& strPath, std::string& out, LocalFailure* pWhy = nullptr);

// A file of the process's own that holds bytes (those from standard input) and that the engine opens
// by name like any local file: nothing on disk, nothing to remove. The name, or empty on failure.
class CMemoryFile {
public:
    CMemoryFile() = default;
    ~CMemoryFile();
    CMemoryFile(const CMemoryFile&) = delete;
    CMemoryFile& operator=(const CMemoryFile&) = delete;
    bool Create(const std::string& bytes);
    const std::string& Path() const { return m_strPath; }

private:
    int m_nFd = -1;
    std::string m_strPath;
};

// Creates the trace file: a new file (an existing name is refused), never through a symbolic link,
// mode 0600. The descriptor, or -1 with the reason in strError.
int CreateTraceFile(const std::string& strPath, std::string& strError);

// Whether a received file could be saved at strPath, judged without writing anything, by the rules of
// the save itself (an ordinary file with write permission, a folder that takes a new file). 0 or
// TFTP_ERR_FILE_OPEN, with the file and the reason in pWhy when it is given.
TftpResult CheckReceiveTarget(const std::string& strPath, LocalFailure* pWhy = nullptr);
