#include "TransferDriver.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimerEvent>

#include "TftpEvents.h"

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
        // A datagram arrived or the time-out expired: the engine has work for one step. A wake after
        // the transfer has ended (a time-out left running by a failure) asks for nothing.
        if (m_bRunning)
            PostStep();
    });
}

TftpResult CTransferDriver::Start(const TransferRequest& request)
{
    const TftpResult nCode = m_pEngine->Start(request, this);
    if (nCode != TFTP_OK)
        return nCode;
    m_bRunning = true;
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
    if (!m_pEngine->IsAwaitingEvent())
        PostStep();
}
