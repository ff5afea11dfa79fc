// The piecewise comparison that tells a get's "changed": the received bytes against the local file,
// both read a piece at a time, whatever the pieces' sizes.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "CliInput.h"
#include "TestSupport.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// Hands bytes over in pieces of nPiece bytes (the last one shorter); the comparison's verdict.
bool Compare(const std::filesystem::path& path, const Bytes& bytes, std::size_t nPiece)
{
    CFileComparison comparison(path.string(), static_cast<std::int64_t>(bytes.size()));
    const std::string_view all(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    for (std::size_t nOffset = 0; nOffset < all.size(); nOffset += nPiece) {
        if (!comparison.Next(all.substr(nOffset, nPiece)))
            break;
    }
    return comparison.Same();
}

TEST(FileComparisonTest, EveryDifferenceIsFoundWhateverThePieces)
{
    testsupport::TempDir dir;
    const std::filesystem::path file = dir.Path() / "local.txt";
    const Bytes content = testsupport::PatternBytes(150 * 1024 + 17, 3);
    testsupport::WriteFileBytes(file, content);
    const auto flipped = [&](std::size_t nOffset) {
        Bytes other = content;
        other[nOffset] ^= 1;
        return other;
    };
    struct Row {
        const char* name;
        Bytes bytes;
        bool bSame;
    };
    const Row rows[] = {
        {"the same bytes", content, true},
        {"first byte", flipped(0), false},
        {"at the end of the file's first read", flipped(64 * 1024 - 1), false},
        {"at the start of its second read", flipped(64 * 1024), false},
        {"last byte", flipped(content.size() - 1), false},
        {"a byte short", Bytes(content.begin(), content.end() - 1), false},
        {"nothing at all", {}, false},
    };
    // Pieces smaller than a block, of a block, of the engine's 64 KiB, and larger than the file's reads.
    for (const std::size_t nPiece : {std::size_t{1000}, std::size_t{512}, std::size_t{64 * 1024},
                                     std::size_t{100 * 1024}, std::size_t{1} << 20}) {
        for (const Row& row : rows) {
            SCOPED_TRACE(std::string(row.name) + ", pieces of " + std::to_string(nPiece));
            EXPECT_EQ(Compare(file, row.bytes, nPiece), row.bSame);
        }
    }
}

TEST(FileComparisonTest, WhatIsNoFileOfThoseBytesDiffers)
{
    testsupport::TempDir dir;
    const Bytes content = testsupport::PatternBytes(3000, 4);
    EXPECT_FALSE(Compare(dir.Path() / "missing.txt", content, 512));
    EXPECT_FALSE(Compare(dir.Path(), content, 512));
    // An empty file holds an empty download.
    testsupport::WriteFileBytes(dir.Path() / "empty.txt", {});
    EXPECT_TRUE(Compare(dir.Path() / "empty.txt", {}, 512));
    EXPECT_FALSE(Compare(dir.Path() / "empty.txt", content, 512));

    // A file that grows while it is compared is not the one measured.
    const std::filesystem::path growing = dir.Path() / "growing.txt";
    testsupport::WriteFileBytes(growing, content);
    CFileComparison comparison(growing.string(), static_cast<std::int64_t>(content.size()));
    std::ofstream(growing, std::ios::app) << 'x';
    EXPECT_TRUE(comparison.Next(std::string_view(reinterpret_cast<const char*>(content.data()), content.size())));
    EXPECT_FALSE(comparison.Same());
    // More bytes than the file was measured with.
    CFileComparison longer((dir.Path() / "empty.txt").string(), 0);
    EXPECT_FALSE(longer.Next("x"));
    EXPECT_FALSE(longer.Same());
}

}  // namespace
