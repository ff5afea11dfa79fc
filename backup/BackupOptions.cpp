#include "BackupOptions.h"

#include <string_view>

#include "CommandLine.h"
#include "TransferEntry.h"

BackupParseResult ParseBackupCommandLine(const std::vector<std::string>& args)
{
    BackupParseResult result;
    auto usageError = [&](std::string text) {
        result.action = BackupAction::UsageError;
        result.strError = std::move(text);
        return result;
    };

    bool bInventory = false, bOut = false, bJobs = false, bTimeout = false, bWaitLock = false,
         bMetrics = false, bHookTimeout = false, bStaleAfter = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "-h" || arg == "--help") {
            result.action = BackupAction::Help;
            return result;
        }
        if (arg == "--push") {
            if (result.options.bPush)
                return usageError("option --push is given twice");
            result.options.bPush = true;
            continue;
        }
        if (arg == "--git" || arg == "--json" || arg == "--prune" || arg == "-q" || arg == "--quiet"
            || arg == "--password-files-anywhere") {
            bool& flag = arg == "--git"     ? result.options.bGit
                         : arg == "--json"  ? result.options.bJson
                         : arg == "--prune" ? result.options.bPrune
                         : arg == "--password-files-anywhere" ? result.options.bPasswordFilesAnywhere
                                            : result.options.bQuiet;
            if (flag)
                return usageError("option " + arg + " is given twice");
            flag = true;
            continue;
        }
        // "--name value" or "--name=value".
        auto [name, value] = SplitLongOption(arg);
        const bool bTakesValue = name == "--inventory" || name == "--out" || name == "--jobs" || name == "--timeout"
                                 || name == "--password-file" || name == "--wait-lock"
                                 || name == "--metrics" || name == "--hook" || name == "--hook-timeout"
                                 || name == "--stale-after" || name == "--push-remote";
        if (!bTakesValue) {
            if (!arg.empty() && arg[0] == '-')
                return usageError("unknown option " + arg + " for backup");
            return usageError("backup takes no argument " + arg + " (the routers come from --inventory)");
        }
        if (!value) {
            if (i + 1 >= args.size())
                return usageError("option " + name + " needs a value");
            value = args[++i];
        }
        auto once = [&](bool& seen) {
            if (seen)
                return false;
            seen = true;
            return true;
        };
        if (name == "--inventory") {
            if (!once(bInventory))
                return usageError("option --inventory is given twice");
            if (value->empty())
                return usageError("option --inventory needs a file name");
            result.options.strInventory = *value;
        } else if (name == "--out") {
            if (!once(bOut))
                return usageError("option --out is given twice");
            if (value->empty())
                return usageError("option --out needs a folder name");
            result.options.strOutDir = *value;
        } else if (name == "--jobs") {
            if (!once(bJobs))
                return usageError("option --jobs is given twice");
            const std::optional<int> jobs = ParseBounded(*value, 1, kBackupMaxJobs);
            if (!jobs)
                return usageError("invalid --jobs \"" + *value + "\": use 1 to " + std::to_string(kBackupMaxJobs));
            result.options.nJobs = *jobs;
        } else if (name == "--timeout") {
            if (!once(bTimeout))
                return usageError("option --timeout is given twice");
            const std::optional<int> seconds = ParseBounded(*value, CLI_MIN_TIMEOUT, CLI_MAX_TIMEOUT);
            if (!seconds) {
                return usageError("invalid --timeout \"" + *value + "\": use " + std::to_string(CLI_MIN_TIMEOUT)
                                  + " to " + std::to_string(CLI_MAX_TIMEOUT) + " seconds");
            }
            result.options.timeoutSeconds = *seconds;
        } else if (name == "--push-remote") {
            if (result.options.pushRemote)
                return usageError("option --push-remote is given twice");
            if (value->empty() || (*value)[0] == '-')
                return usageError("option --push-remote needs the name of a remote");
            result.options.pushRemote = *value;
            result.options.bPush = true;
        } else if (name == "--wait-lock") {
            if (!once(bWaitLock))
                return usageError("option --wait-lock is given twice");
            const std::optional<int> seconds = ParseBounded(*value, 0, kMaxWaitLockSeconds);
            if (!seconds)
                return usageError("invalid --wait-lock \"" + *value + "\": use 0 to " + std::to_string(kMaxWaitLockSeconds)
                                  + " seconds");
            result.options.nWaitLockSeconds = *seconds;
        } else if (name == "--hook-timeout") {
            if (!once(bHookTimeout))
                return usageError("option --hook-timeout is given twice");
            const std::optional<int> seconds = ParseBounded(*value, 1, kMaxHookTimeoutSeconds);
            if (!seconds)
                return usageError("invalid --hook-timeout \"" + *value + "\": use 1 to "
                                  + std::to_string(kMaxHookTimeoutSeconds) + " seconds");
            result.options.nHookTimeoutSeconds = *seconds;
        } else if (name == "--stale-after") {
            if (!once(bStaleAfter))
                return usageError("option --stale-after is given twice");
            const std::optional<int> hours = ParseBounded(*value, 1, kMaxStaleAfterHours);
            if (!hours)
                return usageError("invalid --stale-after \"" + *value + "\": use 1 to "
                                  + std::to_string(kMaxStaleAfterHours) + " hours");
            result.options.nStaleAfterHours = *hours;
        } else if (name == "--metrics") {
            if (!once(bMetrics))
                return usageError("option --metrics is given twice");
            if (value->empty())
                return usageError("option --metrics needs a file name");
            result.options.metricsFile = *value;
        } else if (name == "--hook") {
            if (value->empty())
                return usageError("option --hook needs a program");
            result.options.hooks.push_back(*value);
        } else {
            if (result.options.passwordFile)
                return usageError("option --password-file is given twice");
            if (value->empty())
                return usageError("option --password-file needs a file name (- for standard input)");
            result.options.passwordFile = *value;
        }
    }
    if (!bInventory)
        return usageError("backup needs --inventory FILE");
    if (!bOut)
        return usageError("backup needs --out DIR");
    if (result.options.bPush && !result.options.bGit)
        return usageError("option --push needs --git (it pushes the history that --git keeps)");
    result.action = BackupAction::Run;
    return result;
}

