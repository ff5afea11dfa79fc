#pragma once
// The settings file's bytes: twelve length-prefixed byte strings back to back, with no header,
// count or checksum. These are pure functions over bytes, so that any bytes at all (a damaged
// file, a fuzzer's input) can be fed to the reader without touching a file.
//
// A record is a length prefix, then that many bytes of text with no terminator; integers are
// little-endian. The writer uses three prefix forms:
//   length 0 .. 254           one byte
//   length 255 .. 0xFFFD      FF, 16-bit length
//   length 0xFFFE and more    FF, FFFF, 32-bit length (FF, FFFF, FFFFFFFF, 64-bit length above
//                             0xFFFFFFFE)
// The reader also takes the wide-text marker FF FEFF, after which the length counts UTF-16LE code
// units; such text is stored as UTF-8, so a later write turns it into plain bytes.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

inline constexpr std::size_t SETTINGS_RECORD_COUNT = 12;
using SettingsRecordArray = std::array<std::string, SETTINGS_RECORD_COUNT>;

enum class RecordsStatus {
    Complete,   // all twelve records were read; bytes after them are ignored
    Truncated,  // the bytes end before the twelfth record is complete
    Invalid,    // a record's 64-bit length is above 0x7FFFFFFF
};

struct RecordsReadResult {
    // The complete records in file order; the record that could not be completed and every later
    // one are empty.
    SettingsRecordArray strRecords;
    std::size_t nComplete = 0;
    RecordsStatus nStatus = RecordsStatus::Complete;
};

// Reads the twelve records from the start of bytes. Never reads outside the span and never
// allocates more than the bytes present, whatever a length prefix claims.
RecordsReadResult ReadRecords(std::span<const std::uint8_t> bytes);

// The bytes of the twelve records, each with the shortest prefix form for its length.
std::vector<std::uint8_t> WriteRecords(const SettingsRecordArray& strRecords);

// Appends one record (prefix and text) to out.
void AppendRecord(std::vector<std::uint8_t>& out, std::string_view strText);

// UTF-16LE code units to UTF-8. A lone surrogate and an odd trailing byte each become U+FFFD.
std::string Utf16LeToUtf8(std::span<const std::uint8_t> bytes);
