// The transfer state machine: Step dispatches on the phase, StepSend and StepReceive on the inner
// step, each in the order of the transition tables, so that code and tables can be read side by side.
// Each call does at most one piece of work and returns; the engine never waits and never shows
// anything.

#include "TftpTransfer.h"

#include <QAbstractEventDispatcher>

#include "TftpSocket.h"

CTftpSocket* g_pSocket = nullptr;

CTftpTransfer::CTftpTransfer() : CTftpTransfer(TransferTimings{}) {}

CTftpTransfer::CTftpTransfer(const TransferTimings& timings) : m_timings(timings)
{
    // One engine per process: the socket, the packet buffers and the block stores are module-level.
    Q_ASSERT(g_pSocket == nullptr);
    g_pSocket = new CTftpSocket();
}

CTftpTransfer::~CTftpTransfer()
{
    // A transfer cut short by the owner's end (the window closed during a transfer) would otherwise
    // leave its blocks allocated and its time-out running on an owner that outlives the engine.
    StopTimer();
    FreeBlocks();
    delete g_pSocket;
    g_pSocket = nullptr;
}

TftpResult CTftpTransfer::Start(const TransferRequest& request, QObject* pOwner)
{
    if (m_bEndpointOpen)
        return TFTP_ERR_NET_OPEN;

    m_nDirection = request.nDirection;
    m_nFileKind = request.nFileKind;
    m_strRouter = request.strRouter;
    m_strPassword = request.strPassword;
    m_strFileNumber = request.strFileNumber;

    m_nBlock = 0;
    m_nBlockLen = 0;
    m_nBytesDone = 0;
    m_bLastBlock = false;
    m_nResult = TFTP_OK;
    m_localFailure = {};
    m_nFileSize = 0;
    m_nBlockCount = 0;
    m_nTotalBytes = 0;
    // The previous transfer released its blocks in PHASE_FINISH; releasing again finds nothing, but
    // keeps a transfer that never reached it (a Start during its failure path) from leaking them.
    FreeBlocks();

    // A timer kept from the last transfer belongs to its owner.
    if (m_bTimerKept)
        StopTimer();
    m_pOwner = pOwner;
    m_pOwnerGuard = pOwner;
    m_nPhase = PHASE_OPEN;
    return TFTP_OK;
}

TftpResult CTftpTransfer::Step()
{
    TftpResult nCode = TFTP_OK;
    switch (m_nPhase) {
    case PHASE_IDLE:
        return TFTP_OK;
    case PHASE_OPEN:
        nCode = OpenEndpoint();
        if (nCode == TFTP_OK)
            m_nPhase = PHASE_PREPARE;
        break;
    case PHASE_PREPARE:
        nCode = PrepareLocal();
        if (nCode == TFTP_OK)
            m_nPhase = PHASE_WAIT_REPLY;
        break;
    case PHASE_WAIT_REPLY:
    case PHASE_SENDING:
    case PHASE_RECEIVING:
    case PHASE_WRITING_ROM:
        nCode = (m_nDirection == DIRECTION_SEND) ? StepSend() : StepReceive();
        break;
    case PHASE_FAILED:
        m_nPhase = PHASE_FINISH;
        break;
    case PHASE_FINISH:
        nCode = FinishLocal();
        if (nCode == TFTP_OK)
            m_nPhase = PHASE_CLOSE;
        break;
    case PHASE_CLOSE:
        nCode = CloseEndpoint();
        if (nCode == TFTP_OK)
            m_nPhase = PHASE_IDLE;
        break;
    }
    if (nCode == TFTP_OK) {
        EndFaultNotices();
        return TFTP_OK;
    }

    m_nResult = nCode;
    // StepReceive has already chosen STEP_SEND_ERROR: the router is told first, the next step fails.
    if (nCode == TFTP_ERR_RECV_NO_MEMORY)
        return nCode;
    // A failure in PHASE_FINISH comes back to PHASE_FINISH once more, which then only frees memory
    // because m_nResult is no longer 0.
    m_nStep = STEP_NONE;
    m_nPhase = PHASE_FAILED;
    EndFaultNotices();
    return nCode;
}

