#pragma once
// Constant texts that the windows and the console companion show, other than the string table's
// entries and the result messages. UTF-8, byte for byte as the user sees them.

#include <array>
#include <string_view>

// Status line texts, indexed by the transfer phase (0 idle .. 9 close).
inline constexpr std::array<std::string_view, 10> kStatusTexts = {
    "",                                   // idle
    "",                                   // open
    "転送の準備をしています...",          // prepare
    "相手からの応答を待っています...",    // wait reply
    "ファイルを送信しています...",        // sending
    "ファイルを受信しています...",        // receiving
    "FROM に書き込みしています...",       // writing flash ROM
    "転送は失敗しました",                 // failed
    "転送は正常に終了しました",           // finish (shown only for a success)
    "",                                   // close
};

inline constexpr std::string_view kInvalidRouterAddress = "指定されたルータのIPアドレスが無効です。";

// The transfer window (template 102).
inline constexpr std::string_view kDialogCaption = "Velnor Client";
inline constexpr std::string_view kLabelOperation = "転送形態";
inline constexpr std::string_view kLabelFileName = "転送ファイル名";
inline constexpr std::string_view kButtonBrowse = "参照(&R)";
inline constexpr std::string_view kLabelFileNumber = "ファイル番号：";
inline constexpr std::string_view kLabelRouter = "ルータのアドレス";
inline constexpr std::string_view kLabelPassword = "パスワード";
inline constexpr std::string_view kGroupProgress = "経過表示";
inline constexpr std::string_view kLabelPercentUnit = "%";
inline constexpr std::string_view kButtonExecute = "実行(&T)";
inline constexpr std::string_view kButtonExit = "終了(&E)";

// Items of the operation list, in the order of the operation numbers.
inline constexpr std::array<std::string_view, 3> kOperationItems = {
    "リビジョンアップ",   // revision up
    "環境設定の取得",     // get configuration
    "環境設定の更新",     // put configuration
};

// Captions of the file-number check box.
inline constexpr std::string_view kSpecifyDestinationFile = "転送先ファイルを指定する";
inline constexpr std::string_view kSpecifySourceFile = "転送元ファイルを指定する";

// The file dialog: title and filters in the "text|pattern|...||" form.
inline constexpr std::string_view kFileDialogTitle = "ファイルの指定";
inline constexpr std::string_view kFirmwareFilter = "リビジョンアップ ファイル (*.bin)|*.bin|すべてのファイル (*.*)|*.*||";
inline constexpr std::string_view kConfigFilter = "環境設定ファイル (*.txt)|*.txt|すべてのファイル (*.*)|*.*||";
inline constexpr std::string_view kConfigDefaultName = "config.txt";

// The version box (template 100).
inline constexpr std::string_view kAboutCaption = "ﾊﾞｰｼﾞｮﾝ情報 Velnor Client";
inline constexpr std::string_view kAboutProgramName = "Velnor Client Ver.";
inline constexpr std::string_view kAboutSentence = "本ソフトウェアは、当社ルータシリーズ専用のTFTPクライアントです。";
inline constexpr std::string_view kAboutRights = "© 2026 Velnor Client developers";
inline constexpr std::string_view kButtonOk = "OK";