std::string BackupUsageText()
{
    return "Usage: velnor-tftp backup --inventory FILE --out DIR [--jobs N] [--git] [--json]\n"
           "                          [--timeout S] [--password-file F] [--wait-lock S] [-q]\n"
           "                          [--prune] [--metrics FILE] [--stale-after H]\n"
           "                          [--hook PROGRAM]... [--hook-timeout S]\n"
           "                          [--push] [--push-remote NAME]\n"
           "\n"
           "Fetches the configuration file of every router in FILE into DIR/NAME.conf, several at a time.\n"
           "A file is replaced, in one step, only when its bytes changed; a router that fails keeps its\n"
           "previous copy. Nothing else is written in DIR (but .git with --git, and DIR/.velnor, the\n"
           "backup's own files). One run at a time per DIR: a second one is refused (status 2).\n"
           "\n"
           "FILE is a CSV list with a header row: name,address (required), file_number, password_file,\n"
           "state (optional, in any order). \"#\" starts a comment line. name: letters, digits, \".\", \"_\", \"-\",\n"
           "at most 64, unique; file_number: 0-4 or empty (the router's default); password_file: relative\n"
           "to FILE's folder, and within it, read as velnor-tftp --password-file reads it; state: up\n"
           "(default) or down (skipped). A list with any bad line is refused as a whole, every bad line\n"
           "named, before anything is sent. DIR must be this user's and not writable by others (made\n"
           "0700 when missing).\n"
           "\n"
           "Options:\n"
           "      --jobs N            at most N transfers at a time (1-256, default 16)\n"
           "      --git               keep DIR as a git repository (created when needed): one commit per\n"
           "                          run holding every changed file, none when nothing changed\n"
           "      --push              with --git: push the history after the commit to the branch's\n"
           "                          upstream (at most 60 s); a failed push is a warning, and the\n"
           "                          next run pushes what is still missing\n"
           "      --push-remote NAME  push to the git remote NAME instead (implies --push)\n"
           "      --json              one JSON object a line per router (the fields of velnor-tftp --json,\n"
           "                          plus name and state), then a summary object (\"summary\": true)\n"
           "      --timeout S         the wait for each answer of a router (1-60 s, default 5)\n"
           "      --password-file F   the password of every router without its own password_file\n"
           "                          (- for standard input)\n"
           "      --wait-lock S       when another run holds DIR, wait up to S seconds (0-3600, default 0)\n"
           "      --password-files-anywhere\n"
           "                          a password_file may also be absolute or lie outside FILE's folder\n"
           "  -q, --quiet             nothing on success but the summary; failures still shown\n"
           "      --prune             remove the copies of routers no longer in FILE (and commit it)\n"
           "      --metrics FILE      after every run, write the state of every router and of the run\n"
           "                          for monitoring (the text format of a node exporter's collector)\n"
           "      --stale-after H     a router without a success for H hours is stale (1-8760, default 48)\n"
           "      --hook PROGRAM      run PROGRAM (no shell; may be repeated) when a router changed,\n"
           "                          failed, recovered or became stale, and once at the end of the run,\n"
           "                          the event in VELNOR_* variables; at most 4 at a time\n"
           "      --hook-timeout S    end a hook after S seconds (1-3600, default 30)\n"
           "\n"
           "Every run keeps what it learnt of each router in DIR/.velnor/state.json: see velnor-tftp\n"
           "status --out DIR.\n"
           "\n"
           "Exit status: 0 every router that is up succeeded, 1 any failed, 2 the command line or the list\n"
           "was refused or another run holds DIR, 130/143 ended by SIGINT/SIGTERM. A hook never changes it.\n";
}
