#pragma once
// The lines of a backup that a person reads in a log the morning after: the run's first and last
// line with the local date and time, the routers that failed or were not done named, and the
// routers a terminal's progress line is still waiting for.

#include <ctime>
#include <string>
#include <vector>

// "Backup of 12 routers into /srv/routers started 2026-12-09T03:00:01+01:00" and its line end.
std::string FormatRunStartLine(int nRouters, const std::string& strOutDir, std::time_t t);
// "Backup ended 2026-12-09T03:00:09+01:00" and its line end.
std::string FormatRunEndLine(std::time_t t);
// "Failed: core-7, branch-3 and 12 more" (at most nShown names; 0: all) and its line end; nothing
// for no names.
std::string FormatNamedRouters(const std::string& strLabel, const std::vector<std::string>& names, std::size_t nShown);
// "waiting for core-7, branch-3 (+2)": at most two names; empty for none.
std::string FormatWaitingFor(const std::vector<std::string>& names);
