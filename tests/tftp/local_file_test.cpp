// The engine's file side against real files in temporary folders: loading a file to send into the
// block array, collecting received blocks, and saving them so that an existing file is replaced only
// by a complete new one.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "Packets.h"
#include "TestSupport.h"
#include "TftpTransfer.h"

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using Bytes = std::vector<std::uint8_t>;
using testsupport::PatternBytes;
using testsupport::ReadFileBytes;
using testsupport::RunWithoutPrivileges;
using testsupport::TempDir;
using testsupport::UnprivilegedRun;
using testsupport::WriteFileBytes;

class CFileProbe : public CTftpTransfer {
public:
    using CTftpTransfer::FinishLocal;
    using CTftpTransfer::FinishReceive;
    using CTftpTransfer::FreeBlocks;
    using CTftpTransfer::LoadSendFile;
    using CTftpTransfer::PrepareLocal;
    using CTftpTransfer::SaveReceivedFile;
    using CTftpTransfer::StoreReceivedBlock;

    using CTftpTransfer::m_bLastBlock;
    using CTftpTransfer::m_file;
    using CTftpTransfer::m_nBlock;
    using CTftpTransfer::m_nBlockCount;
    using CTftpTransfer::m_nBlockLen;
    using CTftpTransfer::m_nBytesDone;
    using CTftpTransfer::m_nDirection;
    using CTftpTransfer::m_nFileKind;
    using CTftpTransfer::m_nFileSize;
    using CTftpTransfer::m_nRecvLen;
    using CTftpTransfer::m_nResult;
    using CTftpTransfer::m_nStep;
    using CTftpTransfer::m_nTotalBytes;
    using CTftpTransfer::m_strLocalPath;

    explicit CFileProbe(std::int16_t nDirection, const fs::path& path)
    {
        m_nDirection = nDirection;
        m_nFileKind = FILE_KIND_CONFIG;  // "netascii": the mode must change no byte
        m_strLocalPath = path.string();
    }

    // What the state machine does with each DATA packet it accepts: store it, then count it.
    TftpResult Receive(std::span<const std::uint8_t> payload)
    {
        EXPECT_LE(payload.size(), 512u);
        const std::size_t n = tftp::BuildData(g_recvBuffer, m_nBlock, payload);
        EXPECT_EQ(tftp::ClassifyPacket(std::span(g_recvBuffer, n), m_nBlock), PACKET_DATA);
        m_nRecvLen = static_cast<int>(n);
        TftpResult nResult = StoreReceivedBlock();
        if (nResult == TFTP_OK) {
            m_nBytesDone += m_nBlockLen;
            ++m_nBlock;
        }
        return nResult;
    }

    // A whole file as a router sends it: full blocks, then a short (possibly empty) last one.
    void ReceiveWhole(const Bytes& content)
    {
        m_nBlock = 1;
        std::size_t nOffset = 0;
        for (;;) {
            const std::size_t n = std::min<std::size_t>(512, content.size() - nOffset);
            ASSERT_EQ(Receive(std::span(content.data() + nOffset, n)), TFTP_OK);
            nOffset += n;
            if (n < 512)
                break;
        }
        ASSERT_TRUE(m_bLastBlock);
    }

    Bytes LoadedBytes() const
    {
        Bytes out;
        for (std::uint32_t i = 0; i < m_nBlockCount; ++i)
            out.insert(out.end(), g_pSendBlocks[i].data, g_pSendBlocks[i].data + g_pSendBlocks[i].nLength);
        return out;
    }
};

// Everything in the folder, so that a test can tell that no temporary file was left behind.
std::vector<std::string> Entries(const fs::path& folder)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

void MakeSparse(const fs::path& path, std::int64_t nSize)
{
    WriteFileBytes(path, {});
    ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(nSize)), 0);
}

// ---------------------------------------------------------------------------------------------
// Loading a file to send

TEST(LocalFileLoad, SizesFillOneEntryMoreThanTheFullBlocksWithTheLastOneShort)
{
    TempDir dir;
    for (std::size_t nSize : {0, 1, 511, 512, 513, 1000, 1024, 4096 + 7}) {
        SCOPED_TRACE("size " + std::to_string(nSize));
        const fs::path path = dir / ("f" + std::to_string(nSize));
        const Bytes content = PatternBytes(nSize, static_cast<std::uint32_t>(nSize));
        WriteFileBytes(path, content);

        CFileProbe engine(DIRECTION_SEND, path);
        ASSERT_EQ(engine.PrepareLocal(), TFTP_OK);
        EXPECT_EQ(engine.m_nFileSize, static_cast<std::int64_t>(nSize));
        EXPECT_EQ(engine.m_nTotalBytes, static_cast<std::int64_t>(nSize));
        EXPECT_EQ(engine.m_nBlockCount, nSize / 512 + 1);
        EXPECT_EQ(engine.m_nBlock, 0);  // the router acknowledges a write request with block 0
        EXPECT_EQ(engine.m_nStep, STEP_SEND_REQUEST);
        for (std::uint32_t i = 0; i + 1 < engine.m_nBlockCount; ++i)
            EXPECT_EQ(g_pSendBlocks[i].nLength, 512);
        EXPECT_EQ(g_pSendBlocks[engine.m_nBlockCount - 1].nLength, static_cast<int>(nSize % 512));
        EXPECT_EQ(engine.LoadedBytes(), content);
        EXPECT_FALSE(engine.m_file.IsOpen());

        EXPECT_EQ(engine.FinishLocal(), TFTP_OK);
        EXPECT_EQ(g_pSendBlocks, nullptr);
    }
}

