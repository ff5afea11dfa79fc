#include "CliReport.h"

#include <cstdio>

#include "ResultMessages.h"
#include "SafeText.h"

namespace {

constexpr int kBarWidth = 30;

}  // namespace

std::string FormatProgressLine(int nPercent, std::int64_t nBytesDone, std::int64_t nTotalBytes)
{
    if (nTotalBytes <= 0)
        return std::to_string(nBytesDone) + " bytes";
    if (nPercent < 0)
        nPercent = 0;
    if (nPercent > 100)
        nPercent = 100;
    const int nFilled = nPercent * kBarWidth / 100;
    std::string line = "[";
    line.append(static_cast<std::size_t>(nFilled), '#');
    line.append(static_cast<std::size_t>(kBarWidth - nFilled), '-');
    char percent[8];
    std::snprintf(percent, sizeof percent, "%3d%%", nPercent);
    line += "] ";
    line += percent;
    line += "  " + std::to_string(nBytesDone) + " / " + std::to_string(nTotalBytes) + " bytes";
    return line;
}

std::string FormatCode(TftpResult nCode)
{
    char text[16];
    std::snprintf(text, sizeof text, "(0x%04X)", static_cast<unsigned>(nCode));
    return text;
}

std::string FormatFailure(TftpResult nResult, const std::string& strPeerText)
{
    TftpResult nShown = nResult;
    std::string message;
    if (nResult == TFTP_ERR_PEER_ERROR) {
        // The two phrases the routers use get messages (and codes) of their own.
        // The router's text is shown made safe for a terminal: it could hold ESC sequences or line
        // ends that forge output; the classification still reads the bytes as received.
        const PeerErrorMessage peer = ClassifyPeerError(nResult, strPeerText);
        nShown = peer.nCode;
        message = ComposeResultMessage(peer.nCode,
                                       peer.text ? std::optional<std::string>(EscapeForTerminal(*peer.text))
                                                 : std::nullopt);
    } else {
        message = ComposeResultMessage(nResult);
    }
    return message + "\n" + FormatCode(nShown) + "\n";
}

std::string FormatLocalDetail(const std::string& strDetail)
{
    if (strDetail.empty())
        return {};
    return "velnor-tftp: " + EscapeForTerminal(strDetail) + "\n";
}

std::string FormatRouterHint(TftpResult nResult, const std::string& strPeerText)
{
    if (nResult != TFTP_ERR_PEER_ERROR)
        return {};
    std::string meaning;
    switch (ClassifyPeerError(nResult, strPeerText).nCode) {
    case TFTP_ERR_NO_SUCH_FILE:
        meaning = "usually no settings are stored under that file number";
        break;
    case TFTP_ERR_ACCESS_VIOLATION:
        meaning = "usually a wrong password, or a model without file numbers";
        break;
    default:
        return {};  // the router's text is in the message itself
    }
    return "velnor-tftp: the router said \"" + EscapeForTerminal(strPeerText) + "\": " + meaning + "\n";
}
