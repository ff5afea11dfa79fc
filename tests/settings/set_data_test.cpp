#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "SetData.h"
#include "SettingsFile.h"
#include "SettingsTestSupport.h"
#include "TestSupport.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using settingstest::CurrentDirGuard;
using settingstest::CursorCounter;
using settingstest::RunWithoutPrivileges;
using settingstest::UnprivilegedRun;
using testsupport::ReadFileBytes;
using testsupport::TempDir;
using testsupport::WriteFileBytes;

const char* const kFileName = "Velnor ClientV090.dat";

Bytes Concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

Bytes TextBytes(const std::string& s)
{
    return Bytes(s.begin(), s.end());
}

std::set<std::string> FolderEntries(const fs::path& folder)
{
    std::set<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder))
        names.insert(entry.path().filename().string());
    return names;
}

// The file's identity and time, to tell "left alone" from "rewritten with the same bytes".
struct FileStamp {
    ino_t nInode = 0;
    fs::file_time_type time;
    Bytes bytes;
    bool operator==(const FileStamp&) const = default;
};

FileStamp StampOf(const fs::path& path)
{
    struct stat status {};
    EXPECT_EQ(::stat(path.c_str(), &status), 0);
    return {status.st_ino, fs::last_write_time(path), ReadFileBytes(path)};
}

// Moves the file's time well into the past, so that any rewrite shows in it.
void Backdate(const fs::path& path)
{
    fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::hours(24 * 400));
}

AddressList OneAddress(const std::string& strAddr)
{
    AddressList list;
    list[0] = strAddr;
    list[ADDRESS_HISTORY_SIZE] = strAddr;
    return list;
}

// A settings file with "192.0.2.1" as history entry 0 and last address, and the folder "/data/".
const Bytes kOneTransferFile = Concat({{0x09}, TextBytes("192.0.2.1"), Bytes(9, 0x00), {0x09}, TextBytes("192.0.2.1"),
                                       {0x06}, TextBytes("/data/")});

class SetDataTest : public ::testing::Test {
protected:
    fs::path FilePath() const { return m_dir / kFileName; }

    TempDir m_dir;
    CurrentDirGuard m_cwd{m_dir.Path()};
};

TEST_F(SetDataTest, FileNameIsTitleTagAndDat)
{
    CSetData data;
    EXPECT_EQ(data.m_strFileTag, "V090");
    EXPECT_EQ(data.GetFileName(), fs::path(kFileName));
}

TEST_F(SetDataTest, FirstStartCreatesTwelveEmptyRecordsAtConstruction)
{
    auto data = std::make_unique<CSetData>();
    EXPECT_EQ(ReadFileBytes(FilePath()), Bytes(12, 0x00));
    AddressList list;
    list.fill("x");
    data->GetAddressList(list);
    EXPECT_EQ(list, AddressList{});
    EXPECT_EQ(data->m_strFolder, "");
    EXPECT_FALSE(data->m_bModified);
    data.reset();
    EXPECT_EQ(ReadFileBytes(FilePath()), Bytes(12, 0x00));
}

TEST_F(SetDataTest, OneSuccessfulTransferIsWrittenAsThirtySixBytesAtExit)
{
    {
        CSetData data;
        data.SetAddressList(OneAddress("192.0.2.1"));
        data.m_strFolder = "/data/";
        EXPECT_EQ(ReadFileBytes(FilePath()), Bytes(12, 0x00)) << "written before exit";
    }
    EXPECT_EQ(ReadFileBytes(FilePath()), kOneTransferFile);
    EXPECT_EQ(kOneTransferFile.size(), 36u);

    CSetData again;
    AddressList list;
    again.GetAddressList(list);
    EXPECT_EQ(list, OneAddress("192.0.2.1"));
    EXPECT_EQ(again.m_strFolder, "/data/");
}

TEST_F(SetDataTest, AddressListCopiesInAndOutAndOnlySetMarksModified)
{
    CSetData data;
    AddressList list;
    for (std::size_t i = 0; i < ADDRESS_LIST_SIZE; ++i)
        list[i] = "10.0.0." + std::to_string(i);
    data.m_strFolder = "/kept/";

    AddressList out;
    data.GetAddressList(out);
    EXPECT_FALSE(data.m_bModified);

    data.SetAddressList(list);
    EXPECT_TRUE(data.m_bModified);
    EXPECT_EQ(data.m_strAddrHistory[9], "10.0.0.9");
    EXPECT_EQ(data.m_strLastAddr, "10.0.0.10");
    data.GetAddressList(out);
    EXPECT_EQ(out, list);

    data.ClearAddressList();
    data.GetAddressList(out);
    EXPECT_EQ(out, AddressList{});
    EXPECT_EQ(data.m_strFolder, "/kept/");
    EXPECT_TRUE(data.m_bModified);
}

