// velnor-tftp for scripts, run as a subprocess against the router simulator: the JSON line of every
// outcome, the standard streams as FILE, the idempotent put, --check, the trace, the tunable wait, and
// the password file and router texts of a careless or hostile world.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <QJsonDocument>
#include <QJsonObject>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "CliProgramSupport.h"
#include "ResultMessages.h"
#include "Texts.h"
#include "TftpTransfer.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using velnor::sim::RouterSimOptions;
using velnor::sim::RouterSimStats;
using namespace std::chrono_literals;
using namespace clitest;

QByteArray AsInput(const Bytes& bytes)
{
    return QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size()));
}

Bytes AsBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

// Standard output holds exactly one line, one JSON object.
QJsonObject JsonLineOf(const ProgramRun& run)
{
    EXPECT_FALSE(run.out.empty());
    EXPECT_EQ(run.out.find('\n'), run.out.size() - 1) << run.out;
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(run.out), &error);
    EXPECT_EQ(error.error, QJsonParseError::NoError) << run.out;
    EXPECT_TRUE(document.isObject()) << run.out;
    return document.object();
}

mode_t ModeOf(const std::filesystem::path& path)
{
    struct stat st {};
    ::lstat(path.c_str(), &st);
    return st.st_mode & 07777;
}

class CliScriptingTest : public CliProgramFixture {
protected:
    // The router counts a request before it answers it: the counts are final once the program ended.
    RouterSimStats Stats() const { return m_pSim->Stats(); }
};

