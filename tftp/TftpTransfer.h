#pragma once
// The transfer engine: one TFTP transfer at a time with a router, driven one Step at a time by its
// owner. The engine never blocks and never shows anything; failures are result codes.
//
// The owner (the dialog, the console companion, a test) is a QObject:
//  - it calls Step for every WM_TRANSFER_STEP it posts to itself, until GetPhase is PHASE_IDLE;
//  - its timers are the engine's: the engine starts them on the owner (startTimer), and the owner's
//    timerEvent calls OnTimeout;
//  - socket faults reach it synchronously as a CTftpNotifyEvent (WM_TFTP_NOTIFY), whose handler
//    calls Fail.
// An owner that does not want to spin posts the next step only while IsAwaitingEvent is false, and
// otherwise waits for the wake handler, which runs when a datagram arrives or a time-out expires.

#include <QObject>
#include <QPointer>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "LocalFile.h"
#include "TftpTypes.h"

class CTftpSocket;

// Time-out durations and the router's port. The programs always use the defaults; tests may shorten
// the waits, and talk to a router simulator on an unprivileged port so that they need no root.
struct TransferTimings {
    int nReplyTimeoutMs = 5000;       // after every packet that expects an answer
    int nRomWriteTimeoutMs = 180000;  // the final wait while the router writes its flash ROM
    std::uint16_t nRouterPort = TFTP_PORT;
};

// Classification of a received datagram by ReadPacket.
inline constexpr std::uint16_t PACKET_NONE = 0;
inline constexpr std::uint16_t PACKET_DATA = 3;   // the expected DATA block
inline constexpr std::uint16_t PACKET_ACK = 4;    // the expected ACK
inline constexpr std::uint16_t PACKET_ERROR = 5;  // an ERROR packet

// Most retransmissions of one packet.
inline constexpr std::uint16_t TFTP_MAX_RETRIES = 4;
// Bound of the receive list: a router that sends more is treated as memory running out.
inline constexpr std::int64_t TFTP_MAX_RECEIVE_BYTES = 64LL * 1024 * 1024;
// Largest file that can be sent: 65535 blocks, the last one short.
inline constexpr std::int64_t TFTP_MAX_SEND_BYTES = 65534LL * 512 + 511;

// The bytes of a received file as the engine holds them, in its blocks: handed to the owner's
// received-file handler, and valid only while that runs.
class CReceivedBytes {
public:
    // Largest piece ForEachPiece hands over.
    static constexpr std::size_t kMaxPiece = 128 * TFTP_BLOCK_SIZE;

    std::int64_t Size() const { return m_nSize; }
    // Hands the bytes to visit in order, in pieces of at most kMaxPiece bytes (a piece is valid only
    // during its call; none for an empty file). Stops at the first false from visit, and then
    // returns false.
    bool ForEachPiece(const std::function<bool(std::string_view piece)>& visit) const;

private:
    friend class CTftpTransfer;
    explicit CReceivedBytes(std::int64_t nSize) : m_nSize(nSize) {}
    std::int64_t m_nSize;
};

class CTftpTransfer {
public:
    CTftpTransfer();
    explicit CTftpTransfer(const TransferTimings& timings);
    virtual ~CTftpTransfer();

    CTftpTransfer(const CTftpTransfer&) = delete;
    CTftpTransfer& operator=(const CTftpTransfer&) = delete;

    TftpResult Start(const TransferRequest& request, QObject* pOwner);
    TftpResult Step();
    TransferPhase GetPhase() const { return m_nPhase; }
    TftpResult GetResult() const { return m_nResult; }
    int GetPercent() const;
    void Fail(TftpResult nCode);
    void OnTimeout();
    void SetLocalFile(bool bFileChosen, const std::string& strPath);
    bool IsFileChosen() const { return m_bFileChosen; }
    void SetFileChosen(bool bFileChosen) { m_bFileChosen = bFileChosen; }
    // The message of the last ERROR packet received, up to its first zero byte.
    std::string PeerErrorText() const;
    // Why the local file failed the last transfer (the file and the system's reason), when a failure
    // of the local file ended it; Kind::None otherwise.
    const LocalFailure& GetLocalFailure() const { return m_localFailure; }

    // True while the engine waits for the router: the next Step would do nothing until a datagram
    // arrives or the running time-out expires.
    bool IsAwaitingEvent() const;
    // Runs when a datagram has been accepted or a time-out has expired.
    void SetWakeHandler(std::function<void()> handler);
    // While the engine waits for the router: takes its answer if it is already queued, never
    // waiting (the wake handler runs as for any arrival). True when the next step has work.
    bool TakeQueuedAnswer();

    // Sees every datagram the engine sends (bSent) and every one it takes from the router, as the
    // bytes on the wire, inside the step that sends or reads it: for a trace. Never changes anything.
    using DatagramObserver = std::function<void(bool bSent, std::span<const std::uint8_t> datagram)>;
    void SetDatagramObserver(DatagramObserver observer) { m_onDatagram = std::move(observer); }
    // A received file handed over once every block has arrived, before it is saved (or instead of
    // the save when bSaveLocalFile is false: the bytes go elsewhere, or are only compared). The
    // handler reads the bytes from the blocks where they are, piece by piece: no second copy of the
    // file is made. A code other than 0 from the handler fails the transfer like a failed save.
    // Without the save the local path is no target at all: nothing about it is checked or touched.
    // Stays set for later transfers; an empty handler with true restores the plain save.
    using ReceivedHandler = std::function<TftpResult(const CReceivedBytes& bytes)>;
    void SetReceivedHandler(ReceivedHandler handler, bool bSaveLocalFile);