TEST_F(SetDataTest, TextsOfEveryPrefixFormRoundTripThroughTheFile)
{
    struct SizeCase {
        std::size_t nLength;
        Bytes prefix;
    };
    const SizeCase cases[] = {
        {0, {0x00}},
        {1, {0x01}},
        {254, {0xFE}},
        {255, {0xFF, 0xFF, 0x00}},
        {300, {0xFF, 0x2C, 0x01}},
        {65533, {0xFF, 0xFD, 0xFF}},
        {65534, {0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0x00, 0x00}},
        {70000, {0xFF, 0xFF, 0xFF, 0x70, 0x11, 0x01, 0x00}},
    };
    for (const SizeCase& c : cases) {
        SCOPED_TRACE(c.nLength);
        fs::remove(FilePath());
        std::string strText(c.nLength, '\0');
        for (std::size_t i = 0; i < c.nLength; ++i)
            strText[i] = static_cast<char>('a' + i % 26);
        {
            CSetData data;
            AddressList list;
            list[4] = strText;
            list[ADDRESS_HISTORY_SIZE] = "192.0.2.7";
            data.SetAddressList(list);
            data.m_strFolder = strText;
        }
        const Bytes expected = Concat({Bytes(4, 0x00), c.prefix, TextBytes(strText), Bytes(5, 0x00),
                                       {0x09}, TextBytes("192.0.2.7"), c.prefix, TextBytes(strText)});
        EXPECT_EQ(ReadFileBytes(FilePath()), expected);

        CSetData again;
        EXPECT_EQ(again.m_strAddrHistory[4], strText);
        EXPECT_EQ(again.m_strLastAddr, "192.0.2.7");
        EXPECT_EQ(again.m_strFolder, strText);
    }
}

TEST_F(SetDataTest, UnmodifiedRunLeavesTheFileBytesAndTimeAlone)
{
    WriteFileBytes(FilePath(), kOneTransferFile);
    Backdate(FilePath());
    const FileStamp before = StampOf(FilePath());
    {
        CSetData data;
        data.m_strFolder = "/elsewhere/";  // a folder chosen without a successful transfer is not kept
        AddressList list;
        data.GetAddressList(list);
        EXPECT_EQ(list, OneAddress("192.0.2.1"));
    }
    EXPECT_EQ(StampOf(FilePath()), before);
}

TEST_F(SetDataTest, ModifiedRunWritesTheFileOnceAtExit)
{
    WriteFileBytes(FilePath(), kOneTransferFile);
    Backdate(FilePath());
    const FileStamp before = StampOf(FilePath());
    CursorCounter cursor;
    {
        CSetData data;
        data.SetAddressList(OneAddress("192.0.2.2"));
        data.SetAddressList(OneAddress("192.0.2.3"));
        data.m_strFolder = "/new/";
        EXPECT_EQ(StampOf(FilePath()), before);
        EXPECT_EQ(cursor.Shown(), 1) << "only the load so far";
    }
    EXPECT_EQ(cursor.Shown(), 2) << "one save at exit";
    EXPECT_EQ(ReadFileBytes(FilePath()), Concat({{0x09}, TextBytes("192.0.2.3"), Bytes(9, 0x00), {0x09},
                                                 TextBytes("192.0.2.3"), {0x05}, TextBytes("/new/")}));
    EXPECT_EQ(FolderEntries(m_dir.Path()), std::set<std::string>{kFileName});
}

TEST_F(SetDataTest, WideTextRecordIsReadAsUtf8AndSavedAsPlainBytes)
{
    // "設定" as wide text in the folder record.
    WriteFileBytes(FilePath(), Concat({Bytes(11, 0x00), {0xFF, 0xFE, 0xFF, 0x02, 0x2D, 0x8A, 0x9A, 0x5B}}));
    {
        CSetData data;
        EXPECT_EQ(data.m_strFolder, "設定");
        data.SetAddressList(AddressList{});
    }
    EXPECT_EQ(ReadFileBytes(FilePath()), Concat({Bytes(11, 0x00), {0x06}, TextBytes("設定")}));
}

