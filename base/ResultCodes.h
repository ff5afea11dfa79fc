#pragma once
// The result codes of a transfer and of the checks before one: what the engine, the window, the
// console companion, its JSON line and the messages all speak. Numbers and names only.

#include <cstdint>
#include <string>

using TftpResult = std::int32_t;

// Result codes. 0 is success; 0x80xx come from the local side and the input checks, 0x82xx from the
// network side. No code between 1 and 0x8010 is ever produced.
inline constexpr TftpResult TFTP_OK = 0;
inline constexpr TftpResult TFTP_ERR_NO_MEMORY = 0x8011;
inline constexpr TftpResult TFTP_ERR_FILE_OPEN = 0x8012;
inline constexpr TftpResult TFTP_ERR_FILE_READ = 0x8013;
inline constexpr TftpResult TFTP_ERR_FILE_WRITE = 0x8014;
inline constexpr TftpResult TFTP_ERR_FILE_SAVE = 0x8015;
inline constexpr TftpResult TFTP_ERR_BAD_ADDRESS = 0x8021;
inline constexpr TftpResult TFTP_ERR_BAD_PASSWORD = 0x8022;
inline constexpr TftpResult TFTP_ERR_OTHER = 0x807E;
inline constexpr TftpResult TFTP_ERR_NET_OPEN = 0x8211;
inline constexpr TftpResult TFTP_ERR_NET_FAULT = 0x8212;
inline constexpr TftpResult TFTP_ERR_NO_RESPONSE = 0x8213;
inline constexpr TftpResult TFTP_ERR_PEER_ERROR = 0x8214;
inline constexpr TftpResult TFTP_ERR_RECV_NO_MEMORY = 0x8215;
inline constexpr TftpResult TFTP_ERR_NO_SUCH_FILE = 0x8216;       // derived from the router's text
inline constexpr TftpResult TFTP_ERR_ACCESS_VIOLATION = 0x8217;   // derived from the router's text

// The symbolic name of a code ("TFTP_ERR_NO_RESPONSE"), or "" for a code that has none.
const char* ResultCodeName(TftpResult nCode);

// The code as scripts and logs show it: "0x8213".
std::string CodeText(TftpResult nCode);
