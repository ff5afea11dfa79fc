#pragma once
// The owner of a transfer for everything but the transfer window: the console companion, the tests
// and the benchmarks. It runs the engine's step loop on the Qt event loop as the window does (one
// step per WM_TRANSFER_STEP, the engine's time-outs as timers of this object, socket faults as
// WM_TFTP_NOTIFY), but never spins: while the engine waits for the router no step event is queued.
// The first step of a transfer is posted; the steps that follow a step, the arrival of a datagram,
// the expiry of the time-out or a fault are sent at once, one after another, until the engine waits
// again (no window needs painting in between, and a turn of the event loop per step would cost more
// than the block exchange).

#include <QByteArray>
#include <QObject>

#include <cstdint>
#include <memory>

#include "TftpTransfer.h"
#include "TftpTypes.h"

class CTransferDriver : public QObject {
    Q_OBJECT
public:
    // Owns an engine of its own with the given durations (the programs keep the defaults).
    explicit CTransferDriver(const TransferTimings& timings = TransferTimings{}, QObject* pParent = nullptr);
    // Borrows an engine that outlives the driver.
    explicit CTransferDriver(CTftpTransfer* pEngine, QObject* pParent = nullptr);
    ~CTransferDriver() override;

    CTransferDriver(const CTransferDriver&) = delete;
    CTransferDriver& operator=(const CTransferDriver&) = delete;

    CTftpTransfer& Engine() { return *m_pEngine; }
    const CTftpTransfer& Engine() const { return *m_pEngine; }

    // Hands the request to the engine and queues the first step. The engine's code: 0, or
    // TFTP_ERR_NET_OPEN while an earlier transfer still holds the socket (then nothing changes).
    TftpResult Start(const TransferRequest& request);
    // Runs the event loop until the transfer has returned to PHASE_IDLE; the transfer's result.
    // Returns at once when no transfer runs.
    TftpResult RunToEnd();

    // A transfer started by this driver has not yet returned to PHASE_IDLE.
    bool IsRunning() const { return m_bRunning; }
    // Step events posted or sent and not yet handled: never more than one.
    int QueuedSteps() const { return m_bStepQueued ? 1 : 0; }
    // Steps run since construction (the measure of idle work in tests).
    std::uint64_t StepsRun() const { return m_nStepsRun; }
    // For an owner with nothing else to serve while the router answers (the console companion):
    // once the engine waits for the router, the next datagram is awaited in the socket's read
    // itself, up to the engine's time-out, and its steps follow at once. The event loop gets its
    // turn when such a wait ends without a datagram from the router, and at least every 100 ms.
    void SetWaitInSocket(bool bWait) { m_bWaitInSocket = bWait; }

signals:
    void phaseChanged(int nPhase);
    // Emitted when the percentage or the count of bytes done changes.
    void percentChanged(int nPercent, qint64 nBytesDone);
    // The transfer is back in PHASE_IDLE. nResult is its code; peerText the router's ERROR message
    // (bytes as received) when nResult is TFTP_ERR_PEER_ERROR, else empty. It may come from inside
    // the socket's notification or the time-out: a receiver that ends the driver uses deleteLater.
    void finished(int nResult, const QByteArray& peerText);

protected:
    void customEvent(QEvent* pEvent) override;
    void timerEvent(QTimerEvent* pEvent) override;

private:
    void Attach();
    void PostStep();
    void RunSteps();
    bool WaitInSocket(int nHoldLeftMs);
    void RunStep();
    void Report();
    void ContinueOrFinish();

    std::unique_ptr<CTftpTransfer> m_pOwnedEngine;
    CTftpTransfer* m_pEngine = nullptr;
    bool m_bRunning = false;
    bool m_bStepQueued = false;
    bool m_bInSteps = false;          // RunSteps is sending steps
    bool m_bWaitInSocket = false;
    std::uint64_t m_nTransfer = 0;    // transfers started, so that a step loop never runs into the next
    int m_nShownPhase = -1;
    int m_nShownPercent = -1;
    std::int64_t m_nShownBytes = -1;
    std::uint64_t m_nStepsRun = 0;
};
