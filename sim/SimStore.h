#pragma once
// The router's files in its folder: config0..config4 and exec0, exec1. The router may run as root to bind
// port 69, so nothing here ever goes through a symbolic link in the folder: a file is read only when it is
// a regular file of its own, and a write goes to a temporary file that is created afresh (never an
// existing name, never a link's target) and renamed over the old file only when complete.

#include "SimPackets.h"

#include <cstdint>
#include <filesystem>
#include <string>

namespace velnor::sim {

// The names of the router's files, in the order a new router folder is filled from the samples.
inline constexpr const char* ROUTER_FILE_NAMES[] = {"config0", "config1", "config2", "config3",
                                                    "config4", "exec0",   "exec1"};

class RouterFiles {
public:
    RouterFiles() = default;
    explicit RouterFiles(std::filesystem::path folder) : m_folder(std::move(folder)) {}
    const std::filesystem::path& Folder() const { return m_folder; }

    enum class Load { Ok, Missing, Refused };
    // Missing: no such file, or something that is not a file (a folder, a FIFO). Refused: a symbolic link
    // (never followed) or a file that cannot be read.
    Load Read(const std::string& name, Bytes* content) const;

    // A new temporary file for a write of `name` (".NAME.incoming" in the folder), mode 0644; -1 and a
    // reason when it cannot be made. A leftover of an earlier run (or anything planted under that name,
    // a link included) is removed first, never followed.
    int CreateTemporary(const std::string& name, std::filesystem::path* tempPath, std::string* error) const;
    // Puts the complete temporary file in the place of `name` in one step.
    bool Commit(const std::filesystem::path& tempPath, const std::string& name, std::string* error) const;

private:
    std::filesystem::path m_folder;
};

// The folder of one router of a fleet, ROOT/ADDRESS. When it is missing it is made and filled with copies
// of the router files found in ROOT (the samples); an existing folder is used as it is. A link or a file
// in its place is refused.
bool PrepareRouterFolder(const std::filesystem::path& root, const std::string& address,
                         std::filesystem::path* folder, std::string* error);

}  // namespace velnor::sim