TEST_F(SetDataTest, LoneSurrogatesInAWideRecordBecomeReplacementCharacters)
{
    WriteFileBytes(FilePath(),
                   Concat({{0xFF, 0xFE, 0xFF, 0x03, 0x3D, 0xD8, 'a', 0x00, 0x00, 0xDE}, Bytes(10, 0x00), {0x01, 'f'}}));
    CSetData data;
    EXPECT_EQ(data.m_strAddrHistory[0], "\xEF\xBF\xBD" "a" "\xEF\xBF\xBD");
    EXPECT_EQ(data.m_strFolder, "f");
}

TEST_F(SetDataTest, OddLengthWideTextAtTheEndKeepsTheRecordsBeforeIt)
{
    // The folder record claims three code units but only five bytes follow.
    const Bytes bytes = Concat({{0x01, 'a'}, Bytes(10, 0x00), {0xFF, 0xFE, 0xFF, 0x03, 'x', 0, 'y', 0, 'z'}});
    WriteFileBytes(FilePath(), bytes);
    {
        CSetData data;
        EXPECT_EQ(data.m_strAddrHistory[0], "a");
        EXPECT_EQ(data.m_strFolder, "");
    }
    EXPECT_EQ(ReadFileBytes(FilePath()), bytes);
}

TEST_F(SetDataTest, TruncatedFileAtEveryOffsetKeepsTheRecordsReadAndIsNotRewrittenAtStart)
{
    // Twelve records of different lengths, one with the three-byte prefix.
    SettingsRecordArray strRecords;
    for (std::size_t i = 0; i < ADDRESS_HISTORY_SIZE; ++i)
        strRecords[i] = i % 3 == 0 ? "" : "192.0.2." + std::to_string(i);
    strRecords[10] = "192.0.2.1";
    strRecords[11] = "/" + std::string(298, 'p') + "/";
    const Bytes full = WriteRecords(strRecords);
    std::vector<std::size_t> nEnds;
    {
        Bytes partial;
        for (const std::string& s : strRecords) {
            AppendRecord(partial, s);
            nEnds.push_back(partial.size());
        }
    }

    for (std::size_t nCut = 0; nCut < full.size(); ++nCut) {
        SCOPED_TRACE(nCut);
        const Bytes cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(nCut));
        WriteFileBytes(FilePath(), cut);
        std::size_t nComplete = 0;
        while (nEnds[nComplete] <= nCut)
            ++nComplete;
        {
            CSetData data;
            for (std::size_t i = 0; i < ADDRESS_HISTORY_SIZE; ++i)
                ASSERT_EQ(data.m_strAddrHistory[i], i < nComplete ? strRecords[i] : "") << "record " << i;
            ASSERT_EQ(data.m_strLastAddr, 10 < nComplete ? strRecords[10] : "");
            ASSERT_EQ(data.m_strFolder, "");
        }
        ASSERT_EQ(ReadFileBytes(FilePath()), cut);
    }

    // A modified run mends a truncated file.
    WriteFileBytes(FilePath(), Bytes(full.begin(), full.begin() + 20));
    {
        CSetData data;
        AddressList list;
        data.GetAddressList(list);
        data.SetAddressList(list);
    }
    // Twenty bytes hold history entries 0 and 1 complete.
    EXPECT_EQ(ReadFileBytes(FilePath()), Concat({{0x00, 0x09}, TextBytes("192.0.2.1"), Bytes(10, 0x00)}));
}

TEST_F(SetDataTest, HugeLengthPrefixInATwentyByteFileIsATruncation)
{
    const Bytes bytes =
        Concat({{0x09}, TextBytes("192.0.2.1"), {0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x01}, TextBytes("abc")});
    ASSERT_EQ(bytes.size(), 20u);
    WriteFileBytes(FilePath(), bytes);
    CSetData data;
    EXPECT_EQ(data.m_strAddrHistory[0], "192.0.2.1");
    EXPECT_EQ(data.m_strAddrHistory[1], "");
    EXPECT_EQ(data.m_strFolder, "");
}

