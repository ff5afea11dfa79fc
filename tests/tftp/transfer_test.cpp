// The transfer state machine, one Step at a time, against a "router" that is a plain UDP socket on
// the tests' router port of the test's own loopback address. Time-outs are driven through OnTimeout; the owner's real
// timers run 5 s and 180 s and never expire within a test.

#include <gtest/gtest.h>

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QObject>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "TftpEvents.h"
#include "TftpSocket.h"
#include "TftpTransfer.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using testsupport::UdpPeer;

// --- packets as the router writes them (by hand, independent of the engine's builders)

Bytes Packet(std::uint16_t nOpcode, std::uint16_t nNumber)
{
    return {static_cast<std::uint8_t>(nOpcode >> 8), static_cast<std::uint8_t>(nOpcode),
            static_cast<std::uint8_t>(nNumber >> 8), static_cast<std::uint8_t>(nNumber)};
}

Bytes Ack(std::uint16_t nBlock) { return Packet(4, nBlock); }

Bytes Data(std::uint16_t nBlock, const Bytes& payload)
{
    Bytes b = Packet(3, nBlock);
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

Bytes Error(std::uint16_t nCode, const std::string& text)
{
    Bytes b = Packet(5, nCode);
    b.insert(b.end(), text.begin(), text.end());
    b.push_back(0);
    return b;
}

Bytes Slice(const Bytes& b, std::size_t nFrom, std::size_t nCount)
{
    return Bytes(b.begin() + static_cast<std::ptrdiff_t>(nFrom), b.begin() + static_cast<std::ptrdiff_t>(nFrom + nCount));
}

// The owner of the engine's timers and the target of its socket's notifications.
class CTestOwner : public QObject {
public:
    int m_nNotifies = 0;
    int m_nTimersFired = 0;

    // The time-outs the engine has running on this owner, in milliseconds.
    std::vector<int> RunningTimeouts() const
    {
        std::vector<int> result;
        for (const auto& info : QAbstractEventDispatcher::instance()->registeredTimers(const_cast<CTestOwner*>(this))) {
            EXPECT_EQ(info.timerType, Qt::PreciseTimer);
            result.push_back(info.interval);
        }
        return result;
    }

protected:
    void customEvent(QEvent* pEvent) override
    {
        if (pEvent->type() == WM_TFTP_NOTIFY)
            ++m_nNotifies;
    }
    void timerEvent(QTimerEvent*) override { ++m_nTimersFired; }
};

// The engine with its fields in reach, to set up states that would take minutes or gigabytes.
class CTestTransfer : public CTftpTransfer {
public:
    using CTftpTransfer::CTftpTransfer;
    using CTftpTransfer::m_bTimedOut;
    using CTftpTransfer::m_nBytesDone;
    using CTftpTransfer::m_nStep;
    using CTftpTransfer::m_nTotalBytes;
    using CTftpTransfer::m_timeoutDue;
};

bool PumpUntil(const std::function<bool()>& done, int nMs = 2000)
{
    QDeadlineTimer deadline(nMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

class TransferStepTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_strRouter = testsupport::LoopbackAddressForTest();
        m_pRouter = std::make_unique<UdpPeer>(m_strRouter, testsupport::kTestRouterPort);
        ASSERT_TRUE(m_pRouter->Bound()) << "cannot bind " << m_strRouter << ":" << testsupport::kTestRouterPort;
        m_engine.SetWakeHandler([this] { ++m_nWakes; });
    }

    TransferRequest Request(std::int16_t nDirection, std::int16_t nKind) const
    {
        TransferRequest r;
        r.nDirection = nDirection;
        r.nFileKind = nKind;
        r.strRouter = m_strRouter;
        return r;
    }

    // Start, open, prepare and send the request; returns the request as the router saw it.
    Bytes Begin(const TransferRequest& request, const std::filesystem::path& localPath)
    {
        m_engine.SetLocalFile(true, localPath.string());
        EXPECT_EQ(m_engine.Start(request, &m_owner), TFTP_OK);
        EXPECT_EQ(m_engine.GetPhase(), PHASE_OPEN);
        Step();
        EXPECT_EQ(m_engine.GetPhase(), PHASE_PREPARE);
        EXPECT_TRUE(m_engine.IsEndpointOpen());
        Step();
        EXPECT_EQ(m_engine.GetPhase(), PHASE_WAIT_REPLY);
        EXPECT_EQ(m_engine.GetStep(), STEP_SEND_REQUEST);
        Step();
        std::optional<Bytes> req = m_pRouter->Receive();
        EXPECT_TRUE(req.has_value()) << "no request reached the router";
        return req.value_or(Bytes{});
    }

    // A send of the given content, stopped right after the write request went out.
    Bytes BeginSend(const Bytes& content)
    {
        testsupport::WriteFileBytes(m_dir / "image.bin", content);
        Bytes req = Begin(Request(DIRECTION_SEND, FILE_KIND_FIRMWARE), m_dir / "image.bin");
        EXPECT_EQ(m_engine.GetStep(), STEP_WAIT_ACK);
        return req;
    }

    Bytes BeginReceive()
    {
        Bytes req = Begin(Request(DIRECTION_RECEIVE, FILE_KIND_CONFIG), ReceivePath());
        EXPECT_EQ(m_engine.GetStep(), STEP_WAIT_DATA);
        return req;
    }

    std::filesystem::path ReceivePath() const { return m_dir / "config.txt"; }

    TftpResult Step()
    {
        m_phases.push_back(m_engine.GetPhase());
        return m_engine.Step();
    }

    // The router sends; the test waits until the engine holds the datagram, then steps once.
    ::testing::AssertionResult Deliver(const Bytes& datagram)
    {
        m_pRouter->Send(datagram);
        if (!PumpUntil([] { return g_pSocket->HasDatagram(); }))
            return ::testing::AssertionFailure() << "the datagram was never held";
        Step();
        return ::testing::AssertionSuccess();
    }

    // Expiry of the running time-out, as the owner's timer would report it.
    void Expire()
    {
        ASSERT_NE(m_engine.GetTimerId(), 0) << "no time-out was running";
        m_engine.OnTimeout();
        EXPECT_EQ(m_engine.GetTimerId(), 0);
        EXPECT_TRUE(m_owner.RunningTimeouts().empty());
    }

    // Steps until the engine is idle again; the phases passed on the way.
    std::vector<int> RunToIdle()
    {
        std::vector<int> passed;
        for (int i = 0; i < 20 && m_engine.GetPhase() != PHASE_IDLE; ++i) {
            Step();
            passed.push_back(m_engine.GetPhase());
        }
        return passed;
    }

    // Time-out n times while waiting, checking every retransmission is the packet before it.
    void ExpireAndResend(const Bytes& expected, TransferStep nWait, int nTimes)
    {
        for (int i = 1; i <= nTimes; ++i) {
            Expire();
            Step();
            EXPECT_EQ(m_engine.GetStep(), STEP_RESEND);
            Step();
            EXPECT_EQ(m_engine.GetStep(), nWait);
            EXPECT_EQ(m_engine.GetRetries(), i);
            EXPECT_EQ(m_owner.RunningTimeouts(), std::vector<int>{5000});
            std::optional<Bytes> again = m_pRouter->Receive();
            ASSERT_TRUE(again.has_value()) << "retransmission " << i << " missing";
            EXPECT_EQ(*again, expected) << "retransmission " << i << " differs";
        }
    }

    testsupport::TempDir m_dir;
    std::string m_strRouter;
    std::unique_ptr<UdpPeer> m_pRouter;
    CTestOwner m_owner;
    CTestTransfer m_engine {TransferTimings {.nRouterPort = testsupport::kTestRouterPort}};
    std::vector<int> m_phases;
    int m_nWakes = 0;
};

// --- construction and the idle engine

TEST_F(TransferStepTest, FreshEngineIsIdleWithNothingOpen)
{
    EXPECT_EQ(m_engine.GetPhase(), PHASE_IDLE);
    EXPECT_EQ(m_engine.GetStep(), STEP_NONE);
    EXPECT_FALSE(m_engine.IsEndpointOpen());
    EXPECT_EQ(m_engine.GetTimerId(), 0);
    EXPECT_FALSE(m_engine.IsFileChosen());
    EXPECT_TRUE(m_engine.GetLocalPath().empty());
    EXPECT_EQ(m_engine.Step(), TFTP_OK);
    EXPECT_EQ(m_engine.GetPhase(), PHASE_IDLE);
    EXPECT_FALSE(m_engine.IsAwaitingEvent());
}

TEST_F(TransferStepTest, TimeoutOnIdleEngineIsHarmlessAndTheNextTransferStillWaits)
{
    m_engine.OnTimeout();
    EXPECT_EQ(m_nWakes, 1);
    EXPECT_EQ(m_engine.GetPhase(), PHASE_IDLE);
    BeginReceive();
    // The stale expiry must not count against the new request: arming cleared it.
    EXPECT_TRUE(m_engine.IsAwaitingEvent());
    Step();
    EXPECT_EQ(m_engine.GetStep(), STEP_WAIT_DATA);
    EXPECT_TRUE(m_pRouter->Quiet());
}

// --- StepSend, row by row

TEST_F(TransferStepTest, SendRequestArmsFiveSecondsAndWaitsForAck)
{
    const Bytes req = BeginSend(testsupport::PatternBytes(1000));
    EXPECT_EQ(req, (Bytes{0, 2, 'e', 'x', 'e', 'c', 0, 'o', 'c', 't', 'e', 't', 0}));
    EXPECT_EQ(m_engine.GetRetries(), 0);
    EXPECT_EQ(m_owner.RunningTimeouts(), std::vector<int>{5000});
    EXPECT_EQ(m_engine.GetTotalBytes(), 1000);
    EXPECT_TRUE(m_engine.IsAwaitingEvent());
    // Nothing held and no expiry: steps do nothing.
    for (int i = 0; i < 3; ++i)
        Step();
    EXPECT_EQ(m_engine.GetStep(), STEP_WAIT_ACK);
    EXPECT_TRUE(m_pRouter->Quiet());
}

TEST_F(TransferStepTest, SendWalksBlocksAndEndsOnTheAckOfTheShortBlock)
{
    const Bytes content = testsupport::PatternBytes(1000);
    BeginSend(content);

    ASSERT_TRUE(Deliver(Ack(0)));
    EXPECT_EQ(m_engine.GetPhase(), PHASE_SENDING);
    EXPECT_EQ(m_engine.GetStep(), STEP_SEND_DATA);
    EXPECT_EQ(m_engine.GetBytesDone(), 0);  // the ACK of the request carries no data
    EXPECT_EQ(m_engine.GetTimerId(), 0);
    EXPECT_EQ(m_engine.GetPercent(), 0);

    Step();
    EXPECT_EQ(m_engine.GetStep(), STEP_WAIT_ACK);
    EXPECT_EQ(m_owner.RunningTimeouts(), std::vector<int>{5000});
    EXPECT_EQ(m_pRouter->Receive(), Data(1, Slice(content, 0, 512)));

    ASSERT_TRUE(Deliver(Ack(1)));
    EXPECT_EQ(m_engine.GetBytesDone(), 512);
    EXPECT_EQ(m_engine.GetPercent(), 51);
    EXPECT_EQ(m_engine.GetStep(), STEP_SEND_DATA);
    Step();
    EXPECT_EQ(m_pRouter->Receive(), Data(2, Slice(content, 512, 488)));

    ASSERT_TRUE(Deliver(Ack(2)));
    EXPECT_EQ(m_engine.GetPhase(), PHASE_FINISH);
    EXPECT_EQ(m_engine.GetStep(), STEP_NONE);
    EXPECT_EQ(m_engine.GetPercent(), 100);
    EXPECT_EQ(m_engine.GetTimerId(), 0);
    EXPECT_EQ(RunToIdle(), (std::vector<int>{PHASE_CLOSE, PHASE_IDLE}));
    EXPECT_EQ(m_engine.GetResult(), TFTP_OK);
    EXPECT_FALSE(m_engine.IsEndpointOpen());
    EXPECT_TRUE(m_pRouter->Quiet());
}

// An owner that asks TimerFired keeps one timer from block to block: the next wait only moves the
// deadline; a firing before the deadline starts the timer again for the rest, one after it times out;
// after the last block, and at the close, nothing is left running.
TEST_F(TransferStepTest, KeptTimerRunsFromBlockToBlockAndExpiresOnlyAtTheWaitsEnd)
{
    for (const bool bSend : {true, false}) {
        SCOPED_TRACE(bSend ? "send" : "receive");
        m_engine.SetTimerKeptBetweenBlocks(true);
        const Bytes content = testsupport::PatternBytes(1000);
        bSend ? BeginSend(content) : BeginReceive();
        const int nTimer = m_engine.GetTimerId();
        ASSERT_NE(nTimer, 0);
        // The router's first answer and the client's next packet.
        const auto nextBlock = [&](std::uint16_t nBlock) {
            if (bSend) {
                EXPECT_TRUE(Deliver(Ack(static_cast<std::uint16_t>(nBlock - 1))));
                EXPECT_EQ(m_engine.GetTimerId(), 0) << "no wait runs between two blocks";
                Step();
                EXPECT_EQ(m_pRouter->Receive(), Data(nBlock, Slice(content, 512u * (nBlock - 1u), nBlock == 1 ? 512 : 488)));
            } else {
                EXPECT_TRUE(Deliver(Data(nBlock, Slice(content, 512u * (nBlock - 1u), nBlock == 1 ? 512 : 488))));
                EXPECT_EQ(m_engine.GetTimerId(), 0) << "no wait runs between two blocks";
                Step();
                EXPECT_EQ(m_pRouter->Receive(), Ack(nBlock));
            }
        };
        nextBlock(1);
        EXPECT_EQ(m_engine.GetTimerId(), nTimer) << "the timer was started again for the next wait";
        EXPECT_EQ(m_owner.RunningTimeouts(), std::vector<int>{5000});

        // Fired before the deadline (the timer was started for the earlier wait): no time-out, the
        // timer runs on for the rest of the wait.
        EXPECT_FALSE(m_engine.TimerFired(nTimer));
        EXPECT_TRUE(m_engine.IsAwaitingEvent());
        const std::vector<int> rest = m_owner.RunningTimeouts();
        ASSERT_EQ(rest.size(), 1u);
        EXPECT_GT(rest[0], 4000);
        EXPECT_LE(rest[0], 5000);
        EXPECT_GT(m_engine.TimeoutRemainingMs(), 4000);
        // The wait started again for the rest is no longer the one every block keeps: the next block
        // gets a timer of its own, of the whole wait.
        nextBlock(2);
        if (bSend) {
            EXPECT_EQ(m_owner.RunningTimeouts(), std::vector<int>{5000});
            // Once its wait is over, a firing is the time-out.
            m_engine.m_timeoutDue = std::chrono::steady_clock::now() - std::chrono::milliseconds(1);
            EXPECT_EQ(m_engine.TimeoutRemainingMs(), 0);
            EXPECT_TRUE(m_engine.TimerFired(m_engine.GetTimerId()));
            m_engine.OnTimeout();
            Step();
            EXPECT_EQ(m_engine.GetStep(), STEP_RESEND);
            Step();
            EXPECT_EQ(m_pRouter->Receive(), Data(2, Slice(content, 512, 488)));
            ASSERT_TRUE(Deliver(Ack(2)));
        }
        // After the last block nothing runs on.
        EXPECT_TRUE(m_owner.RunningTimeouts().empty());
        EXPECT_EQ(m_engine.TimeoutRemainingMs(), -1);
        RunToIdle();
        EXPECT_EQ(m_engine.GetResult(), TFTP_OK);
        EXPECT_TRUE(m_owner.RunningTimeouts().empty());
        m_engine.SetTimerKeptBetweenBlocks(false);
    }
}

// A timer kept for a next block that never comes (the transfer failed between the two) stops when it
// fires, and the close stops it if it has not fired by then.
TEST_F(TransferStepTest, KeptTimerOfAFailedTransferStopsWithoutATimeout)
{
    m_engine.SetTimerKeptBetweenBlocks(true);
    const Bytes content = testsupport::PatternBytes(1000);
    for (const bool bFires : {true, false}) {
        SCOPED_TRACE(bFires ? "fires" : "closed first");
        BeginSend(content);
        ASSERT_TRUE(Deliver(Ack(0)));
        const std::vector<int> kept = m_owner.RunningTimeouts();
        ASSERT_EQ(kept, std::vector<int>{5000});
        m_engine.Fail(TFTP_ERR_NET_FAULT);
        if (bFires) {
            const auto timers = QAbstractEventDispatcher::instance()->registeredTimers(&m_owner);
            ASSERT_EQ(timers.size(), 1);
            EXPECT_FALSE(m_engine.TimerFired(timers.front().timerId));
            EXPECT_TRUE(m_owner.RunningTimeouts().empty());
        }
        RunToIdle();
        EXPECT_EQ(m_engine.GetResult(), TFTP_ERR_NET_FAULT);
        EXPECT_TRUE(m_owner.RunningTimeouts().empty());
    }
    m_engine.SetTimerKeptBetweenBlocks(false);
}

TEST_F(TransferStepTest, EmptyFileIsOneEmptyDataBlockAndPercentStaysZero)
{
    BeginSend({});
    ASSERT_TRUE(Deliver(Ack(0)));
    Step();
    EXPECT_EQ(m_pRouter->Receive(), Data(1, {}));
    ASSERT_TRUE(Deliver(Ack(1)));
    EXPECT_EQ(m_engine.GetPhase(), PHASE_FINISH);
    EXPECT_EQ(m_engine.GetPercent(), 0);
    RunToIdle();
    EXPECT_EQ(m_engine.GetResult(), TFTP_OK);
}

TEST_F(TransferStepTest, DuplicateAckOrStrayDataWhileSendingChangesNothing)
{
    const Bytes content = testsupport::PatternBytes(1500);
    BeginSend(content);
    ASSERT_TRUE(Deliver(Ack(0)));
    Step();
    ASSERT_TRUE(Deliver(Ack(1)));
    Step();
    ASSERT_EQ(m_pRouter->Receive(), Data(1, Slice(content, 0, 512)));
    ASSERT_EQ(m_pRouter->Receive(), Data(2, Slice(content, 512, 512)));
    const int nTimer = m_engine.GetTimerId();

    for (const Bytes& stray : {Ack(1), Ack(3), Data(2, {1, 2, 3}), Bytes{0, 4, 0, 2, 0}, Bytes{0, 6, 0, 0}}) {
        ASSERT_TRUE(Deliver(stray));
        EXPECT_EQ(m_engine.GetStep(), STEP_WAIT_ACK);
        EXPECT_EQ(m_engine.GetPhase(), PHASE_SENDING);
        EXPECT_EQ(m_engine.GetTimerId(), nTimer) << "the running time-out was touched";
        EXPECT_EQ(m_engine.GetBytesDone(), 512);
        EXPECT_EQ(m_engine.GetRetries(), 0);
    }
    // Block 2 goes out again only when its time-out expires.
    EXPECT_TRUE(m_pRouter->Quiet());
    ExpireAndResend(Data(2, Slice(content, 512, 512)), STEP_WAIT_ACK, 1);
}

TEST_F(TransferStepTest, RequestNeverAnsweredIsSentOnceAndResentFourTimesThenFails)
{
    const Bytes req = BeginSend(testsupport::PatternBytes(10));
    ExpireAndResend(req, STEP_WAIT_ACK, 4);
    Expire();
    Step();
    // No last block has gone out, so no flash ROM wait.
    EXPECT_EQ(m_engine.GetPhase(), PHASE_FAILED);
    EXPECT_EQ(m_engine.GetResult(), TFTP_ERR_NO_RESPONSE);
    EXPECT_EQ(RunToIdle(), (std::vector<int>{PHASE_FINISH, PHASE_CLOSE, PHASE_IDLE}));
    EXPECT_EQ(m_engine.GetResult(), TFTP_ERR_NO_RESPONSE);
    // The router is not told.
    EXPECT_TRUE(m_pRouter->Quiet());
}

TEST_F(TransferStepTest, MiddleBlockUnansweredFailsWithoutRomWait)
{
    const Bytes content = testsupport::PatternBytes(700);
    BeginSend(content);
    ASSERT_TRUE(Deliver(Ack(0)));
    Step();
    const Bytes block1 = Data(1, Slice(content, 0, 512));
    ASSERT_EQ(m_pRouter->Receive(), block1);
    ExpireAndResend(block1, STEP_WAIT_ACK, 4);
    Expire();
    Step();
    EXPECT_EQ(m_engine.GetPhase(), PHASE_FAILED);
    EXPECT_EQ(m_engine.GetResult(), TFTP_ERR_NO_RESPONSE);
}

class TransferRomWaitTest : public TransferStepTest {
protected:
    // A 100-byte send whose only DATA block went out five times without an answer.
    void ReachRomWait()
    {
        m_content = testsupport::PatternBytes(100);
        BeginSend(m_content);
        ASSERT_TRUE(Deliver(Ack(0)));
        Step();
        const Bytes block1 = Data(1, m_content);
        ASSERT_EQ(m_pRouter->Receive(), block1);
        ExpireAndResend(block1, STEP_WAIT_ACK, 4);
        Expire();
        Step();
        ASSERT_EQ(m_engine.GetPhase(), PHASE_WRITING_ROM);
        ASSERT_EQ(m_engine.GetStep(), STEP_WAIT_ROM_WRITE);
        EXPECT_EQ(m_owner.RunningTimeouts(), std::vector<int>{180000});
        EXPECT_TRUE(m_engine.IsAwaitingEvent());
    }
    Bytes m_content;
};

TEST_F(TransferRomWaitTest, AckWithinTheWaitEndsInSuccess)
{
    ReachRomWait();
    for (int i = 0; i < 5; ++i)
        Step();
    EXPECT_TRUE(m_pRouter->Quiet()) << "something was retransmitted during the flash ROM wait";
    ASSERT_TRUE(Deliver(Ack(1)));
    EXPECT_EQ(m_engine.GetPhase(), PHASE_FINISH);
    EXPECT_EQ(m_engine.GetTimerId(), 0);
    EXPECT_EQ(m_engine.GetPercent(), 100);
    RunToIdle();
    EXPECT_EQ(m_engine.GetResult(), TFTP_OK);
}

TEST_F(TransferRomWaitTest, ExpiryOfTheWaitFailsWithNoResponseAndResendsNothing)
{
    ReachRomWait();
    Expire();
    EXPECT_FALSE(m_engine.IsAwaitingEvent());
    Step();
    EXPECT_EQ(m_engine.GetPhase(), PHASE_FAILED);
    EXPECT_EQ(m_engine.GetResult(), TFTP_ERR_NO_RESPONSE);
    RunToIdle();
    EXPECT_EQ(m_engine.GetResult(), TFTP_ERR_NO_RESPONSE);
    EXPECT_TRUE(m_pRouter->Quiet());
}

TEST_F(TransferRomWaitTest, ErrorDuringTheWaitIsThePeersError)
{
    ReachRomWait();
    ASSERT_TRUE(Deliver(Error(0, "flash failed")));
    EXPECT_EQ(m_engine.GetPhase(), PHASE_FAILED);
    EXPECT_EQ(m_engine.GetResult(), TFTP_ERR_PEER_ERROR);
    EXPECT_EQ(m_engine.GetTimerId(), 0);
    RunToIdle();
    EXPECT_EQ(m_engine.PeerErrorText(), "flash failed");
}

TEST_F(TransferStepTest, AnswerHeldTogetherWithTheExpiryIsTakenFirst)
{
    const Bytes content = testsupport::PatternBytes(600);
    BeginSend(content);
    m_pRouter->Send(Ack(0));
    ASSERT_TRUE(PumpUntil([] { return g_pSocket->HasDatagram(); }));
    m_engine.OnTimeout();
    Step();
    EXPECT_EQ(m_engine.GetPhase(), PHASE_SENDING);
    EXPECT_EQ(m_engine.GetStep(), STEP_SEND_DATA);
    Step();
    EXPECT_EQ(m_engine.GetRetries(), 0);
    EXPECT_TRUE(m_engine.IsAwaitingEvent()) << "the stale expiry survived the new time-out";
    EXPECT_EQ(m_pRouter->Receive(), Data(1, Slice(content, 0, 512)));
}

// --- StepReceive, row by row

TEST_F(TransferStepTest, ReceiveAcknowledgesEachBlockAndSavesOnlyAtTheEnd)
{
    const Bytes req = BeginReceive();
    EXPECT_EQ(req.size(), 26u);  // 00 01 "config" 00 "netascii" 00 "tsize" 00 "0" 00
    EXPECT_EQ(m_owner.RunningTimeouts(), std::vector<int>{5000});
    const Bytes content = testsupport::PatternBytes(1100);

    ASSERT_TRUE(Deliver(Data(1, Slice(content, 0, 512))));
    EXPECT_EQ(m_engine.GetPhase(), PHASE_RECEIVING);
    EXPECT_EQ(m_engine.GetStep(), STEP_SEND_ACK);
    EXPECT_EQ(m_engine.GetTimerId(), 0);
    EXPECT_EQ(m_engine.GetBytesDone(), 512);
    EXPECT_EQ(m_engine.GetPercent(), 0);  // no total while receiving
    Step();
    EXPECT_EQ(m_pRouter->Receive(), Ack(1));
    EXPECT_EQ(m_engine.GetStep(), STEP_WAIT_DATA);
    EXPECT_EQ(m_owner.RunningTimeouts(), std::vector<int>{5000});

    ASSERT_TRUE(Deliver(Data(2, Slice(content, 512, 512))));
    Step();
    EXPECT_EQ(m_pRouter->Receive(), Ack(2));
    ASSERT_TRUE(Deliver(Data(3, Slice(content, 1024, 76))));
    EXPECT_FALSE(std::filesystem::exists(ReceivePath())) << "written before the transfer finished";
    Step();
    EXPECT_EQ(m_pRouter->Receive(), Ack(3));
    // The final ACK goes out once and the transfer finishes at once, with no time-out running.
    EXPECT_EQ(m_engine.GetPhase(), PHASE_FINISH);
    EXPECT_EQ(m_engine.GetStep(), STEP_NONE);
    EXPECT_EQ(m_engine.GetTimerId(), 0);
    EXPECT_EQ(m_engine.GetPercent(), 0);
    EXPECT_EQ(RunToIdle(), (std::vector<int>{PHASE_CLOSE, PHASE_IDLE}));
    EXPECT_EQ(m_engine.GetResult(), TFTP_OK);
    EXPECT_EQ(testsupport::ReadFileBytes(ReceivePath()), content);
    EXPECT_TRUE(m_pRouter->Quiet());
}

TEST_F(TransferStepTest, ReceiveOfAMultipleOf512EndsOnlyWithTheEmptyBlock)
{
    BeginReceive();
    const Bytes content = testsupport::PatternBytes(512);
    ASSERT_TRUE(Deliver(Data(1, content)));
    Step();
    EXPECT_EQ(m_pRouter->Receive(), Ack(1));
    EXPECT_EQ(m_engine.GetStep(), STEP_WAIT_DATA);
    EXPECT_EQ(m_engine.GetPhase(), PHASE_RECEIVING);
    ASSERT_TRUE(Deliver(Data(2, {})));
    Step();
    EXPECT_EQ(m_pRouter->Receive(), Ack(2));
    EXPECT_EQ(m_engine.GetPhase(), PHASE_FINISH);
    RunToIdle();
    EXPECT_EQ(testsupport::ReadFileBytes(ReceivePath()), content);
}

TEST_F(TransferStepTest, WrongNumberedDataOrAnAckWhileReceivingIsIgnoredAndNotAcked)
{
    BeginReceive();
    ASSERT_TRUE(Deliver(Data(1, testsupport::PatternBytes(512))));
    Step();
    ASSERT_EQ(m_pRouter->Receive(), Ack(1));
    const int nTimer = m_engine.GetTimerId();
    for (const Bytes& stray : {Data(1, {9}), Data(3, {9}), Ack(2), Bytes{0, 6, 0, 0}}) {
        ASSERT_TRUE(Deliver(stray));
        EXPECT_EQ(m_engine.GetStep(), STEP_WAIT_DATA);
        EXPECT_EQ(m_engine.GetTimerId(), nTimer);
        EXPECT_EQ(m_engine.GetBytesDone(), 512);
    }
    EXPECT_TRUE(m_pRouter->Quiet()) << "a stray DATA was acknowledged";
    ASSERT_TRUE(Deliver(Data(2, {7, 7})));
    Step();
    EXPECT_EQ(m_pRouter->Receive(), Ack(2));
    RunToIdle();
    Bytes expected = testsupport::PatternBytes(512);
    expected.push_back(7);
    expected.push_back(7);
    EXPECT_EQ(testsupport::ReadFileBytes(ReceivePath()), expected);
}

TEST_F(TransferStepTest, ReceiveResendsTheRequestBeforeTheFirstBlockAndTheLastAckAfter)
{
    const Bytes req = BeginReceive();
    ExpireAndResend(req, STEP_WAIT_DATA, 2);
    ASSERT_TRUE(Deliver(Data(1, testsupport::PatternBytes(512))));
    EXPECT_EQ(m_engine.GetRetries(), 2);
    Step();
    ASSERT_EQ(m_pRouter->Receive(), Ack(1));
    EXPECT_EQ(m_engine.GetRetries(), 0) << "a new packet starts a new budget";
    ExpireAndResend(Ack(1), STEP_WAIT_DATA, 4);
    Expire();
    Step();
    EXPECT_EQ(m_engine.GetPhase(), PHASE_FAILED);
    EXPECT_EQ(m_engine.GetResult(), TFTP_ERR_NO_RESPONSE);
    RunToIdle();
    EXPECT_FALSE(std::filesystem::exists(ReceivePath())) << "a failed receive wrote a file";
    EXPECT_TRUE(m_pRouter->Quiet()) << "the router was told about a time-out";
}

TEST_F(TransferStepTest, ReadRequestNeverAnsweredFailsAtTheFifthExpiry)
{
    const Bytes req = BeginReceive();
    ExpireAndResend(req, STEP_WAIT_DATA, 4);
    EXPECT_EQ(m_engine.GetPhase(), PHASE_WAIT_REPLY);
    Expire();
    Step();
    EXPECT_EQ(m_engine.GetResult(), TFTP_ERR_NO_RESPONSE);
    EXPECT_EQ(RunToIdle(), (std::vector<int>{PHASE_FINISH, PHASE_CLOSE, PHASE_IDLE}));
}

// An ERROR in every wait of both directions ends the transfer with the router's text kept.
struct ErrorWaitCase {
    const char* name;
    std::int16_t nDirection;
    int nBlocksBefore;  // answered exchanges before the ERROR arrives
};

class TransferErrorInWaitTest : public TransferStepTest, public ::testing::WithParamInterface<ErrorWaitCase> {};

TEST_P(TransferErrorInWaitTest, EndsWithPeerErrorAndTextReadableWhenIdle)
{
    const ErrorWaitCase& c = GetParam();
    const Bytes content = testsupport::PatternBytes(2000);
    std::filesystem::path oldFile = ReceivePath();
    testsupport::WriteFileBytes(oldFile, {'o', 'l', 'd'});
    if (c.nDirection == DIRECTION_SEND) {
        BeginSend(content);
        for (int n = 0; n < c.nBlocksBefore; ++n) {
            ASSERT_TRUE(Deliver(Ack(static_cast<std::uint16_t>(n))));
            Step();
            ASSERT_TRUE(m_pRouter->Receive().has_value());
        }
    } else {
        BeginReceive();
        for (int n = 1; n <= c.nBlocksBefore; ++n) {
            ASSERT_TRUE(Deliver(Data(static_cast<std::uint16_t>(n), Slice(content, 0, 512))));
            Step();
            ASSERT_TRUE(m_pRouter->Receive().has_value());
        }
    }
    ASSERT_TRUE(Deliver(Error(2, "Access violation")));
    EXPECT_EQ(m_engine.GetPhase(), PHASE_FAILED);
    EXPECT_EQ(m_engine.GetResult(), TFTP_ERR_PEER_ERROR);
    EXPECT_EQ(m_engine.GetTimerId(), 0);
    EXPECT_EQ(RunToIdle(), (std::vector<int>{PHASE_FINISH, PHASE_CLOSE, PHASE_IDLE}));
    EXPECT_EQ(m_engine.GetResult(), TFTP_ERR_PEER_ERROR);
    EXPECT_EQ(m_engine.PeerErrorText(), "Access violation");
    EXPECT_EQ(testsupport::ReadFileBytes(oldFile), (Bytes{'o', 'l', 'd'})) << "the local file was touched";
    EXPECT_TRUE(m_pRouter->Quiet()) << "the router was answered";
}

INSTANTIATE_TEST_SUITE_P(EveryWait, TransferErrorInWaitTest,
                         ::testing::Values(ErrorWaitCase{"SendWaitingForTheRequestAck", DIRECTION_SEND, 0},
                                           ErrorWaitCase{"SendWaitingForADataAck", DIRECTION_SEND, 2},
                                           ErrorWaitCase{"ReceiveWaitingForTheFirstBlock", DIRECTION_RECEIVE, 0},
                                           ErrorWaitCase{"ReceiveWaitingForALaterBlock", DIRECTION_RECEIVE, 1}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(TransferStepTest, ReceiveOutOfMemoryTellsTheRouterThenFails)
{
    std::filesystem::path oldFile = ReceivePath();
    testsupport::WriteFileBytes(oldFile, {'o', 'l', 'd'});
    BeginReceive();
    ASSERT_TRUE(Deliver(Data(1, testsupport::PatternBytes(512))));
    Step();
    ASSERT_EQ(m_pRouter->Receive(), Ack(1));
    // As if 64 MiB had been received: the next full block exceeds the bound of the receive list.
    m_engine.m_nBytesDone = TFTP_MAX_RECEIVE_BYTES - 100;
    const int nTimer = m_engine.GetTimerId();

    m_pRouter->Send(Data(2, testsupport::PatternBytes(512)));
    ASSERT_TRUE(PumpUntil([] { return g_pSocket->HasDatagram(); }));
    EXPECT_EQ(Step(), TFTP_ERR_RECV_NO_MEMORY);
    EXPECT_EQ(m_engine.GetResult(), TFTP_ERR_RECV_NO_MEMORY);
    EXPECT_EQ(m_engine.GetPhase(), PHASE_RECEIVING) << "the phase must wait for the ERROR packet";
    EXPECT_EQ(m_engine.GetStep(), STEP_SEND_ERROR);
    EXPECT_EQ(m_engine.GetTimerId(), nTimer) << "the time-out keeps running";
    EXPECT_FALSE(m_engine.IsAwaitingEvent());

    EXPECT_EQ(Step(), TFTP_OK);
    Bytes expected{0x00, 0x05, 0x82, 0x15};
    const std::string text = "Client Error!!";
    expected.insert(expected.end(), text.begin(), text.end());
    expected.push_back(0);
    EXPECT_EQ(m_pRouter->Receive(), expected);
    EXPECT_EQ(m_engine.GetPhase(), PHASE_FAILED);
    EXPECT_EQ(RunToIdle(), (std::vector<int>{PHASE_FINISH, PHASE_CLOSE, PHASE_IDLE}));
    EXPECT_EQ(m_engine.GetResult(), TFTP_ERR_RECV_NO_MEMORY);
    EXPECT_EQ(testsupport::ReadFileBytes(oldFile), (Bytes{'o', 'l', 'd'}));
    // The time-out left running expires harmlessly.
    m_engine.OnTimeout();
    EXPECT_EQ(m_engine.GetPhase(), PHASE_IDLE);
    EXPECT_TRUE(m_pRouter->Quiet());
}

TEST_F(TransferStepTest, FailingSaveRunsFinishFailedFinishCloseIdle)
{
    // The folder is there when the transfer starts and gone when the file is saved.
    std::filesystem::create_directory(m_dir / "folder");
    m_engine.SetLocalFile(true, (m_dir / "folder" / "config.txt").string());
    ASSERT_EQ(m_engine.Start(Request(DIRECTION_RECEIVE, FILE_KIND_CONFIG), &m_owner), TFTP_OK);
    Step();
    Step();
    Step();
    ASSERT_TRUE(m_pRouter->Receive().has_value());
    std::filesystem::remove(m_dir / "folder");
    ASSERT_TRUE(Deliver(Data(1, {1, 2, 3})));
    Step();
    ASSERT_EQ(m_pRouter->Receive(), Ack(1));
    ASSERT_EQ(m_engine.GetPhase(), PHASE_FINISH);
    EXPECT_EQ(RunToIdle(), (std::vector<int>{PHASE_FAILED, PHASE_FINISH, PHASE_CLOSE, PHASE_IDLE}));
    EXPECT_EQ(m_engine.GetResult(), TFTP_ERR_FILE_OPEN);
    EXPECT_FALSE(m_engine.IsEndpointOpen());
}

TEST_F(TransferStepTest, MissingFileToSendFailsInPrepareBeforeAnyPacket)
{
    m_engine.SetLocalFile(true, (m_dir / "absent.bin").string());
    ASSERT_EQ(m_engine.Start(Request(DIRECTION_SEND, FILE_KIND_FIRMWARE), &m_owner), TFTP_OK);
    Step();
    EXPECT_EQ(Step(), TFTP_ERR_FILE_OPEN);
    EXPECT_EQ(m_engine.GetPhase(), PHASE_FAILED);
    EXPECT_EQ(RunToIdle(), (std::vector<int>{PHASE_FINISH, PHASE_CLOSE, PHASE_IDLE}));
    EXPECT_EQ(m_engine.GetResult(), TFTP_ERR_FILE_OPEN);
    EXPECT_TRUE(m_pRouter->Quiet());
}

// --- Start, Fail, time-outs and waking

TEST_F(TransferStepTest, StartWhileTheEndpointIsOpenIsRefusedAndChangesNothing)
{
    const Bytes content = testsupport::PatternBytes(1000);
    BeginSend(content);
    ASSERT_TRUE(Deliver(Ack(0)));
    Step();
    ASSERT_TRUE(m_pRouter->Receive().has_value());
    const int nTimer = m_engine.GetTimerId();

    TransferRequest other = Request(DIRECTION_RECEIVE, FILE_KIND_CONFIG);
    other.strRouter = "127.0.0.1";
    EXPECT_EQ(m_engine.Start(other, &m_owner), TFTP_ERR_NET_OPEN);
    EXPECT_EQ(m_engine.GetPhase(), PHASE_SENDING);
    EXPECT_EQ(m_engine.GetStep(), STEP_WAIT_ACK);
    EXPECT_EQ(m_engine.GetTimerId(), nTimer);
    EXPECT_EQ(m_engine.GetResult(), TFTP_OK);

    // The running transfer goes on to its end with the router it started with.
    ASSERT_TRUE(Deliver(Ack(1)));
    Step();
    EXPECT_EQ(m_pRouter->Receive(), Data(2, Slice(content, 512, 488)));
    ASSERT_TRUE(Deliver(Ack(2)));
    RunToIdle();
    EXPECT_EQ(m_engine.GetResult(), TFTP_OK);
    // Once closed, a new transfer is accepted.
    EXPECT_EQ(m_engine.Start(Request(DIRECTION_RECEIVE, FILE_KIND_CONFIG), &m_owner), TFTP_OK);
}

TEST_F(TransferStepTest, FaultThroughFailEndsTheTransferAndTheTimerExpiresHarmlessly)
{
    BeginReceive();
    m_engine.Fail(TFTP_ERR_NET_FAULT);
    EXPECT_EQ(m_engine.GetPhase(), PHASE_FAILED);
    EXPECT_EQ(m_engine.GetStep(), STEP_NONE);
    EXPECT_FALSE(m_engine.IsAwaitingEvent());
    EXPECT_EQ(RunToIdle(), (std::vector<int>{PHASE_FINISH, PHASE_CLOSE, PHASE_IDLE}));
    EXPECT_EQ(m_engine.GetResult(), TFTP_ERR_NET_FAULT);
    EXPECT_EQ(m_owner.RunningTimeouts(), std::vector<int>{5000}) << "Fail is not expected to stop the time-out";
    m_engine.OnTimeout();
    EXPECT_EQ(m_engine.GetPhase(), PHASE_IDLE);
    EXPECT_TRUE(m_owner.RunningTimeouts().empty());
}

TEST_F(TransferStepTest, TimeoutLeftByAFailedTransferIsReplacedByTheNextOne)
{
    BeginReceive();
    m_engine.Fail(TFTP_ERR_NET_FAULT);
    RunToIdle();
    ASSERT_EQ(m_owner.RunningTimeouts().size(), 1u);
    BeginReceive();
    EXPECT_EQ(m_owner.RunningTimeouts(), std::vector<int>{5000}) << "two time-outs run for one wait";
}

TEST_F(TransferStepTest, AwaitingOnlyInAWaitWithNothingHeldAndNoExpiry)
{
    m_engine.SetLocalFile(true, ReceivePath().string());
    ASSERT_EQ(m_engine.Start(Request(DIRECTION_RECEIVE, FILE_KIND_CONFIG), &m_owner), TFTP_OK);
    EXPECT_FALSE(m_engine.IsAwaitingEvent());  // phase 1
    Step();
    EXPECT_FALSE(m_engine.IsAwaitingEvent());  // phase 2
    Step();
    EXPECT_FALSE(m_engine.IsAwaitingEvent());  // the request is still to be sent
    Step();
    ASSERT_TRUE(m_pRouter->Receive().has_value());
    EXPECT_TRUE(m_engine.IsAwaitingEvent());

    const int nWakesBefore = m_nWakes;
    m_pRouter->Send(Ack(5));  // not what is awaited, but it is a datagram to look at
    ASSERT_TRUE(PumpUntil([this] { return !m_engine.IsAwaitingEvent(); }));
    EXPECT_EQ(m_nWakes, nWakesBefore + 1) << "arrival did not wake the owner";
    Step();
    EXPECT_TRUE(m_engine.IsAwaitingEvent());

    m_engine.OnTimeout();
    EXPECT_EQ(m_nWakes, nWakesBefore + 2) << "expiry did not wake the owner";
    EXPECT_FALSE(m_engine.IsAwaitingEvent());
    Step();
    EXPECT_FALSE(m_engine.IsAwaitingEvent());  // STEP_RESEND
    Step();
    EXPECT_TRUE(m_engine.IsAwaitingEvent());
}

// With the programs' timings, so on the router's port 69.
TEST(TransferLifetimeTest, DestroyingTheEngineMidTransferStopsItsTimeoutAndFreesItsBlocks)
{
    if (!testsupport::CanBindPort69())
        GTEST_SKIP() << testsupport::SkipReasonPort69();
    const std::string strRouter = testsupport::LoopbackAddressForTest();
    UdpPeer router(strRouter, TFTP_PORT);
    ASSERT_TRUE(router.Bound());
    testsupport::TempDir dir;
    testsupport::WriteFileBytes(dir / "image.bin", testsupport::PatternBytes(5000));
    CTestOwner owner;
    {
        CTestTransfer engine;
        engine.SetLocalFile(true, (dir / "image.bin").string());
        TransferRequest request;
        request.nDirection = DIRECTION_SEND;
        request.nFileKind = FILE_KIND_FIRMWARE;
        request.strRouter = strRouter;
        ASSERT_EQ(engine.Start(request, &owner), TFTP_OK);
        for (int i = 0; i < 3; ++i)
            engine.Step();
        ASSERT_TRUE(router.Receive().has_value());
        ASSERT_EQ(owner.RunningTimeouts().size(), 1u);
        // The send blocks are held now; the sanitizer build reports them if the engine forgets them.
    }
    EXPECT_TRUE(owner.RunningTimeouts().empty()) << "a time-out outlived its engine";
    EXPECT_EQ(g_pSocket, nullptr);
}

TEST_F(TransferStepTest, StepOfTheOtherDirectionFailsInsteadOfSteppingForever)
{
    BeginSend(testsupport::PatternBytes(10));
    m_engine.m_nStep = STEP_WAIT_DATA;
    EXPECT_EQ(Step(), TFTP_ERR_OTHER);
    EXPECT_EQ(m_engine.GetPhase(), PHASE_FAILED);
    RunToIdle();
    EXPECT_FALSE(m_engine.IsEndpointOpen());
}

// --- GetPercent

TEST(TransferPercentTest, SixtyFourBitArithmeticAndClamp)
{
    struct Case {
        std::int64_t nDone, nTotal;
        int nPercent;
    };
    const Case cases[] = {
        {0, 0, 0},
        {100, 0, 0},                          // receiving: no total
        {0, 1000, 0},
        {512, 1000, 51},
        {999, 1000, 99},                      // truncated, never rounded up
        {1000, 1000, 100},
        {1200, 1000, 100},
        {30'000'000, 33'553'919, 89},         // bytes × 100 beyond 32 bits
        {33'553'919, 33'553'919, 100},
        {3'000'000'000LL, 4'000'000'000LL, 75},
    };
    CTestTransfer engine;
    for (const Case& c : cases) {
        engine.m_nBytesDone = c.nDone;
        engine.m_nTotalBytes = c.nTotal;
        EXPECT_EQ(engine.GetPercent(), c.nPercent) << c.nDone << " of " << c.nTotal;
    }
}

}  // namespace
