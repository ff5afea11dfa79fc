#include "StringTable.h"

namespace {

struct StringEntry {
    unsigned nId;
    const char* pszText;
};

constexpr StringEntry kStringTable[] = {
    {IDS_ABOUTBOX, "バージョン情報(Velnor Client)..."},
    {IDS_SOCKETS_INIT_FAILED, "Windows ソケットの初期化に失敗しました。"},
    {IDS_VERSION, "1.21"},
    {IDS_FILE_TAG, "V090"},
    {IDS_FILE_PROMPT, "[参照]ボタンで指定してください"},
    {AFX_IDS_APP_TITLE, "Velnor Client"},
};

}  // namespace

std::string LoadString(unsigned nId)
{
    for (const StringEntry& entry : kStringTable) {
        if (entry.nId == nId)
            return entry.pszText;
    }
    return {};
}
