// Feeds arbitrary bytes, as a router's datagram or its ERROR text, to what the console companion
// makes of them for a terminal (the -v/--trace line) and for a script (a JSON string), and checks that
// neither ever passes on a control byte, a C1 control or invalid UTF-8, and that the password of a
// request never shows.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>

#include "CliJson.h"
#include "CliTrace.h"
#include "SafeText.h"

namespace {

void Check(bool bHolds)
{
    if (!bHolds)
        std::abort();
}

// Well-formed UTF-8 with nothing a terminal obeys: no C0 control, no DEL, no C1 control.
bool IsInertUtf8(std::string_view text)
{
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        if (lead < 0x80) {
            if (lead < 0x20 || lead == 0x7F)
                return false;
            ++i;
            continue;
        }
        std::size_t nLength = 0;
        std::uint32_t codePoint = 0;
        if (lead >= 0xC2 && lead <= 0xDF) {
            nLength = 2;
            codePoint = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            nLength = 3;
            codePoint = lead & 0x0F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            nLength = 4;
            codePoint = lead & 0x07;
        } else {
            return false;
        }
        if (i + nLength > text.size())
            return false;
        for (std::size_t k = 1; k < nLength; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80)
                return false;
            codePoint = (codePoint << 6) | (next & 0x3F);
        }
        const std::uint32_t minimum = nLength == 2 ? 0x80 : nLength == 3 ? 0x800 : 0x10000;
        if (codePoint < minimum || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)
            || (codePoint >= 0x80 && codePoint <= 0x9F))
            return false;
        i += nLength;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t nSize)
{
    const std::span<const std::uint8_t> datagram(pData, nSize);
    const std::string_view bytes(reinterpret_cast<const char*>(pData), nSize);

    for (bool bSent : {true, false}) {
        const std::string line = DescribeDatagram(bSent, datagram, 1.0);
        Check(IsInertUtf8(line));
        // A request's name: whatever follows its first "/" is the password, and only "***" stands for it.
        if (nSize > 2 && pData[0] == 0 && (pData[1] == 1 || pData[1] == 2)) {
            const std::string_view name = bytes.substr(2, bytes.find('\0', 2) - 2);
            const std::size_t nSlash = name.find('/');
            if (nSlash != std::string_view::npos) {
                const std::string expected = std::string(bSent ? "+1.000s sent " : "+1.000s recv ")
                                             + (pData[1] == 1 ? "RRQ" : "WRQ") + " name="
                                             + EscapeForTerminal(name.substr(0, nSlash)) + "/*** mode=";
                Check(line.starts_with(expected));
            }
        }
    }

    const std::string json = JsonString(bytes);
    Check(json.size() >= 2 && json.front() == '"' && json.back() == '"');
    // Inside the quotes: every quote escaped, and the escapes themselves well formed.
    const std::string_view inner = std::string_view(json).substr(1, json.size() - 2);
    for (std::size_t i = 0; i < inner.size(); ++i) {
        if (inner[i] == '"')
            std::abort();
        if (inner[i] == '\\') {
            Check(i + 1 < inner.size());
            const char escaped = inner[++i];
            Check(escaped == '"' || escaped == '\\' || escaped == 'n' || escaped == 'r' || escaped == 't'
                  || escaped == 'u');
            if (escaped == 'u') {
                Check(i + 4 < inner.size());
                i += 4;
            }
        }
    }
    Check(IsInertUtf8(json));
    return 0;
}