TEST(LocalFileLoad, FilesAroundTheReadPiecesAndTheLargeBlockArrayLoadExactly)
{
    TempDir dir;
    // The file is read 64 KiB at a time; an array of 2 MiB or more comes from whole huge pages.
    const std::size_t nLargeArrayBlocks = (2 * 1024 * 1024 + sizeof(SendBlock) - 1) / sizeof(SendBlock);
    for (std::size_t nSize : {std::size_t{65535}, std::size_t{65536}, std::size_t{65537}, std::size_t{3 * 65536 + 1},
                              (nLargeArrayBlocks - 2) * 512 + 511, (nLargeArrayBlocks - 1) * 512,
                              std::size_t{5 * 1024 * 1024 + 3}}) {
        SCOPED_TRACE("size " + std::to_string(nSize));
        const fs::path path = dir / "f";
        const Bytes content = PatternBytes(nSize, static_cast<std::uint32_t>(nSize));
        WriteFileBytes(path, content);

        CFileProbe engine(DIRECTION_SEND, path);
        ASSERT_EQ(engine.PrepareLocal(), TFTP_OK);
        EXPECT_EQ(engine.m_nBlockCount, nSize / 512 + 1);
        for (std::uint32_t i = 0; i + 1 < engine.m_nBlockCount; ++i)
            ASSERT_EQ(g_pSendBlocks[i].nLength, 512) << "block " << i;
        EXPECT_EQ(g_pSendBlocks[engine.m_nBlockCount - 1].nLength, static_cast<int>(nSize % 512));
        EXPECT_EQ(engine.LoadedBytes(), content);
        EXPECT_FALSE(engine.m_file.IsOpen());
        EXPECT_EQ(engine.FinishLocal(), TFTP_OK);
        EXPECT_EQ(g_pSendBlocks, nullptr);
    }
}

TEST(LocalFileLoad, LargestFileThatFitsSixteenBitBlockNumbersIsLoaded)
{
    TempDir dir;
    const fs::path path = dir / "largest.bin";
    MakeSparse(path, TFTP_MAX_SEND_BYTES);
    {
        // A mark in the last byte, so that the last entry is seen to come from the end of the file.
        int fd = ::open(path.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::pwrite(fd, "Z", 1, TFTP_MAX_SEND_BYTES - 1), 1);
        ::close(fd);
    }
    CFileProbe engine(DIRECTION_SEND, path);
    ASSERT_EQ(engine.LoadSendFile(), TFTP_OK);
    EXPECT_EQ(engine.m_nBlockCount, 65535);
    EXPECT_EQ(engine.m_nFileSize, 33553919);
    const SendBlock& last = g_pSendBlocks[65534];
    EXPECT_EQ(last.nLength, 511);
    EXPECT_EQ(last.data[510], 'Z');
    EXPECT_EQ(g_pSendBlocks[65533].nLength, 512);
}

TEST(LocalFileLoad, FilesTooLargeForSixteenBitBlockNumbersAreRefusedBeforeAnyPacket)
{
    TempDir dir;
    // One byte more than fits, and a file whose size has small low 32 bits (4 GiB + 100).
    for (std::int64_t nSize : {TFTP_MAX_SEND_BYTES + 1, (std::int64_t{1} << 32) + 100}) {
        SCOPED_TRACE("size " + std::to_string(nSize));
        const fs::path path = dir / "big.bin";
        MakeSparse(path, nSize);
        CFileProbe engine(DIRECTION_SEND, path);
        EXPECT_EQ(engine.PrepareLocal(), TFTP_ERR_FILE_READ);
        EXPECT_EQ(g_pSendBlocks, nullptr);
        EXPECT_EQ(engine.m_nStep, STEP_NONE);
        EXPECT_FALSE(engine.m_file.IsOpen());
        fs::remove(path);
    }
}

TEST(LocalFileLoad, PathsThatAreNoReadableFileAreRefusedWithoutWaiting)
{
    TempDir dir;
    const fs::path fifo = dir / "pipe";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    fs::create_directory(dir / "folder");
    struct Case {
        const char* name;
        fs::path path;
        TftpResult expected;
    };
    const Case cases[] = {
        {"missing file", dir / "missing.txt", TFTP_ERR_FILE_OPEN},
        {"folder", dir / "folder", TFTP_ERR_FILE_OPEN},
        {"pipe with no writer", fifo, TFTP_ERR_FILE_OPEN},
        {"device", "/dev/zero", TFTP_ERR_FILE_OPEN},
        {"empty path", "", TFTP_ERR_FILE_OPEN},
        // Measured as 0 bytes, yet it reads as more: the size changed between the look and the read.
        {"file that grows while read", "/proc/self/status", TFTP_ERR_FILE_READ},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CFileProbe engine(DIRECTION_SEND, c.path);
        EXPECT_EQ(engine.LoadSendFile(), c.expected);
        EXPECT_FALSE(engine.m_file.IsOpen());
        EXPECT_EQ(engine.FinishLocal(), TFTP_OK);
    }
}

