#include "Inventory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <map>

#include "PasswordFile.h"
#include "FileBytes.h"
#include "Operations.h"
#include "RouterAddress.h"
#include "SafeText.h"

namespace {

// A backup gets configuration files: the get's rule names them.
constexpr const OperationRule& kGetRule = OperationRuleOf(Operation::GetConfig);

enum class Column { Name, Address, FileNumber, PasswordFile, State };

constexpr std::array<std::pair<std::string_view, Column>, 5> kColumns{{
    {"name", Column::Name},
    {"address", Column::Address},
    {"file_number", Column::FileNumber},
    {"password_file", Column::PasswordFile},
    {"state", Column::State},
}};

std::string_view Trim(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

std::string Lower(std::string_view text)
{
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

// A value from the file, quoted and made safe for the terminal that shows the refusal; a long one cut
// (at a character's start), so that a huge field does not flood the terminal or a log.
std::string Shown(std::string_view value)
{
    if (value.size() <= kMaxShownFieldBytes)
        return "\"" + EscapeForTerminal(value) + "\"";
    std::size_t nCut = kMaxShownFieldBytes;
    for (int i = 0; i < 3 && nCut > 0 && (static_cast<unsigned char>(value[nCut]) & 0xC0) == 0x80; ++i)
        --nCut;
    return "\"" + EscapeForTerminal(value.substr(0, nCut)) + "...\" (" + std::to_string(value.size()) + " bytes)";
}

// One line's fields. Spaces around a field are not part of it; a quoted field keeps everything between
// its quotes. False with a reason when the line cannot be split.
bool SplitFields(std::string_view line, std::vector<std::string>& fields, std::string& error)
{
    fields.clear();
    std::size_t i = 0;
    while (true) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
            ++i;
        std::string field;
        if (i < line.size() && line[i] == '"') {
            ++i;
            bool bClosed = false;
            while (i < line.size()) {
                if (line[i] == '"') {
                    if (i + 1 < line.size() && line[i + 1] == '"') {
                        field += '"';
                        i += 2;
                        continue;
                    }
                    ++i;
                    bClosed = true;
                    break;
                }
                field += line[i++];
            }
            if (!bClosed) {
                error = "a quoted field has no closing quote";
                return false;
            }
            while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
                ++i;
            if (i < line.size() && line[i] != ',') {
                error = "text after a closing quote";
                return false;
            }
        } else {
            const std::size_t end = std::min(line.find(',', i), line.size());
            const std::string_view raw = Trim(line.substr(i, end - i));
            if (raw.find('"') != std::string_view::npos) {
                error = "a quote inside an unquoted field";
                return false;
            }
            field = raw;
            i = end;
        }
        fields.push_back(std::move(field));
        if (i >= line.size())
            return true;
        ++i;  // the comma
    }
}

bool IsBlankOrComment(std::string_view line)
{
    const std::string_view trimmed = Trim(line);
    return trimmed.empty() || trimmed.front() == '#';
}

// The list, bounded: a device or a huge file is refused instead of read without end. The reason, or
// nothing with the text in text.
std::optional<std::string> ReadInventoryText(const std::filesystem::path& path, std::string& text)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return std::string(std::strerror(errno));
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd);
        return std::string("it is a folder");
    }
    const BoundedRead read = ReadAllBounded(fd, static_cast<std::int64_t>(kMaxInventoryBytes), text);
    const int nError = errno;
    ::close(fd);
    if (read == BoundedRead::TooLarge)
        return "it is larger than " + std::to_string(kMaxInventoryBytes >> 20) + " MiB";
    if (read == BoundedRead::Failed)
        return std::string(std::strerror(nError));
    return std::nullopt;
}

// Whether a row's password file lies within the list's folder: neither absolute nor climbing out with
// "..", and not led out by a link either.
bool IsWithinFolder(const std::filesystem::path& folder, const std::string& strRelative)
{
    const std::filesystem::path relative(strRelative);
    if (relative.is_absolute())
        return false;
    for (const std::filesystem::path& part : relative) {
        if (part == "..")
            return false;
    }
    std::error_code ec;
    const std::filesystem::path top = std::filesystem::weakly_canonical(folder.empty() ? "." : folder, ec);
    const std::filesystem::path file = std::filesystem::weakly_canonical((folder.empty() ? "." : folder) / relative, ec);
    if (ec)
        return true;  // nothing there to lead anywhere: the read will say it is missing
    const auto [topEnd, fileAt] = std::mismatch(top.begin(), top.end(), file.begin(), file.end());
    return topEnd == top.end() && fileAt != file.end();
}

}  // namespace

