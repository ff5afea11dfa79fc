#include "MenuStart.h"

#include <QDir>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include "FileDialog.h"

namespace fs = std::filesystem;

bool IsMenuStart(const QStringList& args)
{
    // The first argument is the program itself; the rest are ignored unless they ask for this.
    return args.size() > 1 && args.mid(1).contains(QLatin1String(kMenuStartOption));
}

fs::path MenuStartFolder(const char* pszXdgConfigHome, const char* pszHome)
{
    // A relative XDG_CONFIG_HOME is invalid by the base-directory rule and must be ignored: it would
    // put the settings wherever the menu happened to start the program.
    if (pszXdgConfigHome && pszXdgConfigHome[0] == '/')
        return fs::path(pszXdgConfigHome) / "velnor-client";
    if (pszHome && pszHome[0] == '/')
        return fs::path(pszHome) / ".config" / "velnor-client";
    return {};
}

std::string EnterMenuStartFolder(const fs::path& folder)
{
    if (folder.empty() || !folder.is_absolute())
        return "no configuration folder (neither XDG_CONFIG_HOME nor HOME is an absolute path)";
    fs::path partial;
    for (const fs::path& part : folder) {
        partial /= part;
        if (::mkdir(partial.c_str(), 0700) == 0 || errno == EEXIST) {
            std::error_code error;
            // A parent may be a link to a folder elsewhere (a shared ~/.config): that is the user's
            // choice and is followed; anything else in the way is not a folder to write into.
            if (!fs::is_directory(partial, error))
                return partial.string() + " exists and is not a folder";
            continue;
        }
        return "cannot create " + partial.string() + ": " + std::strerror(errno);
    }
    if (::chdir(folder.c_str()) != 0)
        return "cannot enter " + folder.string() + ": " + std::strerror(errno);
    return {};
}

void PrepareMenuStart()
{
    const fs::path folder = MenuStartFolder(std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME"));
    const std::string strError = EnterMenuStartFolder(folder);
    if (!strError.empty()) {
        std::fprintf(stderr, "velnor-client: %s; the settings file stays in the current folder\n", strError.c_str());
        return;
    }
    // The configuration folder is no place to look for firmware or configuration files.
    CFileDialog::SetDefaultFolder(QDir::homePath());
}
