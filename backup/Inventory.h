#pragma once
// The router list of `velnor-tftp backup`: a CSV file with a header row. Columns `name` and `address`
// are required; `file_number`, `password_file` and `state` are optional; the order is free. A line whose
// first non-blank character is "#" is a comment; blank lines are ignored. A field may be quoted with
// double quotes ("" inside is one quote), so that a password file's path may hold a comma.
//
// The list is judged as a whole before anything is sent: every problem is collected with its line
// number, and a list with any problem is refused. Parsing is pure (text in, rows and problems out);
// reading the files is LoadInventory's.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct InventoryRow {
    int nLine = 0;                            // 1-based line of the file
    std::string strName;                      // becomes DIR/NAME.conf
    std::string strAddress;                   // passes the window's address rule
    std::optional<std::string> fileNumber;    // "0".."4"; none: the router's default file
    std::optional<std::string> passwordFile;  // as written in the list
    bool bDown = false;                       // state "down": skipped, reported as skipped
    std::string strPassword;                  // filled by LoadInventory
};

struct InventoryProblem {
    int nLine = 0;  // 0: the file as a whole (unreadable, no header)
    std::string strText;
};

struct Inventory {
    std::vector<InventoryRow> rows;
    std::vector<InventoryProblem> problems;  // in line order; empty when the list may be used
    std::vector<InventoryProblem> warnings;  // worth telling, no reason to refuse (a readable password file)
};

inline constexpr std::size_t kMaxInventoryNameLength = 64;
// A list of a hundred thousand routers is a few MiB.
inline constexpr std::size_t kMaxInventoryBytes = std::size_t{16} << 20;
// A value echoed in a refusal is cut after this many bytes.
inline constexpr std::size_t kMaxShownFieldBytes = 64;

// Letters, digits, ".", "_" and "-", 1 to 64 characters, and not "." or ".." alone.
bool IsValidInventoryName(std::string_view name);

Inventory ParseInventory(std::string_view text);

// Reads (at most kMaxInventoryBytes) and parses the list, then reads every row's password: its own
// password_file (relative to the list's folder, and within it unless bPasswordFilesAnywhere), else
// the default password file (--password-file, relative to the current folder; "-" is standard input,
// read once), else none. Each is read by velnor-tftp --password-file's rules: a password file that
// cannot be read, is empty, or holds more than the router takes, is a problem of that row's line, as
// is a password with a zero byte; one that others can read is a warning of the first row naming it.
Inventory LoadInventory(const std::filesystem::path& path, const std::optional<std::string>& defaultPasswordFile,
                        bool bPasswordFilesAnywhere = false);

// "FILE:LINE: text" per problem, one a line (without LINE for the file as a whole).
std::string FormatInventoryProblems(const std::string& strFile, const std::vector<InventoryProblem>& problems);
