#pragma once
// Why the local file could not serve, as the code that met the failure knows it: the file and the
// system's reason. The result code says which step failed (open, read, write, save) and keeps the
// window's message; this says what a person needs to mend it. Standard library only.

#include <string>

struct LocalFailure {
    enum class Kind {
        None,           // nothing known: no extra line
        System,         // the system refused, nError says why
        Folder,         // a folder where a file was wanted
        NotOrdinary,    // a device, a pipe or a socket
        ReadOnly,       // no write permission at all in its permission bits
        NoFolder,       // the folder that would hold the file does not exist
        DanglingLink,   // a symbolic link that leads to no file
        StrangersName,  // another user's name in a folder that everyone may write (/tmp)
        TooLarge,       // more bytes than one transfer can carry
        Changed,        // its size changed while it was read
    };
    Kind kind = Kind::None;
    std::string strPath;  // the file it is about
    int nError = 0;       // the system's error number, for Kind::System
    long long nLimit = 0; // the most bytes a transfer carries, for Kind::TooLarge

    bool IsKnown() const { return kind != Kind::None; }
};

// What a refusal to open strPath for reading (nError, as CLocalFile::OpenForRead leaves it) means for
// the file: a folder, no ordinary file, a missing folder, or the system's reason as it is.
LocalFailure FailureOfOpen(const std::string& strPath, int nError);

// One line's text without line end: the file, a colon and the reason, e.g.
// "/srv/conf/gw1.txt: Permission denied", "/srv/conf: is a folder",
// "/srv/new/gw1.txt: the folder /srv/new does not exist". Empty for Kind::None. The path is as it is:
// a terminal's caller escapes it.
std::string DescribeLocalFailure(const LocalFailure& failure);
