#include "GitStore.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string_view>

#include "ChildProcess.h"
#include "SafeText.h"

namespace {

std::string Trimmed(std::string text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    return text;
}

std::string Describe(const CGitStore::Run& run, const std::string& what)
{
    if (!run.bStarted)
        return "cannot run git (is it installed?)";
    std::string detail = Trimmed(run.err);
    if (detail.empty())
        detail = "exit status " + std::to_string(run.nExit);
    return what + ": " + detail;
}

// Of the caller's GIT_ variables only the identity passes to git: the others could point it at another
// repository (GIT_DIR, GIT_WORK_TREE, GIT_INDEX_FILE), add configuration (GIT_CONFIG_*, hooks
// included) or change what it runs. GIT_CONFIG_NOSYSTEM only takes configuration away.
bool InheritedByGit(std::string_view name)
{
    if (name.substr(0, 4) != "GIT_")
        return true;
    for (std::string_view kept : {"GIT_AUTHOR_NAME", "GIT_AUTHOR_EMAIL", "GIT_AUTHOR_DATE", "GIT_COMMITTER_NAME",
                                  "GIT_COMMITTER_EMAIL", "GIT_COMMITTER_DATE", "GIT_CONFIG_NOSYSTEM"}) {
        if (name == kept)
            return true;
    }
    return false;
}

}  // namespace

CGitStore::CGitStore(std::filesystem::path dir) : m_dir(std::move(dir)) {}

CGitStore::Run CGitStore::Git(const std::vector<std::string>& args, const std::string& input) const
{
    std::vector<std::string> argv{"git", "-C", m_dir.string()};
    argv.insert(argv.end(), args.begin(), args.end());
    // Nothing may wait for a person: no pager, no editor, no prompt. Its messages untranslated, as
    // Prepare reads them.
    std::vector<std::string> env{"GIT_TERMINAL_PROMPT=0", "GIT_PAGER=cat", "GIT_EDITOR=:", "LC_ALL=C"};
    if (m_bOwnIdentity) {
        for (const char* role : {"AUTHOR", "COMMITTER"}) {
            env.push_back(std::string("GIT_") + role + "_NAME=" + kGitFallbackName);
            env.push_back(std::string("GIT_") + role + "_EMAIL=" + kGitFallbackEmail);
        }
    }
    const ProgramRun ran = RunProgram(argv, env, input, m_nWaitMs, InheritedByGit);
    Run run;
    run.bStarted = ran.bStarted;
    run.nExit = ran.nExit;
    run.out = ran.out;
    run.err = ran.bTimedOut ? "git did not end" : ran.err;
    return run;
}

bool CGitStore::Prepare(std::string& error, bool bSoleRun)
{
    const std::string shown = EscapeForTerminal(m_dir.string());
    const Run inside = Git({"rev-parse", "--is-inside-work-tree"});
    if (!inside.bStarted) {
        error = Describe(inside, "");
        return false;
    }
    if (inside.nExit != 0
        && (inside.err.find("dubious ownership") != std::string::npos
            || inside.err.find("is owned by someone else") != std::string::npos)) {
        // A repository of another user's: made anew by us, its hooks and configuration would be theirs.
        error = "git does not trust the repository of " + shown + " (it belongs to another user): "
                + Trimmed(inside.err);
        return false;
    }
    if (inside.nExit != 0 && inside.err.find("not a git repository") == std::string::npos) {
        error = Describe(inside, "git cannot use the repository of " + shown);
        return false;
    }
    if (inside.nExit != 0 || Trimmed(inside.out) != "true") {
        // The copies are 0600; the history holds them too, so its objects are as private.
        const Run init = Git({"init", "--quiet", "--shared=0600"});
        if (init.nExit != 0) {
            error = Describe(init, "git init failed in " + shown);
            return false;
        }
    }
    if (!SettleStaleIndexLock(error, bSoleRun))
        return false;
    // The user's identity when one is set; git's guess from the host name is not one.
    auto known = [&](const char* key, const char* variable) {
        const char* fromEnv = std::getenv(variable);
        if (fromEnv && *fromEnv)
            return true;
        const Run value = Git({"config", key});
        return value.nExit == 0 && !Trimmed(value.out).empty();
    };
    m_bOwnIdentity = !(known("user.name", "GIT_COMMITTER_NAME") && known("user.email", "GIT_COMMITTER_EMAIL"));
    return true;
}