bool IsValidInventoryName(std::string_view name)
{
    if (name.empty() || name.size() > kMaxInventoryNameLength || name == "." || name == "..")
        return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_'
               || c == '-';
    });
}

Inventory ParseInventory(std::string_view text)
{
    Inventory inventory;
    auto problem = [&](int nLine, std::string strText) {
        inventory.problems.push_back(InventoryProblem{nLine, std::move(strText)});
    };

    // A spreadsheet's UTF-8 export may begin with a byte order mark.
    if (text.substr(0, 3) == "\xEF\xBB\xBF")
        text.remove_prefix(3);

    std::map<Column, std::size_t> columnIndex;  // column -> field index
    std::size_t nHeaderFields = 0;
    bool bHeaderSeen = false;
    bool bHeaderUsable = false;
    // Lower-case name -> first line: a list kept on a case-insensitive share would otherwise let
    // "R1" and "r1" overwrite each other's file.
    std::map<std::string, int> namesSeen;
    std::vector<std::string> fields;
    std::string error;

    int nLine = 0;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t end = std::min(text.find('\n', pos), text.size());
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        ++nLine;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (IsBlankOrComment(line))
            continue;
        if (!SplitFields(line, fields, error)) {
            problem(nLine, error);
            if (!bHeaderSeen) {
                bHeaderSeen = true;  // the header is this broken line: no row can be read
            }
            continue;
        }

        if (!bHeaderSeen) {
            bHeaderSeen = true;
            bHeaderUsable = true;
            nHeaderFields = fields.size();
            for (std::size_t i = 0; i < fields.size(); ++i) {
                const std::string name = Lower(fields[i]);
                const auto known = std::find_if(kColumns.begin(), kColumns.end(),
                                                 [&](const auto& column) { return column.first == name; });
                if (known == kColumns.end()) {
                    problem(nLine, "unknown column " + Shown(fields[i])
                                       + " (columns: name, address, file_number, password_file, state)");
                    bHeaderUsable = false;
                } else if (!columnIndex.emplace(known->second, i).second) {
                    problem(nLine, "column " + Shown(fields[i]) + " appears twice");
                    bHeaderUsable = false;
                }
            }
            for (Column required : {Column::Name, Column::Address}) {
                if (!columnIndex.count(required)) {
                    problem(nLine, std::string("the header has no column \"")
                                       + (required == Column::Name ? "name" : "address") + "\"");
                    bHeaderUsable = false;
                }
            }
            continue;
        }
        if (!bHeaderUsable)
            continue;

        if (fields.size() != nHeaderFields) {
            problem(nLine, std::to_string(fields.size()) + (fields.size() == 1 ? " field" : " fields")
                               + " where the header has " + std::to_string(nHeaderFields));
            continue;
        }
        auto field = [&](Column column) -> std::optional<std::string> {
            const auto it = columnIndex.find(column);
            if (it == columnIndex.end())
                return std::nullopt;
            return fields[it->second];
        };

        InventoryRow row;
        row.nLine = nLine;
        row.strName = *field(Column::Name);
        row.strAddress = *field(Column::Address);
        bool bRowOk = true;

        if (row.strName.empty()) {
            problem(nLine, "the name is empty");
            bRowOk = false;
        } else if (row.strName.size() > kMaxInventoryNameLength) {
            problem(nLine, "the name " + Shown(row.strName) + " is longer than "
                               + std::to_string(kMaxInventoryNameLength) + " characters");
            bRowOk = false;
        } else if (!IsValidInventoryName(row.strName)) {
            problem(nLine, "the name " + Shown(row.strName)
                               + " may hold only letters, digits, \".\", \"_\" and \"-\"");
            bRowOk = false;
        } else {
            const auto [it, bNew] = namesSeen.emplace(Lower(row.strName), nLine);
            if (!bNew) {
                problem(nLine, "the name " + Shown(row.strName) + " is already used on line "
                                   + std::to_string(it->second));
                bRowOk = false;
            }
        }

        if (const std::optional<std::uint32_t> address = ParseRouterAddress(row.strAddress); !address) {
            problem(nLine, "invalid router address " + Shown(row.strAddress));
            bRowOk = false;
        } else if (IsRefusedDestination(*address)) {
            problem(nLine, "the address " + Shown(row.strAddress)
                               + " names no single router (this host, every host or a multicast group)");
            bRowOk = false;
        }

        if (std::optional<std::string> number = field(Column::FileNumber); number && !number->empty()) {
            if (!IsFileNumberOf(kGetRule, *number)) {
                problem(nLine, "invalid file number " + Shown(*number) + ": use 0 to "
                                   + std::to_string(kGetRule.nHighestFileNumber) + ", or leave it empty");
                bRowOk = false;
            } else {
                row.fileNumber = *number;
            }
        }

        if (std::optional<std::string> passwordFile = field(Column::PasswordFile);
            passwordFile && !passwordFile->empty()) {
            row.passwordFile = *passwordFile;
        }

        if (std::optional<std::string> state = field(Column::State); state && !state->empty()) {
            const std::string lower = Lower(*state);
            if (lower == "down") {
                row.bDown = true;
            } else if (lower != "up") {
                problem(nLine, "invalid state " + Shown(*state) + ": use up or down");
                bRowOk = false;
            }
        }

        if (bRowOk)
            inventory.rows.push_back(std::move(row));
    }

    if (!bHeaderSeen)
        problem(0, "no header row (name,address,...)");
    return inventory;
}

