// Whole transfers through CTransferDriver against the router simulator on the tests' router port of the
// test's own loopback address, with shortened time-outs.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <QtCore/qtestsupport_core.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "RouterFixture.h"
#include "TftpEvents.h"
#include "TransferDriver.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using testsupport::kTestRouterPort;
using velnor::sim::RouterSimOptions;
using namespace std::chrono_literals;

// Short enough for tests, long enough for a loaded machine to answer on loopback.
constexpr TransferTimings kFastTimings{100, 1000, kTestRouterPort};

// The driver with a record of everything it reported.
struct CRecordedRun {
    explicit CRecordedRun(CTransferDriver& driver)
    {
        QObject::connect(&driver, &CTransferDriver::phaseChanged, [this](int p) { phases.push_back(p); });
        QObject::connect(&driver, &CTransferDriver::percentChanged, [this](int nPercent, qint64 nBytes) {
            percents.push_back(nPercent);
            bytes.push_back(nBytes);
        });
        QObject::connect(&driver, &CTransferDriver::finished, [this](int nResult, const QByteArray& text) {
            ++nFinished;
            result = nResult;
            peerText = text.toStdString();
        });
    }
    std::vector<int> phases;
    std::vector<int> percents;
    std::vector<qint64> bytes;
    int nFinished = 0;
    int result = -1;
    std::string peerText;
};

class TransferE2ETest : public testsupport::RouterFixture {
protected:
    TransferRequest Request(std::int16_t nDirection, std::int16_t nKind, std::string number = {},
                            std::string password = {}) const
    {
        TransferRequest r;
        r.nDirection = nDirection;
        r.nFileKind = nKind;
        r.strRouter = m_strRouter;
        r.strFileNumber = std::move(number);
        r.strPassword = std::move(password);
        return r;
    }

    // Runs one transfer to its end and returns its result.
    TftpResult Run(CTransferDriver& driver, const TransferRequest& request, const std::filesystem::path& local)
    {
        driver.Engine().SetLocalFile(true, local.string());
        const TftpResult nStart = driver.Start(request);
        if (nStart != TFTP_OK)
            return nStart;
        // Never hang the suite: a driver that stops stepping fails here instead.
        QTimer guard;
        guard.setSingleShot(true);
        QObject::connect(&guard, &QTimer::timeout, [&] {
            ADD_FAILURE() << "the transfer did not end within a minute";
            CTftpNotifyEvent fault(NOTIFY_FAULT, TFTP_ERR_OTHER);
            QCoreApplication::sendEvent(&driver, &fault);
        });
        guard.start(60000);
        return driver.RunToEnd();
    }
};

// --- the three operations, by size, with and without file number and password

struct WholeCase {
    const char* name;
    std::int16_t nDirection;
    std::int16_t nKind;
    const char* number;       // "" for the router's default file
    const char* password;     // given by the user
    const char* routerFile;   // where the router keeps it
    const char* remoteName;   // what the request names
};

const WholeCase kWholeCases[] = {
    {"GetDefault", DIRECTION_RECEIVE, FILE_KIND_CONFIG, "", "", "config0", "config"},
    {"GetNumberAndPassword", DIRECTION_RECEIVE, FILE_KIND_CONFIG, "3", "pw", "config3", "config3/pw"},
    {"PutDefault", DIRECTION_SEND, FILE_KIND_CONFIG, "", "", "config0", "config"},
    {"PutNumberAndPassword", DIRECTION_SEND, FILE_KIND_CONFIG, "4", "pw", "config4", "config4/pw"},
    {"RevupDefault", DIRECTION_SEND, FILE_KIND_FIRMWARE, "", "", "exec0", "exec"},
    // A password typed for a firmware transfer never reaches the router.
    {"RevupNumberAndPassword", DIRECTION_SEND, FILE_KIND_FIRMWARE, "1", "pw", "exec1", "exec1"},
};