TEST_F(SetDataTest, SixtyFourBitLengthAboveTheLimitIsAnInvalidRecordHandledAsTruncation)
{
    WriteFileBytes(FilePath(), Concat({{0x02, 'o', 'k'}, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
                                       {0x00, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00, 0x00}, Bytes(40, 'x')}));
    CSetData data;
    EXPECT_EQ(data.m_strAddrHistory[0], "ok");
    EXPECT_EQ(data.m_strAddrHistory[1], "");
    EXPECT_EQ(data.m_strLastAddr, "");
}

TEST_F(SetDataTest, FolderOfTheFileNameIsLeftAloneAndNotReplacedAtExit)
{
    fs::create_directory(FilePath());
    WriteFileBytes(FilePath() / "keep", {1, 2, 3});
    {
        CSetData data;
        AddressList list;
        data.GetAddressList(list);
        EXPECT_EQ(list, AddressList{});
        data.SetAddressList(OneAddress("192.0.2.1"));
        data.m_strFolder = "/data/";
    }
    EXPECT_TRUE(fs::is_directory(FilePath()));
    EXPECT_EQ(ReadFileBytes(FilePath() / "keep"), (Bytes{1, 2, 3}));
    EXPECT_EQ(FolderEntries(m_dir.Path()), std::set<std::string>{kFileName});
}

TEST_F(SetDataTest, FileLockedAtStartIsLeftAloneAndNotReplacedAtExit)
{
    WriteFileBytes(FilePath(), kOneTransferFile);
    Backdate(FilePath());
    const FileStamp before = StampOf(FilePath());
    const int fd = ::open(FilePath().c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
    auto data = std::make_unique<CSetData>();
    ::close(fd);

    EXPECT_EQ(data->m_strAddrHistory[0], "");
    EXPECT_EQ(data->m_strLastAddr, "");
    EXPECT_EQ(StampOf(FilePath()), before);
    // The lock is gone by exit, but the values in memory never came from this file.
    data->SetAddressList(OneAddress("192.0.2.9"));
    data.reset();
    EXPECT_EQ(StampOf(FilePath()), before);
}

TEST_F(SetDataTest, FileWithoutReadPermissionIsLeftAloneAndNotReplacedAtExit)
{
    fs::permissions(m_dir.Path(), fs::perms::all);
    WriteFileBytes(FilePath(), kOneTransferFile);
    // Writable by everyone but readable by nobody: rewriting it with empty values would succeed.
    fs::permissions(FilePath(), fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write);
    Backdate(FilePath());
    const FileStamp before = StampOf(FilePath());
    const UnprivilegedRun run = RunWithoutPrivileges([] {
        CSetData data;
        const bool bEmpty = data.m_strLastAddr.empty() && data.m_strAddrHistory[0].empty() && data.m_strFolder.empty();
        data.SetAddressList(OneAddress("192.0.2.9"));
        return bEmpty;
    });
    if (run == UnprivilegedRun::NotPossible)
        GTEST_SKIP() << "cannot drop privileges here, and root reads files whatever their permissions";
    EXPECT_EQ(run, UnprivilegedRun::Passed);
    EXPECT_EQ(StampOf(FilePath()), before);
    EXPECT_EQ(FolderEntries(m_dir.Path()), std::set<std::string>{kFileName});
}

TEST_F(SetDataTest, FileFarLargerThanAnyWeWriteIsNotReadAndNotReplaced)
{
    // The folder record claims more than the read limit, and the file really holds it.
    Bytes bytes = Concat({{0x09}, TextBytes("192.0.2.1"), Bytes(10, 0x00), {0xFF, 0xFF, 0xFF}});
    const std::uint32_t nLength = SETTINGS_MAX_FILE_BYTES + 100;
    for (int i = 0; i < 4; ++i)
        bytes.push_back(static_cast<std::uint8_t>(nLength >> (8 * i)));
    bytes.resize(bytes.size() + nLength, 'f');
    WriteFileBytes(FilePath(), bytes);
    Backdate(FilePath());
    struct stat before {};
    ASSERT_EQ(::stat(FilePath().c_str(), &before), 0);
    {
        CSetData data;
        EXPECT_EQ(data.m_strAddrHistory[0], "");
        data.SetAddressList(OneAddress("192.0.2.9"));
    }
    // Same file, same size, same time: not rewritten.
    struct stat after {};
    ASSERT_EQ(::stat(FilePath().c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_size, before.st_size);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
}

TEST_F(SetDataTest, LongTrailingBytesAfterTheTwelfthRecordDoNotStopTheRead)
{
    Bytes bytes = kOneTransferFile;
    bytes.resize(SETTINGS_MAX_FILE_BYTES + 100, 0xFF);
    WriteFileBytes(FilePath(), bytes);
    CSetData data;
    EXPECT_EQ(data.m_strLastAddr, "192.0.2.1");
    EXPECT_EQ(data.m_strFolder, "/data/");
}

TEST_F(SetDataTest, FailedSaveAtExitKeepsTheOldFileAndLeavesNothingBehind)
{
    WriteFileBytes(FilePath(), kOneTransferFile);
    rlimit previous{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &previous), 0);
    {
        CSetData data;
        data.SetAddressList(OneAddress("192.0.2.9"));
        // No descriptor left for the new file when the save at exit runs.
        const int nNext = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        ::close(nNext);
        rlimit limit = previous;
        limit.rlim_cur = static_cast<rlim_t>(nNext);
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);
    }
    ::setrlimit(RLIMIT_NOFILE, &previous);
    EXPECT_EQ(ReadFileBytes(FilePath()), kOneTransferFile);
    EXPECT_EQ(FolderEntries(m_dir.Path()), std::set<std::string>{kFileName});
}

