#pragma once
// The fault switches of one router: which of its datagrams are dropped, handled twice, sent twice or held
// back, and the one-shot packets (injections, the oversized datagram, the overlong DATA) hung on a packet
// number. Every decision depends only on the seed and the datagram (its index or, with faultsByPacket, its
// first four bytes), never on a shared random stream, so that a seed repeats however the answers and the
// time-outs interleave. No socket and no clock here.

#include "RouterSim.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

namespace velnor::sim {

// A number in [0, 1) from the seed, a stream (one per kind of decision) and an index.
double Chance(std::uint32_t seed, std::uint64_t stream, std::uint64_t index);

class FaultSwitches {
public:
    explicit FaultSwitches(const RouterSimOptions& options);

    // Incoming: DropIn counts the datagram and decides its loss; TimesIn (asked only of a datagram that
    // is handled) says whether it is handled twice.
    bool DropIn(const std::uint8_t* p, std::size_t n);
    int TimesIn() const;

    // Outgoing: the fate of one of the router's own packets (answers, retransmissions, ERRORs); the
    // copies the switches add are not counted.
    struct OutFate {
        bool bDrop = false;
        int nCopies = 1;
        bool bDelayed = false;  // held back delayOutSeconds on top of replyDelaySeconds
        double delaySeconds = 0;
    };
    OutFate TakeOut(const std::uint8_t* p, std::size_t n);

    // The one-shot switches of the router's packet number nNumber, each true (or listed) once.
    std::vector<const RouterSimInjection*> InjectionsAt(std::uint32_t nNumber);
    bool TakeOversized(std::uint32_t nNumber);
    bool TakeOverlong(std::uint32_t nNumber);

private:
    std::uint64_t FaultIndex(int nWay, std::uint64_t nIndex, const std::uint8_t* p, std::size_t n);

    const RouterSimOptions& m_options;
    std::uint64_t m_nInIndex = 0, m_nOutIndex = 0;
    std::map<std::uint64_t, std::uint64_t> m_packetsSeen[2];  // by direction (in, out) and packet
    std::vector<bool> m_injectionFired;
    bool m_bOversizedFired = false;
    bool m_bOverlongFired = false;
};

}  // namespace velnor::sim
