#include "RevisionFile.h"

#include <vector>

#include "ConfStore.h"
#include "FolderLock.h"
#include "GitStore.h"
#include "SafeText.h"

namespace fs = std::filesystem;

namespace {

std::string FirstLine(const std::string& text)
{
    return text.substr(0, text.find('\n'));
}

bool HoldsAnyCopy(const fs::path& dir)
{
    std::error_code ec;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir, ec)) {
        if (entry.path().extension() == ".conf" && entry.is_regular_file(ec))
            return true;
    }
    return false;
}

StoredCopy FromRevision(const fs::path& dir, const std::string& fileName, const std::string& strRevision)
{
    StoredCopy copy;
    const CGitStore git(dir);
    const std::string shownDir = EscapeForTerminal(dir.string());
    const CGitStore::Run prefix = git.Git({"rev-parse", "--show-prefix"});
    if (!prefix.bStarted) {
        copy.strError = "cannot run git (is it installed?)";
        return copy;
    }
    if (prefix.nExit != 0) {
        copy.strError = shownDir + " is not a backup folder with a history (--revision needs the git "
                                   "repository that backup --git keeps)";
        return copy;
    }
    const std::string shownRevision = EscapeForTerminal(strRevision);
    std::string commit;
    if (const std::optional<std::string> date = RevisionDate(strRevision)) {
        // The last commit of the folder's own line of history made before that date, whatever this
        // clone's reflog remembers.
        const CGitStore::Run before = git.Git({"rev-list", "-1", "--first-parent", "--before=" + *date, "HEAD", "--"});
        commit = before.nExit == 0 ? FirstLine(before.out) : std::string();
        if (commit.empty()) {
            copy.strError = "no commit of " + shownDir + " is older than " + shownRevision;
            return copy;
        }
    } else {
        const CGitStore::Run resolved =
            git.Git({"rev-parse", "--verify", "--quiet", "--end-of-options", strRevision + "^{commit}"});
        commit = resolved.nExit == 0 ? FirstLine(resolved.out) : std::string();
        if (commit.empty()) {
            copy.strError = "no revision " + shownRevision + " in the history of " + shownDir;
            return copy;
        }
    }
    const std::string path = FirstLine(prefix.out) + fileName;
    const CGitStore::Run blob = git.Git({"cat-file", "blob", commit + ":" + path});
    if (blob.nExit != 0) {
        copy.strError = "revision " + shownRevision + " (" + commit.substr(0, 12) + ") holds no "
                        + EscapeForTerminal(fileName);
        return copy;
    }
    copy.bytes = blob.out;
    copy.commit = commit;
    return copy;
}

}  // namespace

std::optional<std::string> RevisionDate(const std::string& strRevision)
{
    if (strRevision.size() < 4 || strRevision.compare(0, 2, "@{") != 0 || strRevision.back() != '}')
        return std::nullopt;
    const std::string inner = strRevision.substr(2, strRevision.size() - 3);
    if (inner == "u" || inner == "upstream" || inner == "push" || inner.front() == '-')
        return std::nullopt;
    if (inner.find_first_not_of("0123456789") == std::string::npos)
        return std::nullopt;
    return inner;
}

StoredCopy ReadStoredCopy(const fs::path& dir, const std::string& fileName, const std::optional<std::string>& revision,
                          int nWaitLockSeconds)
{
    StoredCopy copy;
    std::error_code ec;
    const std::string shownDir = EscapeForTerminal(dir.string());
    if (!fs::is_directory(dir, ec)) {
        copy.strError = shownDir + " is not a backup folder (no such folder)";
        return copy;
    }
    std::string strLockError;
    const std::optional<FolderLock> lock =
        FolderLock::Take(dir.string(), FolderLock::Kind::Shared, nWaitLockSeconds, &strLockError);
    if (!lock) {
        copy.strError = strLockError;
        return copy;
    }
    if (revision)
        return FromRevision(dir, fileName, *revision);
    const fs::path file = dir / fileName;
    if (!fs::is_regular_file(fs::symlink_status(file, ec))) {
        copy.strError = HoldsAnyCopy(dir) ? shownDir + " holds no copy " + EscapeForTerminal(fileName)
                                          : shownDir + " is not a backup folder (it holds no copy of a router)";
        return copy;
    }
    if (!ReadFileBytes(file, copy.bytes))
        copy.strError = "cannot read " + EscapeForTerminal(file.string());
    return copy;
}
