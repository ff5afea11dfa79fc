#include "SettingsRecords.h"

namespace {

// Reads little-endian integers and byte runs from the front of a span; every read says whether
// the bytes were there.
class ByteReader {
public:
    explicit ByteReader(std::span<const std::uint8_t> bytes)
        : m_bytes(bytes)
    {
    }

    std::size_t Remaining() const { return m_bytes.size() - m_nPos; }

    template <typename T>
    bool ReadLE(T& value)
    {
        if (Remaining() < sizeof(T))
            return false;
        std::uint64_t v = 0;
        for (std::size_t i = 0; i < sizeof(T); ++i)
            v |= static_cast<std::uint64_t>(m_bytes[m_nPos + i]) << (8 * i);
        m_nPos += sizeof(T);
        value = static_cast<T>(v);
        return true;
    }

    // The caller has checked that n bytes remain.
    std::span<const std::uint8_t> Take(std::size_t n)
    {
        std::span<const std::uint8_t> run = m_bytes.subspan(m_nPos, n);
        m_nPos += n;
        return run;
    }

private:
    std::span<const std::uint8_t> m_bytes;
    std::size_t m_nPos = 0;
};

struct RecordPrefix {
    std::uint64_t nLength = 0;  // in bytes, or in UTF-16 code units for wide text
    bool bWide = false;
};

enum class PrefixResult { Ok, Truncated, Invalid };

constexpr std::uint16_t WIDE_TEXT_MARKER = 0xFFFE;
constexpr std::uint64_t LARGEST_64BIT_LENGTH = 0x7FFFFFFF;

// The five steps of reading a prefix, in the order the format defines them.
PrefixResult ReadPrefix(ByteReader& in, RecordPrefix& prefix)
{
    std::uint8_t b = 0;
    if (!in.ReadLE(b))
        return PrefixResult::Truncated;
    if (b < 0xFF) {
        prefix.nLength = b;
        return PrefixResult::Ok;
    }

    std::uint16_t w = 0;
    if (!in.ReadLE(w))
        return PrefixResult::Truncated;
    if (w == WIDE_TEXT_MARKER) {
        // After the marker the length starts over with the one-byte form.
        prefix.bWide = true;
        if (!in.ReadLE(b))
            return PrefixResult::Truncated;
        if (b < 0xFF) {
            prefix.nLength = b;
            return PrefixResult::Ok;
        }
        if (!in.ReadLE(w))
            return PrefixResult::Truncated;
    }
    if (w < 0xFFFF) {
        prefix.nLength = w;
        return PrefixResult::Ok;
    }

    std::uint32_t d = 0;
    if (!in.ReadLE(d))
        return PrefixResult::Truncated;
    if (d < 0xFFFFFFFF) {
        prefix.nLength = d;
        return PrefixResult::Ok;
    }

    std::uint64_t q = 0;
    if (!in.ReadLE(q))
        return PrefixResult::Truncated;
    if (q > LARGEST_64BIT_LENGTH)
        return PrefixResult::Invalid;
    prefix.nLength = q;
    return PrefixResult::Ok;
}

void AppendUtf8(std::string& out, char32_t c)
{
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

template <typename T>
void AppendLE(std::vector<std::uint8_t>& out, T value)
{
    for (std::size_t i = 0; i < sizeof(T); ++i)
        out.push_back(static_cast<std::uint8_t>(static_cast<std::uint64_t>(value) >> (8 * i)));
}

}  // namespace

RecordsReadResult ReadRecords(std::span<const std::uint8_t> bytes)
{
    RecordsReadResult result;
    ByteReader in(bytes);
    for (std::string& strRecord : result.strRecords) {
        RecordPrefix prefix;
        const PrefixResult nPrefix = ReadPrefix(in, prefix);
        if (nPrefix != PrefixResult::Ok) {
            result.nStatus = nPrefix == PrefixResult::Invalid ? RecordsStatus::Invalid : RecordsStatus::Truncated;
            return result;
        }
        // At most 2 x 0xFFFFFFFF, so the product cannot wrap; comparing with what is left before
        // taking anything keeps a damaged prefix from asking for gigabytes.
        const std::uint64_t nBytes = prefix.bWide ? prefix.nLength * 2 : prefix.nLength;
        if (nBytes > in.Remaining()) {
            result.nStatus = RecordsStatus::Truncated;
            return result;
        }
        const std::span<const std::uint8_t> text = in.Take(static_cast<std::size_t>(nBytes));
        if (prefix.bWide)
            strRecord = Utf16LeToUtf8(text);
        else
            strRecord.assign(text.begin(), text.end());
        ++result.nComplete;
    }
    return result;
}

void AppendRecord(std::vector<std::uint8_t>& out, std::string_view strText)
{
    const std::uint64_t nLength = strText.size();
    if (nLength < 0xFF) {
        out.push_back(static_cast<std::uint8_t>(nLength));
    } else {
        out.push_back(0xFF);
        // 0xFFFE in the 16-bit place would read back as the wide-text marker, so it already
        // takes the 32-bit form.
        if (nLength < 0xFFFE) {
            AppendLE(out, static_cast<std::uint16_t>(nLength));
        } else {
            AppendLE(out, std::uint16_t{0xFFFF});
            if (nLength < 0xFFFFFFFF) {
                AppendLE(out, static_cast<std::uint32_t>(nLength));
            } else {
                AppendLE(out, std::uint32_t{0xFFFFFFFF});
                AppendLE(out, nLength);
            }
        }
    }
    out.insert(out.end(), strText.begin(), strText.end());
}

std::vector<std::uint8_t> WriteRecords(const SettingsRecordArray& strRecords)
{
    std::vector<std::uint8_t> out;
    for (const std::string& strRecord : strRecords)
        AppendRecord(out, strRecord);
    return out;
}

std::string Utf16LeToUtf8(std::span<const std::uint8_t> bytes)
{
    constexpr char32_t REPLACEMENT = 0xFFFD;
    std::string out;
    out.reserve(bytes.size() / 2 * 3 + 3);
    const std::size_t nUnits = bytes.size() / 2;
    auto unitAt = [&](std::size_t i) {
        return static_cast<char16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    };
    for (std::size_t i = 0; i < nUnits; ++i) {
        const char16_t u = unitAt(i);
        if (u >= 0xD800 && u <= 0xDBFF) {
            if (i + 1 < nUnits) {
                const char16_t low = unitAt(i + 1);
                if (low >= 0xDC00 && low <= 0xDFFF) {
                    AppendUtf8(out, 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (low - 0xDC00));
                    ++i;
                    continue;
                }
            }
            AppendUtf8(out, REPLACEMENT);
        } else if (u >= 0xDC00 && u <= 0xDFFF) {
            AppendUtf8(out, REPLACEMENT);
        } else {
            AppendUtf8(out, u);
        }
    }
    if (bytes.size() % 2 != 0)
        AppendUtf8(out, REPLACEMENT);
    return out;
}