TftpResult CTftpTransfer::StepSend()
{
    switch (m_nStep) {
    case STEP_SEND_REQUEST:
        if (TftpResult nCode = SendRequest())
            return nCode;
        m_nRetries = 0;
        ArmTimer(m_timings.nReplyTimeoutMs);
        m_nStep = STEP_WAIT_ACK;
        return TFTP_OK;

    case STEP_SEND_DATA:
        if (TftpResult nCode = SendData())
            return nCode;
        m_nRetries = 0;
        ArmTimer(m_timings.nReplyTimeoutMs);
        m_nStep = STEP_WAIT_ACK;
        return TFTP_OK;

    case STEP_WAIT_ACK:
    case STEP_WAIT_ROM_WRITE:
        // A held datagram is looked at before the time-out, so an answer that arrived together with
        // the expiry still counts.
        if (g_pSocket->HasDatagram()) {
            std::uint16_t nKind = PACKET_NONE;
            if (TftpResult nCode = ReadPacket(nKind))
                return nCode;
            if (nKind == PACKET_ACK) {
                // The ACK of the write request (block 0) finds m_nBlockLen still 0.
                m_nBytesDone += m_nBlockLen;
                ++m_nBlock;
                EndBlockWait();
                if (m_bLastBlock) {
                    m_nStep = STEP_NONE;
                    m_nPhase = PHASE_FINISH;
                } else {
                    m_nStep = STEP_SEND_DATA;
                    if (m_nPhase == PHASE_WAIT_REPLY)
                        m_nPhase = PHASE_SENDING;
                }
                return TFTP_OK;
            }
            if (nKind == PACKET_ERROR) {
                StopTimer();
                return TFTP_ERR_PEER_ERROR;
            }
            // Anything else (a duplicate ACK, a stray DATA) leaves the running time-out alone: the
            // block goes out again only when it expires.
            return TFTP_OK;
        }
        if (!m_bTimedOut)
            return TFTP_OK;
        StopTimer();
        if (m_nStep == STEP_WAIT_ROM_WRITE)
            return TFTP_ERR_NO_RESPONSE;
        if (m_nRetries < TFTP_MAX_RETRIES) {
            m_nStep = STEP_RESEND;
            return TFTP_OK;
        }
        if (m_bLastBlock) {
            // The routers stop answering while they write the image into flash ROM; the last block
            // has arrived, so they get one long wait without retransmission.
            ArmTimer(m_timings.nRomWriteTimeoutMs);
            m_nStep = STEP_WAIT_ROM_WRITE;
            m_nPhase = PHASE_WRITING_ROM;
            return TFTP_OK;
        }
        return TFTP_ERR_NO_RESPONSE;

    case STEP_RESEND:
        if (TftpResult nCode = Resend())
            return nCode;
        ++m_nRetries;
        ArmTimer(m_timings.nReplyTimeoutMs);
        m_nStep = STEP_WAIT_ACK;
        return TFTP_OK;

    case STEP_NONE:
    case STEP_SEND_ACK:
    case STEP_WAIT_DATA:
    case STEP_SEND_ERROR:
        break;
    }
    // Not a step of a send. Unreachable; failing beats stepping forever on nothing.
    return TFTP_ERR_OTHER;
}

