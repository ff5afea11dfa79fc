#pragma once
// One writer of JSON text for every line the programs print: an object whose fields come out in the
// order they are added, compact, on one line. Values are written as they are added, so a nested
// object or a list is added as its finished text.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// A JSON string with its quotes. Control characters, the C1 controls, U+2028/U+2029, the quote and the
// backslash are escaped; bytes that are not well-formed UTF-8 become U+FFFD, one per byte, so that the
// line stays valid JSON whatever a router sends.
std::string JsonString(std::string_view bytes);

// A number in its shortest form that reads back to the same double: a whole number (up to 2^53) as an
// integer ("12"), otherwise the shorter of the fixed and the exponent form ("0.25", "1e-05"), the
// fixed one when both are as long. Not a number and the infinities are null.
std::string JsonNumber(double value);

// A list of values, each already JSON text.
std::string JsonArray(const std::vector<std::string>& values);

class CJsonObject {
public:
    CJsonObject& String(std::string_view name, std::string_view value);
    CJsonObject& String(std::string_view name, const char* pszValue) { return String(name, std::string_view(pszValue)); }
    CJsonObject& String(std::string_view name, const std::string& value) { return String(name, std::string_view(value)); }
    CJsonObject& String(std::string_view name, const std::optional<std::string>& value);  // none: null
    CJsonObject& Integer(std::string_view name, std::int64_t value);
    CJsonObject& Integer(std::string_view name, const std::optional<std::int64_t>& value);  // none: null
    CJsonObject& Number(std::string_view name, double value);
    // With nDecimals digits after the point ("0.120"), as printf's %.*f writes it in the C locale.
    CJsonObject& Fixed(std::string_view name, double value, int nDecimals);
    CJsonObject& Bool(std::string_view name, bool value);
    CJsonObject& Bool(std::string_view name, const std::optional<bool>& value);  // none: null
    CJsonObject& Null(std::string_view name);
    // A value that is already JSON text: a nested object's Text(), a JsonArray.
    CJsonObject& Value(std::string_view name, std::string_view json);

    std::string Text() const { return m_text + '}'; }
    // The object and a line end.
    std::string Line() const { return m_text + "}\n"; }

private:
    std::string m_text = "{";
};
