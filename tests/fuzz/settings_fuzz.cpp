// Feeds arbitrary bytes to the settings reader: it must never crash, read outside its input or
// allocate what a length prefix claims, and whatever it reads must survive a write and a second read.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "SettingsRecords.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t nSize)
{
    const RecordsReadResult first = ReadRecords(std::span<const std::uint8_t>(pData, nSize));
    std::size_t nTotal = 0;
    for (const std::string& record : first.strRecords)
        nTotal += record.size();
    // Wide text may grow by half when it becomes UTF-8 (two bytes of UTF-16 become at most three).
    if (nTotal > nSize * 3 / 2 + 16)
        std::abort();

    const std::vector<std::uint8_t> written = WriteRecords(first.strRecords);
    const RecordsReadResult second = ReadRecords(written);
    if (second.nStatus != RecordsStatus::Complete || second.strRecords != first.strRecords)
        std::abort();
    return 0;
}