TftpResult CTftpTransfer::StepReceive()
{
    switch (m_nStep) {
    case STEP_SEND_REQUEST:
        if (TftpResult nCode = SendRequest())
            return nCode;
        m_nRetries = 0;
        ArmTimer(m_timings.nReplyTimeoutMs);
        m_nStep = STEP_WAIT_DATA;
        return TFTP_OK;

    case STEP_SEND_ACK:
        if (TftpResult nCode = SendAck())
            return nCode;
        // Wraps from 65535 to 0, as the routers number their blocks.
        ++m_nBlock;
        m_nRetries = 0;
        if (m_bLastBlock) {
            // The final ACK goes out once; a repeated last block would find the socket closed.
            m_nStep = STEP_NONE;
            m_nPhase = PHASE_FINISH;
        } else {
            ArmTimer(m_timings.nReplyTimeoutMs);
            m_nStep = STEP_WAIT_DATA;
        }
        return TFTP_OK;

    case STEP_WAIT_DATA:
        if (g_pSocket->HasDatagram()) {
            std::uint16_t nKind = PACKET_NONE;
            if (TftpResult nCode = ReadPacket(nKind))
                return nCode;
            if (nKind == PACKET_DATA) {
                if (TftpResult nCode = StoreReceivedBlock()) {
                    // The router is told before the transfer fails; the time-out keeps running and
                    // expires harmlessly.
                    if (nCode == TFTP_ERR_RECV_NO_MEMORY)
                        m_nStep = STEP_SEND_ERROR;
                    return nCode;
                }
                m_nBytesDone += m_nBlockLen;
                EndBlockWait();
                m_nStep = STEP_SEND_ACK;
                if (m_nPhase == PHASE_WAIT_REPLY)
                    m_nPhase = PHASE_RECEIVING;
                return TFTP_OK;
            }
            if (nKind == PACKET_ERROR) {
                StopTimer();
                return TFTP_ERR_PEER_ERROR;
            }
            // A DATA block with another number is neither stored nor acknowledged.
            return TFTP_OK;
        }
        if (!m_bTimedOut)
            return TFTP_OK;
        StopTimer();
        if (m_nRetries < TFTP_MAX_RETRIES) {
            m_nStep = STEP_RESEND;
            return TFTP_OK;
        }
        return TFTP_ERR_NO_RESPONSE;

    case STEP_RESEND:
        // The read request before the first block, afterwards the ACK of the last block received.
        if (TftpResult nCode = Resend())
            return nCode;
        ++m_nRetries;
        ArmTimer(m_timings.nReplyTimeoutMs);
        m_nStep = STEP_WAIT_DATA;
        return TFTP_OK;

    case STEP_SEND_ERROR: {
        TftpResult nCode = SendError();
        if (nCode == TFTP_OK) {
            m_nStep = STEP_NONE;
            m_nPhase = PHASE_FAILED;
        }
        // A failed send replaces m_nResult through the failure path of Step.
        return nCode;
    }

    case STEP_NONE:
    case STEP_SEND_DATA:
    case STEP_WAIT_ACK:
    case STEP_WAIT_ROM_WRITE:
        break;
    }
    // Not a step of a receive. Unreachable; failing beats stepping forever on nothing.
    return TFTP_ERR_OTHER;
}

int CTftpTransfer::GetPercent() const
{
    if (m_nBytesDone == 0 || m_nTotalBytes == 0)
        return 0;
    // 64-bit: bytes × 100 leaves 32 bits from about 21 MB on.
    const std::int64_t nPercent = m_nBytesDone * 100 / m_nTotalBytes;
    return nPercent > 100 ? 100 : static_cast<int>(nPercent);
}

void CTftpTransfer::Fail(TftpResult nCode)
{
    m_nResult = nCode;
    m_nStep = STEP_NONE;
    m_nPhase = PHASE_FAILED;
    EndFaultNotices();
}

void CTftpTransfer::OnTimeout()
{
    m_bTimedOut = true;
    StopTimer();
    Wake();
}

void CTftpTransfer::SetLocalFile(bool bFileChosen, const std::string& strPath)
{
    m_bFileChosen = bFileChosen;
    m_strLocalPath = strPath;
}

bool CTftpTransfer::IsAwaitingEvent() const
{
    if (m_nPhase < PHASE_WAIT_REPLY || m_nPhase > PHASE_WRITING_ROM)
        return false;
    if (m_nStep != STEP_WAIT_ACK && m_nStep != STEP_WAIT_DATA && m_nStep != STEP_WAIT_ROM_WRITE)
        return false;
    return !g_pSocket->HasDatagram() && !m_bTimedOut;
}

bool CTftpTransfer::TakeQueuedAnswer()
{
    return IsAwaitingEvent() && g_pSocket->TakeQueuedDatagram();
}

void CTftpTransfer::SetWakeHandler(std::function<void()> handler)
{
    m_onWake = std::move(handler);
}

void CTftpTransfer::Wake()
{
    if (m_onWake)
        m_onWake();
}

TftpResult CTftpTransfer::OpenEndpoint()
{
    if (TftpResult nCode = g_pSocket->Open(m_timings.nRouterPort, m_strRouter))
        return nCode;
    m_bEndpointOpen = true;
    g_pSocket->SetOwner(m_pOwner);
    g_pSocket->SetArrivalHandler([this] { Wake(); });
    return TFTP_OK;
}