// Whatever refused, the engine keeps which file it was and why, for a person to read; the result code
// stays the one the window shows.
TEST(LocalFileLoad, EachRefusalKeepsTheFileAndTheReason)
{
    TempDir dir;
    const fs::path fifo = dir / "pipe";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    fs::create_directory(dir / "folder");
    MakeSparse(dir / "big.bin", TFTP_MAX_SEND_BYTES + 1);
    WriteFileBytes(dir / "ok.txt", PatternBytes(10));
    struct Case {
        const char* name;
        fs::path path;
        std::string reason;  // after "path: "; empty: nothing to tell
    };
    const Case cases[] = {
        {"missing file", dir / "missing.txt", "No such file or directory"},
        {"missing folder", dir / "gone" / "fw.bin", "the folder " + (dir / "gone").string() + " does not exist"},
        {"folder", dir / "folder", "is a folder"},
        {"pipe", fifo, "is not an ordinary file"},
        {"device", "/dev/zero", "is not an ordinary file"},
        {"too large", dir / "big.bin", "is larger than the 33553919 bytes one transfer can carry"},
        {"file that grows while read", "/proc/self/status", "changed while it was read"},
        {"a file that loads", dir / "ok.txt", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CFileProbe engine(DIRECTION_SEND, c.path);
        engine.LoadSendFile();
        EXPECT_EQ(DescribeLocalFailure(engine.GetLocalFailure()),
                  c.reason.empty() ? std::string() : c.path.string() + ": " + c.reason);
        EXPECT_EQ(engine.FinishLocal(), TFTP_OK);
    }
}

TEST(LocalFileModes, EachRefusalOfASaveKeepsTheFileAndTheReason)
{
    TempDir dir;
    fs::create_directory(dir / "folder");
    WriteFileBytes(dir / "readonly.txt", PatternBytes(10));
    fs::permissions(dir / "readonly.txt", fs::perms::owner_read);
    fs::create_symlink(dir / "nowhere", dir / "dangling.txt");
    fs::create_symlink(dir / "loop-b", dir / "loop-a");
    fs::create_symlink(dir / "loop-a", dir / "loop-b");
    WriteFileBytes(dir / "plain-file", PatternBytes(10));
    struct Case {
        const char* name;
        fs::path path;
        std::string reason;  // after "path: "; empty: the save may go ahead
    };
    const Case cases[] = {
        {"folder of that name", dir / "folder", "is a folder"},
        {"missing folder", dir / "gone" / "c.txt", "the folder " + (dir / "gone").string() + " does not exist"},
        {"read-only file, for root too", dir / "readonly.txt", "is read-only"},
        {"link that leads nowhere", dir / "dangling.txt", "is a symbolic link that leads to no file"},
        {"links in a circle", dir / "loop-a", "Too many levels of symbolic links"},
        {"a file where a folder should be", dir / "plain-file" / "c.txt", "Not a directory"},
        {"device", "/dev/null", "is not an ordinary file"},
        {"a new file", dir / "new.txt", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LocalFailure why;
        const ReplaceOutcome nOutcome = CheckReplaceable(c.path.string(), &why);
        EXPECT_EQ(nOutcome, c.reason.empty() ? ReplaceOutcome::Replaced : ReplaceOutcome::Refused);
        EXPECT_EQ(DescribeLocalFailure(why), c.reason.empty() ? std::string() : c.path.string() + ": " + c.reason);
        // The engine's check before a get says the same.
        CFileProbe engine(DIRECTION_RECEIVE, c.path);
        engine.SetReceivedHandler({}, true);
        EXPECT_EQ(engine.PrepareLocal(), c.reason.empty() ? TFTP_OK : TFTP_ERR_FILE_OPEN);
        EXPECT_EQ(DescribeLocalFailure(engine.GetLocalFailure()), DescribeLocalFailure(why));
    }
}

TEST(LocalFileLoad, UnreadableFileIsFileOpen)
{
    if (::geteuid() == 0)
        GTEST_SKIP() << "running as root, which reads any file whatever its permissions "
                        "(folders, pipes and devices are covered by PathsThatAreNoReadableFileAreRefused...)";
    TempDir dir;
    const fs::path path = dir / "secret.txt";
    WriteFileBytes(path, PatternBytes(100));
    fs::permissions(path, fs::perms::none);
    CFileProbe engine(DIRECTION_SEND, path);
    EXPECT_EQ(engine.LoadSendFile(), TFTP_ERR_FILE_OPEN);
}

TEST(LocalFileLoad, LineEndsPassUnchangedInNetascii)
{
    TempDir dir;
    const std::string text = "a\r\nb\nc\rd\r\r\n\n\x1a\0end"s;
    const Bytes content(text.begin(), text.end());
    WriteFileBytes(dir / "config.txt", content);
    CFileProbe engine(DIRECTION_SEND, dir / "config.txt");
    ASSERT_EQ(engine.LoadSendFile(), TFTP_OK);
    EXPECT_EQ(engine.LoadedBytes(), content);
}

// ---------------------------------------------------------------------------------------------
// Receiving and saving

TEST(LocalFileSave, ReceivedBlocksAreSavedExactlyAndReleased)
{
    TempDir dir;
    for (std::size_t nSize : {0, 1, 511, 512, 1024, 1500}) {
        SCOPED_TRACE("size " + std::to_string(nSize));
        const fs::path path = dir / ("r" + std::to_string(nSize));
        const Bytes content = PatternBytes(nSize, 7);
        CFileProbe engine(DIRECTION_RECEIVE, path);
        ASSERT_EQ(engine.PrepareLocal(), TFTP_OK);
        EXPECT_EQ(engine.m_nBlock, 1);
        EXPECT_FALSE(fs::exists(path));  // nothing on disk is touched before the end
        engine.ReceiveWhole(content);
        EXPECT_EQ(engine.m_nBytesDone, static_cast<std::int64_t>(nSize));
        ASSERT_EQ(engine.FinishLocal(), TFTP_OK);
        EXPECT_EQ(ReadFileBytes(path), content);
        EXPECT_EQ(g_pRecvHead, nullptr);
    }
}

// ---------------------------------------------------------------------------------------------
// Modes and refusals of a received file. A configuration holds the router password: a new file is
// its owner's alone, a replaced one keeps what its owner gave it, and a file or folder that cannot
// take the data is refused before the router is asked for anything (PrepareLocal), and once more
// by the save itself, in case it changed during the transfer.

constexpr uid_t kNobody = 65534;
constexpr gid_t kNogroup = 65534;

struct OwnerAndMode {
    uid_t nOwner = 0;
    gid_t nGroup = 0;
    mode_t nMode = 0;
    bool bLink = false;
};

OwnerAndMode LookAt(const fs::path& path)
{
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return {st.st_uid, st.st_gid, static_cast<mode_t>(st.st_mode & 07777), S_ISLNK(st.st_mode)};
}

// Every name below a folder with its mode, owner and what it holds (a link's target text, a file's
// size and a digest of its bytes): "unchanged" means all of it.
std::map<std::string, std::string> Snapshot(const fs::path& folder)
{
    std::map<std::string, std::string> state;
    std::vector<fs::path> folders{folder};
    while (!folders.empty()) {
        const fs::path current = folders.back();
        folders.pop_back();
        for (const auto& entry : fs::directory_iterator(current)) {
            const fs::path& path = entry.path();
            const OwnerAndMode look = LookAt(path);
            const fs::file_status status = fs::symlink_status(path);
            std::string value = std::to_string(look.nMode) + " " + std::to_string(look.nOwner) + " ";
            if (fs::is_symlink(status)) {
                value += "-> " + fs::read_symlink(path).string();
            } else if (fs::is_regular_file(status)) {
                const Bytes bytes = ReadFileBytes(path);
                value += std::to_string(bytes.size()) + " bytes, digest " +
                         std::to_string(std::hash<std::string>{}(std::string(bytes.begin(), bytes.end())));
            } else if (fs::is_directory(status)) {
                folders.push_back(path);
            }
            state[path.lexically_relative(folder).string()] = value;
        }
    }
    return state;
}

class CUmask {
public:
    explicit CUmask(mode_t nMask) : m_nSaved(::umask(nMask)) {}
    ~CUmask() { ::umask(m_nSaved); }
    CUmask(const CUmask&) = delete;
    CUmask& operator=(const CUmask&) = delete;

private:
    mode_t m_nSaved;
};

struct ReceivedFileCase {
    const char* name;
    bool bRootOnly;
    mode_t nUmask;
    // Prepares the folder and returns the path the user chose.
    std::function<fs::path(const fs::path& dir)> arrange;
    TftpResult nExpected;
    // For an accepted case: what must hold of the saved file (its bytes are checked for every case).
    std::function<void(const fs::path& dir, const fs::path& chosen)> check;
};

const Bytes kOldConfig = PatternBytes(900, 11);
const Bytes kReceivedConfig = PatternBytes(1300, 12);

fs::path OldFile(const fs::path& path, mode_t nMode)
{
    WriteFileBytes(path, kOldConfig);
    EXPECT_EQ(::chmod(path.c_str(), nMode), 0);
    return path;
}

// A folder like /tmp: everyone may write, the sticky bit set.
fs::path SharedFolder(const fs::path& dir)
{
    const fs::path shared = dir / "shared";
    fs::create_directory(shared);
    EXPECT_EQ(::chmod(shared.c_str(), 01777), 0);
    return shared;
}

const ReceivedFileCase kReceivedFileCases[] = {
    {"new file is the owner's alone under a permissive umask", false, 0,
     [](const fs::path& dir) { return dir / "config.txt"; }, TFTP_OK,
     [](const fs::path&, const fs::path& chosen) { EXPECT_EQ(LookAt(chosen).nMode, 0600u); }},
    {"new file is readable and writable by its owner under a narrow umask", false, 0277,
     [](const fs::path& dir) { return dir / "config.txt"; }, TFTP_OK,
     [](const fs::path&, const fs::path& chosen) { EXPECT_EQ(LookAt(chosen).nMode, 0600u); }},
    {"replaced file keeps a mode open to its group", false, 077,
     [](const fs::path& dir) { return OldFile(dir / "config.txt", 0640); }, TFTP_OK,
     [](const fs::path&, const fs::path& chosen) { EXPECT_EQ(LookAt(chosen).nMode, 0640u); }},
    {"replaced file keeps a mode open to everyone, without set-id bits", false, 077,
     [](const fs::path& dir) { return OldFile(dir / "config.txt", 04666); }, TFTP_OK,
     [](const fs::path&, const fs::path& chosen) { EXPECT_EQ(LookAt(chosen).nMode, 0666u); }},
    {"replaced file keeps its owner and group when root saves it", true, 022,
     [](const fs::path& dir) {
         const fs::path path = OldFile(dir / "config.txt", 0620);
         EXPECT_EQ(::chown(path.c_str(), kNobody, kNogroup), 0);
         return path;
     },
     TFTP_OK,
     [](const fs::path&, const fs::path& chosen) {
         const OwnerAndMode now = LookAt(chosen);
         EXPECT_EQ(now.nOwner, kNobody);
         EXPECT_EQ(now.nGroup, kNogroup);
         EXPECT_EQ(now.nMode, 0620u);
     }},
    {"read-only file is refused and unchanged, for root too", false, 022,
     [](const fs::path& dir) { return OldFile(dir / "config.txt", 0444); }, TFTP_ERR_FILE_OPEN, {}},
    {"file its owner may only read is refused", false, 022,
     [](const fs::path& dir) { return OldFile(dir / "config.txt", 0400); }, TFTP_ERR_FILE_OPEN, {}},
    {"folder of that name is refused", false, 022,
     [](const fs::path& dir) {
         fs::create_directory(dir / "config.txt");
         WriteFileBytes(dir / "config.txt" / "inside", kOldConfig);
         return dir / "config.txt";
     },
     TFTP_ERR_FILE_OPEN, {}},
    {"folder that does not exist is refused", false, 022,
     [](const fs::path& dir) { return dir / "no-such-folder" / "config.txt"; }, TFTP_ERR_FILE_OPEN, {}},
    // One rule for links, the settings file's too: the file a link leads to is replaced, the link
    // stays.
    {"link to a file: the file is replaced and keeps its mode, the link stays", false, 022,
     [](const fs::path& dir) {
         fs::create_directory(dir / "real");
         OldFile(dir / "real" / "config.txt", 0640);
         fs::create_symlink("real/config.txt", dir / "config.txt");
         return dir / "config.txt";
     },
     TFTP_OK,
     [](const fs::path& dir, const fs::path& chosen) {
         EXPECT_TRUE(LookAt(chosen).bLink);
         EXPECT_EQ(fs::read_symlink(chosen), "real/config.txt");
         EXPECT_EQ(ReadFileBytes(dir / "real" / "config.txt"), kReceivedConfig);
         EXPECT_EQ(LookAt(dir / "real" / "config.txt").nMode, 0640u);
         EXPECT_EQ(Entries(dir / "real"), std::vector<std::string>{"config.txt"});
     }},
    {"link through a link to a read-only file is refused", false, 022,
     [](const fs::path& dir) {
         OldFile(dir / "real.txt", 0444);
         fs::create_symlink("real.txt", dir / "middle.txt");
         fs::create_symlink("middle.txt", dir / "config.txt");
         return dir / "config.txt";
     },
     TFTP_ERR_FILE_OPEN, {}},
    {"link that leads nowhere is refused, and nothing appears where it points", false, 022,
     [](const fs::path& dir) {
         fs::create_symlink("elsewhere/config.txt", dir / "config.txt");
         fs::create_directory(dir / "elsewhere");
         return dir / "config.txt";
     },
     TFTP_ERR_FILE_OPEN, {}},
    {"link that leads round in a circle is refused", false, 022,
     [](const fs::path& dir) {
         fs::create_symlink("b.txt", dir / "config.txt");
         fs::create_symlink("config.txt", dir / "b.txt");
         return dir / "config.txt";
     },
     TFTP_ERR_FILE_OPEN, {}},
    {"another user's link in a shared sticky folder is not followed by root", true, 022,
     [](const fs::path& dir) {
         OldFile(dir / "victim.txt", 0644);
         const fs::path link = SharedFolder(dir) / "config.txt";
         fs::create_symlink(dir / "victim.txt", link);
         EXPECT_EQ(::lchown(link.c_str(), kNobody, kNogroup), 0);
         return link;
     },
     TFTP_ERR_FILE_OPEN, {}},
    {"another user's file in a shared sticky folder is not replaced by root", true, 022,
     [](const fs::path& dir) {
         const fs::path path = OldFile(SharedFolder(dir) / "config.txt", 0666);
         EXPECT_EQ(::chown(path.c_str(), kNobody, kNogroup), 0);
         return path;
     },
     TFTP_ERR_FILE_OPEN, {}},
    {"our own link in a shared sticky folder is followed", false, 022,
     [](const fs::path& dir) {
         OldFile(dir / "mine.txt", 0600);
         const fs::path link = SharedFolder(dir) / "config.txt";
         fs::create_symlink(dir / "mine.txt", link);
         return link;
     },
     TFTP_OK,
     [](const fs::path& dir, const fs::path& chosen) {
         EXPECT_TRUE(LookAt(chosen).bLink);
         EXPECT_EQ(ReadFileBytes(dir / "mine.txt"), kReceivedConfig);
     }},
};

TEST(LocalFileModes, ReceivedFileModesAndRefusals)
{
    for (const ReceivedFileCase& c : kReceivedFileCases) {
        SCOPED_TRACE(c.name);
        if (c.bRootOnly && ::geteuid() != 0) {
            std::printf("[ skipped  ] %s: needs root\n", c.name);
            continue;
        }
        TempDir dir;
        const CUmask mask(c.nUmask);
        const fs::path chosen = c.arrange(dir.Path());
        const auto before = Snapshot(dir.Path());

        // Before anything is sent.
        CFileProbe engine(DIRECTION_RECEIVE, chosen);
        EXPECT_EQ(engine.PrepareLocal(), c.nExpected);
        EXPECT_EQ(Snapshot(dir.Path()), before);

        // The save itself, as if the file had become so during the transfer.
        engine.ReceiveWhole(kReceivedConfig);
        EXPECT_EQ(engine.FinishLocal(), c.nExpected);
        if (c.nExpected != TFTP_OK) {
            EXPECT_EQ(Snapshot(dir.Path()), before);
            engine.m_nResult = c.nExpected;
            EXPECT_EQ(engine.FinishLocal(), TFTP_OK);
            continue;
        }
        EXPECT_EQ(ReadFileBytes(chosen), kReceivedConfig);
        c.check(dir.Path(), chosen);
    }
}

// The permissions of a user who is not root: what the system would refuse to open for writing.
TEST(LocalFileModes, FileOrFolderThisUserMayNotWriteIsRefusedBeforeAnythingIsSent)
{
    TempDir dir;
    fs::permissions(dir.Path(), fs::perms::all);
    // Another user's file that we may read but not write, in a folder we may write.
    const fs::path open = dir / "open";
    fs::create_directory(open);
    fs::permissions(open, fs::perms::all);
    const fs::path theirs = OldFile(open / "theirs.txt", 0644);
    // A folder we may enter but not write.
    const fs::path closed = dir / "closed";
    fs::create_directory(closed);
    fs::permissions(closed, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                fs::perms::others_read | fs::perms::others_exec);
    const auto before = Snapshot(dir.Path());
    if (::geteuid() != 0) {
        // Here the tests' own user owns "theirs.txt"; only the folder can be tried.
        CFileProbe engine(DIRECTION_RECEIVE, closed / "config.txt");
        if (::access(closed.c_str(), W_OK) == 0)
            GTEST_SKIP() << "this user may write any folder";
        EXPECT_EQ(engine.PrepareLocal(), TFTP_ERR_FILE_OPEN);
        return;
    }
    for (const fs::path& chosen : {theirs, closed / "config.txt"}) {
        SCOPED_TRACE(chosen.string());
        const UnprivilegedRun run = RunWithoutPrivileges([&] {
            CFileProbe engine(DIRECTION_RECEIVE, chosen);
            if (engine.PrepareLocal() != TFTP_ERR_FILE_OPEN)
                return false;
            engine.ReceiveWhole(kReceivedConfig);
            return engine.FinishLocal() == TFTP_ERR_FILE_OPEN;
        });
        if (run == UnprivilegedRun::NotPossible)
            GTEST_SKIP() << "cannot drop privileges here";
        EXPECT_EQ(run, UnprivilegedRun::Passed);
        EXPECT_EQ(Snapshot(dir.Path()), before);
    }
}

// What a killed save left behind is removed by the next save into the folder: only names of our own
// temporary files, only ordinary files of this user, only once no save can still be writing them.
TEST(LocalFileModes, StaleTemporaryFilesOfOursAreRemovedAtTheNextSaveAndNothingElse)
{
    TempDir dir;
    const timespec kHourAgo{::time(nullptr) - 3600, 0};
    auto age = [&](const fs::path& path) {
        const timespec times[2] = {kHourAgo, kHourAgo};
        EXPECT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
    };
    struct Planted {
        const char* name;
        bool bOld;
        bool bRemoved;
    };
    const Planted planted[] = {
        {".config.txt.velnor-0123456789uv.tmp", true, true},
        {".other file.txt.velnor-abcdefghijkl.tmp", true, true},  // another save's, also ours
        {".config.txt.velnor-0123456789ab.tmp", false, false},    // may still be written
        {".config.txt.velnor-0123456789AB.tmp", true, false},     // not our letters
        {".config.txt.velnor-0123456789a.tmp", true, false},      // one letter short
        {".config.txt.velnor-0123456789abc.tmp", true, false},    // one letter more
        {"config.txt.velnor-0123456789ab.tmp", true, false},      // not hidden
        {".config.txt.velnor-0123456789ab", true, true},          // as received files were named before
        {".config.txt.velnor-0123456789ab.bak", true, false},
        {"..velnor-0123456789ab.tmp", true, false},               // no target name
        {".config.txt.1234.tmp", true, false},
        {"config.txt~", true, false},
        {".config.txt.swp", true, false},
    };
    for (const Planted& p : planted) {
        WriteFileBytes(dir / p.name, {'x'});
        if (p.bOld)
            age(dir / p.name);
    }
    // Our names, old, but no ordinary file of ours: a link (its target must survive too), a folder.
    WriteFileBytes(dir / "target-of-link", {'t'});
    fs::create_symlink("target-of-link", dir / ".link.velnor-aaaaaaaaaaaa.tmp");
    age(dir / ".link.velnor-aaaaaaaaaaaa.tmp");
    fs::create_directory(dir / ".folder.velnor-bbbbbbbbbbbb.tmp");
    age(dir / ".folder.velnor-bbbbbbbbbbbb.tmp");
    std::vector<std::string> kept = {".folder.velnor-bbbbbbbbbbbb.tmp", ".link.velnor-aaaaaaaaaaaa.tmp",
                                     "config.txt", "target-of-link"};
    if (::geteuid() == 0) {
        // Another user's, old and named like ours.
        WriteFileBytes(dir / ".theirs.velnor-cccccccccccc.tmp", {'x'});
        ASSERT_EQ(::chown((dir / ".theirs.velnor-cccccccccccc.tmp").c_str(), kNobody, kNogroup), 0);
        age(dir / ".theirs.velnor-cccccccccccc.tmp");
        kept.push_back(".theirs.velnor-cccccccccccc.tmp");
    }
    for (const Planted& p : planted) {
        if (!p.bRemoved)
            kept.push_back(p.name);
    }
    std::sort(kept.begin(), kept.end());

    CFileProbe engine(DIRECTION_RECEIVE, dir / "config.txt");
    ASSERT_EQ(engine.PrepareLocal(), TFTP_OK);
    engine.ReceiveWhole(kReceivedConfig);
    ASSERT_EQ(engine.FinishLocal(), TFTP_OK);
    EXPECT_EQ(Entries(dir.Path()), kept);
    EXPECT_EQ(ReadFileBytes(dir / "target-of-link"), Bytes{'t'});
}

// The temporary file is created exclusively: a name already taken, by a file or a link planted there
// (even one that leads nowhere), is neither opened nor followed nor removed; the next name is tried.
TEST(LocalFileReplace, TemporaryFileIsCreatedAfreshAtModeSixHundredAndNeverThroughAPlantedName)
{
    TempDir dir;
    const fs::path target = dir / "config.txt";
    WriteFileBytes(dir / "victim.txt", kOldConfig);
    const std::vector<fs::path> names = {dir / ".t0", dir / ".t1", dir / ".t2", dir / ".t3"};
    fs::create_symlink(dir / "victim.txt", names[0]);
    fs::create_symlink(dir / "nowhere.txt", names[1]);
    WriteFileBytes(names[2], {'p'});
    const auto planted = Snapshot(dir.Path());

    ReplaceRules rules;
    std::vector<unsigned> attempts;
    rules.temporaryName = [&](unsigned nAttempt) {
        attempts.push_back(nAttempt);
        return names.at(nAttempt).string();
    };
    const CUmask mask(0);
    OwnerAndMode whileWritten;
    ASSERT_EQ(ReplaceWholeFile(target.string(), rules,
                               [&](CLocalFile& file) {
                                   whileWritten = LookAt(names[3]);
                                   return file.Write(kReceivedConfig.data(), kReceivedConfig.size());
                               }),
              ReplaceOutcome::Replaced);
    EXPECT_EQ(attempts, (std::vector<unsigned>{0, 1, 2, 3}));
    EXPECT_FALSE(whileWritten.bLink);
    EXPECT_EQ(whileWritten.nMode, 0600u);
    EXPECT_EQ(ReadFileBytes(target), kReceivedConfig);
    EXPECT_FALSE(fs::exists(dir / "nowhere.txt"));
    auto now = Snapshot(dir.Path());
    now.erase("config.txt");
    EXPECT_EQ(now, planted);
}

// What a signal handler calls while a save is under way: the temporary file goes, the save then fails
// and leaves the old file; outside a save it removes nothing, not even a file of the last one's name.
TEST(LocalFileReplace, PendingTemporaryFileIsRemovedOnlyWhileTheSaveRuns)
{
    TempDir dir;
    const fs::path target = OldFile(dir / "config.txt", 0644);
    const fs::path temporary = dir / ".config.txt.velnor-0000000000aa.tmp";
    ReplaceRules rules;
    rules.temporaryName = [&](unsigned) { return temporary.string(); };
    const auto before = Snapshot(dir.Path());
    EXPECT_EQ(ReplaceWholeFile(target.string(), rules,
                               [&](CLocalFile& file) {
                                   EXPECT_TRUE(fs::exists(temporary));
                                   RemovePendingTemporaryFile();
                                   EXPECT_FALSE(fs::exists(temporary));
                                   return file.Write(kReceivedConfig.data(), kReceivedConfig.size());
                               }),
              ReplaceOutcome::SaveFailed);
    EXPECT_EQ(Snapshot(dir.Path()), before);

    ASSERT_EQ(ReplaceWholeFile(target.string(), rules,
                               [&](CLocalFile& file) {
                                   return file.Write(kReceivedConfig.data(), kReceivedConfig.size());
                               }),
              ReplaceOutcome::Replaced);
    WriteFileBytes(temporary, {'n'});
    RemovePendingTemporaryFile();
    EXPECT_TRUE(fs::exists(temporary));
    EXPECT_EQ(ReadFileBytes(target), kReceivedConfig);
}

TEST(LocalFileSave, ReplacingALongerFileLeavesNoTail)
{
    TempDir dir;
    const fs::path path = dir / "config.txt";
    WriteFileBytes(path, PatternBytes(5000, 1));
    const Bytes received = PatternBytes(1000, 2);
    CFileProbe engine(DIRECTION_RECEIVE, path);
    engine.ReceiveWhole(received);
    ASSERT_EQ(engine.FinishLocal(), TFTP_OK);
    EXPECT_EQ(ReadFileBytes(path), received);
    EXPECT_EQ(Entries(dir.Path()), std::vector<std::string>{"config.txt"});
}

TEST(LocalFileSave, LineEndsPassUnchangedInNetascii)
{
    TempDir dir;
    std::string text;
    for (int i = 0; i < 300; ++i)
        text += "line\r\nlf\ncr\r";  // spans block boundaries, some of which split a CR LF pair
    const Bytes content(text.begin(), text.end());
    CFileProbe engine(DIRECTION_RECEIVE, dir / "config.txt");
    engine.ReceiveWhole(content);
    ASSERT_EQ(engine.FinishLocal(), TFTP_OK);
    EXPECT_EQ(ReadFileBytes(dir / "config.txt"), content);
}

TEST(LocalFileSave, FailedReceiveTouchesNoFile)
{
    TempDir dir;
    const fs::path path = dir / "config.txt";
    const Bytes old = PatternBytes(700, 3);
    WriteFileBytes(path, old);
    CFileProbe engine(DIRECTION_RECEIVE, path);
    engine.m_nBlock = 1;
    ASSERT_EQ(engine.Receive(PatternBytes(512, 4)), TFTP_OK);
    engine.m_nResult = TFTP_ERR_NO_RESPONSE;
    EXPECT_EQ(engine.FinishLocal(), TFTP_OK);
    EXPECT_EQ(ReadFileBytes(path), old);
    EXPECT_EQ(g_pRecvHead, nullptr);
    EXPECT_EQ(Entries(dir.Path()), std::vector<std::string>{"config.txt"});
}

// Each way a save can fail keeps the old file byte for byte and leaves nothing else behind; the
// blocks stay held until the failure pass through PHASE_FINISH releases them.
class SaveFailure : public ::testing::Test {
protected:
    void ExpectOldFileIntactAfter(TftpResult nExpected, const std::function<TftpResult(CFileProbe&)>& save)
    {
        const fs::path path = m_dir / "config.txt";
        const Bytes old = PatternBytes(3000, 5);
        WriteFileBytes(path, old);
        CFileProbe engine(DIRECTION_RECEIVE, path);
        engine.ReceiveWhole(PatternBytes(2000, 6));
        EXPECT_EQ(save(engine), nExpected);
        EXPECT_NE(g_pRecvHead, nullptr);
        EXPECT_EQ(ReadFileBytes(path), old);
        EXPECT_EQ(Entries(m_dir.Path()), std::vector<std::string>{"config.txt"});
        EXPECT_FALSE(engine.m_file.IsOpen());

        // The engine's second pass through PHASE_FINISH, now with the failure recorded.
        engine.m_nResult = nExpected;
        EXPECT_EQ(engine.FinishLocal(), TFTP_OK);
        EXPECT_EQ(g_pRecvHead, nullptr);
        EXPECT_EQ(ReadFileBytes(path), old);
    }

    TempDir m_dir;
};

TEST_F(SaveFailure, NewFileCannotBeCreated)
{
    // Root may create files anywhere; a process without a free file descriptor may not.
    ExpectOldFileIntactAfter(TFTP_ERR_FILE_OPEN, [](CFileProbe& engine) {
        rlimit saved {};
        EXPECT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
        int nNext = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        ::close(nNext);
        rlimit tight = saved;
        tight.rlim_cur = static_cast<rlim_t>(nNext);
        EXPECT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
        TftpResult nResult = engine.FinishLocal();
        ::setrlimit(RLIMIT_NOFILE, &saved);
        EXPECT_EQ(DescribeLocalFailure(engine.GetLocalFailure()), engine.m_strLocalPath + ": Too many open files");
        return nResult;
    });
}

TEST_F(SaveFailure, WriteFailsWhenTheDiskIsFull)
{
    // The file size limit gives a real "file too large" from the system part way through the data.
    ExpectOldFileIntactAfter(TFTP_ERR_FILE_WRITE, [](CFileProbe& engine) {
        auto previous = std::signal(SIGXFSZ, SIG_IGN);
        rlimit saved {};
        EXPECT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
        rlimit tight = saved;
        tight.rlim_cur = 1000;
        EXPECT_EQ(::setrlimit(RLIMIT_FSIZE, &tight), 0);
        TftpResult nResult = engine.FinishLocal();
        ::setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, previous);
        // The system's own reason, for the file the user chose (not the temporary one).
        EXPECT_EQ(DescribeLocalFailure(engine.GetLocalFailure()), engine.m_strLocalPath + ": File too large");
        return nResult;
    });
}

TEST_F(SaveFailure, FolderOfThatNameIsRefusedBeforeAnyFileIsWritten)
{
    const fs::path folder = m_dir / "config.d";
    fs::create_directory(folder);
    WriteFileBytes(folder / "inside.txt", PatternBytes(10));
    CFileProbe engine(DIRECTION_RECEIVE, folder);
    engine.ReceiveWhole(PatternBytes(600, 8));
    EXPECT_EQ(engine.FinishLocal(), TFTP_ERR_FILE_OPEN);
    EXPECT_EQ(Entries(folder), std::vector<std::string>{"inside.txt"});
    EXPECT_EQ(Entries(m_dir.Path()), std::vector<std::string>{"config.d"});
    EXPECT_NE(g_pRecvHead, nullptr);
}

TEST_F(SaveFailure, FolderThatDoesNotExist)
{
    CFileProbe engine(DIRECTION_RECEIVE, m_dir / "no-such-folder" / "config.txt");
    engine.ReceiveWhole(PatternBytes(100));
    EXPECT_EQ(engine.FinishLocal(), TFTP_ERR_FILE_OPEN);
    EXPECT_TRUE(Entries(m_dir.Path()).empty());
}

// ---------------------------------------------------------------------------------------------
// The receive list

TEST(LocalFileReceive, ListIsBoundedAndTheBoundIsTheOutOfMemoryCase)
{
    CFileProbe engine(DIRECTION_RECEIVE, "unused");
    engine.m_nBlock = 1;
    engine.m_nBytesDone = TFTP_MAX_RECEIVE_BYTES - 512;
    ASSERT_EQ(engine.Receive(PatternBytes(512)), TFTP_OK);  // exactly at the bound
    RecvBlock* pTail = g_pRecvTail;
    EXPECT_EQ(engine.Receive(PatternBytes(1)), TFTP_ERR_RECV_NO_MEMORY);
    EXPECT_EQ(g_pRecvTail, pTail);
    EXPECT_EQ(engine.m_nBytesDone, TFTP_MAX_RECEIVE_BYTES);
    // An empty last block still fits: it adds no byte.
    EXPECT_EQ(engine.Receive({}), TFTP_OK);
}

TEST(LocalFileReceive, BlockNumbersWrapPast65535AndTheFileStaysWhole)
{
    TempDir dir;
    const fs::path path = dir / "big.txt";
    CFileProbe engine(DIRECTION_RECEIVE, path);
    engine.m_nBlock = 1;
    // 65537 full blocks take the number through 65535 and 0 to 1 again; a short block ends it.
    const std::uint32_t nFullBlocks = 65537;
    std::uint8_t payload[512];
    for (std::uint32_t i = 0; i < nFullBlocks; ++i) {
        std::memcpy(payload, &i, sizeof i);
        std::memset(payload + sizeof i, static_cast<int>(i & 0xFF), sizeof payload - sizeof i);
        ASSERT_EQ(engine.Receive(payload), TFTP_OK) << "block " << i;
    }
    EXPECT_EQ(engine.m_nBlock, 2);
    ASSERT_EQ(engine.Receive(std::span(payload, 3)), TFTP_OK);
    ASSERT_TRUE(engine.m_bLastBlock);
    ASSERT_EQ(engine.FinishLocal(), TFTP_OK);

    ASSERT_EQ(fs::file_size(path), std::uintmax_t{nFullBlocks} * 512 + 3);
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    for (std::uint32_t i : {0u, 1u, 65534u, 65535u, 65536u}) {
        std::uint8_t block[512] = {};
        EXPECT_EQ(::pread(fd, block, sizeof block, static_cast<off_t>(i) * 512), 512);
        std::uint32_t nMark = 0;
        std::memcpy(&nMark, block, sizeof nMark);
        EXPECT_EQ(nMark, i);
        EXPECT_EQ(block[511], static_cast<std::uint8_t>(i & 0xFF));
    }
    ::close(fd);
}

TEST(LocalFileReceive, BlocksAcrossTheStorageArraysAndTheWritePiecesAreSavedInOrder)
{
    // The blocks are kept in arrays of 16, 64 and 256 blocks, then of 2 MiB each, and written 64 KiB
    // at a time: sizes on both sides of each border.
    const std::size_t nLargeArray = 2 * 1024 * 1024 / sizeof(RecvBlock);
    TempDir dir;
    for (std::size_t nBlocks : {std::size_t{15}, std::size_t{16}, std::size_t{17}, std::size_t{80}, std::size_t{81},
                                std::size_t{127}, std::size_t{128}, std::size_t{129}, std::size_t{336}, std::size_t{337},
                                336 + nLargeArray, 337 + nLargeArray}) {
        SCOPED_TRACE(std::to_string(nBlocks) + " full blocks");
        const fs::path path = dir / "config.txt";
        const Bytes content = PatternBytes(nBlocks * 512 + 100, static_cast<std::uint32_t>(nBlocks));
        CFileProbe engine(DIRECTION_RECEIVE, path);
        engine.ReceiveWhole(content);
        ASSERT_EQ(engine.FinishLocal(), TFTP_OK);
        EXPECT_EQ(g_pRecvHead, nullptr);
        EXPECT_EQ(ReadFileBytes(path), content);
    }
}

TEST(LocalFileReceive, DatagramThatIsNoDataPacketIsNotStored)
{
    CFileProbe engine(DIRECTION_RECEIVE, "unused");
    for (int nLength : {0, 3, 517, 1024}) {
        SCOPED_TRACE(nLength);
        engine.m_nRecvLen = nLength;
        EXPECT_EQ(engine.StoreReceivedBlock(), TFTP_ERR_RECV_NO_MEMORY);
        EXPECT_EQ(g_pRecvHead, nullptr);
    }
}

}  // namespace
