#include "ResultMessages.h"

namespace {
// The text of TFTP_ERR_OTHER, and of any code without a row of its own.
constexpr const char kOtherErrorText[] = "その他のエラーが発生しました";
}  // namespace

const ResultMessageRow g_resultMessages[] = {
    {TFTP_ERR_NET_OPEN, "ネットワークデバイスがオープンできません"},
    {TFTP_ERR_NET_FAULT, "ネットワークデバイスに異常が発生しました"},
    {TFTP_ERR_NO_RESPONSE,
     "相手からの応答がありません\n\nLANケーブルが抜けているか、設定が間違って\nいる可能性があります。これらを確認し、再度\n"
     "[Velnor Client]を実行してください。"},
    {TFTP_ERR_PEER_ERROR, "相手先からエラー通知がありました"},
    {TFTP_ERR_RECV_NO_MEMORY, "受信時の空きメモリが足りません"},
    {TFTP_ERR_NO_MEMORY, "空きメモリが足りません"},
    {TFTP_ERR_FILE_OPEN, "指定されたファイルが開けません"},
    {TFTP_ERR_FILE_READ, "ファイルの読み込みができません"},
    {TFTP_ERR_FILE_WRITE, "ファイルの書き込みができません"},
    {TFTP_ERR_FILE_SAVE, "ファイルの保存ができません"},
    {TFTP_ERR_NO_SUCH_FILE,
     "指定したファイル番号の設定がありません。\n取得したい設定ファイルの番号を確認の上、\n[Velnor Client]を実行してください。"},
    {TFTP_ERR_ACCESS_VIOLATION,
     "ルータにアクセスできませんでした。\nルータの設定が間違っているか、または、\nファイル番号を指定できない機種である可能性\n"
     "があります。これらを確認し、再度[Velnor \nClient]を実行してください。"},
    {TFTP_ERR_BAD_ADDRESS, "指定されたIPアドレスが無効です"},
    {TFTP_ERR_BAD_PASSWORD, "指定されたパスワードが無効です"},
    {TFTP_ERR_OTHER, kOtherErrorText},
    {-1, kOtherErrorText},
};

std::string LookupResultMessage(TftpResult nCode)
{
    const ResultMessageRow* pRow = g_resultMessages;
    while (pRow->nCode != nCode && pRow->nCode != -1)
        ++pRow;
    return pRow->pszMessage;
}

std::string ComposeResultMessage(TftpResult nCode, const std::optional<std::string>& text)
{
    std::string strMessage = LookupResultMessage(nCode);
    if (!text)
        return strMessage;
    return strMessage + "\n<" + *text + ">";
}

PeerErrorMessage ClassifyPeerError(TftpResult nCode, std::string_view text)
{
    // The routers' own phrases, matched exactly: other letter case is some other router text.
    if (text.find("No such file") != std::string_view::npos)
        return {TFTP_ERR_NO_SUCH_FILE, std::nullopt};
    if (text.find("Access violation") != std::string_view::npos)
        return {TFTP_ERR_ACCESS_VIOLATION, std::nullopt};
    return {nCode, std::string(text)};
}

std::string ComposePeerErrorMessage(TftpResult nCode, std::string_view text)
{
    PeerErrorMessage message = ClassifyPeerError(nCode, text);
    return ComposeResultMessage(message.nCode, message.text);
}