const std::size_t kSizes[] = {0, 511, 512, 513, 1024 * 1024};

// The third parameter: the driver waits for the router in the socket's read, as the console companion does.
class TransferWholeTest : public TransferE2ETest,
                          public ::testing::WithParamInterface<std::tuple<WholeCase, std::size_t, bool>> {};

TEST_P(TransferWholeTest, BytesArriveUnchanged)
{
    const auto& [c, nSize, bWaitInSocket] = GetParam();
    RouterSimOptions options;
    options.password = c.password;
    StartRouter(options);
    const Bytes content = testsupport::PatternBytes(nSize, static_cast<std::uint32_t>(nSize) + 7);
    const std::filesystem::path local = m_localDir / "local.file";
    const std::filesystem::path remote = m_routerDir / c.routerFile;
    if (c.nDirection == DIRECTION_RECEIVE) {
        testsupport::WriteFileBytes(remote, content);
        testsupport::WriteFileBytes(local, Bytes(3000, 'x'));  // a longer old file is replaced whole
    } else {
        testsupport::WriteFileBytes(local, content);
    }

    CTransferDriver driver(kFastTimings);
    driver.SetWaitInSocket(bWaitInSocket);
    CRecordedRun run(driver);
    ASSERT_EQ(Run(driver, Request(c.nDirection, c.nKind, c.number, c.password), local), TFTP_OK);
    ASSERT_TRUE(m_pSim->WaitForTransfers(1, 2000ms));

    EXPECT_EQ(testsupport::ReadFileBytes(c.nDirection == DIRECTION_RECEIVE ? local : remote), content);
    EXPECT_EQ(m_pSim->Stats().lastRequestName, c.remoteName);
    EXPECT_EQ(m_pSim->Stats().lastMode, c.nKind == FILE_KIND_CONFIG ? "netascii" : "octet");
    EXPECT_EQ(m_pSim->Stats().retransmits, 0u);
    EXPECT_EQ(run.nFinished, 1);
    const int nMiddle = c.nDirection == DIRECTION_RECEIVE ? PHASE_RECEIVING : PHASE_SENDING;
    EXPECT_EQ(run.phases, (std::vector<int>{PHASE_PREPARE, PHASE_WAIT_REPLY, nMiddle, PHASE_FINISH, PHASE_CLOSE,
                                            PHASE_IDLE}));
    ASSERT_FALSE(run.bytes.empty());
    EXPECT_EQ(run.bytes.back(), static_cast<qint64>(nSize));
    EXPECT_TRUE(std::is_sorted(run.percents.begin(), run.percents.end()));
    if (c.nDirection == DIRECTION_SEND && nSize > 0)
        EXPECT_EQ(run.percents.back(), 100);
    else
        EXPECT_EQ(run.percents.back(), 0);  // no total while receiving, and nothing of an empty file
    EXPECT_FALSE(driver.Engine().IsEndpointOpen());
}

INSTANTIATE_TEST_SUITE_P(OperationsAndSizes, TransferWholeTest,
                         ::testing::Combine(::testing::ValuesIn(kWholeCases), ::testing::ValuesIn(kSizes),
                                            ::testing::Bool()),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) + "_"
                                    + std::to_string(std::get<1>(info.param))
                                    + (std::get<2>(info.param) ? "_WaitInSocket" : "");
                         });

