#pragma once
// The framing of a backup worker's channel: a frame is a count of fields, then each field as its
// length and its bytes (the lengths as 32-bit numbers of this machine: both ends are one program on
// one host). A password or a path may hold any byte, so no field is ever delimited by a character.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

inline constexpr std::uint32_t kMaxFrameFields = 64;
inline constexpr std::uint32_t kMaxFrameFieldBytes = 1 << 16;

// The bytes of one frame.
std::string EncodeFrame(const std::vector<std::string>& fields);

// The next frame from nFd, read whole; false at the end of the channel, on a read error, or on a frame
// with more than kMaxFrameFields fields or a field longer than kMaxFrameFieldBytes.
bool ReadFrame(int nFd, std::vector<std::string>& fields);

// The next frame from the front of bytes read so far (from a descriptor that does not wait), taken
// out of them when it is whole; the same bounds as ReadFrame.
enum class FrameTake { Whole, Partial, Malformed };
FrameTake TakeFrame(std::string& buffer, std::vector<std::string>& fields);

// Every byte to a socket, without a SIGPIPE when its peer has ended (then false, as on any error).
bool SendAll(int nFd, std::string_view bytes);
