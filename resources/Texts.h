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
