// Feeds arbitrary datagrams to the classification of received packets and to the reading of a
// router's error text, and checks what a caller relies on.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "Packets.h"

namespace {

void Check(bool bHolds)
{
    if (!bHolds)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t nSize)
{
    // The engine never takes more than its 1024-byte receive buffer from the socket.
    std::span<const std::uint8_t> datagram(pData, nSize < TFTP_RECV_BUFFER_SIZE ? nSize : TFTP_RECV_BUFFER_SIZE);

    // The block the engine expects: the datagram's own block number, its neighbours, and the wrap.
    const std::uint16_t nOwnBlock = tftp::ReadNumber(datagram, 2);
    for (std::uint16_t nExpected : {nOwnBlock, static_cast<std::uint16_t>(nOwnBlock + 1), std::uint16_t{0},
                                    std::uint16_t{1}, std::uint16_t{65535}}) {
        const std::uint16_t nKind = tftp::ClassifyPacket(datagram, nExpected);
        switch (nKind) {
        case 0:
            break;
        case tftp::OPCODE_DATA:
            Check(datagram.size() >= 4 && datagram.size() <= 516 && nOwnBlock == nExpected);
            break;
        case tftp::OPCODE_ACK:
            Check(datagram.size() == 4 && nOwnBlock == nExpected);
            break;
        case tftp::OPCODE_ERROR:
            Check(datagram.size() >= 5 && datagram.size() <= 516);
            break;
        default:
            Check(false);  // opcode 6 and every other kind must never be reported
        }
    }

    const std::string_view text = tftp::ErrorMessageOf(datagram);
    if (!text.empty()) {
        // The text lies inside the datagram, after the header, and stops before any zero byte.
        Check(reinterpret_cast<const std::uint8_t*>(text.data()) >= datagram.data() + 4);
        Check(reinterpret_cast<const std::uint8_t*>(text.data()) + text.size() <= datagram.data() + datagram.size());
        for (char c : text)
            Check(c != '\0');
    }
    return 0;
}
