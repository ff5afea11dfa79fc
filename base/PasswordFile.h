#pragma once
// The one reader of password files: velnor-tftp --password-file, and every row of a backup's list.

#include <cstddef>
#include <optional>
#include <string>

#include "ResultCodes.h"

struct PasswordFileResult {
    std::optional<std::string> password;   // set when the file was accepted
    std::string strError;                  // why it was refused
    std::optional<TftpResult> nCode;       // the window's code for the refusal, when it has one
    std::string strWarning;                // accepted, but worth telling (readable by others)
};

// The password from file strPath, or from standard input for "-". One trailing line end is removed.
// A folder, a read error, an empty content (or a closed standard input) and more than nMaxBytes
// bytes are refused; at most a few bytes past the limit are ever read (a device such as /dev/zero
// ends there). The texts name the file as strShown when given (as a list wrote it), else as strPath.
PasswordFileResult ReadPasswordFile(const std::string& strPath, std::size_t nMaxBytes,
                                    const std::string& strShown = {});

// Removes one trailing line end ("\n" or "\r\n") that an editor or `echo` leaves in a password file.
std::string StripOneNewline(std::string text);
