#include "BackupLog.h"

#include "SafeText.h"
#include "TimeText.h"

std::string FormatRunStartLine(int nRouters, const std::string& strOutDir, std::time_t t)
{
    return "Backup of " + std::to_string(nRouters) + (nRouters == 1 ? " router" : " routers") + " into "
           + EscapeForTerminal(strOutDir) + " started " + FormatLocalTime(t) + "\n";
}

std::string FormatRunEndLine(std::time_t t)
{
    return "Backup ended " + FormatLocalTime(t) + "\n";
}

std::string FormatNamedRouters(const std::string& strLabel, const std::vector<std::string>& names, std::size_t nShown)
{
    if (names.empty())
        return {};
    const std::size_t nListed = nShown == 0 ? names.size() : std::min(nShown, names.size());
    std::string text = strLabel + ": ";
    for (std::size_t i = 0; i < nListed; ++i)
        text += (i ? ", " : "") + names[i];
    if (nListed < names.size())
        text += " and " + std::to_string(names.size() - nListed) + " more";
    return text + "\n";
}

std::string FormatWaitingFor(const std::vector<std::string>& names)
{
    constexpr std::size_t kShown = 2;
    if (names.empty())
        return {};
    std::string text = "waiting for ";
    for (std::size_t i = 0; i < names.size() && i < kShown; ++i)
        text += (i ? ", " : "") + names[i];
    if (names.size() > kShown)
        text += " (+" + std::to_string(names.size() - kShown) + ")";
    return text;
}