void CTftpTransfer::EndFaultNotices()
{
    // The socket stays open until PHASE_CLOSE, but once the exchange with the router is over (the
    // last packet went out, or the transfer has failed) a fault of it has nothing left to fail. Told
    // to the owner, one between the save of a received file and the close would report a failure for
    // a file that has just been replaced, and one after a failure would replace the code already
    // reported.
    if (m_nPhase >= PHASE_FAILED && m_bEndpointOpen)
        g_pSocket->SetOwner(nullptr);
}

TftpResult CTftpTransfer::CloseEndpoint()
{
    // Nothing of a transfer runs on after it, not even a kept timer.
    if (m_bTimerKept)
        StopTimer();
    if (m_bEndpointOpen) {
        g_pSocket->Close();
        m_bEndpointOpen = false;
        // No fault notification may reach the owner between transfers.
        g_pSocket->SetOwner(nullptr);
    }
    return TFTP_OK;
}

void CTftpTransfer::ArmTimer(int nMilliseconds)
{
    m_bTimedOut = false;
    if (!m_pOwner)
        return;
    if (m_bKeepTimer) {
        m_timeoutDue = std::chrono::steady_clock::now() + std::chrono::milliseconds(nMilliseconds);
        if (m_nTimerId != 0 && m_nTimerIntervalMs == nMilliseconds && m_pOwnerGuard) {
            // The timer started for an earlier wait fires first; TimerFired then starts it again for
            // what is left of this one.
            m_bTimerKept = false;
            return;
        }
    }
    // The owner has one time-out at a time: arming replaces a running one, so that a time-out left
    // over from a failed transfer can never expire inside the next transfer's wait.
    StopTimer();
    m_nTimerId = m_pOwner->startTimer(nMilliseconds, Qt::PreciseTimer);
    m_nTimerIntervalMs = nMilliseconds;
}

void CTftpTransfer::StopTimer()
{
    if (m_nTimerId != 0 && m_pOwner) {
        // An owner that is gone has taken its timers with it.
        if (m_pOwnerGuard)
            m_pOwner->killTimer(m_nTimerId);
        m_nTimerId = 0;
    }
    m_bTimerKept = false;
    m_nTimerIntervalMs = 0;
}

void CTftpTransfer::EndBlockWait()
{
    // After the last block no wait of the same length follows.
    if (m_bKeepTimer && m_nTimerId != 0 && !m_bLastBlock)
        m_bTimerKept = true;
    else
        StopTimer();
}

bool CTftpTransfer::TimerFired(int nTimerId)
{
    // Every timer of the owner is the engine's.
    if (!m_bKeepTimer || nTimerId != m_nTimerId)
        return true;
    if (m_bTimerKept) {
        // Kept for a next block's wait that never came (the transfer failed in between).
        StopTimer();
        return false;
    }
    const int nLeftMs = TimeoutRemainingMs();
    if (nLeftMs <= 0)
        return true;
    StopTimer();
    m_nTimerId = m_pOwner->startTimer(nLeftMs, Qt::PreciseTimer);
    m_nTimerIntervalMs = nLeftMs;
    return false;
}

int CTftpTransfer::TimeoutRemainingMs() const
{
    if (m_nTimerId == 0 || m_bTimerKept || !m_pOwnerGuard)
        return -1;
    if (m_bKeepTimer) {
        // Whole milliseconds, rounded down: a timer that fires within a millisecond of the wait's end
        // has found it due.
        const auto left = m_timeoutDue - std::chrono::steady_clock::now();
        const auto nLeftMs = std::chrono::duration_cast<std::chrono::milliseconds>(left).count();
        return nLeftMs <= 0 ? 0 : static_cast<int>(nLeftMs);
    }
    QAbstractEventDispatcher* pDispatcher = QAbstractEventDispatcher::instance(m_pOwner->thread());
    const int nLeftMs = pDispatcher ? pDispatcher->remainingTime(m_nTimerId) : -1;
    return nLeftMs < 0 ? -1 : nLeftMs;
}