bool CGitStore::SettleStaleIndexLock(std::string& error, bool bSoleRun)
{
    const Run gitDir = Git({"rev-parse", "--absolute-git-dir"});
    if (gitDir.nExit != 0)
        return true;  // the commit will say what is wrong
    const std::filesystem::path dotGit = Trimmed(gitDir.out);
    const std::filesystem::path lock = dotGit / "index.lock";
    std::error_code ec;
    if (!std::filesystem::exists(std::filesystem::symlink_status(lock, ec)))
        return true;
    const std::string shown = EscapeForTerminal(lock.string());
    // Removed only when nothing else can be holding it: no other run is inside the folder (the
    // caller holds its lock) and the repository is the folder's own, not a bigger one of the user's
    // where their own git may be at work.
    const bool bOwnRepository = std::filesystem::equivalent(dotGit, m_dir / ".git", ec);
    if (bSoleRun && bOwnRepository && std::filesystem::remove(lock, ec)) {
        m_notices.push_back("removed " + shown + ", left by a git that did not end (no other run is in "
                            + EscapeForTerminal(m_dir.string()) + ")");
        return true;
    }
    error = "git's lock " + shown + " is there: a git is at work in the repository, or one ended without "
            "removing it (remove it once no git runs there)";
    return false;
}

CGitStore::CommitResult CGitStore::Stage(const std::vector<std::string>& files)
{
    CommitResult result;
    std::vector<std::string> present;
    for (const std::string& file : files) {
        std::error_code ec;
        if (std::filesystem::is_regular_file(m_dir / file, ec))
            present.push_back(file);
    }
    std::vector<std::string> removed;
    for (const std::string& file : m_removed) {
        std::error_code ec;
        if (!std::filesystem::exists(std::filesystem::symlink_status(m_dir / file, ec)))
            removed.push_back(file);
    }
    if (present.empty() && removed.empty()) {
        result.bOk = true;
        return result;
    }
    if (!present.empty()) {
        std::vector<std::string> add{"add", "--"};
        add.insert(add.end(), present.begin(), present.end());
        const Run staged = Git(add);
        if (staged.nExit != 0) {
            result.strError = Describe(staged, "git add failed");
            return result;
        }
    }
    if (!removed.empty()) {
        std::vector<std::string> rm{"rm", "--cached", "--quiet", "--ignore-unmatch", "--"};
        rm.insert(rm.end(), removed.begin(), removed.end());
        const Run unstaged = Git(rm);
        if (unstaged.nExit != 0) {
            result.strError = Describe(unstaged, "git rm failed");
            return result;
        }
        present.insert(present.end(), removed.begin(), removed.end());
    }
    // Paths relative to the folder, which may lie below the top of the repository.
    std::vector<std::string> diff{"diff", "--cached", "--name-only", "-z", "--no-renames", "--relative", "--"};
    diff.insert(diff.end(), present.begin(), present.end());
    const Run names = Git(diff);
    if (names.nExit != 0) {
        result.strError = Describe(names, "git diff failed");
        return result;
    }
    std::size_t pos = 0;
    while (pos < names.out.size()) {
        const std::size_t end = names.out.find('\0', pos);
        std::string path = names.out.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        pos = end == std::string::npos ? names.out.size() : end + 1;
        if (!path.empty())
            result.changedFiles.push_back(path);
    }
    result.bOk = true;
    return result;
}

CGitStore::CommitResult CGitStore::Finish(CommitResult result, const std::string& strMessage)
{
    // Only these paths: whatever else the user has staged stays staged.
    std::vector<std::string> commit{"commit", "--quiet", "--file=-", "--"};
    commit.insert(commit.end(), result.changedFiles.begin(), result.changedFiles.end());
    const Run done = Git(commit, strMessage);
    if (done.nExit != 0) {
        result.bOk = false;
        result.strError = Describe(done, "git commit failed");
        return result;
    }
    const Run head = Git({"rev-parse", "HEAD"});
    if (head.nExit == 0)
        result.hash = Trimmed(head.out);
    return result;
}

bool CGitStore::ExcludeFolder(const std::string& strName, std::string& error) const
{
    const Run where = Git({"rev-parse", "--show-prefix", "--git-path", "info/exclude"});
    if (where.nExit != 0) {
        error = Describe(where, "git rev-parse failed");
        return false;
    }
    std::istringstream lines(where.out);
    std::string prefix, excludePath;
    std::getline(lines, prefix);
    std::getline(lines, excludePath);
    std::filesystem::path exclude = excludePath;
    if (exclude.is_relative())
        exclude = m_dir / exclude;
    const std::string pattern = "/" + prefix + strName + "/";
    std::string text;
    {
        std::ifstream in(exclude, std::ios::binary);
        std::ostringstream all;
        all << in.rdbuf();
        text = all.str();
    }
    std::istringstream existing(text);
    for (std::string line; std::getline(existing, line);) {
        if (line == pattern)
            return true;
    }
    std::error_code ec;
    std::filesystem::create_directories(exclude.parent_path(), ec);
    std::ofstream out(exclude, std::ios::binary | std::ios::app);
    if (!text.empty() && text.back() != '\n')
        out << '\n';
    out << "# velnor-tftp backup: its lock and state\n" << pattern << '\n';
    out.flush();
    if (!out) {
        error = "cannot write " + exclude.string();
        return false;
    }
    return true;
}
