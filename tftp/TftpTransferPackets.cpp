// The engine's packet operations: each builds its packet in the send buffer, which keeps it for a
// retransmission, and hands it to the socket; ReadPacket takes the held datagram and classifies it.

#include <cstring>
#include <span>

#include "Packets.h"
#include "TftpSocket.h"
#include "TftpTransfer.h"

static_assert(PACKET_DATA == tftp::OPCODE_DATA && PACKET_ACK == tftp::OPCODE_ACK &&
                  PACKET_ERROR == tftp::OPCODE_ERROR,
              "a classification is the opcode of the packet it accepts");

std::uint8_t g_sendBuffer[TFTP_SEND_BUFFER_SIZE];
std::uint8_t g_recvBuffer[TFTP_RECV_BUFFER_SIZE];

namespace {

// The router's last ERROR message, kept apart from the receive buffer: the dialog reads it after the
// transfer has ended, and the next transfer reuses the receive buffer.
char s_peerErrorText[TFTP_RECV_BUFFER_SIZE];
std::size_t s_nPeerErrorLen = 0;

TftpResult SendHeld(const std::string& strRouter, int nLength, const CTftpTransfer::DatagramObserver& observer)
{
    if (!g_pSocket)
        return TFTP_ERR_NET_FAULT;
    const TftpResult nResult = g_pSocket->SendPacket(strRouter, g_sendBuffer, nLength);
    if (nResult == TFTP_OK && observer)
        observer(true, std::span<const std::uint8_t>(g_sendBuffer, static_cast<std::size_t>(nLength)));
    return nResult;
}

}  // namespace

TftpResult CTftpTransfer::SendRequest()
{
    const std::size_t nLength =
        tftp::BuildRequest(g_sendBuffer, m_nDirection, m_nFileKind, m_strFileNumber, m_strPassword);
    if (nLength == 0) {
        // Only input that never came through the dialog can get here (a password of hundreds of
        // bytes, a zero byte in it): refuse it before anything goes on the wire.
        const bool bPasswordInName = m_nFileKind == FILE_KIND_CONFIG && !m_strPassword.empty();
        return bPasswordInName ? TFTP_ERR_BAD_PASSWORD : TFTP_ERR_OTHER;
    }
    m_nSendLen = static_cast<int>(nLength);
    return SendHeld(m_strRouter, m_nSendLen, m_onDatagram);
}

TftpResult CTftpTransfer::SendData()
{
    // Block numbers start at 1 and index the array one below; anything outside it would read memory
    // that holds no part of the file.
    if (!g_pSendBlocks || m_nBlock == 0 || m_nBlock > m_nBlockCount)
        return TFTP_ERR_FILE_READ;
    const SendBlock& block = g_pSendBlocks[m_nBlock - 1];
    if (block.nLength < 0 || block.nLength > TFTP_BLOCK_SIZE)
        return TFTP_ERR_FILE_READ;
    const std::size_t nLength = static_cast<std::size_t>(block.nLength);
    const std::size_t nPacket = tftp::BuildData(g_sendBuffer, m_nBlock, std::span(block.data, nLength));
    if (block.nLength < TFTP_BLOCK_SIZE)
        m_bLastBlock = true;
    m_nBlockLen = block.nLength;
    m_nSendLen = static_cast<int>(nPacket);
    return SendHeld(m_strRouter, m_nSendLen, m_onDatagram);
}

TftpResult CTftpTransfer::SendAck()
{
    m_nSendLen = static_cast<int>(tftp::BuildAck(g_sendBuffer, m_nBlock));
    return SendHeld(m_strRouter, m_nSendLen, m_onDatagram);
}

TftpResult CTftpTransfer::SendError()
{
    m_nSendLen = static_cast<int>(tftp::BuildError(g_sendBuffer, m_nResult));
    return SendHeld(m_strRouter, m_nSendLen, m_onDatagram);
}

TftpResult CTftpTransfer::Resend()
{
    return SendHeld(m_strRouter, m_nSendLen, m_onDatagram);
}

TftpResult CTftpTransfer::ReadPacket(std::uint16_t& nKind)
{
    nKind = PACKET_NONE;
    int nCapacity = TFTP_RECV_BUFFER_SIZE;
    if (g_pSocket)
        g_pSocket->TakeDatagram(g_recvBuffer, nCapacity);
    else
        nCapacity = 0;
    m_nRecvLen = nCapacity;

    const std::span<const std::uint8_t> datagram(g_recvBuffer, static_cast<std::size_t>(m_nRecvLen));
    if (m_onDatagram)
        m_onDatagram(false, datagram);
    nKind = tftp::ClassifyPacket(datagram, m_nBlock);
    if (nKind == PACKET_ERROR) {
        const std::string_view text = tftp::ErrorMessageOf(datagram);
        std::memcpy(s_peerErrorText, text.data(), text.size());
        s_nPeerErrorLen = text.size();
    }
    return TFTP_OK;
}

std::string CTftpTransfer::PeerErrorText() const
{
    return std::string(s_peerErrorText, s_nPeerErrorLen);
}
