// The whole-file helpers every part shares: the bound of a read, every byte of a write, the leftover
// cleaner's three conditions (its name, its owner and kind, its age).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <string>
#include <string_view>
#include <csignal>

#include "FileBytes.h"
#include "TestSupport.h"

namespace fs = std::filesystem;

namespace {

// A pipe holding bytes, its writing end closed: a reader sees them, then the end.
struct FilledPipe {
    int nRead = -1;
    explicit FilledPipe(const std::string& bytes)
    {
        int fds[2];
        EXPECT_EQ(::pipe(fds), 0);
        nRead = fds[0];
        EXPECT_TRUE(WriteAllTo(fds[1], bytes));
        ::close(fds[1]);
    }
    ~FilledPipe() { ::close(nRead); }
};

void Write(const fs::path& path, const std::string& bytes)
{
    const int nFd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(nFd, 0) << path;
    ASSERT_TRUE(WriteAllTo(nFd, bytes));
    ::close(nFd);
}

void MakeOld(const fs::path& path, std::chrono::minutes age)
{
    fs::last_write_time(path, fs::file_time_type::clock::now() - age);
}

}  // namespace

TEST(FileBytes, ReadAllBoundedStopsJustPastTheLimit)
{
    struct Case {
        const char* pszName;
        std::size_t nSize;
        std::int64_t nLimit;
        BoundedRead expected;
        std::size_t nKept;  // bytes in out afterwards
    };
    const Case cases[] = {
        {"empty", 0, 4, BoundedRead::Ok, 0},
        {"below the limit", 3, 4, BoundedRead::Ok, 3},
        {"exactly the limit", 4, 4, BoundedRead::Ok, 4},
        {"one byte over", 5, 4, BoundedRead::TooLarge, 5},
        {"far over: never more than the limit and one", 70000, 4, BoundedRead::TooLarge, 5},
        {"a limit of nothing", 1, 0, BoundedRead::TooLarge, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszName);
        // Larger than a pipe's buffer: written from a file instead.
        testsupport::TempDir dir;
        Write(dir / "in", std::string(c.nSize, 'x'));
        const int nFd = ::open((dir / "in").c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(nFd, 0);
        std::string out = "left from before";
        EXPECT_EQ(ReadAllBounded(nFd, c.nLimit, out), c.expected);
        EXPECT_EQ(out.size(), c.nKept);
        ::close(nFd);
    }
}

TEST(FileBytes, ReadAllBoundedReadsAPipeToItsEnd)
{
    FilledPipe pipe("abc");
    std::string out;
    EXPECT_EQ(ReadAllBounded(pipe.nRead, 10, out), BoundedRead::Ok);
    EXPECT_EQ(out, "abc");
}

TEST(FileBytes, ReadAllBoundedFailsOnADescriptorThatCannotBeRead)
{
    std::string out;
    const int nFd = ::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(nFd, 0);
    EXPECT_EQ(ReadAllBounded(nFd, 10, out), BoundedRead::Failed);
    ::close(nFd);
}

// Every byte from where the descriptor stands, in pieces of at most 64 KiB; a visitor that says no stops
// the reading at once; a descriptor that cannot be read fails with the system's reason.
TEST(FileBytes, ReadEachPieceHandsOverEveryByteAndStopsWhenTold)
{
    testsupport::TempDir dir;
    std::string bytes;
    for (std::size_t i = 0; i < 200000; ++i)
        bytes += static_cast<char>('a' + i % 26);
    Write(dir / "in", bytes);
    const int nFd = ::open((dir / "in").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(nFd, 0);
    ASSERT_EQ(::lseek(nFd, 7, SEEK_SET), 7);
    std::string seen;
    std::size_t nLargest = 0;
    EXPECT_TRUE(ReadEachPiece(nFd, [&](std::string_view piece) {
        seen.append(piece);
        nLargest = std::max(nLargest, piece.size());
        return true;
    }));
    EXPECT_EQ(seen, bytes.substr(7));
    EXPECT_LE(nLargest, std::size_t{64 * 1024});

    ASSERT_EQ(::lseek(nFd, 0, SEEK_SET), 0);
    int nPieces = 0;
    EXPECT_FALSE(ReadEachPiece(nFd, [&](std::string_view) { return ++nPieces < 2; }));
    EXPECT_EQ(nPieces, 2);
    ::close(nFd);

    const FilledPipe empty("");
    EXPECT_TRUE(ReadEachPiece(empty.nRead, [](std::string_view) { return false; })) << "nothing to hand over";
    errno = 0;
    EXPECT_FALSE(ReadEachPiece(-1, [](std::string_view) { return true; }));
    EXPECT_EQ(errno, EBADF);
}

TEST(FileBytes, WriteAllToFailsWithTheSystemsReason)
{
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::close(fds[0]);
    // Nobody reads: the write fails with EPIPE (the test main ignores SIGPIPE or the signal ends us).
    struct sigaction ignore {}, old {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ignore, &old);
    errno = 0;
    EXPECT_FALSE(WriteAllTo(fds[1], "bytes"));
    EXPECT_EQ(errno, EPIPE);
    ::sigaction(SIGPIPE, &old, nullptr);
    ::close(fds[1]);
    EXPECT_TRUE(WriteAllTo(-1, "")) << "nothing to write is no failure";
}

TEST(FileBytes, ReadFileBytesReadsWholeAndNeverThroughALink)
{
    testsupport::TempDir dir;
    const std::string big(200000, 'b');
    Write(dir / "file", big);
    fs::create_symlink(dir / "file", dir / "link");
    std::string bytes = "stale";
    EXPECT_TRUE(ReadFileBytes(dir / "file", bytes));
    EXPECT_EQ(bytes, big);
    EXPECT_FALSE(ReadFileBytes(dir / "link", bytes));
    EXPECT_EQ(errno, ELOOP);
    EXPECT_FALSE(ReadFileBytes(dir / "missing", bytes));
    EXPECT_EQ(errno, ENOENT);
}

TEST(FileBytes, RemoveStaleLeftoversTakesOnlyOldOrdinaryFilesOfItsNames)
{
    testsupport::TempDir dir;
    const auto isLeftover = [](const std::string& name) { return name.rfind(".left-", 0) == 0; };
    struct Entry {
        const char* pszName;
        std::chrono::minutes age;
        bool bFolder;
        bool bRemoved;
    };
    const Entry entries[] = {
        {".left-old", std::chrono::minutes(11), false, true},
        {".left-young", std::chrono::minutes(9), false, false},
        {"other-old", std::chrono::minutes(60), false, false},
        {".left-folder", std::chrono::minutes(60), true, false},
    };
    for (const Entry& e : entries) {
        if (e.bFolder)
            fs::create_directory(dir / e.pszName);
        else
            Write(dir / e.pszName, "x");
        MakeOld(dir / e.pszName, e.age);
    }
    // A link of a leftover's name is no file of ours, whatever it points at.
    Write(dir / "target", "keep");
    MakeOld(dir / "target", std::chrono::minutes(60));
    fs::create_symlink(dir / "target", dir / ".left-link");

    RemoveStaleLeftovers(dir.Path(), isLeftover, 10);
    for (const Entry& e : entries)
        EXPECT_EQ(fs::exists(dir / e.pszName), !e.bRemoved) << e.pszName;
    EXPECT_TRUE(fs::is_symlink(dir / ".left-link"));
    EXPECT_TRUE(fs::exists(dir / "target"));
    RemoveStaleLeftovers(dir / "missing", isLeftover, 10);  // a folder that is not there is no failure
}

TEST(FileBytes, FlushFolderToleratesWhatIsNoFolder)
{
    testsupport::TempDir dir;
    Write(dir / "file", "x");
    FlushFolder(dir.Path());
    FlushFolder(dir / "file");
    FlushFolder(dir / "missing");
    EXPECT_TRUE(fs::exists(dir / "file"));
}
