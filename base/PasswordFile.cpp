#include "PasswordFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "FileBytes.h"
#include "SafeText.h"

namespace {

std::string Named(const std::string& strPath, const std::string& strShown)
{
    if (strPath == "-")
        return "standard input";
    return "the password file " + (strShown.empty() ? EscapeForTerminal(strPath) : strShown);
}

}  // namespace

PasswordFileResult ReadPasswordFile(const std::string& strPath, std::size_t nMaxBytes, const std::string& strShown)
{
    PasswordFileResult result;
    const bool bStdin = strPath == "-";
    int nFd = STDIN_FILENO;
    if (!bStdin) {
        // A named pipe (a shell's process substitution) is a fine source: the open may wait for its writer.
        nFd = ::open(strPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
        if (nFd < 0) {
            result.strError = "cannot read " + Named(strPath, strShown) + ": " + std::strerror(errno);
            return result;
        }
    }
    struct stat st {};
    const bool bKnown = ::fstat(nFd, &st) == 0;
    std::string text;
    BoundedRead read = BoundedRead::Failed;
    int nError = 0;
    if (bKnown && S_ISDIR(st.st_mode)) {
        nError = EISDIR;
    } else {
        // A line end may follow the longest password; one byte more is enough to know it is too long.
        read = ReadAllBounded(nFd, static_cast<std::int64_t>(nMaxBytes) + 2, text);
        nError = errno;
    }
    if (!bStdin)
        ::close(nFd);

    if (nError == EISDIR && read == BoundedRead::Failed) {
        result.strError = Named(strPath, strShown) + " is a folder";
        return result;
    }
    if (read == BoundedRead::Failed) {
        result.strError = "cannot read " + Named(strPath, strShown) + ": " + std::strerror(nError);
        return result;
    }
    text = StripOneNewline(std::move(text));
    if (read == BoundedRead::TooLarge || text.size() > nMaxBytes) {
        result.strError = Named(strPath, strShown) + " holds more than " + std::to_string(nMaxBytes) +
                          " bytes: not a password";
        result.nCode = TFTP_ERR_BAD_PASSWORD;
        return result;
    }
    if (text.empty()) {
        // Read as "no password", a configuration request would go out without the one meant.
        result.strError = Named(strPath, strShown) + " is empty" + (bStdin ? " (or closed)" : "");
        return result;
    }
    if (!bStdin && bKnown && S_ISREG(st.st_mode) && (st.st_mode & (S_IRGRP | S_IROTH)) != 0) {
        result.strWarning = Named(strPath, strShown) + " can be read by other users (chmod 600 "
                            + EscapeForTerminal(strPath) + ")";
    }
    result.password = std::move(text);
    return result;
}

std::string StripOneNewline(std::string text)
{
    if (!text.empty() && text.back() == '\n') {
        text.pop_back();
        if (!text.empty() && text.back() == '\r')
            text.pop_back();
    }
    return text;
}
