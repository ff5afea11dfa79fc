#include "CliJson.h"

#include <cstdio>

#include "SafeText.h"

namespace {

void AppendUnicodeEscape(std::string& out, std::uint32_t codePoint)
{
    char text[8];
    std::snprintf(text, sizeof text, "\\u%04x", static_cast<unsigned>(codePoint));
    out += text;
}

void AppendField(std::string& out, std::string_view name, const std::string& value)
{
    if (out.size() > 1)
        out += ',';
    out += '"';
    out += name;
    out += "\":";
    out += value;
}

std::string OrNull(const std::optional<std::string>& text)
{
    return text ? JsonString(*text) : "null";
}

}  // namespace

std::string_view ClassOfResult(TftpResult nCode)
{
    switch (nCode) {
    case TFTP_ERR_BAD_PASSWORD:
        return kClassInput;
    case TFTP_ERR_BAD_ADDRESS:  // the system refused the address at the send
    case TFTP_ERR_NET_OPEN:
    case TFTP_ERR_NET_FAULT:
        return kClassNetwork;
    case TFTP_ERR_NO_RESPONSE:
        return kClassTimeout;
    case TFTP_ERR_PEER_ERROR:
    case TFTP_ERR_NO_SUCH_FILE:
    case TFTP_ERR_ACCESS_VIOLATION:
        return kClassRefused;
    case TFTP_ERR_RECV_NO_MEMORY:
        // The receive bound: a router that never ends its file.
        return kClassProtocol;
    default:
        // 0x80xx: the local side (the file, memory, the engine itself).
        return kClassLocal;
    }
}

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

std::string FormatJsonLine(const CliOutcome& o)
{
    std::string out = "{";
    AppendField(out, "router", OrNull(o.router));
    AppendField(out, "operation", o.operation ? JsonString(CliOperationName(*o.operation)) : "null");
    AppendField(out, "file_number", o.fileNumber ? std::to_string(*o.fileNumber) : "null");
    AppendField(out, "local_file", OrNull(o.localFile));
    AppendField(out, "ok", o.bOk ? "true" : "false");
    AppendField(out, "code", o.code ? JsonString(CodeText(*o.code)) : "null");
    AppendField(out, "class", o.failureClass ? JsonString(*o.failureClass) : "null");
    AppendField(out, "message", JsonString(o.message));
    AppendField(out, "router_text", OrNull(o.routerText));
    AppendField(out, "bytes", std::to_string(o.nBytes));
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.3f", o.dSeconds < 0 ? 0.0 : o.dSeconds);
    AppendField(out, "seconds", seconds);
    AppendField(out, "changed", o.changed ? (*o.changed ? "true" : "false") : "null");
    AppendField(out, "detail", OrNull(o.detail));
    out += "}\n";
    return out;
}
