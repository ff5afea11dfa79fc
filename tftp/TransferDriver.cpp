#include "TransferDriver.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimerEvent>

#include <algorithm>

#include "TftpEvents.h"
#include "TftpSocket.h"

namespace {

// Steps sent back to back before the event loop gets a turn.
constexpr int kMaxStepsSent = 16;

// Waiting in the socket's read: the longest one read waits, and how long the event loop may go
// without a turn of its own.
constexpr int kWaitInSocketMs = 100;
constexpr int kMaxHoldMs = 100;

}  // namespace

CTransferDriver::CTransferDriver(const TransferTimings& timings, QObject* pParent)
    : QObject(pParent), m_pOwnedEngine(std::make_unique<CTftpTransfer>(timings)), m_pEngine(m_pOwnedEngine.get())
{
    Attach();
}

CTransferDriver::CTransferDriver(CTftpTransfer* pEngine, QObject* pParent) : QObject(pParent), m_pEngine(pEngine)
{
    Attach();
}

CTransferDriver::~CTransferDriver()
{
    // A borrowed engine outlives this object: it must not call back into it.
    m_pEngine->SetWakeHandler({});
    // The owned engine goes first, while this object can still have its timer killed.
    m_pOwnedEngine.reset();
}

void CTransferDriver::Attach()
{
    m_pEngine->SetWakeHandler([this] {
        // A datagram arrived or the time-out expired: the engine has work, done at once in the
        // notification that brought it. A wake after the transfer has ended (a time-out left running
        // by a failure) asks for nothing.
        if (m_bRunning)
            RunSteps();
    });
}

TftpResult CTransferDriver::Start(const TransferRequest& request)
{
    const TftpResult nCode = m_pEngine->Start(request, this);
    if (nCode != TFTP_OK)
        return nCode;
    m_bRunning = true;
    ++m_nTransfer;
    m_nShownPhase = -1;
    m_nShownPercent = -1;
    m_nShownBytes = -1;
    PostStep();
    return TFTP_OK;
}

TftpResult CTransferDriver::RunToEnd()
{
    if (m_bRunning) {
        QEventLoop loop;
        connect(this, &CTransferDriver::finished, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return m_pEngine->GetResult();
}

void CTransferDriver::PostStep()
{
    if (m_bStepQueued)
        return;
    m_bStepQueued = true;
    QCoreApplication::postEvent(this, new QEvent(WM_TRANSFER_STEP));
}

void CTransferDriver::RunSteps()
{
    // One step per WM_TRANSFER_STEP still, but sent rather than posted while the engine has work
    // that waits for nothing: a posted event costs a wake-up of the event loop, a turn through it
    // and the read of the wake-up, three system calls for every step, more than the block exchange
    // itself. Nothing is lost by not turning the loop in between: a step that sends or finishes
    // looks at neither the datagram slot nor the time-out, and a datagram or time-out that comes
    // meanwhile is taken by the next turn, before the engine looks for one.
    // A step of the loop below that wakes the engine, or a posted step still to come (the first of
    // a transfer), carries the work on by itself.
    if (m_bInSteps || m_bStepQueued)
        return;
    m_bInSteps = true;
    const std::uint64_t nTransfer = m_nTransfer;
    QElapsedTimer held;
    if (m_bWaitInSocket)
        held.start();
    int nSent = 0;
    while (m_bRunning && m_nTransfer == nTransfer && m_pEngine->GetPhase() != PHASE_IDLE) {
        if (m_pEngine->IsAwaitingEvent()) {
            // The router's answer, read here rather than after a turn of the event loop; a wait
            // that brings none (a time-out to come, a fault, a stray datagram) hands over to it.
            if (!m_bWaitInSocket || held.elapsed() >= kMaxHoldMs
                || !WaitInSocket(kMaxHoldMs - static_cast<int>(held.elapsed())))
                break;
            nSent = 0;
            continue;
        }
        // The engine always comes to a wait or to its end within a few steps; should it ever not,
        // the event loop still gets its turns.
        if (nSent++ == kMaxStepsSent) {
            PostStep();
            break;
        }
        m_bStepQueued = true;
        QEvent step(WM_TRANSFER_STEP);
        QCoreApplication::sendEvent(this, &step);
    }
    m_bInSteps = false;
}

bool CTransferDriver::WaitInSocket(int nHoldLeftMs)
{
    // Never past the engine's time-out: that is the event loop's to deliver.
    const int nTimerId = m_pEngine->GetTimerId();
    if (nTimerId == 0 || g_pSocket == nullptr)
        return false;
    QAbstractEventDispatcher* pDispatcher = QAbstractEventDispatcher::instance(thread());
    const int nRemainingMs = pDispatcher ? pDispatcher->remainingTime(nTimerId) : -1;
    if (nRemainingMs <= 0)
        return false;
    // Nor past the time the event loop may go without a turn.
    return g_pSocket->WaitForDatagram(std::min({nRemainingMs, kWaitInSocketMs, nHoldLeftMs}));
}

void CTransferDriver::customEvent(QEvent* pEvent)
{
    if (pEvent->type() == WM_TRANSFER_STEP) {
        m_bStepQueued = false;
        RunStep();
        return;
    }
    if (pEvent->type() == WM_TFTP_NOTIFY) {
        const auto* pNotify = static_cast<const CTftpNotifyEvent*>(pEvent);
        if (pNotify->m_nKind != NOTIFY_FAULT || !m_bRunning)
            return;
        m_pEngine->Fail(pNotify->m_nCode);
        Report();
        // The fault may come while the engine waits with no step queued.
        ContinueOrFinish();
        return;
    }
    QObject::customEvent(pEvent);
}

void CTransferDriver::timerEvent(QTimerEvent* /*pEvent*/)
{
    // Every timer of this object is the engine's; OnTimeout wakes the step loop.
    m_pEngine->OnTimeout();
}

void CTransferDriver::RunStep()
{
    if (!m_bRunning)
        return;
    m_pEngine->Step();
    ++m_nStepsRun;
    Report();
    ContinueOrFinish();
}

void CTransferDriver::Report()
{
    const int nPhase = m_pEngine->GetPhase();
    if (nPhase != m_nShownPhase) {
        m_nShownPhase = nPhase;
        emit phaseChanged(nPhase);
    }
    const int nPercent = m_pEngine->GetPercent();
    const std::int64_t nBytes = m_pEngine->GetBytesDone();
    if (nPercent != m_nShownPercent || nBytes != m_nShownBytes) {
        m_nShownPercent = nPercent;
        m_nShownBytes = nBytes;
        emit percentChanged(nPercent, static_cast<qint64>(nBytes));
    }
}

void CTransferDriver::ContinueOrFinish()
{
    if (m_pEngine->GetPhase() == PHASE_IDLE) {
        m_bRunning = false;
        const TftpResult nResult = m_pEngine->GetResult();
        QByteArray peerText;
        if (nResult == TFTP_ERR_PEER_ERROR) {
            const std::string text = m_pEngine->PeerErrorText();
            peerText = QByteArray(text.data(), static_cast<qsizetype>(text.size()));
        }
        emit finished(nResult, peerText);
        return;
    }
    RunSteps();
}
