#pragma once
// The backup folder's history, kept by the `git` program: the folder becomes (or lies in) a
// repository, and a run's changed files become one commit that touches nothing else.

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

class CGitStore {
public:
    explicit CGitStore(std::filesystem::path dir);

    // Makes the folder a repository unless it already lies in one (a new one private to its owner,
    // core.sharedRepository 0600), and settles the identity of the commits: the user's own when git
    // knows one (user.name and user.email, or git's variables), otherwise "velnor-tftp". False with a
    // reason when git is missing or fails, when git does not trust the repository (another user's),
    // or when git's index lock is there. A lock left by a git that did not end is removed when
    // bSoleRun (the caller holds the folder's lock, so no other run is inside) and the repository is
    // the folder's own; Notices() then says so.
    bool Prepare(std::string& error, bool bSoleRun = false);

    // What Prepare did that the user should hear of.
    const std::vector<std::string>& Notices() const { return m_notices; }

    // How long one git may take before its process group is killed.
    void SetWaitMs(int nWaitMs) { m_nWaitMs = nWaitMs; }

    struct CommitResult {
        bool bOk = false;
        std::optional<std::string> hash;      // the new commit; none when nothing changed
        std::vector<std::string> changedFiles;  // of the given files, the ones that differ from the last commit
        std::string strError;
    };
    // Stages the given files of the folder (those that exist) and, when any of them differs from the last
    // commit, commits exactly those with the message that message() makes from the changed files.
    // Other staged work in the repository stays staged and out of the commit.
    template <typename MakeMessage>
    CommitResult Commit(const std::vector<std::string>& files, MakeMessage message)
    {
        CommitResult result = Stage(files);
        if (!result.bOk || result.changedFiles.empty())
            return result;
        return Finish(result, message(result.changedFiles));
    }

    // Keeps the folder's subfolder strName out of the history and out of `git status`, through the
    // repository's own exclude file (nothing in the folder itself). False with a reason when it cannot.
    bool ExcludeFolder(const std::string& strName, std::string& error) const;

    // The next commit also records these files of the folder as removed (those git knows).
    void RemoveWithCommit(std::vector<std::string> files) { m_removed = std::move(files); }

    struct Run {
        bool bStarted = false;
        int nExit = -1;
        std::string out, err;
    };
    // git with these arguments in the folder; the text goes to its standard input. The caller's GIT_
    // variables do not reach it, apart from the commit identity.
    Run Git(const std::vector<std::string>& args, const std::string& input = {}) const;

private:
    CommitResult Stage(const std::vector<std::string>& files);
    CommitResult Finish(CommitResult result, const std::string& strMessage);
    bool SettleStaleIndexLock(std::string& error, bool bSoleRun);

    std::filesystem::path m_dir;
    // Long enough for a commit of thousands of files on a slow disk; a git that hangs longer is broken.
    int m_nWaitMs = 120000;
    std::vector<std::string> m_notices;
    bool m_bOwnIdentity = false;  // commit as velnor-tftp
    std::vector<std::string> m_removed;
};

inline constexpr const char* kGitFallbackName = "velnor-tftp";
inline constexpr const char* kGitFallbackEmail = "velnor-tftp@localhost";
