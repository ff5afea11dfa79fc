#include "TransferDriver.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimerEvent>

#include <algorithm>

#include "TftpEvents.h"
#include "TftpSocket.h"

namespace {

// Waiting in the socket's read: the longest one read waits, and how long the event loop may go
// without a turn of its own.
constexpr int kWaitInSocketMs = 100;
constexpr int kMaxHoldMs = 100;

}  // namespace

void CStepLoop::Post()
{
    if (m_bStepQueued)
        return;
    m_bStepQueued = true;
    QCoreApplication::postEvent(m_pTarget, new QEvent(WM_TRANSFER_STEP));
}

void CStepLoop::OnPostedStep()
{
    m_bStepQueued = false;
    if (m_bInSteps) {
        // Dispatched by a turn of the event loop inside a run (a message box, the window's events):
        // the run takes the step when it is back.
        m_bStepRequested = true;
        return;
    }
    Run(true);
}

void CStepLoop::OnWake()
{
    if (m_bInSteps) {
        m_bStepRequested = true;
        return;
    }
    // A step still queued (the first of a transfer, or one queued after a long run) takes the work.
    Run(false);
}

void CStepLoop::Run(bool bPosted)
{
    // Nothing is lost by not turning the event loop between two steps: a step that sends or finishes
    // looks at neither the datagram slot nor the time-out, and a datagram or time-out that comes
    // meanwhile is taken by the owner's hook or the next turn, before the engine looks for one.
    if (m_bInSteps || m_bStepQueued)
        return;
    m_owner.RunBegins();
    if (!m_owner.MayStep())
        return;
    m_bInSteps = true;
    m_bStepRequested = bPosted;
    int nSteps = 0;
    // A step queued meanwhile (a new transfer, a fault's step, a long run) carries the work on.
    while (!m_bStepQueued && m_owner.MayStep()) {
        if (nSteps > 0) {
            const bool bAwaiting = !m_bStepRequested && m_pEngine->IsAwaitingEvent();
            // A run that has had its share of steps leaves the router's answer to the event loop's
            // notification, so that what waits there has its turn.
            if (bAwaiting && nSteps >= kMaxStepsInARow)
                break;
            if (!m_owner.BetweenSteps(bAwaiting))
                break;
            // Unless the hook brought the router's answer, the engine's wake runs the next step.
            if (bAwaiting && !m_bStepRequested && m_pEngine->IsAwaitingEvent())
                break;
            if (m_bStepQueued || !m_owner.MayStep())
                break;
        }
        if (nSteps == kMaxStepsInARow) {
            Post();
            break;
        }
        ++nSteps;
        m_bStepRequested = false;
        if (nSteps == 1 && bPosted)
            m_owner.RunStep();
        else
            m_owner.SendStep();
    }
    m_bInSteps = false;
}

CTransferDriver::CTransferDriver(const TransferTimings& timings, QObject* pParent)
    : QObject(pParent),
      m_pOwnedEngine(std::make_unique<CTftpTransfer>(timings)),
      m_pEngine(m_pOwnedEngine.get()),
      m_loop(this, m_pEngine, *this)
{
    Attach();
}

CTransferDriver::CTransferDriver(CTftpTransfer* pEngine, QObject* pParent)
    : QObject(pParent), m_pEngine(pEngine), m_loop(this, m_pEngine, *this)
{
    Attach();
}

CTransferDriver::~CTransferDriver()
{
    // A borrowed engine outlives this object: it must not call back into it, and its next owner's
    // timers may not be read through TimerFired.
    m_pEngine->SetWakeHandler({});
    m_pEngine->SetTimerKeptBetweenBlocks(false);
    // The owned engine goes first, while this object can still have its timer killed.
    m_pOwnedEngine.reset();
}

void CTransferDriver::Attach()
{
    m_pEngine->SetTimerKeptBetweenBlocks(true);
    // A datagram arrived or the time-out expired: the engine has work, done at once in the
    // notification that brought it. A wake after the transfer has ended (a time-out left running by
    // a failure) asks for nothing.
    m_pEngine->SetWakeHandler([this] {
        if (m_bRunning)
            m_loop.OnWake();
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
    m_loop.Post();
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

bool CTransferDriver::MayStep() const
{
    return m_bRunning && m_nTransfer == m_nRunTransfer && m_pEngine->GetPhase() != PHASE_IDLE;
}

void CTransferDriver::RunBegins()
{
    m_nRunTransfer = m_nTransfer;
    if (m_bWaitInSocket)
        m_held.start();
}

bool CTransferDriver::BetweenSteps(bool bAwaiting)
{
    if (!bAwaiting)
        return true;
    // The router's answer, read here rather than after a turn of the event loop; a wait that
    // brings none (a time-out to come, a fault, a stray datagram) hands over to it.
    return m_bWaitInSocket && m_held.elapsed() < kMaxHoldMs
           && WaitInSocket(kMaxHoldMs - static_cast<int>(m_held.elapsed()));
}

bool CTransferDriver::WaitInSocket(int nHoldLeftMs)
{
    // Never past the engine's time-out: that is the event loop's to deliver.
    const int nRemainingMs = m_pEngine->TimeoutRemainingMs();
    if (nRemainingMs <= 0 || g_pSocket == nullptr)
        return false;
    // Nor past the time the event loop may go without a turn.
    return g_pSocket->WaitForDatagram(std::min({nRemainingMs, kWaitInSocketMs, nHoldLeftMs}));
}

void CTransferDriver::SendStep()
{
    // Through customEvent, where event filters see each step.
    m_bSendingStep = true;
    QEvent step(WM_TRANSFER_STEP);
    QCoreApplication::sendEvent(this, &step);
    m_bSendingStep = false;
}

void CTransferDriver::customEvent(QEvent* pEvent)
{
    if (pEvent->type() == WM_TRANSFER_STEP) {
        if (m_bSendingStep) {
            m_bSendingStep = false;
            RunStep();
        } else {
            m_loop.OnPostedStep();
        }
        return;
    }
    if (pEvent->type() == WM_TFTP_NOTIFY) {
        const auto* pNotify = static_cast<const CTftpNotifyEvent*>(pEvent);
        if (pNotify->m_nKind != NOTIFY_FAULT || !m_bRunning)
            return;
        m_pEngine->Fail(pNotify->m_nCode);
        Report();
        // The fault may come while the engine waits with no step queued.
        if (m_pEngine->GetPhase() == PHASE_IDLE)
            Finish();
        else
            m_loop.Run();
        return;
    }
    QObject::customEvent(pEvent);
}

void CTransferDriver::timerEvent(QTimerEvent* pEvent)
{
    // Every timer of this object is the engine's; OnTimeout wakes the step loop.
    if (m_pEngine->TimerFired(pEvent->timerId()))
        m_pEngine->OnTimeout();
}

void CTransferDriver::RunStep()
{
    if (!m_bRunning)
        return;
    m_pEngine->Step();
    ++m_nStepsRun;
    Report();
    if (m_pEngine->GetPhase() == PHASE_IDLE)
        Finish();
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

void CTransferDriver::Finish()
{
    m_bRunning = false;
    const TftpResult nResult = m_pEngine->GetResult();
    QByteArray peerText;
    if (nResult == TFTP_ERR_PEER_ERROR) {
        const std::string text = m_pEngine->PeerErrorText();
        peerText = QByteArray(text.data(), static_cast<qsizetype>(text.size()));
    }
    emit finished(nResult, peerText);
}
