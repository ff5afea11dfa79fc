#include "TftpSocket.h"

#include <QCoreApplication>
#include <QPointer>
#include <QSocketNotifier>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "RouterAddress.h"
#include "TftpEvents.h"

namespace {

// Reads of one notification that found only an error report (a refusal) before the datagram behind
// it; bounded so that a storm of reports cannot hold the thread.
constexpr int kMaxReadsPerNotification = 64;

sockaddr_in MakeAddress(std::uint32_t nAddress, std::uint16_t nPort)
{
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(nPort);
    addr.sin_addr.s_addr = htonl(nAddress);
    return addr;
}

}  // namespace

CTftpSocket::CTftpSocket() = default;

CTftpSocket::~CTftpSocket()
{
    Close();
}

TftpResult CTftpSocket::Open(std::uint32_t nPort, const std::string& strAddress)
{
    Close();
    if (nPort > 0xFFFF)
        return TFTP_ERR_NET_OPEN;
    int nSocket = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (nSocket < 0)
        return TFTP_ERR_NET_OPEN;
    const sockaddr_in local = MakeAddress(INADDR_ANY, 0);
    if (::bind(nSocket, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        ::close(nSocket);
        return TFTP_ERR_NET_OPEN;
    }

    m_nSocket = nSocket;
    m_nPort = nPort;
    m_strAddress = strAddress;
    // Compared as a number: "010.001.000.001" is the router 10.1.0.1, whose datagrams the system
    // reports as coming from "10.1.0.1".
    const auto routerIp = ParseRouterAddress(strAddress);
    m_bRouterKnown = routerIp.has_value();
    m_nRouterIp = routerIp.value_or(0);
    m_bHasDatagram = false;
    m_nDatagramLen = 0;
    m_bFaultReported = false;
    m_bBlockingReads = false;
    m_nReadTimeoutMs = 0;

    m_pReadNotifier = new QSocketNotifier(static_cast<qintptr>(nSocket), QSocketNotifier::Read, this);
    QObject::connect(m_pReadNotifier, &QSocketNotifier::activated, this, [this] { OnReceive(0); });
    return TFTP_OK;
}

TftpResult CTftpSocket::SendPacket(const std::string& strAddress, const std::uint8_t* pBuffer, int nLength)
{
    // Only dotted IPv4 is ever looked at: a name would go to the resolver, which can block the
    // window for many seconds and may send queries beyond the local network.
    // The router's own address was read when the socket was opened.
    const auto address =
        (m_bRouterKnown && strAddress == m_strAddress) ? std::optional(m_nRouterIp) : ParseRouterAddress(strAddress);
    if (!address || IsRefusedDestination(*address))
        return TFTP_ERR_BAD_ADDRESS;
    if (m_nSocket < 0 || !pBuffer || nLength < 0)
        return TFTP_ERR_NET_FAULT;

    const sockaddr_in to = MakeAddress(*address, static_cast<std::uint16_t>(m_nPort));
    ssize_t nSent;
    do {
        // Never waits, whether or not reads may (WaitForDatagram).
        nSent = ::sendto(m_nSocket, pBuffer, static_cast<std::size_t>(nLength), MSG_DONTWAIT,
                         reinterpret_cast<const sockaddr*>(&to), sizeof to);
    } while (nSent < 0 && errno == EINTR);
    if (nSent >= 0)
        return TFTP_OK;

    switch (errno) {
    case EADDRNOTAVAIL:
    case EINVAL:
        return TFTP_ERR_BAD_ADDRESS;
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case ENOBUFS:
    case ECONNREFUSED:
        // A momentarily full queue, or the report of an earlier datagram that found no listener:
        // this datagram is simply lost, as it could be on the wire. The running time-out resends it,
        // and a router that stays unreachable ends the transfer with no response after the
        // retransmissions; failing a long firmware upload for one full queue would be worse.
        return TFTP_OK;
    default:
        return TFTP_ERR_NET_FAULT;
    }
}

TftpResult CTftpSocket::TakeDatagram(std::uint8_t* pBuffer, int& nCapacity)
{
    int nCount = 0;
    if (m_bHasDatagram && pBuffer && nCapacity > 0)
        nCount = m_nDatagramLen < nCapacity ? m_nDatagramLen : nCapacity;
    if (nCount > 0)
        std::memcpy(pBuffer, m_datagram, static_cast<std::size_t>(nCount));
    nCapacity = nCount;
    m_bHasDatagram = false;
    return TFTP_OK;
}

void CTftpSocket::Close()
{
    if (m_pReadNotifier) {
        // The notifier may be the very sender whose signal runs this (a fault handler that closes):
        // it is switched off now and goes when control is back in the event loop.
        m_pReadNotifier->setEnabled(false);
        m_pReadNotifier->deleteLater();
        m_pReadNotifier = nullptr;
    }
    if (m_nSocket >= 0) {
        ::close(m_nSocket);
        m_nSocket = -1;
    }
}

void CTftpSocket::OnReceive(int nErrorCode)
{
    if (nErrorCode != 0) {
        NotifyFault();
        return;
    }

    // One datagram per notification. The notifier is level-triggered and calls again for whatever
    // is still queued, so nothing waits longer than one turn of the event loop, a flood cannot hold
    // the thread, and the block exchange costs no read that only finds the queue empty.
    for (int nTry = 0; nTry < kMaxReadsPerNotification && m_nSocket >= 0; ++nTry) {
        if (ReadOne(MSG_DONTWAIT) != READ_AGAIN)
            return;
    }
}

bool CTftpSocket::TakeQueuedDatagram()
{
    if (m_nSocket < 0 || m_bHasDatagram)
        return false;
    for (int nTry = 0; nTry < kMaxReadsPerNotification && m_nSocket >= 0; ++nTry) {
        const ReadOutcome nOutcome = ReadOne(MSG_DONTWAIT);
        if (nOutcome != READ_AGAIN)
            return nOutcome == READ_ACCEPTED;
    }
    return false;
}

bool CTftpSocket::WaitForDatagram(int nMaxWaitMs)
{
    if (m_nSocket < 0 || m_bHasDatagram || nMaxWaitMs <= 0)
        return false;
    if (!m_bBlockingReads) {
        // Every other call on this socket says MSG_DONTWAIT: only this read ever waits.
        const int nFlags = ::fcntl(m_nSocket, F_GETFL);
        if (nFlags < 0 || ::fcntl(m_nSocket, F_SETFL, nFlags & ~O_NONBLOCK) != 0)
            return false;
        m_bBlockingReads = true;
        m_nReadTimeoutMs = 0;
    }
    if (nMaxWaitMs != m_nReadTimeoutMs) {
        timeval limit {};
        limit.tv_sec = nMaxWaitMs / 1000;
        limit.tv_usec = static_cast<suseconds_t>(nMaxWaitMs % 1000) * 1000;
        if (::setsockopt(m_nSocket, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0)
            return false;
        m_nReadTimeoutMs = nMaxWaitMs;
    }
    for (int nTry = 0; nTry < kMaxReadsPerNotification && m_nSocket >= 0; ++nTry) {
        const ReadOutcome nOutcome = ReadOne(0);
        if (nOutcome != READ_AGAIN)
            return nOutcome == READ_ACCEPTED;
    }
    return false;
}

CTftpSocket::ReadOutcome CTftpSocket::ReadOne(int nFlags)
{
    std::uint8_t buffer[TFTP_RECV_BUFFER_SIZE];
    sockaddr_in from {};
    socklen_t nFromLength = sizeof from;
    // MSG_TRUNC: the true length of a datagram larger than the buffer, so that it is never mistaken
    // for a full-sized one.
    const ssize_t nLength = ::recvfrom(m_nSocket, buffer, sizeof buffer, MSG_TRUNC | nFlags,
                                       reinterpret_cast<sockaddr*>(&from), &nFromLength);
    if (nLength < 0) {
        // The refusal reports an earlier datagram to a silent port, not a datagram: whatever is
        // queued behind it is read now. Time-outs decide about the silent port.
        if (errno == EINTR || errno == ECONNREFUSED)
            return READ_AGAIN;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return READ_NOTHING;
        NotifyFaultFromReceive();
        return READ_OTHER;
    }
    const bool bFromRouter = m_bRouterKnown && from.sin_family == AF_INET && ntohs(from.sin_port) == m_nPort &&
                             ntohl(from.sin_addr.s_addr) == m_nRouterIp;
    // Anything else on the network may reach an open UDP port; a stray datagram, whatever its size,
    // must not end the user's transfer.
    if (!bFromRouter || nLength == 0)
        return READ_OTHER;
    if (nLength > TFTP_RECV_BUFFER_SIZE) {
        NotifyFaultFromReceive();
        return READ_OTHER;
    }
    std::memcpy(m_datagram, buffer, static_cast<std::size_t>(nLength));
    m_nDatagramLen = static_cast<int>(nLength);
    m_bHasDatagram = true;
    if (m_onArrival)
        m_onArrival();
    return READ_ACCEPTED;
}

void CTftpSocket::NotifyFaultFromReceive()
{
    // The owner's fault handler may show a message box and so run an event loop of its own; the
    // notifier stays off meanwhile, or that loop would call back into OnReceive for the datagrams
    // still queued behind the faulty one.
    QPointer<CTftpSocket> alive(this);
    QPointer<QSocketNotifier> notifier(m_pReadNotifier);
    if (notifier)
        notifier->setEnabled(false);
    NotifyFault();
    if (alive && notifier && notifier == m_pReadNotifier)
        notifier->setEnabled(true);
}

void CTftpSocket::OnSend(int nErrorCode)
{
    if (nErrorCode != 0)
        NotifyFault();
}

void CTftpSocket::OnConnect(int nErrorCode)
{
    if (nErrorCode != 0)
        NotifyFault();
}

void CTftpSocket::OnClose(int nErrorCode)
{
    if (nErrorCode != 0)
        NotifyFault();
}

void CTftpSocket::NotifyFault()
{
    if (!m_pOwner || m_bFaultReported)
        return;
    m_bFaultReported = true;
    CTftpNotifyEvent event(NOTIFY_FAULT, TFTP_ERR_NET_FAULT);
    QCoreApplication::sendEvent(m_pOwner, &event);
}