    // For an owner whose timerEvent asks TimerFired before it calls OnTimeout (the transfer window and
    // the transfer driver): from one block to the next the time-out's timer is kept rather than
    // stopped and started again (a restart of a Qt timer costs as much as the rest of the block's
    // steps); the next wait only moves its deadline.
    void SetTimerKeptBetweenBlocks(bool bKeep) { m_bKeepTimer = bKeep; }
    // The owner's timer nTimerId has fired: true when the time-out it stands for is due, and the owner
    // then calls OnTimeout. False when the timer was kept past its wait: the engine has started it
    // again for what is left of the wait, or stopped it when no wait runs.
    bool TimerFired(int nTimerId);
    // Milliseconds left of the running time-out, 0 when it is due; -1 when none runs.
    int TimeoutRemainingMs() const;

    // Read-only views for progress displays and tests.
    TransferStep GetStep() const { return m_nStep; }
    std::uint16_t GetRetries() const { return m_nRetries; }
    // The running time-out's timer on the owner, 0 when none runs (a kept timer between two blocks
    // is none).
    int GetTimerId() const { return m_bTimerKept ? 0 : m_nTimerId; }
    bool IsEndpointOpen() const { return m_bEndpointOpen; }
    std::int64_t GetBytesDone() const { return m_nBytesDone; }
    std::int64_t GetTotalBytes() const { return m_nTotalBytes; }
    const std::string& GetLocalPath() const { return m_strLocalPath; }
    const TransferTimings& GetTimings() const { return m_timings; }

protected:
    // Packets.
    TftpResult SendRequest();
    TftpResult SendData();
    TftpResult SendAck();
    TftpResult SendError();
    TftpResult ReadPacket(std::uint16_t& nKind);
    TftpResult Resend();

    // State machine.
    TftpResult StepSend();
    TftpResult StepReceive();
    TftpResult OpenEndpoint();
    TftpResult CloseEndpoint();
    // Stops the socket's fault notices to the owner once the exchange with the router is over.
    void EndFaultNotices();
    void ArmTimer(int nMilliseconds);
    void StopTimer();
    // The block's wait is over and the next block's wait follows: stops the time-out, or keeps its
    // timer for the next wait.
    void EndBlockWait();

    // Local file.
    TftpResult PrepareLocal();
    TftpResult LoadSendFile();
    TftpResult StoreReceivedBlock();
    TftpResult FinishLocal();
    TftpResult FinishReceive();
    TftpResult SaveReceivedFile();
    TftpResult HandOverReceived();
    TftpResult FreeBlocks();

    QObject* m_pOwner = nullptr;
    bool m_bTimedOut = false;
    int m_nTimerId = 0;
    bool m_bKeepTimer = false;
    bool m_bTimerKept = false;          // the timer runs on with no wait of its own
    int m_nTimerIntervalMs = 0;         // the interval the timer was started with
    std::chrono::steady_clock::time_point m_timeoutDue;  // while the timer is kept between blocks
    std::string m_strRouter;
    bool m_bEndpointOpen = false;
    std::int16_t m_nDirection = DIRECTION_SEND;
    std::int16_t m_nFileKind = FILE_KIND_FIRMWARE;
    TransferPhase m_nPhase = PHASE_IDLE;
    TransferStep m_nStep = STEP_NONE;
    int m_nSendLen = 0;
    int m_nRecvLen = 0;
    TftpResult m_nResult = TFTP_OK;
    std::uint16_t m_nRetries = 0;
    bool m_bFileChosen = false;
    std::string m_strLocalPath;
    std::string m_strPassword;
    std::string m_strFileNumber;
    CLocalFile m_file;
    LocalFailure m_localFailure;
    std::int64_t m_nFileSize = 0;       // 64-bit so that a 4 GiB file is never taken for a small one
    std::uint16_t m_nBlockCount = 0;
    std::int64_t m_nTotalBytes = 0;
    std::uint16_t m_nBlock = 0;
    int m_nBlockLen = 0;
    std::int64_t m_nBytesDone = 0;
    bool m_bLastBlock = false;

    TransferTimings m_timings;
    std::function<void()> m_onWake;
    DatagramObserver m_onDatagram;
    ReceivedHandler m_onReceived;
    bool m_bSaveReceived = true;
    // Tracks whether m_pOwner still exists, so that stopping a timer never touches a destroyed owner.
    QPointer<QObject> m_pOwnerGuard;

private:
    void Wake();
};

// Module-level engine state: one transfer at a time in the process.
extern std::uint8_t g_sendBuffer[TFTP_SEND_BUFFER_SIZE];
extern std::uint8_t g_recvBuffer[TFTP_RECV_BUFFER_SIZE];
extern SendBlock* g_pSendBlocks;
extern RecvBlock* g_pRecvHead;
extern RecvBlock* g_pRecvTail;
extern CTftpSocket* g_pSocket;
