#include "LocalFailure.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace {

std::string FolderOf(const std::string& strPath)
{
    const std::string strFolder = std::filesystem::path(strPath).parent_path().string();
    return strFolder.empty() ? std::string(".") : strFolder;
}

}  // namespace

LocalFailure FailureOfOpen(const std::string& strPath, int nError)
{
    LocalFailure failure{LocalFailure::Kind::System, strPath, nError, 0};
    if (nError == EISDIR) {
        failure.kind = LocalFailure::Kind::Folder;
    } else if (nError == EINVAL) {
        // What CLocalFile::OpenForRead leaves for a device or a pipe, which open itself takes.
        failure.kind = LocalFailure::Kind::NotOrdinary;
    } else if (nError == ENOENT) {
        // "No such file or directory" leaves a person to guess which of the two is missing.
        struct stat folder {};
        if (::stat(FolderOf(strPath).c_str(), &folder) != 0 && errno == ENOENT)
            failure.kind = LocalFailure::Kind::NoFolder;
    }
    return failure;
}

std::string DescribeLocalFailure(const LocalFailure& failure)
{
    std::string reason;
    switch (failure.kind) {
    case LocalFailure::Kind::None:
        return {};
    case LocalFailure::Kind::System:
        // A step that failed without leaving the system's reason: better no line than "Success".
        if (failure.nError == 0)
            return {};
        reason = std::strerror(failure.nError);
        break;
    case LocalFailure::Kind::Folder:
        reason = "is a folder";
        break;
    case LocalFailure::Kind::NotOrdinary:
        reason = "is not an ordinary file";
        break;
    case LocalFailure::Kind::ReadOnly:
        reason = "is read-only";
        break;
    case LocalFailure::Kind::NoFolder:
        reason = "the folder " + FolderOf(failure.strPath) + " does not exist";
        break;
    case LocalFailure::Kind::DanglingLink:
        reason = "is a symbolic link that leads to no file";
        break;
    case LocalFailure::Kind::StrangersName:
        reason = "belongs to another user in a folder that everyone may write";
        break;
    case LocalFailure::Kind::TooLarge:
        reason = "is larger than the " + std::to_string(failure.nLimit) + " bytes one transfer can carry";
        break;
    case LocalFailure::Kind::Changed:
        reason = "changed while it was read";
        break;
    }
    return failure.strPath + ": " + reason;
}
