// A socket fault that comes once the exchange with the router is over. The socket stays open until
// PHASE_CLOSE, so the system may still report a fault (an error notification, an oversized datagram)
// after the last packet: after the received file has been saved, or after the router has taken the
// whole file. Such a fault has nothing left to fail; it must not turn the transfer into a failure,
// which would tell the user that nothing happened while the local file has been replaced, nor replace
// the code of a failure already reported. A fault during the exchange still fails the transfer, and
// then nothing is written.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>

#include <cerrno>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>

#include "RouterFixture.h"
#include "TftpEvents.h"
#include "TftpSocket.h"
#include "TransferDriver.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using velnor::sim::RouterSim;
using velnor::sim::RouterSimOptions;

struct LateFaultCase {
    const char* name;
    std::int16_t nDirection;
    TransferPhase nFaultAfter;  // the fault comes right after the step that first shows this phase
    TftpResult nExpected;
    bool bRouterRefuses = false;  // the router answers the request with an ERROR
};

void PrintTo(const LateFaultCase& c, std::ostream* pOut)
{
    *pOut << c.name;
}

class LateFaultTest : public testsupport::RouterFixture, public ::testing::WithParamInterface<LateFaultCase> {};

// Drives the engine as the transfer window does: one step, then every waiting event (the router's
// datagrams, time-outs, socket faults) before the next step, so that a fault can come between any two.
class CPumpingOwner : public QObject {
public:
    explicit CPumpingOwner(CTftpTransfer& engine) : m_engine(engine) {}
    int m_nFaults = 0;

protected:
    void customEvent(QEvent* pEvent) override
    {
        if (pEvent->type() == WM_TFTP_NOTIFY) {
            ++m_nFaults;
            m_engine.Fail(static_cast<CTftpNotifyEvent*>(pEvent)->m_nCode);
        }
    }
    void timerEvent(QTimerEvent*) override { m_engine.OnTimeout(); }

private:
    CTftpTransfer& m_engine;
};

TEST_P(LateFaultTest, FaultFailsTheTransferOnlyDuringTheExchange)
{
    const LateFaultCase& c = GetParam();
    const bool bReceive = c.nDirection == DIRECTION_RECEIVE;
    const Bytes content = testsupport::PatternBytes(3000, 5);
    const Bytes oldContent(700, 'o');
    const fs::path local = m_localDir / "config.txt";
    const fs::path remote = m_routerDir / "config0";
    testsupport::WriteFileBytes(bReceive ? remote : local, content);
    testsupport::WriteFileBytes(bReceive ? local : remote, oldContent);

    RouterSimOptions options;
    if (c.bRouterRefuses) {
        options.errorText = "Disk error";
        options.errorCode = 3;
    }
    RouterSim& sim = StartRouter(options);
    ASSERT_TRUE(sim.IsRunning());

    CTftpTransfer engine(TransferTimings{1000, 2000, testsupport::kTestRouterPort});
    CPumpingOwner owner(engine);
    TransferRequest request;
    request.nDirection = c.nDirection;
    request.nFileKind = FILE_KIND_CONFIG;
    request.strRouter = m_strRouter;
    engine.SetLocalFile(true, local.string());
    ASSERT_EQ(engine.Start(request, &owner), TFTP_OK);

    bool bFaultSent = false;
    QElapsedTimer clock;
    clock.start();
    while (engine.GetPhase() != PHASE_IDLE && clock.elapsed() < 20000) {
        engine.Step();
        if (engine.GetPhase() == c.nFaultAfter && !bFaultSent) {
            bFaultSent = true;
            // What the socket does when the system reports an error on it.
            g_pSocket->OnReceive(EIO);
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, engine.IsAwaitingEvent() ? 5 : 0);
    }
    sim.Stop();

    ASSERT_EQ(engine.GetPhase(), PHASE_IDLE);
    EXPECT_TRUE(bFaultSent);
    EXPECT_EQ(engine.GetResult(), c.nExpected) << std::hex << "0x" << engine.GetResult();
    EXPECT_EQ(owner.m_nFaults, c.nExpected == TFTP_ERR_NET_FAULT ? 1 : 0);
    EXPECT_FALSE(engine.IsEndpointOpen());
    if (bReceive) {
        // The file and the report agree: replaced on success, untouched on failure.
        EXPECT_EQ(testsupport::ReadFileBytes(local), engine.GetResult() == TFTP_OK ? content : oldContent);
    } else if (engine.GetResult() == TFTP_OK) {
        EXPECT_EQ(testsupport::ReadFileBytes(remote), content);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Phases, LateFaultTest,
    ::testing::Values(
        LateFaultCase{"ReceiveFaultWhileReceiving", DIRECTION_RECEIVE, PHASE_RECEIVING, TFTP_ERR_NET_FAULT},
        LateFaultCase{"ReceiveFaultBeforeTheSave", DIRECTION_RECEIVE, PHASE_FINISH, TFTP_OK},
        LateFaultCase{"ReceiveFaultAfterTheSave", DIRECTION_RECEIVE, PHASE_CLOSE, TFTP_OK},
        LateFaultCase{"SendFaultWhileSending", DIRECTION_SEND, PHASE_SENDING, TFTP_ERR_NET_FAULT},
        LateFaultCase{"SendFaultAfterTheLastAck", DIRECTION_SEND, PHASE_FINISH, TFTP_OK},
        LateFaultCase{"SendFaultBeforeTheClose", DIRECTION_SEND, PHASE_CLOSE, TFTP_OK},
        // The failure already reported keeps its code.
        LateFaultCase{"FaultAfterTheRoutersError", DIRECTION_RECEIVE, PHASE_FAILED, TFTP_ERR_PEER_ERROR, true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
