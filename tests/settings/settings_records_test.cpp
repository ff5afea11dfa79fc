#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "SettingsRecords.h"

// Records the largest single allocation while a test asks for it, so that a reader which sizes a
// buffer from a damaged length prefix is caught even when the allocation would succeed.
namespace {
std::atomic<bool> g_bTrackAllocations{false};
std::atomic<std::size_t> g_nLargestAllocation{0};

void* TrackedAllocate(std::size_t nSize)
{
    if (g_bTrackAllocations.load(std::memory_order_relaxed)) {
        std::size_t nLargest = g_nLargestAllocation.load(std::memory_order_relaxed);
        while (nSize > nLargest && !g_nLargestAllocation.compare_exchange_weak(nLargest, nSize)) {
        }
    }
    return std::malloc(nSize != 0 ? nSize : 1);
}
}  // namespace

void* operator new(std::size_t nSize)
{
    if (void* p = TrackedAllocate(nSize))
        return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t nSize)
{
    if (void* p = TrackedAllocate(nSize))
        return p;
    throw std::bad_alloc();
}
void* operator new(std::size_t nSize, const std::nothrow_t&) noexcept { return TrackedAllocate(nSize); }
void* operator new[](std::size_t nSize, const std::nothrow_t&) noexcept { return TrackedAllocate(nSize); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

Bytes TextBytes(const std::string& s)
{
    return Bytes(s.begin(), s.end());
}

// n records of length zero.
Bytes EmptyRecords(std::size_t n)
{
    return Bytes(n, 0x00);
}

struct LargestAllocationScope {
    LargestAllocationScope()
    {
        g_nLargestAllocation = 0;
        g_bTrackAllocations = true;
    }
    ~LargestAllocationScope() { g_bTrackAllocations = false; }
    std::size_t Largest() const { return g_nLargestAllocation; }
};

struct PrefixCase {
    std::size_t nLength;
    Bytes prefix;
};

const PrefixCase kPrefixCases[] = {
    {0, {0x00}},
    {1, {0x01}},
    {254, {0xFE}},
    {255, {0xFF, 0xFF, 0x00}},
    {300, {0xFF, 0x2C, 0x01}},
    {65533, {0xFF, 0xFD, 0xFF}},
    // 0xFFFE in the 16-bit place is the wide-text marker, so this length needs the long form.
    {65534, {0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0x00, 0x00}},
    {70000, {0xFF, 0xFF, 0xFF, 0x70, 0x11, 0x01, 0x00}},
};

TEST(SettingsRecords, WriterPicksThePrefixFormByLengthAndReaderGetsTheTextBack)
{
    for (const PrefixCase& c : kPrefixCases) {
        SCOPED_TRACE(c.nLength);
        SettingsRecordArray records;
        std::string strText(c.nLength, '\0');
        for (std::size_t i = 0; i < c.nLength; ++i)
            strText[i] = static_cast<char>('a' + i % 26);
        // The same text first and last, so that the records between must be found at the right place.
        records[0] = strText;
        records[11] = strText;

        const Bytes written = WriteRecords(records);
        const Bytes oneRecord = Concat({c.prefix, TextBytes(strText)});
        EXPECT_EQ(written, Concat({oneRecord, EmptyRecords(10), oneRecord}));

        const RecordsReadResult read = ReadRecords(written);
        EXPECT_EQ(read.nStatus, RecordsStatus::Complete);
        EXPECT_EQ(read.nComplete, SETTINGS_RECORD_COUNT);
        EXPECT_EQ(read.strRecords, records);
    }
}

struct HandMadeCase {
    const char* name;
    Bytes record;
    std::string strExpected;
};

// "hi" as UTF-16LE.
const Bytes kWideHi = {0x68, 0x00, 0x69, 0x00};

const HandMadeCase kHandMadeCases[] = {
    {"one-byte length", Concat({{0x05}, TextBytes("hello")}), "hello"},
    {"16-bit length for a short text", Concat({{0xFF, 0x05, 0x00}, TextBytes("hello")}), "hello"},
    {"32-bit length", Concat({{0xFF, 0xFF, 0xFF, 0x05, 0x00, 0x00, 0x00}, TextBytes("hello")}), "hello"},
    {"64-bit length",
     Concat({{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x05, 0, 0, 0, 0, 0, 0, 0}, TextBytes("hello")}), "hello"},
    {"wide text, one-byte length", Concat({{0xFF, 0xFE, 0xFF, 0x02}, kWideHi}), "hi"},
    {"wide text, 16-bit length", Concat({{0xFF, 0xFE, 0xFF, 0xFF, 0x02, 0x00}, kWideHi}), "hi"},
    {"wide text, 32-bit length", Concat({{0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0, 0, 0}, kWideHi}), "hi"},
    {"wide text, 64-bit length",
     Concat({{0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0, 0, 0, 0, 0, 0, 0}, kWideHi}),
     "hi"},
    {"wide Japanese text", {0xFF, 0xFE, 0xFF, 0x02, 0x2D, 0x8A, 0x9A, 0x5B}, "設定"},
    {"wide text with a surrogate pair", {0xFF, 0xFE, 0xFF, 0x02, 0x3D, 0xD8, 0x00, 0xDE}, "\xF0\x9F\x98\x80"},
    {"empty wide text", {0xFF, 0xFE, 0xFF, 0x00}, ""},
    {"bytes that are not UTF-8 kept as they are", {0x03, 0x82, 0xA0, 0xFF}, "\x82\xA0\xFF"},
};

TEST(SettingsRecords, ReaderTakesEveryPrefixFormAndWideText)
{
    for (const HandMadeCase& c : kHandMadeCases) {
        SCOPED_TRACE(c.name);
        // The record under test in the middle, so that a wrong length shows in the records after it.
        const Bytes bytes = Concat({EmptyRecords(5), c.record, {0x01, 'z'}, EmptyRecords(5)});
        const RecordsReadResult read = ReadRecords(bytes);
        ASSERT_EQ(read.nStatus, RecordsStatus::Complete);
        EXPECT_EQ(read.strRecords[5], c.strExpected);
        EXPECT_EQ(read.strRecords[6], "z");
        EXPECT_EQ(read.strRecords[11], "");
    }
}

TEST(SettingsRecords, WideTextIsWrittenBackAsPlainBytes)
{
    const Bytes bytes = Concat({{0xFF, 0xFE, 0xFF, 0x02, 0x2D, 0x8A, 0x9A, 0x5B}, EmptyRecords(11)});
    const RecordsReadResult read = ReadRecords(bytes);
    EXPECT_EQ(WriteRecords(read.strRecords), Concat({{0x06}, TextBytes("設定"), EmptyRecords(11)}));
}

TEST(SettingsRecords, BytesAfterTheTwelfthRecordAreIgnored)
{
    const Bytes bytes = Concat({EmptyRecords(11), {0x02, 'o', 'k'}, {0xFF, 0xFF, 0xFF, 0xFF, 0x07, 'x'}});
    const RecordsReadResult read = ReadRecords(bytes);
    EXPECT_EQ(read.nStatus, RecordsStatus::Complete);
    EXPECT_EQ(read.nComplete, 12u);
    EXPECT_EQ(read.strRecords[11], "ok");
}

// Twelve records in every prefix form, wide text included, with the offset at which each ends.
struct SampleFile {
    Bytes bytes;
    SettingsRecordArray strRecords;
    std::vector<std::size_t> nEnds;
};

SampleFile MakeSampleFile()
{
    SampleFile sample;
    auto add = [&](const Bytes& record, const std::string& strText) {
        sample.strRecords[sample.nEnds.size()] = strText;
        sample.bytes.insert(sample.bytes.end(), record.begin(), record.end());
        sample.nEnds.push_back(sample.bytes.size());
    };
    add(Concat({{0x09}, TextBytes("192.0.2.1")}), "192.0.2.1");
    add({0x00}, "");
    add(Concat({{0xFF, 0x03, 0x00}, TextBytes("abc")}), "abc");
    add(Concat({{0xFF, 0xFF, 0xFF, 0x02, 0, 0, 0}, TextBytes("de")}), "de");
    add(Concat({{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0, 0, 0, 0, 0, 0, 0}, TextBytes("f")}), "f");
    add(Concat({{0xFF, 0xFE, 0xFF, 0x02}, kWideHi}), "hi");
    add(Concat({{0xFF, 0xFE, 0xFF, 0xFF, 0x02, 0x00}, kWideHi}), "hi");
    add(Concat({{0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0, 0, 0}, kWideHi}), "hi");
    add(Concat({{0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0, 0, 0, 0, 0, 0, 0}, kWideHi}),
        "hi");
    add(Concat({{0x01}, TextBytes("g")}), "g");
    add(Concat({{0x09}, TextBytes("192.0.2.1")}), "192.0.2.1");
    add(Concat({{0x06}, TextBytes("/data/")}), "/data/");
    return sample;
}

TEST(SettingsRecords, TruncationAtEveryOffsetKeepsTheCompleteRecordsAndEmptiesTheRest)
{
    const SampleFile sample = MakeSampleFile();
    ASSERT_EQ(sample.nEnds.size(), SETTINGS_RECORD_COUNT);
    ASSERT_EQ(ReadRecords(sample.bytes).strRecords, sample.strRecords);

    for (std::size_t nCut = 0; nCut < sample.bytes.size(); ++nCut) {
        SCOPED_TRACE(nCut);
        // A copy of exactly nCut bytes, so that the sanitizer sees any read past its end.
        const Bytes cut(sample.bytes.begin(), sample.bytes.begin() + static_cast<std::ptrdiff_t>(nCut));
        const RecordsReadResult read = ReadRecords(cut);
        std::size_t nExpected = 0;
        while (nExpected < sample.nEnds.size() && sample.nEnds[nExpected] <= nCut)
            ++nExpected;
        EXPECT_EQ(read.nStatus, RecordsStatus::Truncated);
        EXPECT_EQ(read.nComplete, nExpected);
        for (std::size_t i = 0; i < SETTINGS_RECORD_COUNT; ++i)
            EXPECT_EQ(read.strRecords[i], i < nExpected ? sample.strRecords[i] : std::string()) << "record " << i;
    }
}

struct HugeLengthCase {
    const char* name;
    Bytes prefix;
    RecordsStatus nStatus;
};

const HugeLengthCase kHugeLengthCases[] = {
    {"32-bit length of almost 4 GiB", {0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0xFF, 0xFF}, RecordsStatus::Truncated},
    {"wide text of almost 4 Gi code units", {0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0xFF, 0xFF},
     RecordsStatus::Truncated},
    {"64-bit length of 0x7FFFFFFF", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0, 0, 0, 0},
     RecordsStatus::Truncated},
    {"64-bit length of 0x80000000", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0x80, 0, 0, 0, 0},
     RecordsStatus::Invalid},
    {"64-bit length of 4 GiB", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0x01, 0, 0, 0},
     RecordsStatus::Invalid},
    {"64-bit length of all ones", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
     RecordsStatus::Invalid},
};

