#include <gtest/gtest.h>

#include "ResultMessages.h"

namespace {

struct MessageCase {
    TftpResult code;
    const char* message;
};

// Every row, byte for byte, line breaks included.
const MessageCase kMessages[] = {
    {TFTP_ERR_NET_OPEN, "ネットワークデバイスがオープンできません"},
    {TFTP_ERR_NET_FAULT, "ネットワークデバイスに異常が発生しました"},
    {TFTP_ERR_NO_RESPONSE,
     "相手からの応答がありません\n\nLANケーブルが抜けているか、設定が間違って\nいる可能性があります。これらを確認し、再度\n[Velnor Client]を実行してください。"},
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
     "ルータにアクセスできませんでした。\nルータの設定が間違っているか、または、\nファイル番号を指定できない機種である可能性\nがあります。これらを確認し、再度[Velnor \nClient]を実行してください。"},
    {TFTP_ERR_BAD_ADDRESS, "指定されたIPアドレスが無効です"},
    {TFTP_ERR_BAD_PASSWORD, "指定されたパスワードが無効です"},
    {TFTP_ERR_OTHER, "その他のエラーが発生しました"},
};

TEST(ResultMessages, EveryCodeHasItsTextByteForByte)
{
    for (const MessageCase& c : kMessages) {
        SCOPED_TRACE(c.code);
        EXPECT_EQ(LookupResultMessage(c.code), c.message);
    }
}

TEST(ResultMessages, UnknownCodesGetTheDefaultRowAndNeverANumber)
{
    for (TftpResult code : {TFTP_OK, 1, 0x8010, 0x8016, 0x8218, -2, 0x7FFFFFFF}) {
        SCOPED_TRACE(code);
        EXPECT_EQ(LookupResultMessage(code), "その他のエラーが発生しました");
    }
    // The table ends with -1, which is itself the default.
    EXPECT_EQ(LookupResultMessage(-1), "その他のエラーが発生しました");
}

TEST(ResultMessages, RouterTextGoesOnItsOwnLineInAngleBrackets)
{
    EXPECT_EQ(ComposeResultMessage(TFTP_ERR_PEER_ERROR, std::string("Disk full")),
              "相手先からエラー通知がありました\n<Disk full>");
    EXPECT_EQ(ComposeResultMessage(TFTP_ERR_PEER_ERROR, std::string()), "相手先からエラー通知がありました\n<>");
    EXPECT_EQ(ComposeResultMessage(TFTP_ERR_NET_FAULT), "ネットワークデバイスに異常が発生しました");
}

struct PeerCase {
    const char* routerText;
    TftpResult shownCode;
    bool withText;
};

const PeerCase kPeerCases[] = {
    {"No such file", TFTP_ERR_NO_SUCH_FILE, false},
    {"Error: No such file or directory", TFTP_ERR_NO_SUCH_FILE, false},
    {"Access violation", TFTP_ERR_ACCESS_VIOLATION, false},
    {"(2) Access violation.", TFTP_ERR_ACCESS_VIOLATION, false},
    {"Access violation / No such file", TFTP_ERR_NO_SUCH_FILE, false},  // the first phrase is tested first
    {"NO SUCH FILE", TFTP_ERR_PEER_ERROR, true},                         // letter case counts
    {"access violation", TFTP_ERR_PEER_ERROR, true},
    {"No such fil", TFTP_ERR_PEER_ERROR, true},
    {"Disk full", TFTP_ERR_PEER_ERROR, true},
    {"", TFTP_ERR_PEER_ERROR, true},
};

TEST(ResultMessages, RouterPhrasesMapToTheirOwnMessages)
{
    for (const PeerCase& c : kPeerCases) {
        SCOPED_TRACE(c.routerText);
        PeerErrorMessage m = ClassifyPeerError(TFTP_ERR_PEER_ERROR, c.routerText);
        EXPECT_EQ(m.nCode, c.shownCode);
        EXPECT_EQ(m.text.has_value(), c.withText);
        std::string expected = LookupResultMessage(c.shownCode);
        if (c.withText)
            expected += std::string("\n<") + c.routerText + ">";
        EXPECT_EQ(ComposePeerErrorMessage(TFTP_ERR_PEER_ERROR, c.routerText), expected);
    }
}

}  // namespace
