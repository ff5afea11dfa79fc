#pragma once
// The engine's one UDP socket. Every datagram goes to port 69 of the router; a datagram is held only
// when it comes from port 69 of the router's address. Arrival and faults are notifications on the
// owner's thread (QSocketNotifier over a non-blocking POSIX socket, so that the true length of an
// oversized datagram and its sender are both known from one read).

#include <QObject>

#include <cstdint>
#include <functional>
#include <string>

#include "TftpTypes.h"

class QSocketNotifier;

class CTftpSocket : public QObject {
public:
    CTftpSocket();
    ~CTftpSocket() override;

    CTftpSocket(const CTftpSocket&) = delete;
    CTftpSocket& operator=(const CTftpSocket&) = delete;

    // Creates a non-blocking UDP/IPv4 socket bound to any address and an ephemeral port.
    // 0, or TFTP_ERR_NET_OPEN.
    TftpResult Open(std::uint32_t nPort, const std::string& strAddress);
    // One datagram to the address and m_nPort. 0, TFTP_ERR_BAD_ADDRESS (the address is not dotted
    // IPv4, names no single host: 0.0.0.0, 255.255.255.255 or multicast, or the system refuses it;
    // nothing is sent then), or TFTP_ERR_NET_FAULT. A datagram the system drops for a full queue
    // counts as sent: it is lost as on the wire, and the engine's time-out resends it.
    TftpResult SendPacket(const std::string& strAddress, const std::uint8_t* pBuffer, int nLength);
    bool HasDatagram() const { return m_bHasDatagram; }
    // Copies min(nCapacity, m_nDatagramLen) bytes, returns the count in nCapacity, empties the slot.
    TftpResult TakeDatagram(std::uint8_t* pBuffer, int& nCapacity);
    // Waits in the read itself, at most nMaxWaitMs, for the next datagram, and takes what it reads as
    // a notification would. True when a datagram from the router went into the slot; false when the
    // wait ended without one (nothing came in time, a stray datagram came, or a fault was reported),
    // and the owner's event loop should have its turn. For an owner with nothing else to serve
    // while the router answers (the console companion): a datagram then costs one system call, not
    // a turn of the event loop and a read. From the first call on, the socket's reads may wait;
    // every other call on it still never does.
    bool WaitForDatagram(int nMaxWaitMs);
    // Takes a datagram that is already queued, as a notification would, and never waits: true when
    // one from the router went into the slot. For an owner that has just sent and would otherwise
    // hand over to its event loop only to be told of the answer at once.
    bool TakeQueuedDatagram();
    // Harmless when no socket is open.
    void Close();
    bool IsOpen() const { return m_nSocket >= 0; }

    // Target of WM_TFTP_NOTIFY while a transfer holds the socket; null otherwise.
    void SetOwner(QObject* pOwner) { m_pOwner = pOwner; }
    QObject* GetOwner() const { return m_pOwner; }
    // Called after a datagram has been accepted into the slot, so that an owner waiting for the
    // router knows there is work for the next step.
    void SetArrivalHandler(std::function<void()> handler) { m_onArrival = std::move(handler); }

    // Notifications. A non-zero error code is a fault reported to the owner.
    virtual void OnReceive(int nErrorCode);
    virtual void OnSend(int nErrorCode);
    virtual void OnConnect(int nErrorCode);
    virtual void OnClose(int nErrorCode);

    QObject* m_pOwner = nullptr;
    std::uint32_t m_nPort = 0;
    std::string m_strAddress;
    bool m_bHasDatagram = false;
    int m_nDatagramLen = 0;
    std::uint8_t m_datagram[TFTP_RECV_BUFFER_SIZE] = {};

private:
    enum ReadOutcome { READ_AGAIN, READ_NOTHING, READ_ACCEPTED, READ_OTHER };
    // One read and what it brought: READ_AGAIN for a report of an earlier datagram (read again).
    ReadOutcome ReadOne(int nFlags);
    void NotifyFault();
    void NotifyFaultFromReceive();

    int m_nSocket = -1;
    std::uint32_t m_nRouterIp = 0;   // the router's address as a number (host order)
    bool m_bRouterKnown = false;     // m_strAddress is dotted IPv4; otherwise nothing is ever accepted
    bool m_bFaultReported = false;   // one fault per open socket: the first one already ends the transfer
    bool m_bBlockingReads = false;   // WaitForDatagram has made reads wait
    int m_nReadTimeoutMs = 0;        // the longest a waiting read waits, once set
    QSocketNotifier* m_pReadNotifier = nullptr;
    std::function<void()> m_onArrival;
};
