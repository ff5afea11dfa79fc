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