TEST(SettingsRecords, HugeLengthPrefixInASmallFileIsNeverAllocated)
{
    for (const HugeLengthCase& c : kHugeLengthCases) {
        SCOPED_TRACE(c.name);
        const Bytes bytes = Concat({{0x02, 'o', 'k'}, c.prefix, TextBytes("some text")});
        RecordsReadResult read;
        {
            LargestAllocationScope allocations;
            read = ReadRecords(bytes);
            EXPECT_LT(allocations.Largest(), 4096u);
        }
        EXPECT_EQ(read.nStatus, c.nStatus);
        EXPECT_EQ(read.nComplete, 1u);
        EXPECT_EQ(read.strRecords[0], "ok");
        for (std::size_t i = 1; i < SETTINGS_RECORD_COUNT; ++i)
            EXPECT_EQ(read.strRecords[i], "");
    }
}

TEST(SettingsRecords, FourGibLengthPrefixInATwentyByteFile)
{
    const Bytes bytes = Concat({{0x02, 'o', 'k'}, {0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0xFF, 0xFF}, TextBytes("0123456789")});
    ASSERT_EQ(bytes.size(), 20u);
    const RecordsReadResult read = ReadRecords(bytes);
    EXPECT_EQ(read.nStatus, RecordsStatus::Truncated);
    EXPECT_EQ(read.strRecords[0], "ok");
    EXPECT_EQ(read.strRecords[1], "");
}

