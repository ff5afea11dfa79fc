#pragma once
// A received file compared with the file already on disk, without holding either whole.

#include <cstdint>
#include <string>
#include <string_view>

// Whether the file at strPath holds exactly the bytes handed to Next, piece by piece, in order: the
// file is read alongside in pieces of its own, so that neither side is ever held whole. A file that
// cannot be read, is no ordinary file or has another size than nSize differs at once.
class CFileComparison {
public:
    CFileComparison(const std::string& strPath, std::int64_t nSize);
    ~CFileComparison();
    CFileComparison(const CFileComparison&) = delete;
    CFileComparison& operator=(const CFileComparison&) = delete;

    // The next piece of the bytes; false as soon as the file is known to differ.
    bool Next(std::string_view piece);
    // Every byte of the file was handed over, and matched, and the file has no more.
    bool Same();

private:
    int m_nFd = -1;
    std::int64_t m_nSize = 0;
    std::int64_t m_nCompared = 0;
    bool m_bDiffers = false;
};
