#include "SafeText.h"

#include <cstddef>
#include <cstdint>

namespace {

void AppendHex(std::string& out, unsigned char byte)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    out += "\\x";
    out += kDigits[byte >> 4];
    out += kDigits[byte & 0x0F];
}

}  // namespace

std::string EscapeForTerminal(std::string_view bytes)
{
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size();) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c < 0x80) {
            if (c < 0x20 || c == 0x7F)
                AppendHex(out, c);
            else if (c == '\\')
                out += "\\\\";
            else
                out += static_cast<char>(c);
            ++i;
            continue;
        }
        std::uint32_t codePoint = 0;
        const std::size_t length = Utf8SequenceLength(bytes, i, codePoint);
        if (length == 0 || (codePoint >= 0x80 && codePoint <= 0x9F)) {
            // Invalid UTF-8 and the C1 controls: every byte shown, none passed on.
            const std::size_t shown = length == 0 ? 1 : length;
            for (std::size_t k = 0; k < shown; ++k)
                AppendHex(out, static_cast<unsigned char>(bytes[i + k]));
            i += shown;
            continue;
        }
        out.append(bytes.substr(i, length));
        i += length;
    }
    return out;
}

std::size_t Utf8SequenceLength(std::string_view text, std::size_t i, std::uint32_t& codePoint)
{
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    std::size_t length = 0;
    std::uint32_t minimum = 0;
    if (lead < 0x80) {
        codePoint = lead;
        return 1;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        minimum = 0x80;
        codePoint = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        minimum = 0x800;
        codePoint = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        minimum = 0x10000;
        codePoint = lead & 0x07;
    } else {
        return 0;
    }
    if (i + length > text.size())
        return 0;
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
        codePoint = (codePoint << 6) | (byte(i + k) & 0x3F);
    }
    if (codePoint < minimum || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF))
        return 0;
    return length;
}

namespace {

// Scripts that are written without spaces between words: kana, the ideographs, and the full-width
// forms and punctuation that go with them.
bool IsWrittenWithoutSpaces(std::uint32_t codePoint)
{
    return (codePoint >= 0x3000 && codePoint <= 0x30FF)      // CJK punctuation, hiragana, katakana
           || (codePoint >= 0x3400 && codePoint <= 0x4DBF)   // ideographs, extension A
           || (codePoint >= 0x4E00 && codePoint <= 0x9FFF)   // ideographs
           || (codePoint >= 0xF900 && codePoint <= 0xFAFF)   // compatibility ideographs
           || (codePoint >= 0xFF00 && codePoint <= 0xFFEF);  // full-width and half-width forms
}

// The code point that ends text, or 0 when it ends in a byte that is no UTF-8 character.
std::uint32_t LastCodePoint(std::string_view text)
{
    for (std::size_t nBack = 1; nBack <= 4 && nBack <= text.size(); ++nBack) {
        std::uint32_t codePoint = 0;
        if (Utf8SequenceLength(text, text.size() - nBack, codePoint) == nBack)
            return codePoint;
    }
    return 0;
}

}  // namespace

std::string JoinLineBreaks(std::string_view text)
{
    std::string joined;
    joined.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        if (text[i] != '\n') {
            joined += text[i++];
            continue;
        }
        while (i < text.size() && text[i] == '\n')
            ++i;
        if (joined.empty() || i == text.size() || joined.back() == ' ' || text[i] == ' ')
            continue;
        std::uint32_t next = 0;
        const bool bNextWide = Utf8SequenceLength(text, i, next) != 0 && IsWrittenWithoutSpaces(next);
        if (!(bNextWide && IsWrittenWithoutSpaces(LastCodePoint(joined))))
            joined += ' ';
    }
    return joined;
}
