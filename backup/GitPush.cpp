#include "GitPush.h"

#include <vector>

#include "ChildProcess.h"
#include "ConsoleOut.h"
#include "GitStore.h"
#include "SafeText.h"

namespace {

std::string Trimmed(std::string text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    return text;
}

std::string ConfigValue(const CGitStore& git, const std::string& key)
{
    const CGitStore::Run value = git.Git({"config", "--get", key});
    return value.nExit == 0 ? Trimmed(value.out) : std::string();
}

}  // namespace

PushResult PushHistory(const std::filesystem::path& dir, const std::optional<std::string>& remote, int nWaitMs)
{
    PushResult result;
    const CGitStore git(dir);
    const CGitStore::Run head = git.Git({"symbolic-ref", "--quiet", "--short", "HEAD"});
    const std::string branch = head.nExit == 0 ? Trimmed(head.out) : std::string();
    if (branch.empty()) {
        result.strError = head.bStarted ? "the repository has no branch checked out" : "cannot run git (is it installed?)";
        return result;
    }
    const std::string upstream = ConfigValue(git, "branch." + branch + ".remote");
    result.strRemote = remote.value_or(upstream);
    if (result.strRemote.empty() || result.strRemote == ".") {
        result.strRemote.clear();
        result.strError = "branch " + branch + " has no upstream (set one with git branch --set-upstream-to, "
                                               "or name a remote with --push-remote)";
        return result;
    }
    std::string target = "refs/heads/" + branch;
    if (result.strRemote == upstream) {
        const std::string merge = ConfigValue(git, "branch." + branch + ".merge");
        if (!merge.empty())
            target = merge;
    }
    // Nothing may wait for a person: no prompt for a user name or a password.
    const ProgramRun push = RunProgram({"git", "-C", dir.string(), "push", "--quiet", "--end-of-options",
                                        result.strRemote, "HEAD:" + target},
                                       {"GIT_TERMINAL_PROMPT=0"}, {}, nWaitMs);
    if (!push.bStarted) {
        result.strError = "cannot run git (is it installed?)";
    } else if (push.bTimedOut) {
        result.strError = "git push did not end within " + std::to_string((nWaitMs + 999) / 1000) + " s";
    } else if (push.nExit != 0) {
        const std::string detail = Trimmed(push.err);
        result.strError = detail.empty() ? "git push failed (exit status " + std::to_string(push.nExit) + ")"
                                         : "git push failed: " + detail;
    } else {
        result.bOk = true;
    }
    return result;
}

PushResult PushAfterBackup(const std::filesystem::path& dir, const std::optional<std::string>& remote)
{
    PushResult result = PushHistory(dir, remote);
    if (!result.bOk) {
        std::string text = result.strError;
        for (std::size_t nEnd; (nEnd = text.find('\n')) != std::string::npos;)
            text.replace(nEnd, 1, "; ");
        WriteErr("velnor-tftp backup: warning: the history was not pushed"
                 + (result.strRemote.empty() ? std::string() : " to " + EscapeForTerminal(result.strRemote)) + ": "
                 + EscapeForTerminal(text) + " (the next run pushes what is still missing)\n");
    }
    return result;
}
