#pragma once
// The only place where a result code becomes words. Widget-free, so that the console companion shows
// exactly the texts of the dialog's message boxes.

#include <optional>
#include <string>
#include <string_view>

#include "ResultCodes.h"

struct ResultMessageRow {
    TftpResult nCode;         // -1 ends the table and gives the default message
    const char* pszMessage;   // UTF-8; "\n" is a line break
};

// In table order; the last row has the code -1.
extern const ResultMessageRow g_resultMessages[];

// The message of the first row whose code matches, or the default row's.
std::string LookupResultMessage(TftpResult nCode);

// The text as the box shows it: the message alone, or "%s\n<%s>" with the router's text.
std::string ComposeResultMessage(TftpResult nCode, const std::optional<std::string>& text = std::nullopt);

// What an ERROR packet from the router is reported as: the two phrases the routers use get messages of
// their own (without the router's text); any other text goes with the message of nCode.
struct PeerErrorMessage {
    TftpResult nCode;                 // the code whose message is shown
    std::optional<std::string> text;  // the router's text, when it is shown
};
PeerErrorMessage ClassifyPeerError(TftpResult nCode, std::string_view text);

// ComposeResultMessage of ClassifyPeerError.
std::string ComposePeerErrorMessage(TftpResult nCode, std::string_view text);
