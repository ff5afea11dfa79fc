#pragma once
// What velnor-tftp reads and opens before anything goes out: the password file, a file from standard
// input, the local file for a comparison or a check, and the trace file. Each refusal is a text for
// the user (naming the file) rather than an exception, and no read is ever unbounded.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "FileBytes.h"
#include "LocalFailure.h"
#include "TftpTypes.h"

struct PasswordFileResult {
    std::optional<std::string> password;   // set when the file was accepted
    std::string strError;                  // why it was refused
    std::optional<TftpResult> nCode;       // the window's code for the refusal, when it has one
    std::string strWarning;                // accepted, but worth telling (readable by others)
};

// The password from file strPath, or from standard input for "-". One trailing line end is removed.
// A folder, a read error, an empty content (or a closed standard input) and more than 32 bytes are
// refused; at most a few bytes past the limit are ever read (a device such as /dev/zero ends there).
// The texts name the file as strShown when given (as a list wrote it), else as strPath. The one
// reader of password files: velnor-tftp --password-file, and every row of a backup's list.
PasswordFileResult ReadPasswordFile(const std::string& strPath, const std::string& strShown = {});

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

// Whether the file at strPath holds exactly the bytes handed to Next, piece by piece, in order: the
// file is read alongside in pieces of its own, so that neither side is ever held whole. A file that
// cannot be read, is no ordinary file or has another size than nSize differs at once.
class CFileComparison {
public:
    CFileComparison(const std::string& strPath, std::int64_t nSize);
    ~CFileComparison();
    CFileComparison(const CFileComparison&) = delete;
    CFileComparison& operator=(const CFileComparison&) = delete;

    // The next piece of the bytes; false as soon as the file is known to differ.
    bool Next(std::string_view piece);
    // Every byte of the file was handed over, and matched, and the file has no more.
    bool Same();

private:
    int m_nFd = -1;
    std::int64_t m_nSize = 0;
    std::int64_t m_nCompared = 0;
    bool m_bDiffers = false;
};