TEST_F(SetDataTest, FullDiskDuringSaveAtExitKeepsTheOldFileWhole)
{
    const Bytes oldBytes = Concat({{0xFF, 0x2C, 0x01}, Bytes(300, 'o'), Bytes(11, 0x00)});
    WriteFileBytes(FilePath(), oldBytes);
    rlimit previous{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &previous), 0);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    {
        CSetData data;
        data.SetAddressList(OneAddress("192.0.2.9"));
        data.m_strFolder = std::string(5000, 'n');
        rlimit limit = previous;
        limit.rlim_cur = 1000;
        ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    }
    ::setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, previousHandler);
    EXPECT_EQ(ReadFileBytes(FilePath()), oldBytes);
    EXPECT_EQ(FolderEntries(m_dir.Path()), std::set<std::string>{kFileName});
}

TEST_F(SetDataTest, FolderThatCannotTakeAFileStartsEmptyWithoutAnyFault)
{
    // The current directory is removed under us: the file can be neither read nor created.
    const fs::path gone = m_dir / "gone";
    fs::create_directory(gone);
    CurrentDirGuard inGone(gone);
    fs::remove(gone);
    CSetData data;
    EXPECT_FALSE(data.Load());
    EXPECT_EQ(data.m_strLastAddr, "");
    data.SetAddressList(OneAddress("192.0.2.9"));
    data.Save();
    EXPECT_FALSE(fs::exists(gone));
}

struct CursorCase {
    const char* name;
    std::function<void(const fs::path&)> arrange;
};

TEST_F(SetDataTest, WaitCursorIsRestoredAsOftenAsShownOnEveryPath)
{
    const CursorCase cases[] = {
        {"first start (load creates the file)", [](const fs::path&) {}},
        {"existing file", [](const fs::path& file) { WriteFileBytes(file, kOneTransferFile); }},
        {"truncated file", [](const fs::path& file) { WriteFileBytes(file, {0x09, '1'}); }},
        {"folder of that name", [](const fs::path& file) { fs::create_directory(file); }},
        {"save refused (a read-only file)",
         [](const fs::path& file) {
             WriteFileBytes(file, kOneTransferFile);
             fs::permissions(file, fs::perms::owner_read);
         }},
    };
    for (const CursorCase& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(FilePath());
        c.arrange(kFileName);
        CursorCounter cursor;
        {
            CSetData data;
            EXPECT_GE(cursor.Shown(), 1);
            EXPECT_EQ(cursor.Depth(), 0);
            data.SetAddressList(OneAddress("192.0.2.1"));
        }
        EXPECT_GE(cursor.Shown(), 1);
        EXPECT_EQ(cursor.Shown(), cursor.Restored());
        EXPECT_FALSE(cursor.RestoredUnshown());
    }
}

TEST(SetDataGlobal, PointerStartsNullForTheDialogToSet)
{
    EXPECT_EQ(g_pSetData, nullptr);
}

}  // namespace
