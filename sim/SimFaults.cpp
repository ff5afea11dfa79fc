#include "SimFaults.h"

#include <algorithm>

namespace velnor::sim {

namespace {

bool Contains(const std::vector<std::uint64_t>& list, std::uint64_t value)
{
    return std::find(list.begin(), list.end(), value) != list.end();
}

// The decision streams: one per kind, so that a drop and a duplicate of the same index are independent.
enum : std::uint64_t { STREAM_DROP_IN = 0, STREAM_DUP_IN = 1, STREAM_DROP_OUT = 2, STREAM_DUP_OUT = 3,
                       STREAM_DELAY_OUT = 4 };

}  // namespace

double Chance(std::uint32_t seed, std::uint64_t stream, std::uint64_t index)
{
    std::uint64_t x = (static_cast<std::uint64_t>(seed) << 32) ^ (stream * 0x9E3779B97F4A7C15ull) ^
                      (index * 0xD1B54A32D192ED03ull);
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    x ^= x >> 31;
    return static_cast<double>(x >> 11) * 0x1.0p-53;
}

FaultSwitches::FaultSwitches(const RouterSimOptions& options)
    : m_options(options), m_injectionFired(options.injections.size(), false)
{
}

// The number from which a datagram's random faults are decided: its index, or with faultsByPacket its
// first four bytes (and how many there are) with the count of such datagrams so far in that direction.
std::uint64_t FaultSwitches::FaultIndex(int nWay, std::uint64_t nIndex, const std::uint8_t* p, std::size_t n)
{
    if (!m_options.faultsByPacket)
        return nIndex;
    std::uint64_t nPacket = std::min<std::size_t>(n, 4);
    for (std::size_t i = 0; i < 4; ++i)
        nPacket = (nPacket << 8) | (i < n ? p[i] : 0);
    const std::uint64_t nSeen = ++m_packetsSeen[nWay][nPacket];
    return (nPacket << 24) | (nSeen & 0xFFFFFF);
}

bool FaultSwitches::DropIn(const std::uint8_t* p, std::size_t n)
{
    const std::uint64_t nIndex = ++m_nInIndex;
    // The packet count of faultsByPacket moves only when a rate asks for it, as the decision is made.
    return Contains(m_options.dropInNth, nIndex) ||
           (m_options.dropInRate > 0 &&
            Chance(m_options.seed, STREAM_DROP_IN, FaultIndex(0, nIndex, p, n)) < m_options.dropInRate);
}

int FaultSwitches::TimesIn() const
{
    return m_options.duplicateInRate > 0 &&
                   Chance(m_options.seed, STREAM_DUP_IN, m_nInIndex) < m_options.duplicateInRate
               ? 2
               : 1;
}

FaultSwitches::OutFate FaultSwitches::TakeOut(const std::uint8_t* p, std::size_t n)
{
    OutFate fate;
    const std::uint64_t nIndex = ++m_nOutIndex;
    const std::uint64_t nFaultIndex = FaultIndex(1, nIndex, p, n);
    if (Contains(m_options.dropOutNth, nIndex) ||
        (m_options.dropOutRate > 0 && Chance(m_options.seed, STREAM_DROP_OUT, nFaultIndex) < m_options.dropOutRate)) {
        fate.bDrop = true;
        return fate;
    }
    if (m_options.duplicateRate > 0 && Chance(m_options.seed, STREAM_DUP_OUT, nIndex) < m_options.duplicateRate)
        fate.nCopies = 2;
    fate.delaySeconds = m_options.replyDelaySeconds;
    if (m_options.delayOutRate > 0 &&
        Chance(m_options.seed, STREAM_DELAY_OUT, nFaultIndex) < m_options.delayOutRate) {
        fate.bDelayed = true;
        fate.delaySeconds += m_options.delayOutSeconds;
    }
    return fate;
}

std::vector<const RouterSimInjection*> FaultSwitches::InjectionsAt(std::uint32_t nNumber)
{
    std::vector<const RouterSimInjection*> due;
    for (std::size_t i = 0; i < m_options.injections.size(); ++i) {
        if (m_injectionFired[i] || m_options.injections[i].atBlock != nNumber)
            continue;
        m_injectionFired[i] = true;
        due.push_back(&m_options.injections[i]);
    }
    return due;
}

bool FaultSwitches::TakeOversized(std::uint32_t nNumber)
{
    if (!m_options.oversizedReply || m_bOversizedFired || nNumber != m_options.oversizedAtBlock)
        return false;
    m_bOversizedFired = true;
    return true;
}

bool FaultSwitches::TakeOverlong(std::uint32_t nNumber)
{
    if (m_options.overlongDataAtBlock < 1 || m_bOverlongFired ||
        nNumber != static_cast<std::uint32_t>(m_options.overlongDataAtBlock))
        return false;
    m_bOverlongFired = true;
    return true;
}

}  // namespace velnor::sim
