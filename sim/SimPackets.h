#pragma once
// The router's side of the packet layouts (RFC 1350, with RFC 2347 option acknowledgements) and of its
// remote-file naming. Pure functions: no socket, no clock.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace velnor::sim {

using Bytes = std::vector<std::uint8_t>;

enum : std::uint16_t {
    OP_RRQ = 1,
    OP_WRQ = 2,
    OP_DATA = 3,
    OP_ACK = 4,
    OP_ERROR = 5,
    OP_OACK = 6,
};

inline constexpr std::size_t BLOCK_SIZE = 512;

// RFC 1350 error codes the router uses.
enum : std::uint16_t {
    ERR_UNDEFINED = 0,
    ERR_NOT_FOUND = 1,
    ERR_ACCESS = 2,
    ERR_DISK_FULL = 3,
    ERR_ILLEGAL_OP = 4,
    ERR_UNKNOWN_TID = 5,
};

// The two texts the client turns into messages of their own; they must stay exactly so.
inline constexpr const char* TEXT_NO_SUCH_FILE = "No such file";
inline constexpr const char* TEXT_ACCESS_VIOLATION = "Access violation";

struct Request {
    std::uint16_t opcode = 0;  // OP_RRQ or OP_WRQ
    std::string name;
    std::string mode;  // as sent
    std::vector<std::pair<std::string, std::string>> options;
};

std::uint16_t ReadU16(const std::uint8_t* p);

// nullopt when the datagram is not a well-formed request: a name or mode without its zero byte, or an
// empty one. An option without its value at the end is left out rather than refusing the request.
std::optional<Request> ParseRequest(const std::uint8_t* p, std::size_t n);

Bytes MakeData(std::uint16_t block, const std::uint8_t* data, std::size_t n);
Bytes MakeAck(std::uint16_t block);
Bytes MakeError(std::uint16_t code, const std::string& text);
Bytes MakeOack(const std::vector<std::pair<std::string, std::string>>& options);

enum class FileKind { Config, Exec };

struct RemoteName {
    FileKind kind = FileKind::Config;
    bool hasNumber = false;
    unsigned number = 0;  // 0 when there is no number; capped at 1000 for absurdly long digit runs
    bool hasPassword = false;
    std::string password;  // everything after the first "/"

    std::string FileName() const;  // "config3", "exec0"
};

// nullopt when the name is not one of this router's: the keyword "config" or "exec" (exact letters),
// optional decimal digits, optional "/" and a password.
std::optional<RemoteName> ParseRemoteName(const std::string& name);

// "netascii" or "octet", in any letter case (RFC 1350 modes are case-insensitive); "mail" is not served.
bool IsServedMode(const std::string& mode);

}  // namespace velnor::sim
