#pragma once
// Reading and replacing the settings file on disk. Only these functions touch the file; the record
// format lives in SettingsRecords.h.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <vector>

// The file holds a few addresses and a folder; anything larger than this is not read whole, so a
// stray huge file of that name cannot exhaust memory at start-up.
inline constexpr std::size_t SETTINGS_MAX_FILE_BYTES = 16 * 1024 * 1024;

enum class SettingsFileStatus {
    Read,        // bytes holds the file's contents (or their first nMaxBytes, see bCut)
    Missing,     // there is no file of that name
    Unreadable,  // something of that name exists but could not be read: no permission, not a
                 // regular file, locked by another process, a read error
};

struct SettingsFileContents {
    SettingsFileStatus nStatus = SettingsFileStatus::Missing;
    std::vector<std::uint8_t> bytes;
    bool bCut = false;  // the file is longer than nMaxBytes; bytes holds its first nMaxBytes
};

// Reads the file whole (up to nMaxBytes). A missing file is told apart from every other failure,
// because only a missing file may be created in its place.
SettingsFileContents ReadSettingsFile(const std::filesystem::path& path,
                                      std::size_t nMaxBytes = SETTINGS_MAX_FILE_BYTES);

// Replaces the file's contents in one step, with the routine that saves a received file
// (ReplaceWholeFile in FileReplace.h): the bytes go to a new file in the same folder, which is flushed
// to disk and then renamed over the old one, so that a crash or a full disk leaves either the old file
// or the new one, never a truncated mix. A symbolic link is followed and its target is replaced. An
// existing file that may not be written (its permissions hold no write permission, for root too) is
// left alone, as opening it for writing would have failed. Returns false, with the old file untouched
// and no new file left behind, on failure.
bool ReplaceSettingsFile(const std::filesystem::path& path, std::span<const std::uint8_t> bytes);