// A received file that could not be saved is found before the router is asked for it, not after the
// whole file has crossed the network: the router hears nothing, the local side stays as it was.
TEST_F(TransferE2ETest, LocalFileThatCannotTakeTheDataIsRefusedBeforeTheRequest)
{
    StartRouter({});
    testsupport::WriteFileBytes(m_routerDir / "config0", testsupport::PatternBytes(3000));
    const Bytes old(700, 'o');
    struct Case {
        const char* name;
        std::function<std::filesystem::path()> arrange;
    };
    const Case cases[] = {
        {"folder that does not exist", [&] { return m_localDir / "missing" / "config.txt"; }},
        {"read-only file (for root too)",
         [&] {
             const auto path = m_localDir / "readonly.txt";
             testsupport::WriteFileBytes(path, old);
             std::filesystem::permissions(path, std::filesystem::perms::owner_read);
             return path;
         }},
        {"folder of that name",
         [&] {
             std::filesystem::create_directory(m_localDir / "config.d");
             return m_localDir / "config.d";
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::filesystem::path local = c.arrange();
        const bool bExisted = std::filesystem::exists(local);
        CTransferDriver driver(kFastTimings);
        CRecordedRun run(driver);
        EXPECT_EQ(Run(driver, Request(DIRECTION_RECEIVE, FILE_KIND_CONFIG), local), TFTP_ERR_FILE_OPEN);
        EXPECT_EQ(std::count(run.phases.begin(), run.phases.end(), PHASE_WAIT_REPLY), 0);
        EXPECT_EQ(std::filesystem::exists(local), bExisted);
        if (std::filesystem::is_regular_file(local)) {
            EXPECT_EQ(testsupport::ReadFileBytes(local), old);
        }
    }
    EXPECT_FALSE(m_pSim->WaitFor([](const auto& stats) { return stats.datagramsIn > 0; }, 200ms));
}

// A received file whose bytes go to the owner only (standard output, a comparison) is never saved, so
// the local path is not judged: a read-only file to send, compared first with the router's, or no file
// at all.
TEST_F(TransferE2ETest, ReceivedFileTakenByTheOwnerOnlyIsNotCheckedAsASaveTarget)
{
    StartRouter({});
    const Bytes content = testsupport::PatternBytes(1500, 4);
    testsupport::WriteFileBytes(m_routerDir / "config0", content);
    const Bytes mine(300, 'm');
    testsupport::WriteFileBytes(m_localDir / "readonly.txt", mine);
    std::filesystem::permissions(m_localDir / "readonly.txt", std::filesystem::perms::owner_read);
    for (const std::filesystem::path& local : {m_localDir / "readonly.txt", m_localDir / "missing" / "x.txt"}) {
        SCOPED_TRACE(local.string());
        CTransferDriver driver(kFastTimings);
        std::string handed;
        driver.Engine().SetReceivedHandler(
            [&](const CReceivedBytes& bytes) {
                bytes.ForEachPiece([&](std::string_view piece) {
                    handed += piece;
                    return true;
                });
                return TFTP_OK;
            },
            false);
        EXPECT_EQ(Run(driver, Request(DIRECTION_RECEIVE, FILE_KIND_CONFIG), local), TFTP_OK);
        EXPECT_EQ(handed, std::string(content.begin(), content.end()));
        ASSERT_TRUE(m_pSim->WaitForTransfers(local == m_localDir / "readonly.txt" ? 1 : 2, 2000ms));
    }
    EXPECT_EQ(testsupport::ReadFileBytes(m_localDir / "readonly.txt"), mine);
    EXPECT_FALSE(std::filesystem::exists(m_localDir / "missing"));
}

// 0.0.0.0 would reach this host, 255.255.255.255 the whole network, a multicast address a group: the
// transfer ends at its first send as an invalid address, instead of waiting for an answer that cannot
// come. (That nothing is sent is the socket tests' part.)
TEST_F(TransferE2ETest, AddressesThatNameNoSingleRouterEndAtTheFirstSendAsInvalid)
{
    testsupport::WriteFileBytes(m_localDir / "send.bin", testsupport::PatternBytes(1000));
    for (const char* address : {"0.0.0.0", "255.255.255.255", "224.0.0.1", "239.1.2.3"}) {
        for (const auto& [nDirection, nKind] : {std::pair{DIRECTION_RECEIVE, FILE_KIND_CONFIG},
                                                 std::pair{DIRECTION_SEND, FILE_KIND_CONFIG},
                                                 std::pair{DIRECTION_SEND, FILE_KIND_FIRMWARE}}) {
            SCOPED_TRACE(std::string(address) + " direction " + std::to_string(nDirection) + " kind " +
                         std::to_string(nKind));
            TransferRequest request = Request(nDirection, nKind);
            request.strRouter = address;
            CTransferDriver driver(kFastTimings);
            CRecordedRun run(driver);
            const auto local = m_localDir / (nDirection == DIRECTION_RECEIVE ? "got.txt" : "send.bin");
            EXPECT_EQ(Run(driver, request, local), TFTP_ERR_BAD_ADDRESS);
            EXPECT_EQ(run.phases, (std::vector<int>{PHASE_PREPARE, PHASE_WAIT_REPLY, PHASE_FAILED, PHASE_FINISH,
                                                    PHASE_CLOSE, PHASE_IDLE}));
            EXPECT_FALSE(std::filesystem::exists(m_localDir / "got.txt"));
        }
    }
}

TEST_F(TransferE2ETest, OneDriverRunsTransfersOneAfterAnother)
{
    StartRouter({});
    CTransferDriver driver(kFastTimings);
    const Bytes content = testsupport::PatternBytes(3000);
    testsupport::WriteFileBytes(m_localDir / "a", content);
    ASSERT_EQ(Run(driver, Request(DIRECTION_SEND, FILE_KIND_CONFIG, "1"), m_localDir / "a"), TFTP_OK);
    ASSERT_EQ(Run(driver, Request(DIRECTION_RECEIVE, FILE_KIND_CONFIG, "1"), m_localDir / "b"), TFTP_OK);
    EXPECT_EQ(testsupport::ReadFileBytes(m_localDir / "b"), content);
}

// --- the router says no

struct RefusalCase {
    const char* name;
    std::int16_t nDirection;
    const char* number;
    const char* password;
    const char* phrase;
};

class TransferRefusalTest : public TransferE2ETest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(TransferRefusalTest, EndsWithPeerErrorAndTheRoutersText)
{
    const RefusalCase& c = GetParam();
    RouterSimOptions options;
    options.password = "secret";
    StartRouter(options);
    testsupport::WriteFileBytes(m_localDir / "old.txt", {'o', 'l', 'd'});
    CTransferDriver driver(kFastTimings);
    CRecordedRun run(driver);
    EXPECT_EQ(Run(driver, Request(c.nDirection, FILE_KIND_CONFIG, c.number, c.password), m_localDir / "old.txt"),
              TFTP_ERR_PEER_ERROR);
    EXPECT_EQ(run.result, TFTP_ERR_PEER_ERROR);
    EXPECT_NE(run.peerText.find(c.phrase), std::string::npos) << run.peerText;
    EXPECT_EQ(driver.Engine().PeerErrorText(), run.peerText);
    EXPECT_EQ(run.phases, (std::vector<int>{PHASE_PREPARE, PHASE_WAIT_REPLY, PHASE_FAILED, PHASE_FINISH,
                                            PHASE_CLOSE, PHASE_IDLE}));
    EXPECT_EQ(testsupport::ReadFileBytes(m_localDir / "old.txt"), (Bytes{'o', 'l', 'd'}));
}

INSTANTIATE_TEST_SUITE_P(
    RouterTexts, TransferRefusalTest,
    ::testing::Values(RefusalCase{"GetOfAFileTheRouterLacks", DIRECTION_RECEIVE, "2", "secret", "No such file"},
                      RefusalCase{"GetWithAWrongPassword", DIRECTION_RECEIVE, "", "wrong", "Access violation"},
                      RefusalCase{"PutWithoutPassword", DIRECTION_SEND, "1", "", "Access violation"}),
    [](const auto& info) { return std::string(info.param.name); });

// The same with the driver waiting for the router on the event loop, and in the socket's read.
class TransferModeTest : public TransferE2ETest, public ::testing::WithParamInterface<bool> {};

TEST_P(TransferModeTest, ErrorInTheMiddleOfAReceiveKeepsTheOldFile)
{
    RouterSimOptions options;
    options.errorText = "Disk error";
    options.errorCode = 3;
    options.errorAfterBlocks = 2;
    StartRouter(options);
    testsupport::WriteFileBytes(m_routerDir / "config0", testsupport::PatternBytes(5000));
    testsupport::WriteFileBytes(m_localDir / "c.txt", {'o', 'l', 'd'});
    CTransferDriver driver(kFastTimings);
    driver.SetWaitInSocket(GetParam());
    EXPECT_EQ(Run(driver, Request(DIRECTION_RECEIVE, FILE_KIND_CONFIG), m_localDir / "c.txt"), TFTP_ERR_PEER_ERROR);
    EXPECT_EQ(driver.Engine().PeerErrorText(), "Disk error");
    EXPECT_EQ(testsupport::ReadFileBytes(m_localDir / "c.txt"), (Bytes{'o', 'l', 'd'}));
}

// --- silence, the flash ROM wait, faults

TEST_P(TransferModeTest, SilentRouterFailsAfterExactlyFourRetransmissions)
{
    RouterSimOptions options;
    options.silent = true;
    StartRouter(options);
    CTransferDriver driver(kFastTimings);
    driver.SetWaitInSocket(GetParam());
    CRecordedRun run(driver);
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(Run(driver, Request(DIRECTION_RECEIVE, FILE_KIND_CONFIG), m_localDir / "c.txt"),
              TFTP_ERR_NO_RESPONSE);
    const qint64 nElapsed = clock.elapsed();
    // Sent at 0, 1, 2, 3 and 4 time-outs; given up at the fifth.
    EXPECT_GE(nElapsed, 5 * kFastTimings.nReplyTimeoutMs - 20);
    ASSERT_TRUE(m_pSim->WaitFor([](const auto& s) { return s.datagramsIn >= 5; }, 1000ms));
    EXPECT_EQ(m_pSim->Stats().datagramsIn, 5u);
    EXPECT_EQ(run.phases, (std::vector<int>{PHASE_PREPARE, PHASE_WAIT_REPLY, PHASE_FAILED, PHASE_FINISH,
                                            PHASE_CLOSE, PHASE_IDLE}));
    EXPECT_FALSE(std::filesystem::exists(m_localDir / "c.txt"));
}

TEST_P(TransferModeTest, WithheldLastAckPassesThroughTheRomWaitToSuccess)
{
    RouterSimOptions options;
    options.flashSeconds = 1.2;  // beyond 5 × 100 ms of retransmissions, well within the wait after them
    StartRouter(options);
    const Bytes image = testsupport::PatternBytes(2000);
    testsupport::WriteFileBytes(m_localDir / "image.bin", image);
    CTransferDriver driver(TransferTimings{100, 4000, kTestRouterPort});
    driver.SetWaitInSocket(GetParam());
    CRecordedRun run(driver);
    ASSERT_EQ(Run(driver, Request(DIRECTION_SEND, FILE_KIND_FIRMWARE), m_localDir / "image.bin"), TFTP_OK);
    EXPECT_EQ(run.phases, (std::vector<int>{PHASE_PREPARE, PHASE_WAIT_REPLY, PHASE_SENDING, PHASE_WRITING_ROM,
                                            PHASE_FINISH, PHASE_CLOSE, PHASE_IDLE}));
    EXPECT_EQ(run.percents.back(), 100);
    ASSERT_TRUE(m_pSim->WaitForTransfers(1, 2000ms));
    EXPECT_EQ(testsupport::ReadFileBytes(m_routerDir / "exec0"), image);
    // The last block went out five times in all, and not again during the wait.
    EXPECT_EQ(m_pSim->Stats().ignoredWhileFlashing, 4u);
}

TEST_P(TransferModeTest, RouterThatNeverEndsFlashingFailsAfterTheRomWait)
{
    RouterSimOptions options;
    options.flashSeconds = -1;
    StartRouter(options);
    testsupport::WriteFileBytes(m_localDir / "image.bin", testsupport::PatternBytes(600));
    CTransferDriver driver(TransferTimings{50, 300, kTestRouterPort});
    driver.SetWaitInSocket(GetParam());
    CRecordedRun run(driver);
    EXPECT_EQ(Run(driver, Request(DIRECTION_SEND, FILE_KIND_FIRMWARE), m_localDir / "image.bin"),
              TFTP_ERR_NO_RESPONSE);
    EXPECT_EQ(run.phases, (std::vector<int>{PHASE_PREPARE, PHASE_WAIT_REPLY, PHASE_SENDING, PHASE_WRITING_ROM,
                                            PHASE_FAILED, PHASE_FINISH, PHASE_CLOSE, PHASE_IDLE}));
    EXPECT_EQ(m_pSim->Stats().ignoredWhileFlashing, 4u);
}

TEST_P(TransferModeTest, OversizedDatagramIsASocketFaultReportedOnce)
{
    RouterSimOptions options;
    options.oversizedReply = true;
    options.oversizedAtBlock = 2;
    StartRouter(options);
    testsupport::WriteFileBytes(m_routerDir / "config0", testsupport::PatternBytes(3000));
    CTransferDriver driver(kFastTimings);
    driver.SetWaitInSocket(GetParam());
    CRecordedRun run(driver);
    EXPECT_EQ(Run(driver, Request(DIRECTION_RECEIVE, FILE_KIND_CONFIG), m_localDir / "c.txt"), TFTP_ERR_NET_FAULT);
    EXPECT_EQ(run.nFinished, 1);
    EXPECT_EQ(std::count(run.phases.begin(), run.phases.end(), PHASE_FAILED), 1);
    EXPECT_FALSE(std::filesystem::exists(m_localDir / "c.txt"));
}

TEST_P(TransferModeTest, FaultWhileWaitingWakesTheDriver)
{
    RouterSimOptions options;
    options.silent = true;
    StartRouter(options);
    // Long time-outs: only the fault can end this transfer within the test.
    CTransferDriver driver;
    driver.SetWaitInSocket(GetParam());
    CRecordedRun run(driver);
    driver.Engine().SetLocalFile(true, (m_localDir / "c.txt").string());
    ASSERT_EQ(driver.Start(Request(DIRECTION_RECEIVE, FILE_KIND_CONFIG)), TFTP_OK);
    QTimer::singleShot(200, &driver, [&] {
        EXPECT_TRUE(driver.Engine().IsAwaitingEvent());
        CTftpNotifyEvent fault(NOTIFY_FAULT, TFTP_ERR_NET_FAULT);
        QCoreApplication::sendEvent(&driver, &fault);
    });
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(driver.RunToEnd(), TFTP_ERR_NET_FAULT);
    EXPECT_LT(clock.elapsed(), 2000);
    EXPECT_EQ(run.phases, (std::vector<int>{PHASE_PREPARE, PHASE_WAIT_REPLY, PHASE_FAILED, PHASE_FINISH,
                                            PHASE_CLOSE, PHASE_IDLE}));
}

INSTANTIATE_TEST_SUITE_P(ByTheOwnersWait, TransferModeTest, ::testing::Bool(), [](const auto& info) {
    return info.param ? "WaitInSocket" : "EventLoop";
});

TEST_F(TransferE2ETest, StartWhileRunningIsRefusedAndTheFirstTransferCompletes)
{
    StartRouter({});
    const Bytes content = testsupport::PatternBytes(100000);
    testsupport::WriteFileBytes(m_localDir / "a", content);
    CTransferDriver driver(kFastTimings);
    CRecordedRun run(driver);
    driver.Engine().SetLocalFile(true, (m_localDir / "a").string());
    ASSERT_EQ(driver.Start(Request(DIRECTION_SEND, FILE_KIND_CONFIG)), TFTP_OK);
    int nRefused = 0;
    QObject::connect(&driver, &CTransferDriver::phaseChanged, [&](int nPhase) {
        if (nPhase == PHASE_SENDING && driver.Start(Request(DIRECTION_RECEIVE, FILE_KIND_CONFIG)) == TFTP_ERR_NET_OPEN)
            ++nRefused;
    });
    EXPECT_EQ(driver.RunToEnd(), TFTP_OK);
    EXPECT_EQ(nRefused, 1);
    EXPECT_EQ(run.nFinished, 1);
    ASSERT_TRUE(m_pSim->WaitForTransfers(1, 2000ms));
    EXPECT_EQ(testsupport::ReadFileBytes(m_routerDir / "config0"), content);
}

// --- no spinning

// CPU time of the calling thread (the simulator runs in a thread of its own).
std::chrono::microseconds ThreadCpuTime()
{
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return std::chrono::seconds(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
           + std::chrono::microseconds(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
}

// Watches the step events as they are delivered: each must be the only one queued.
class CStepEventWatch : public QObject {
public:
    explicit CStepEventWatch(CTransferDriver& driver) : m_driver(driver) { driver.installEventFilter(this); }
    int m_nDelivered = 0;
    int m_nWhileNotQueued = 0;

protected:
    bool eventFilter(QObject*, QEvent* pEvent) override
    {
        if (pEvent->type() == WM_TRANSFER_STEP) {
            ++m_nDelivered;
            // The driver marks a step as queued when it posts one and clears the mark when one is
            // delivered; a second event in the queue would arrive with the mark already cleared.
            if (m_driver.QueuedSteps() != 1)
                ++m_nWhileNotQueued;
        }
        return false;
    }

private:
    CTransferDriver& m_driver;
};

TEST_F(TransferE2ETest, WaitingOnASilentRouterUsesNoCpu)
{
    RouterSimOptions options;
    options.silent = true;
    StartRouter(options);
    CTransferDriver driver;  // the real 5 s time-out: nothing expires during the second measured
    CStepEventWatch watch(driver);
    driver.Engine().SetLocalFile(true, (m_localDir / "c.txt").string());
    ASSERT_EQ(driver.Start(Request(DIRECTION_RECEIVE, FILE_KIND_CONFIG)), TFTP_OK);

    QEventLoop loop;
    QTimer::singleShot(1000, &loop, &QEventLoop::quit);
    const auto cpuBefore = ThreadCpuTime();
    loop.exec();
    const auto cpu = ThreadCpuTime() - cpuBefore;
    RecordProperty("idle_cpu_us", static_cast<int>(cpu.count()));
    RecordProperty("idle_steps", static_cast<int>(driver.StepsRun()));

    EXPECT_TRUE(driver.IsRunning());
    EXPECT_TRUE(driver.Engine().IsAwaitingEvent());
    EXPECT_EQ(driver.QueuedSteps(), 0);
    // Open, prepare, send the request; then nothing until the router or the clock says something.
    EXPECT_LE(driver.StepsRun(), 4u);
    EXPECT_LT(cpu, std::chrono::milliseconds(50)) << "the driver spun while waiting";
    EXPECT_EQ(watch.m_nWhileNotQueued, 0);
}

TEST_F(TransferE2ETest, AtMostOneStepEventIsQueuedThroughABusyTransfer)
{
    StartRouter({});
    testsupport::WriteFileBytes(m_localDir / "a", testsupport::PatternBytes(200000));
    CTransferDriver driver(kFastTimings);
    CStepEventWatch watch(driver);
    ASSERT_EQ(Run(driver, Request(DIRECTION_SEND, FILE_KIND_CONFIG), m_localDir / "a"), TFTP_OK);
    EXPECT_GT(watch.m_nDelivered, 391 * 2);  // two steps per block at least
    EXPECT_EQ(watch.m_nWhileNotQueued, 0);
    EXPECT_EQ(driver.QueuedSteps(), 0);
}

// --- an answer leaves without another turn of the event loop

using testsupport::ReceiveQueueOf;

TEST_F(TransferE2ETest, EachBlockIsAnsweredInTheTurnOfTheEventLoopThatTookItIn)
{
    // The router's port as a plain socket, so that the test decides when each datagram goes out.
    testsupport::UdpPeer router(m_strRouter, kTestRouterPort);
    ASSERT_TRUE(router.Bound());
    // The real time-outs: nothing expires while the test looks.
    CTransferDriver driver(TransferTimings{.nRouterPort = kTestRouterPort});
    CStepEventWatch watch(driver);
    const std::filesystem::path local = m_localDir / "c.txt";
    driver.Engine().SetLocalFile(true, local.string());
    ASSERT_EQ(driver.Start(Request(DIRECTION_RECEIVE, FILE_KIND_CONFIG)), TFTP_OK);
    Bytes request;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            QCoreApplication::processEvents();
            request = router.Receive(0).value_or(Bytes {});
            return !request.empty();
        },
        2000));
    EXPECT_EQ(request[1], 1);

    Bytes content;
    for (std::uint8_t nBlock = 1; nBlock <= 3; ++nBlock) {
        SCOPED_TRACE("block " + std::to_string(nBlock));
        const Bytes payload = testsupport::PatternBytes(nBlock < 3 ? 512 : 100, nBlock);
        content.insert(content.end(), payload.begin(), payload.end());
        Bytes data = {0, 3, 0, nBlock};
        data.insert(data.end(), payload.begin(), payload.end());
        ASSERT_TRUE(router.Send(data));
        ASSERT_TRUE(QTest::qWaitFor([&] { return ReceiveQueueOf(router.LastSenderPort()) > 0; }, 2000));
        ASSERT_TRUE(driver.Engine().IsAwaitingEvent());

        const std::uint64_t nStepsBefore = driver.StepsRun();
        QCoreApplication::processEvents();  // one turn: the datagram's notification
        // Taken, answered, and after the short last block also saved and closed, all in that turn.
        EXPECT_EQ(driver.StepsRun() - nStepsBefore, nBlock < 3 ? 2u : 4u);
        EXPECT_EQ(router.Receive(1000), (Bytes{0, 4, 0, nBlock}));
    }
    EXPECT_FALSE(driver.IsRunning());
    EXPECT_EQ(driver.Engine().GetResult(), TFTP_OK);
    EXPECT_EQ(testsupport::ReadFileBytes(local), content);
    EXPECT_EQ(watch.m_nWhileNotQueued, 0);
    EXPECT_EQ(driver.QueuedSteps(), 0);
}

}  // namespace

namespace {

// A transfer long enough to be held in the socket's reads for a while: the event loop still gets
// a turn at least every 100 ms (here: a 10 ms timer keeps ticking).
TEST_F(TransferE2ETest, WaitingInTheSocketStillGivesTheEventLoopItsTurns)
{
    StartRouter({});
    const Bytes content = testsupport::PatternBytes(4 * 1024 * 1024, 11);
    testsupport::WriteFileBytes(m_routerDir / "config0", content);
    CTransferDriver driver(kFastTimings);
    driver.SetWaitInSocket(true);
    int nTicks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        if (driver.IsRunning())
            ++nTicks;
    });
    ticker.start(10);
    QElapsedTimer clock;
    clock.start();
    ASSERT_EQ(Run(driver, Request(DIRECTION_RECEIVE, FILE_KIND_CONFIG), m_localDir / "c.txt"), TFTP_OK);
    const qint64 nElapsed = clock.elapsed();
    EXPECT_EQ(testsupport::ReadFileBytes(m_localDir / "c.txt"), content);
    EXPECT_GE(nTicks, nElapsed / 250) << "the transfer took " << nElapsed << " ms";
}

}  // namespace
