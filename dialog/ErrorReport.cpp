#include "ErrorReport.h"

#include "MessageBox.h"
#include "ResultMessages.h"
#include "WindowText.h"

int CErrorReport::Report(TftpResult nCode)
{
    return ShowResultMessage(nCode, std::nullopt);
}

int CErrorReport::ReportPeerError(TftpResult nCode, std::string_view text)
{
    const PeerErrorMessage message = ClassifyPeerError(nCode, text);
    return ShowResultMessage(message.nCode, message.text);
}

int CErrorReport::ShowResultMessage(TftpResult nCode, const std::optional<std::string>& text, unsigned nStyle)
{
    // Every caller asks for the plain OK box; the warning icon is what the box adds to it.
    (void)nStyle;
    // The router's text is its own: it may say anything, but it cannot reshape the box.
    const std::optional<std::string> shown = text ? std::optional(RouterTextForWindow(*text)) : std::nullopt;
    return CMessageBox::ShowWarning(m_pOwner, ComposeResultMessage(nCode, shown));
}