struct WideTextCase {
    const char* name;
    Bytes utf16le;
    std::string strUtf8;
};

const std::string kReplacement = "\xEF\xBF\xBD";

const WideTextCase kWideTextCases[] = {
    {"empty", {}, ""},
    {"ASCII", {'a', 0, 'b', 0}, "ab"},
    {"two- and three-byte forms", {0xE9, 0x00, 0x42, 0x30}, "\xC3\xA9\xE3\x81\x82"},
    {"zero code unit kept", {'a', 0, 0, 0, 'b', 0}, std::string("a\0b", 3)},
    {"surrogate pair", {0x3D, 0xD8, 0x00, 0xDE}, "\xF0\x9F\x98\x80"},
    {"highest code point", {0xFF, 0xDB, 0xFF, 0xDF}, "\xF4\x8F\xBF\xBF"},
    {"odd byte count", {'a', 0, 'b'}, "a" + kReplacement},
    {"single byte", {'a'}, kReplacement},
    {"lone high surrogate at the end", {'a', 0, 0x3D, 0xD8}, "a" + kReplacement},
    {"high surrogate before a plain unit", {0x3D, 0xD8, 'a', 0}, kReplacement + "a"},
    {"two high surrogates then a low one", {0x3D, 0xD8, 0x3D, 0xD8, 0x00, 0xDE}, kReplacement + "\xF0\x9F\x98\x80"},
    {"lone low surrogate", {0x00, 0xDE, 'a', 0}, kReplacement + "a"},
    {"pair in the wrong order", {0x00, 0xDE, 0x3D, 0xD8}, kReplacement + kReplacement},
    {"high surrogate then an odd byte", {0x3D, 0xD8, 0x00}, kReplacement + kReplacement},
};

TEST(SettingsRecords, WideTextBecomesUtf8WithReplacementForInvalidUnits)
{
    for (const WideTextCase& c : kWideTextCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Utf16LeToUtf8(c.utf16le), c.strUtf8);
    }
}

TEST(SettingsRecords, LoneSurrogatesInAWideRecordBecomeReplacementCharacters)
{
    const Bytes bytes = Concat({{0xFF, 0xFE, 0xFF, 0x03, 0x00, 0xDC, 'x', 0x00, 0x00, 0xD8}, EmptyRecords(11)});
    const RecordsReadResult read = ReadRecords(bytes);
    EXPECT_EQ(read.nStatus, RecordsStatus::Complete);
    EXPECT_EQ(read.strRecords[0], kReplacement + "x" + kReplacement);
}

}  // namespace
