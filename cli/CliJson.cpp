#include "CliJson.h"


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

std::string FormatJsonLine(const CliOutcome& o)
{
    CJsonObject line;
    line.String("router", o.router);
    if (o.operation)
        line.String("operation", CliOperationName(*o.operation));
    else
        line.Null("operation");
    line.Integer("file_number", o.fileNumber ? std::optional<std::int64_t>(*o.fileNumber) : std::nullopt);
    line.String("local_file", o.localFile);
    line.Bool("ok", o.bOk);
    line.String("code", o.code ? std::optional<std::string>(CodeText(*o.code)) : std::nullopt);
    line.String("class", o.failureClass ? std::optional<std::string>(*o.failureClass) : std::nullopt);
    line.String("message", o.message);
    line.String("router_text", o.routerText);
    line.Integer("bytes", o.nBytes);
    line.Fixed("seconds", o.dSeconds < 0 ? 0.0 : o.dSeconds, 3);
    line.Bool("changed", o.changed);
    line.String("detail", o.detail);
    return line.Line();
}
