#pragma once
// The step loop shared by both owners of the engine, and the owner of a transfer for everything but
// the transfer window: the console companion, the tests and the benchmarks. The driver runs the loop
// as the window does (the engine's time-outs as timers of this object, socket faults as
// WM_TFTP_NOTIFY). The first step of a transfer is posted; the steps that follow are sent, one after
// another, until the engine waits again (no window needs painting in between).

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>

#include <cstdint>
#include <memory>

#include "TftpTransfer.h"
#include "TftpTypes.h"

// The step loop of an owner of the engine (the window, and the driver below): one step per
// WM_TRANSFER_STEP, never more than one step event queued, and no step at all while the engine waits
// for the router (its wake runs the next one). Steps that follow a step, the arrival of a datagram or
// the expiry of the time-out run one after another in the call that brought the work, until the
// engine waits again: a posted step costs a wake-up of the event loop, a turn through it and the read
// of the wake-up, three system calls for every step, more than the block exchange itself. Between two
// steps the owner's hook decides what else is done: the window handles its own events there and
// takes an answer already queued; the console waits for the router in the socket.
class CStepLoop {
public:
    class Owner {
    public:
        // One step of the engine, with whatever the owner shows of it.
        virtual void RunStep() = 0;
        // A step of a run below, for an owner that hands its steps through its own event handler
        // (where event filters see them); by default RunStep.
        virtual void SendStep() { RunStep(); }
        // The owner's transfer still wants steps.
        virtual bool MayStep() const = 0;
        // A run of steps begins.
        virtual void RunBegins() {}
        // Between two steps of a run; bAwaiting: the engine now waits for the router. False ends the
        // run (the engine's wake or a queued step carries the work on).
        virtual bool BetweenSteps(bool bAwaiting) = 0;

    protected:
        ~Owner() = default;
    };

    // The most steps one run takes (32 blocks) before the event loop gets a turn: the next step goes
    // through the queue, or, where the engine waits, the router's answer through the event loop's
    // notification.
    static constexpr int kMaxStepsInARow = 64;

    // pEngine is the owner's pointer to the engine, read at every look (the window sets its engine
    // after the loop is made).
    CStepLoop(QObject* pTarget, CTftpTransfer* const& pEngine, Owner& owner)
        : m_pTarget(pTarget), m_pEngine(pEngine), m_owner(owner)
    {
    }

    // Queues a step event to the target, unless one is queued already.
    void Post();
    // The owner's WM_TRANSFER_STEP that came through the queue: runs it and the steps that follow.
    void OnPostedStep();
    // The engine's wake: runs the steps it brought, or, inside a step, has the run take one more.
    void OnWake();
    // Runs steps for as long as the engine has work that waits for nothing.
    void Run() { Run(false); }

    bool IsQueued() const { return m_bStepQueued; }
    bool InSteps() const { return m_bInSteps; }
    // The engine was woken during the run: the next step is taken even where it seems to wait.
    bool IsStepRequested() const { return m_bStepRequested; }

private:
    void Run(bool bPosted);

    QObject* m_pTarget;
    CTftpTransfer* const& m_pEngine;
    Owner& m_owner;
    bool m_bStepQueued = false;
    bool m_bInSteps = false;         // a run of steps, a step's display or the owner's hook is under way
    bool m_bStepRequested = false;   // woken during a run: the run takes the next step itself
};

class CTransferDriver : public QObject, private CStepLoop::Owner {
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
    int QueuedSteps() const { return m_loop.IsQueued() || m_bSendingStep ? 1 : 0; }
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
    bool WaitInSocket(int nHoldLeftMs);
    void Report();
    void Finish();

    // CStepLoop::Owner
    void RunStep() override;
    void SendStep() override;
    bool MayStep() const override;
    void RunBegins() override;
    bool BetweenSteps(bool bAwaiting) override;

    std::unique_ptr<CTftpTransfer> m_pOwnedEngine;
    CTftpTransfer* m_pEngine = nullptr;
    CStepLoop m_loop;
    bool m_bRunning = false;
    bool m_bSendingStep = false;      // the loop's step is on its way through customEvent
    bool m_bWaitInSocket = false;
    std::uint64_t m_nTransfer = 0;    // transfers started, so that a run of steps never runs into the next
    std::uint64_t m_nRunTransfer = 0; // the transfer the running run of steps began with
    QElapsedTimer m_held;             // since the run began, while waiting in the socket
    int m_nShownPhase = -1;
    int m_nShownPercent = -1;
    std::int64_t m_nShownBytes = -1;
    std::uint64_t m_nStepsRun = 0;
};