Inventory LoadInventory(const std::filesystem::path& path, const std::optional<std::string>& defaultPasswordFile,
                        bool bPasswordFilesAnywhere)
{
    std::string text;
    if (std::optional<std::string> reason = ReadInventoryText(path, text))
        return Inventory{{}, {InventoryProblem{0, "cannot read the inventory: " + *reason}}, {}};
    Inventory inventory = ParseInventory(text);

    // Each password file is read once, however many rows name it (standard input can only be read
    // once), by the very rules of velnor-tftp --password-file; its warning is told once.
    std::map<std::string, PasswordFileResult> passwords;
    const std::filesystem::path folder = path.parent_path();

    for (InventoryRow& row : inventory.rows) {
        std::string strFile, strShown;
        if (row.passwordFile) {
            if (!bPasswordFilesAnywhere && !IsWithinFolder(folder, *row.passwordFile)) {
                inventory.problems.push_back(
                    {row.nLine, "the password file " + Shown(*row.passwordFile)
                                    + " is not within the list's folder (allow it with --password-files-anywhere)"});
                continue;
            }
            strFile = std::filesystem::path(*row.passwordFile).is_absolute() ? *row.passwordFile
                                                                             : (folder / *row.passwordFile).string();
            strShown = Shown(*row.passwordFile);
        } else if (defaultPasswordFile) {
            strFile = *defaultPasswordFile;
            strShown = Shown(*defaultPasswordFile);
        } else {
            continue;  // no password: the router's configuration names without one
        }
        auto it = passwords.find(strFile);
        const bool bFirst = it == passwords.end();
        if (bFirst)
            it = passwords.emplace(strFile, ReadPasswordFile(strFile, MAX_PASSWORD_BYTES, strShown)).first;
        const PasswordFileResult& read = it->second;
        if (!read.password) {
            inventory.problems.push_back({row.nLine, read.strError});
            continue;
        }
        if (read.password->find('\0') != std::string::npos) {
            // It would end the router's file name early: another request than the one meant.
            inventory.problems.push_back({row.nLine, "the password in " + strShown + " holds a zero byte"});
            continue;
        }
        if (bFirst && !read.strWarning.empty())
            inventory.warnings.push_back({row.nLine, read.strWarning});
        row.strPassword = *read.password;
    }
    std::stable_sort(inventory.problems.begin(), inventory.problems.end(),
                     [](const InventoryProblem& a, const InventoryProblem& b) { return a.nLine < b.nLine; });
    return inventory;
}

std::string FormatInventoryProblems(const std::string& strFile, const std::vector<InventoryProblem>& problems)
{
    std::string out;
    const std::string file = EscapeForTerminal(strFile);
    for (const InventoryProblem& problem : problems) {
        out += file;
        if (problem.nLine > 0)
            out += ":" + std::to_string(problem.nLine);
        out += ": " + problem.strText + "\n";
    }
    return out;
}
