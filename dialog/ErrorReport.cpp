#include "ErrorReport.h"

#include "MessageBox.h"
#include "ResultMessages.h"

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
    return CMessageBox::ShowWarning(m_pOwner, ComposeResultMessage(nCode, text));
}