// One row per outcome: each line parsed with Qt's JSON reader and every field checked.
TEST_F(CliScriptingTest, TheJsonLineOfEachOutcome)
{
    const Bytes config = testsupport::PatternBytes(5000, 7);
    const Bytes image = testsupport::PatternBytes(4096, 8);
    testsupport::WriteFileBytes(m_localDir / "put.txt", testsupport::PatternBytes(1300, 9));
    testsupport::WriteFileBytes(m_localDir / "fw.bin", image);
    const std::string local = (m_localDir / "got.txt").string();
    const std::string missingFolder = (m_localDir / "no-such-folder" / "got.txt").string();

    struct Row {
        const char* name;
        std::function<void(RouterSimOptions&)> router;
        QStringList args;  // before ROUTER FILE
        std::string file;
        int nExit;
        QJsonValue code, cls, routerText, changed;
        qint64 nBytes;
        QJsonValue fileNumber;
        std::string message;
        QJsonValue detail = QJsonValue::Null;
    };
    const QJsonValue null(QJsonValue::Null);
    const auto none = [](RouterSimOptions&) {};
    const Row rows[] = {
        {"get, new local file", none, {"get", "-n", "2"}, local, 0, null, null, null, true, 5000, 2,
         std::string(kStatusTexts[PHASE_FINISH])},
        {"get, same bytes again", none, {"get", "-n", "2"}, local, 0, null, null, null, false, 5000, 2,
         std::string(kStatusTexts[PHASE_FINISH])},
        {"put", none, {"put", "-n", "1"}, (m_localDir / "put.txt").string(), 0, null, null, null, true, 1300, 1,
         std::string(kStatusTexts[PHASE_FINISH])},
        {"revup", none, {"revup", "-n", "1"}, (m_localDir / "fw.bin").string(), 0, null, null, null, true, 4096, 1,
         std::string(kStatusTexts[PHASE_FINISH])},
        {"router ERROR with its own text",
         [](RouterSimOptions& o) {
             o.errorText = "Disk full";
             o.errorCode = 3;
         },
         {"put"}, (m_localDir / "put.txt").string(), 1, "0x8214", "refused", "Disk full", false, 0, null,
         LookupResultMessage(TFTP_ERR_PEER_ERROR)},
        {"router refuses the password", [](RouterSimOptions& o) { o.password = "secret"; },
         {"get", "-p", "wrong"}, local, 1, "0x8217", "refused", "Access violation", false, 0, null,
         LookupResultMessage(TFTP_ERR_ACCESS_VIOLATION)},
        {"router has no such file", none, {"get", "-n", "4"}, local, 1, "0x8216", "refused", "No such file", false, 0,
         4, LookupResultMessage(TFTP_ERR_NO_SUCH_FILE)},
        // Found before the router is asked: nothing crossed the network.
        {"local file cannot be written", none, {"get", "-n", "2"}, missingFolder, 1, "0x8012", "local", null, false,
         0, 2, LookupResultMessage(TFTP_ERR_FILE_OPEN),
         Q(missingFolder + ": the folder " + (m_localDir / "no-such-folder").string() + " does not exist")},
        {"local file missing", none, {"put"}, (m_localDir / "absent.txt").string(), 1, "0x8012", "local", null,
         false, 0, null, LookupResultMessage(TFTP_ERR_FILE_OPEN),
         Q((m_localDir / "absent.txt").string() + ": No such file or directory")},
        {"password too long", none, {"get", "-p", QString(33, 'p')}, local, 2, "0x8022", "input", null, false, 0,
         null, LookupResultMessage(TFTP_ERR_BAD_PASSWORD)},
        {"file number out of range", none, {"revup", "-n", "2"}, (m_localDir / "fw.bin").string(), 2, null, "input",
         null, false, 0, null, "invalid file number \"2\": use 0 to 1 for firmware"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        RouterSimOptions options;
        row.router(options);
        StartRouter(options);
        testsupport::WriteFileBytes(m_routerDir / "config2", config);
        std::filesystem::remove(m_routerDir / "config4");
        const ProgramRun run = RunProgram(QStringList(row.args) << "--json" << Q(m_strRouter) << Q(row.file));
        EXPECT_EQ(run.nExit, row.nExit) << run.err;
        const QJsonObject json = JsonLineOf(run);
        EXPECT_EQ(json.value("router"), Q(m_strRouter));
        EXPECT_EQ(json.value("operation"), row.args.first());
        EXPECT_EQ(json.value("file_number"), row.fileNumber);
        EXPECT_EQ(json.value("local_file"), Q(row.file));
        EXPECT_EQ(json.value("ok"), row.nExit == 0);
        EXPECT_EQ(json.value("code"), row.code);
        EXPECT_EQ(json.value("class"), row.cls);
        EXPECT_EQ(json.value("message"), Q(row.message));
        EXPECT_EQ(json.value("router_text"), row.routerText);
        EXPECT_EQ(json.value("bytes").toInteger(-1), row.nBytes);
        EXPECT_TRUE(json.value("seconds").isDouble());
        EXPECT_LT(json.value("seconds").toDouble(), 5.0);
        EXPECT_EQ(json.value("changed"), row.changed);
        EXPECT_EQ(json.value("detail"), row.detail);
        EXPECT_EQ(json.size(), 13);
    }
    EXPECT_EQ(testsupport::ReadFileBytes(local), config);
}

TEST_F(CliScriptingTest, JsonLeavesStandardErrorAsItWas)
{
    StartRouter();
    testsupport::WriteFileBytes(m_routerDir / "config0", {'o', 'k'});
    const ProgramRun plain = RunProgram({"get", Q(m_strRouter), Q(m_localDir / "a.txt")});
    const ProgramRun json = RunProgram({"get", "--json", Q(m_strRouter), Q(m_localDir / "b.txt")});
    EXPECT_EQ(plain.err, json.err);
    EXPECT_EQ(plain.out, "");
    const ProgramRun quiet = RunProgram({"get", "-q", "--json", Q(m_strRouter), Q(m_localDir / "c.txt")});
    EXPECT_EQ(quiet.err, "");
    EXPECT_EQ(JsonLineOf(quiet).value("ok"), true);
}

TEST_F(CliScriptingTest, RefusedCommandLinesStillEndWithTheirJsonLine)
{
    StartRouter();
    const QStringList cases[] = {
        {"get", "--json", "--timeout", "0", Q(m_strRouter), "x"},
        {"get", "--json", "--json", Q(m_strRouter), "x"},
        {"get", "--json", "--if-changed", Q(m_strRouter), "x"},
        {"put", "--json", "--password-file", "-", Q(m_strRouter), "-"},
        {"--json", "fetch", Q(m_strRouter), "x"},
        {"get", "--json", "--bogus"},
        {"get", "--json", "256.0.0.1", "x"},
    };
    for (const QStringList& args : cases) {
        SCOPED_TRACE(args.join(' ').toStdString());
        const ProgramRun run = RunProgram(args);
        EXPECT_EQ(run.nExit, 2);
        const QJsonObject json = JsonLineOf(run);
        EXPECT_EQ(json.value("ok"), false);
        EXPECT_EQ(json.value("class"), "input");
        EXPECT_FALSE(json.value("message").toString().isEmpty());
        EXPECT_EQ(json.value("changed"), false);
        // Which run it was, as far as the line tells.
        if (args.first() == "get") {
            EXPECT_EQ(json.value("operation"), "get");
            EXPECT_EQ(json.value("router"), args.size() > 3 ? QJsonValue(args[args.size() - 2]) : QJsonValue());
        }
    }
    ExpectNothingSent();
}

// The one wall-clock test: a silent router and a wait of 1 s: five waits of one second, not twenty-five.
TEST_F(CliScriptingTest, ShorterTimeoutGivesUpSooner)
{
    RouterSimOptions options;
    options.silent = true;
    StartRouter(options);
    const auto start = std::chrono::steady_clock::now();
    const ProgramRun run = RunProgram({"get", "-q", "--json", "--timeout", "1", Q(m_strRouter),
                                       Q(m_localDir / "c.txt")});
    const double dSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(run.nExit, 1);
    const QJsonObject json = JsonLineOf(run);
    EXPECT_EQ(json.value("code"), "0x8213");
    EXPECT_EQ(json.value("class"), "timeout");
    EXPECT_GE(json.value("seconds").toDouble(), 4.9);
    EXPECT_LT(dSeconds, 8.0);
    // The request and its four retransmissions.
    EXPECT_EQ(Stats().datagramsIn, 5u);
    EXPECT_EQ(run.err, LookupResultMessage(TFTP_ERR_NO_RESPONSE) + "\n(0x8213)\n");
}

// --- standard streams

TEST_F(CliScriptingTest, GetToStandardOutputWritesTheBytesAndNothingElse)
{
    StartRouter();
    for (std::size_t nSize : {std::size_t{0}, std::size_t{1024}, std::size_t{70000}}) {
        SCOPED_TRACE(nSize);
        const Bytes content = testsupport::PatternBytes(nSize, static_cast<std::uint32_t>(nSize));
        testsupport::WriteFileBytes(m_routerDir / "config3", content);
        const ProgramRun run = RunProgram({"get", "-n", "3", Q(m_strRouter), "-"});
        EXPECT_EQ(run.nExit, 0) << run.err;
        EXPECT_EQ(AsBytes(run.out), content);
        // The status texts stay on standard error, ending with the success.
        EXPECT_TRUE(run.err.ends_with(Line(kStatusTexts[PHASE_FINISH]))) << run.err;
    }
    // A failure writes nothing there.
    const ProgramRun failed = RunProgram({"get", "-n", "4", Q(m_strRouter), "-"});
    EXPECT_EQ(failed.nExit, 1);
    EXPECT_EQ(failed.out, "");
    EXPECT_FALSE(std::filesystem::exists("-"));
}

TEST_F(CliScriptingTest, PutAndRevupFromStandardInput)
{
    StartRouter();
    const Bytes config = testsupport::PatternBytes(2048, 3);
    ProgramRun run = RunProgram({"put", "--json", "-n", "2", Q(m_strRouter), "-"}, AsInput(config));
    EXPECT_EQ(run.nExit, 0) << run.err;
    EXPECT_EQ(JsonLineOf(run).value("local_file"), "-");
    ASSERT_TRUE(m_pSim->WaitForTransfers(1, 2000ms));
    EXPECT_EQ(testsupport::ReadFileBytes(m_routerDir / "config2"), config);

    const Bytes image = testsupport::PatternBytes(3000, 4);
    run = RunProgram({"revup", "-q", Q(m_strRouter), "-"}, AsInput(image));
    EXPECT_EQ(run.nExit, 0) << run.err;
    ASSERT_TRUE(m_pSim->WaitForTransfers(2, 2000ms));
    EXPECT_EQ(testsupport::ReadFileBytes(m_routerDir / "exec0"), image);

    // An empty standard input is an empty file, as an empty local file is.
    run = RunProgram({"put", "-q", "-n", "3", Q(m_strRouter), "-"});
    EXPECT_EQ(run.nExit, 0) << run.err;
    ASSERT_TRUE(m_pSim->WaitForTransfers(3, 2000ms));
    EXPECT_EQ(std::filesystem::file_size(m_routerDir / "config3"), 0u);
}

TEST_F(CliScriptingTest, StandardInputBeyondTheBlockLimitIsRefusedBeforeAnythingIsSent)
{
    StartRouter();
    const QByteArray tooLarge(static_cast<qsizetype>(TFTP_MAX_SEND_BYTES + 1), 'x');
    const ProgramRun run = RunProgram({"revup", "--json", Q(m_strRouter), "-"}, tooLarge);
    EXPECT_EQ(run.nExit, 1);
    const QJsonObject json = JsonLineOf(run);
    EXPECT_EQ(json.value("code"), "0x8013");
    EXPECT_EQ(json.value("class"), "local");
    EXPECT_NE(run.err.find(LookupResultMessage(TFTP_ERR_FILE_READ) + "\n(0x8013)\n"), std::string::npos) << run.err;
    ExpectNothingSent();
}

// --- put --if-changed and --check

TEST_F(CliScriptingTest, IfChangedPutsOnlyWhatDiffers)
{
    RouterSimOptions options;
    options.password = "pw";
    StartRouter(options);
    const Bytes same = testsupport::PatternBytes(1500, 5);
    testsupport::WriteFileBytes(m_routerDir / "config1", same);
    testsupport::WriteFileBytes(m_localDir / "same.txt", same);
    testsupport::WriteFileBytes(m_localDir / "other.txt", testsupport::PatternBytes(1500, 6));
    // A file to send is often kept read-only: the read of the router's file never writes it, so it
    // never asks whether it could.
    ::chmod((m_localDir / "same.txt").c_str(), 0444);
    ::chmod((m_localDir / "other.txt").c_str(), 0444);

    struct Row {
        const char* name;
        QStringList args;
        std::string file;
        int nExit;
        QJsonValue changed;
        std::uint64_t nReads, nWrites;
        Bytes routerAfter;
    };
    const Row rows[] = {
        {"same bytes: only the read", {"put", "--if-changed", "-n", "1"}, "same.txt", 0, false, 1, 0, same},
        {"check, same bytes", {"put", "--check", "--if-changed", "-n", "1"}, "same.txt", 0, false, 1, 0, same},
        {"check, other bytes: no write", {"put", "--check", "--if-changed", "-n", "1"}, "other.txt", 0, true, 1, 0,
         same},
        {"check without the read: nothing sent", {"put", "--check", "-n", "1"}, "other.txt", 0, true, 0, 0, same},
        {"other bytes: read, then put", {"put", "--if-changed", "-n", "1"}, "other.txt", 0, true, 1, 1,
         testsupport::PatternBytes(1500, 6)},
        {"router without the file: put", {"put", "--if-changed", "-n", "4"}, "same.txt", 0, true, 1, 1, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        StartRouter(options);
        const ProgramRun run = RunProgram(QStringList(row.args) << "--json" << "-p" << "pw" << Q(m_strRouter)
                                                                << Q(m_localDir / row.file));
        EXPECT_EQ(run.nExit, row.nExit) << run.err;
        const QJsonObject json = JsonLineOf(run);
        EXPECT_EQ(json.value("ok"), true);
        EXPECT_EQ(json.value("changed"), row.changed);
        const RouterSimStats stats = Stats();
        EXPECT_EQ(stats.readRequests, row.nReads);
        EXPECT_EQ(stats.writeRequests, row.nWrites);
        if (!row.routerAfter.empty()) {
            EXPECT_EQ(testsupport::ReadFileBytes(m_routerDir / "config1"), row.routerAfter);
        }
    }
    EXPECT_EQ(testsupport::ReadFileBytes(m_routerDir / "config4"), same);

    // The read goes with the same password: a wrong one fails the run before any write.
    StartRouter(options);
    const ProgramRun wrong = RunProgram({"put", "--if-changed", "--json", "-q", "-p", "bad", Q(m_strRouter),
                                         Q(m_localDir / "other.txt")});
    EXPECT_EQ(wrong.nExit, 1);
    EXPECT_EQ(JsonLineOf(wrong).value("code"), "0x8217");
    EXPECT_EQ(Stats().writeRequests, 0u);
}

// Files of several pieces (the engine hands a received file over 64 KiB at a time): a difference in
// any piece, at a piece's edge or in the very last byte, is a change, and a file of the same bytes is
// none, for the get into an existing file as for the read of put --if-changed.
TEST_F(CliScriptingTest, ChangedIsToldOverEveryPieceOfALargeFile)
{
    constexpr std::size_t kPiece = 64 * 1024;
    const Bytes router = testsupport::PatternBytes(3 * kPiece + 300, 12);
    const auto with = [&](std::size_t nOffset) {
        Bytes other = router;
        other[nOffset] ^= 0x5a;
        return other;
    };
    struct Row {
        const char* name;
        Bytes local;
        bool bChanged;
    };
    const Row rows[] = {
        {"same bytes", router, false},
        {"first byte", with(0), true},
        {"last byte of a piece", with(kPiece - 1), true},
        {"first byte of the next piece", with(kPiece), true},
        {"last byte of the file", with(router.size() - 1), true},
        {"one byte shorter", Bytes(router.begin(), router.end() - 1), true},
        {"one byte longer", [&] {
             Bytes longer = router;
             longer.push_back('x');
             return longer;
         }(), true},
    };
    StartRouter();
    testsupport::WriteFileBytes(m_routerDir / "config1", router);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::filesystem::path local = m_localDir / "large.txt";
        testsupport::WriteFileBytes(local, row.local);
        const ProgramRun put = RunProgram({"put", "--check", "--if-changed", "--json", "-q", "-n", "1",
                                           Q(m_strRouter), Q(local)});
        EXPECT_EQ(put.nExit, 0) << put.err;
        EXPECT_EQ(JsonLineOf(put).value("changed"), row.bChanged);
        const ProgramRun get = RunProgram({"get", "--json", "-q", "-n", "1", Q(m_strRouter), Q(local)});
        EXPECT_EQ(get.nExit, 0) << get.err;
        EXPECT_EQ(JsonLineOf(get).value("changed"), row.bChanged);
        EXPECT_EQ(testsupport::ReadFileBytes(local), router);
    }
    // Without --json nobody is told: the file is saved all the same.
    testsupport::WriteFileBytes(m_localDir / "plain.txt", with(kPiece));
    const ProgramRun plain = RunProgram({"get", "-q", "-n", "1", Q(m_strRouter), Q(m_localDir / "plain.txt")});
    EXPECT_EQ(plain.nExit, 0) << plain.err;
    EXPECT_EQ(plain.out, "");
    EXPECT_EQ(testsupport::ReadFileBytes(m_localDir / "plain.txt"), router);
}

TEST_F(CliScriptingTest, CheckValidatesTheLocalSideAndSendsNothing)
{
    StartRouter();
    testsupport::WriteFileBytes(m_localDir / "ok.bin", {1, 2, 3});
    // Read-only by its mode: refused by a real get even as root, so by --check too.
    testsupport::WriteFileBytes(m_localDir / "readonly.txt", {4, 5});
    std::filesystem::permissions(m_localDir / "readonly.txt", std::filesystem::perms::owner_read);
    std::filesystem::create_directory(m_localDir / "folder");
    {
        std::ofstream big(m_localDir / "big.bin");
    }
    std::filesystem::resize_file(m_localDir / "big.bin", static_cast<std::uintmax_t>(TFTP_MAX_SEND_BYTES + 1));

    struct Row {
        QStringList args;
        std::string file;
        int nExit;
        QJsonValue code, changed;
    };
    const QJsonValue null(QJsonValue::Null);
    const Row rows[] = {
        {{"revup"}, "ok.bin", 0, null, true},
        {{"put"}, "ok.bin", 0, null, true},
        {{"get"}, "new.txt", 0, null, null},
        {{"get"}, "ok.bin", 0, null, null},
        {{"put"}, "absent.txt", 2, "0x8012", false},
        {{"put"}, "folder", 2, "0x8012", false},
        {{"revup"}, "big.bin", 2, "0x8013", false},
        {{"get"}, "folder", 2, "0x8012", false},
        {{"get"}, "absent-folder/new.txt", 2, "0x8012", false},
        {{"get"}, "readonly.txt", 2, "0x8012", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE((row.args.first() + " " + Q(row.file)).toStdString());
        const ProgramRun run =
            RunProgram(QStringList(row.args) << "--check" << "--json" << Q(m_strRouter) << Q(m_localDir / row.file));
        EXPECT_EQ(run.nExit, row.nExit) << run.err;
        const QJsonObject json = JsonLineOf(run);
        EXPECT_EQ(json.value("ok"), row.nExit == 0);
        EXPECT_EQ(json.value("code"), row.code);
        EXPECT_EQ(json.value("changed"), row.changed);
        if (row.nExit != 0) {
            EXPECT_EQ(json.value("class"), "local");
        }
    }
    ExpectNothingSent();
    EXPECT_FALSE(std::filesystem::exists(m_localDir / "new.txt"));
    EXPECT_EQ(testsupport::ReadFileBytes(m_localDir / "ok.bin"), (Bytes{1, 2, 3}));
}

// --- the trace

TEST_F(CliScriptingTest, VerboseAndTraceShowEachDatagramWithoutThePassword)
{
    RouterSimOptions options;
    options.password = "hunter2";
    StartRouter(options);
    testsupport::WriteFileBytes(m_routerDir / "config0", testsupport::PatternBytes(700));
    const std::filesystem::path trace = m_localDir / "trace.log";
    const ProgramRun run = RunProgram({"get", "-q", "-v", "--trace", Q(trace), "-p", "hunter2", Q(m_strRouter),
                                       Q(m_localDir / "c.txt")});
    EXPECT_EQ(run.nExit, 0) << run.err;
    EXPECT_EQ(ModeOf(trace), 0600u);
    const Bytes traced = testsupport::ReadFileBytes(trace);
    const std::string text(traced.begin(), traced.end());
    // The request, two DATA and their two ACKs, on standard error as in the file.
    EXPECT_EQ(text, run.err);
    std::vector<std::string> kinds;
    for (std::size_t nStart = 0, nEnd; (nEnd = text.find('\n', nStart)) != std::string::npos; nStart = nEnd + 1) {
        const std::string line = text.substr(nStart, nEnd - nStart);
        const std::size_t nKind = line.find(' ') + 1;
        kinds.push_back(line.substr(nKind, line.find(' ', line.find(' ', nKind) + 1) - nKind));
    }
    EXPECT_EQ(kinds, (std::vector<std::string>{"sent RRQ", "recv DATA", "sent ACK", "recv DATA", "sent ACK"}));
    EXPECT_NE(text.find("name=config/*** mode=netascii tsize=0"), std::string::npos) << text;
    EXPECT_NE(text.find("recv DATA block=2 len=192"), std::string::npos) << text;
    EXPECT_EQ(text.find("hunter2"), std::string::npos);
}

TEST_F(CliScriptingTest, TraceFileIsAlwaysNewAndNeverThroughALink)
{
    StartRouter();
    testsupport::WriteFileBytes(m_localDir / "existing.log", {'k', 'e', 'e', 'p'});
    testsupport::WriteFileBytes(m_localDir / "target", {'k', 'e', 'e', 'p'});
    std::filesystem::create_symlink(m_localDir / "target", m_localDir / "link.log");
    std::filesystem::create_symlink(m_localDir / "nowhere", m_localDir / "dangling.log");
    for (const char* name : {"existing.log", "link.log", "dangling.log", "no-folder/t.log"}) {
        SCOPED_TRACE(name);
        const ProgramRun run = RunProgram({"get", "--json", "--trace", Q(m_localDir / name), Q(m_strRouter),
                                           Q(m_localDir / "c.txt")});
        EXPECT_EQ(run.nExit, 2);
        EXPECT_NE(run.err.find("trace file"), std::string::npos) << run.err;
        EXPECT_EQ(JsonLineOf(run).value("class"), "input");
    }
    ExpectNothingSent();
    EXPECT_EQ(testsupport::ReadFileBytes(m_localDir / "target"), (Bytes{'k', 'e', 'e', 'p'}));
    EXPECT_EQ(testsupport::ReadFileBytes(m_localDir / "existing.log"), (Bytes{'k', 'e', 'e', 'p'}));
    EXPECT_FALSE(std::filesystem::exists(m_localDir / "nowhere"));
}

// --- what a careless user or a hostile world hands over

TEST_F(CliScriptingTest, PasswordFilesThatCannotServeAreRefusedByName)
{
    StartRouter();
    const std::filesystem::path dir = m_localDir / "a-folder";
    std::filesystem::create_directory(dir);
    testsupport::WriteFileBytes(m_localDir / "empty", {});
    testsupport::WriteFileBytes(m_localDir / "newline", {'\n'});
    testsupport::WriteFileBytes(m_localDir / "long", Bytes(33, 'p'));
    testsupport::WriteFileBytes(m_localDir / "long-line", AsBytes(std::string(33, 'p') + "\n"));

    struct Row {
        std::string file;
        QByteArray input;
        std::string named;   // how the message names the source
        std::string reason;  // a part of the message
        QJsonValue code;
    };
    const QJsonValue null(QJsonValue::Null);
    const Row rows[] = {
        {dir.string(), {}, dir.string(), "is a folder", null},
        {"/dev/zero", {}, "/dev/zero", "more than 32 bytes", "0x8022"},
        {"/proc/self/mem", {}, "/proc/self/mem", "cannot read", null},  // every read fails
        {(m_localDir / "absent").string(), {}, (m_localDir / "absent").string(), "cannot read", null},
        {(m_localDir / "empty").string(), {}, (m_localDir / "empty").string(), "is empty", null},
        {(m_localDir / "newline").string(), {}, (m_localDir / "newline").string(), "is empty", null},
        {(m_localDir / "long").string(), {}, (m_localDir / "long").string(), "more than 32 bytes", "0x8022"},
        {(m_localDir / "long-line").string(), {}, (m_localDir / "long-line").string(), "more than 32 bytes",
         "0x8022"},
        {"-", {}, "standard input", "is empty", null},  // closed at once
        {"-", QByteArray(100000, 'p'), "standard input", "more than 32 bytes", "0x8022"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.file);
        const ProgramRun run = RunProgram({"get", "--json", "--password-file", Q(row.file), Q(m_strRouter),
                                           Q(m_localDir / "c.txt")},
                                          row.input);
        EXPECT_EQ(run.nExit, 2);
        EXPECT_NE(run.err.find(row.named), std::string::npos) << run.err;
        EXPECT_NE(run.err.find(row.reason), std::string::npos) << run.err;
        const QJsonObject json = JsonLineOf(run);
        EXPECT_EQ(json.value("class"), "input");
        EXPECT_EQ(json.value("code"), row.code);
    }
    ExpectNothingSent();
    EXPECT_FALSE(std::filesystem::exists(m_localDir / "c.txt"));
}

TEST_F(CliScriptingTest, PasswordFileReadableByOthersIsUsedWithAWarning)
{
    RouterSimOptions options;
    options.password = "secret";
    StartRouter(options);
    testsupport::WriteFileBytes(m_routerDir / "config0", {'o', 'k'});
    const std::filesystem::path pw = m_localDir / "pw";
    testsupport::WriteFileBytes(pw, AsBytes("secret\n"));
    for (mode_t mode : {0600u, 0640u, 0604u}) {
        SCOPED_TRACE(mode);
        ::chmod(pw.c_str(), mode);
        const ProgramRun run = RunProgram({"get", "-q", "--password-file", Q(pw), Q(m_strRouter),
                                           Q(m_localDir / "c.txt")});
        EXPECT_EQ(run.nExit, 0) << run.err;
        const bool bWarned = run.err.find("can be read by other users") != std::string::npos;
        EXPECT_EQ(bWarned, mode != 0600u) << run.err;
        if (bWarned) {
            EXPECT_NE(run.err.find(pw.string()), std::string::npos) << run.err;
        }
    }
}

TEST_F(CliScriptingTest, HostileRouterTextIsEscapedOnTheTerminalAndExactInJson)
{
    const std::string hostile = "\x1b]0;owned\x07\x1b[2J\r\nSuccess!";
    RouterSimOptions options;
    options.errorText = hostile;
    options.errorCode = 0;
    StartRouter(options);
    testsupport::WriteFileBytes(m_localDir / "c.txt", {1});
    const ProgramRun run = RunProgram({"put", "--json", "-v", Q(m_strRouter), Q(m_localDir / "c.txt")});
    EXPECT_EQ(run.nExit, 1);
    EXPECT_EQ(run.err.find('\x1b'), std::string::npos);
    EXPECT_EQ(run.err.find('\x07'), std::string::npos);
    EXPECT_EQ(run.err.find('\r'), std::string::npos);
    EXPECT_NE(run.err.find("<\\x1b]0;owned\\x07\\x1b[2J\\x0d\\x0aSuccess!>\n(0x8214)\n"), std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("recv ERROR code=0 text=\"\\x1b]0;owned"), std::string::npos) << run.err;
    EXPECT_EQ(run.out.find('\x1b'), std::string::npos);
    EXPECT_EQ(JsonLineOf(run).value("router_text"), Q(hostile));
}

}  // namespace
