#include "JsonWriter.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "SafeText.h"

namespace {

void AppendUnicodeEscape(std::string& out, std::uint32_t codePoint)
{
    char text[8];
    std::snprintf(text, sizeof text, "\\u%04x", static_cast<unsigned>(codePoint));
    out += text;
}

// The largest whole number a double holds exactly, and with it every smaller one.
constexpr double kLargestExactWhole = 9007199254740992.0;  // 2^53

std::string Chars(double value, std::chars_format format)
{
    char text[64];
    char* const pEnd = std::to_chars(text, text + sizeof text, value, format).ptr;
    return std::string(text, pEnd);
}

}  // namespace

std::string JsonString(std::string_view bytes)
{
    std::string out = "\"";
    out.reserve(bytes.size() + 2);
    for (std::size_t i = 0; i < bytes.size();) {
        std::uint32_t codePoint = 0;
        const std::size_t length = Utf8SequenceLength(bytes, i, codePoint);
        if (length == 0) {
            out += "\xEF\xBF\xBD";  // U+FFFD for each byte that is not part of a well-formed sequence
            ++i;
            continue;
        }
        switch (codePoint) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            // Controls (C0, DEL, C1) and the two line separators that some readers take for line ends.
            if (codePoint < 0x20 || (codePoint >= 0x7F && codePoint <= 0x9F) || codePoint == 0x2028
                || codePoint == 0x2029)
                AppendUnicodeEscape(out, codePoint);
            else
                out.append(bytes.substr(i, length));
        }
        i += length;
    }
    out += '"';
    return out;
}

std::string JsonNumber(double value)
{
    if (!std::isfinite(value))
        return "null";
    if (value == std::trunc(value) && std::fabs(value) <= kLargestExactWhole) {
        char text[32];
        char* const pEnd = std::to_chars(text, text + sizeof text, static_cast<std::int64_t>(value)).ptr;
        return std::string(text, pEnd);
    }
    std::string fixed = Chars(value, std::chars_format::fixed);
    std::string scientific = Chars(value, std::chars_format::scientific);
    return scientific.size() < fixed.size() ? scientific : fixed;
}

std::string JsonArray(const std::vector<std::string>& values)
{
    std::string out = "[";
    for (const std::string& value : values) {
        if (out.size() > 1)
            out += ',';
        out += value;
    }
    return out + ']';
}

CJsonObject& CJsonObject::Value(std::string_view name, std::string_view json)
{
    if (m_text.size() > 1)
        m_text += ',';
    m_text += JsonString(name);
    m_text += ':';
    m_text += json;
    return *this;
}

CJsonObject& CJsonObject::String(std::string_view name, std::string_view value)
{
    return Value(name, JsonString(value));
}

CJsonObject& CJsonObject::String(std::string_view name, const std::optional<std::string>& value)
{
    return value ? String(name, std::string_view(*value)) : Null(name);
}

CJsonObject& CJsonObject::Integer(std::string_view name, std::int64_t value)
{
    char text[32];
    const char* const pEnd = std::to_chars(text, text + sizeof text, value).ptr;
    return Value(name, std::string_view(text, static_cast<std::size_t>(pEnd - text)));
}

CJsonObject& CJsonObject::Integer(std::string_view name, const std::optional<std::int64_t>& value)
{
    return value ? Integer(name, *value) : Null(name);
}

CJsonObject& CJsonObject::Number(std::string_view name, double value)
{
    return Value(name, JsonNumber(value));
}

CJsonObject& CJsonObject::Fixed(std::string_view name, double value, int nDecimals)
{
    if (!std::isfinite(value))
        return Null(name);
    char text[400];
    const char* const pEnd = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, nDecimals).ptr;
    return Value(name, std::string_view(text, static_cast<std::size_t>(pEnd - text)));
}

CJsonObject& CJsonObject::Bool(std::string_view name, bool value)
{
    return Value(name, value ? "true" : "false");
}

CJsonObject& CJsonObject::Bool(std::string_view name, const std::optional<bool>& value)
{
    return value ? Bool(name, *value) : Null(name);
}

CJsonObject& CJsonObject::Null(std::string_view name)
{
    return Value(name, "null");
}
