#pragma once
// Turns a result code into the one message box the user sees for a failure. The words come from the
// result message table; the box is the program's warning box, modal over its owner.
// A caller creates one where it reports and lets it go at the end of the block.

#include <optional>
#include <string>
#include <string_view>

#include "TftpTypes.h"

class QWidget;

class CErrorReport {
public:
    explicit CErrorReport(QWidget* pOwner = nullptr) : m_pOwner(pOwner) {}
    virtual ~CErrorReport() = default;

    // The message of nCode.
    int Report(TftpResult nCode);
    // An ERROR packet from the router with its text: the two phrases the routers use get messages of
    // their own, any other text is shown in angle brackets under the message of nCode.
    int ReportPeerError(TftpResult nCode, std::string_view text);
    // Looks the message up, composes it with the text (if any) and shows it. nStyle is always 0: an OK
    // box, to which the warning icon is added. Returns the box's answer, which no caller uses.
    int ShowResultMessage(TftpResult nCode, const std::optional<std::string>& text, unsigned nStyle = 0);

private:
    QWidget* m_pOwner;  // the window the box is modal to
};
