#pragma once
// The bytes of every packet the engine sends and the reading of every datagram it receives.
// Pure functions: no socket, no clock, no engine state. Builders write into a caller's buffer and
// return the packet length, or 0 when the packet does not fit (nothing useful is written then).

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "TftpTypes.h"

namespace tftp {

inline constexpr std::uint16_t OPCODE_RRQ = 1;
inline constexpr std::uint16_t OPCODE_WRQ = 2;
inline constexpr std::uint16_t OPCODE_DATA = 3;
inline constexpr std::uint16_t OPCODE_ACK = 4;
inline constexpr std::uint16_t OPCODE_ERROR = 5;
inline constexpr std::uint16_t OPCODE_OACK = 6;

inline constexpr std::size_t TFTP_HEADER_SIZE = 4;
inline constexpr std::size_t TFTP_MAX_DATA_PACKET = TFTP_HEADER_SIZE + TFTP_BLOCK_SIZE;  // 516
inline constexpr std::size_t TFTP_ERROR_PACKET_SIZE = 19;

// What the client tells the router when it gives up on a receive.
inline constexpr std::string_view kClientErrorText = "Client Error!!";

// The router's name for one of its files: "config" or "exec", then the file number as typed, then,
// for a configuration file with a password, "/" and the password. Firmware names never carry the
// password: the router takes a firmware request without one.
std::string RemoteFileName(std::int16_t nFileKind, std::string_view strFileNumber, std::string_view strPassword);

// RRQ (receive) or WRQ (send) for the remote file. Configuration files go as "netascii", firmware as
// "octet"; a configuration read also asks for "tsize" 0. 0 when the packet does not fit in out, or when
// the number or the password holds a zero byte (the router would read a different name).
std::size_t BuildRequest(std::span<std::uint8_t> out, std::int16_t nDirection, std::int16_t nFileKind,
                         std::string_view strFileNumber, std::string_view strPassword);

// DATA for one block; the payload is at most 512 bytes.
std::size_t BuildData(std::span<std::uint8_t> out, std::uint16_t nBlock, std::span<const std::uint8_t> payload);

std::size_t BuildAck(std::span<std::uint8_t> out, std::uint16_t nBlock);

// ERROR carrying the low 16 bits of a result code and "Client Error!!": always 19 bytes.
std::size_t BuildError(std::span<std::uint8_t> out, TftpResult nCode);

// 0 for anything the engine does not use, else the opcode: OPCODE_DATA for DATA of 4..516 bytes with
// the expected block, OPCODE_ACK for an ACK of exactly 4 bytes with the expected block, OPCODE_ERROR
// for an ERROR of 5..516 bytes.
std::uint16_t ClassifyPacket(std::span<const std::uint8_t> datagram, std::uint16_t nExpectedBlock);

// The message of an ERROR datagram: the bytes from offset 4 up to the first zero byte, never beyond the
// datagram. Empty for a datagram of 4 bytes or fewer.
std::string_view ErrorMessageOf(std::span<const std::uint8_t> datagram);

// A 16-bit number in network order at the offset; 0 when the datagram is too short for it.
std::uint16_t ReadNumber(std::span<const std::uint8_t> datagram, std::size_t nOffset);

}  // namespace tftp
