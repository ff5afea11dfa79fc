// The router simulator's switches that the fault matrix relies on: losses decided by packet, late
// answers, and a stray address that sends only what it is told to.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "RawClient.h"
#include "RouterSim.h"
#include "TestSupport.h"

namespace {

using namespace simtest;
using velnor::sim::RouterSim;
using velnor::sim::RouterSimInjection;
using velnor::sim::RouterSimOptions;
using velnor::sim::TraceLine;

class FaultSwitchTest : public ::testing::Test {
protected:
    RouterSimOptions Options(unsigned nSalt = 0) const
    {
        RouterSimOptions o;
        o.listenAddress = testsupport::LoopbackAddressForTest(nSalt);
        o.port = testsupport::kTestRouterPort;
        o.root = m_root.Path();
        o.traceInMemory = true;
        o.answerUnknownTransfer = false;  // keeps the router quiet for datagrams outside a transfer
        return o;
    }

    testsupport::TempDir m_root;
};

// The fate ("in" or "drop-in") of each datagram from the given port, in order.
std::vector<std::string> Fates(const std::vector<TraceLine>& trace, std::uint16_t nPort)
{
    std::vector<std::string> fates;
    const std::string suffix = ":" + std::to_string(nPort);
    for (const auto& line : trace) {
        if ((line.direction == "in" || line.direction == "drop-in") && line.peer.size() > suffix.size() &&
            line.peer.compare(line.peer.size() - suffix.size(), suffix.size(), suffix) == 0)
            fates.push_back(line.direction);
    }
    return fates;
}

// Sends the datagrams and waits until the router has taken all of them in.
std::vector<TraceLine> SendAll(RouterSim& sim, RawClient& client, const std::vector<Bytes>& datagrams)
{
    const auto nBefore = sim.Stats().datagramsIn;
    for (const auto& d : datagrams)
        client.Send(d);
    sim.WaitFor([&](const auto& s) { return s.datagramsIn >= nBefore + datagrams.size(); }, 2000ms);
    return sim.Trace();
}

TEST_F(FaultSwitchTest, LossByPacketGivesTheKthCopyOfAPacketTheSameFateWhateverCameBetween)
{
    // Ten copies each of two packets, once one after another and once interleaved with other traffic:
    // by packet, the k-th copy of each meets the same fate in both runs.
    std::vector<Bytes> plain, mixed;
    for (int k = 0; k < 10; ++k) {
        plain.push_back(Ack(7));
        mixed.push_back(Ack(7));
        mixed.push_back(Ack(static_cast<std::uint16_t>(100 + k)));  // a packet never seen twice
    }
    for (int k = 0; k < 10; ++k) {
        plain.push_back(Ack(8));
        mixed.push_back(Ack(8));
    }

    std::vector<std::string> fatesPlain, fatesMixed;
    for (int run = 0; run < 2; ++run) {
        RouterSimOptions o = Options(static_cast<unsigned>(run));
        o.faultsByPacket = true;
        o.dropInRate = 0.5;
        o.seed = 7;
        RouterSim sim(o);
        std::string error;
        ASSERT_TRUE(sim.Start(&error)) << error;
        RawClient client(o.listenAddress);
        const auto trace = SendAll(sim, client, run == 0 ? plain : mixed);
        auto fates = Fates(trace, client.LocalPort());
        if (run == 1) {
            // Keep only the copies of ACK 7 and ACK 8: every second datagram of the first twenty.
            std::vector<std::string> kept;
            for (std::size_t i = 0; i < fates.size(); ++i)
                if (i >= 20 || i % 2 == 0)
                    kept.push_back(fates[i]);
            fates = kept;
        }
        (run == 0 ? fatesPlain : fatesMixed) = fates;
    }
    ASSERT_EQ(fatesPlain.size(), 20u);
    EXPECT_EQ(fatesPlain, fatesMixed);
    // Half are lost, give or take: the seed does decide, and not everything the same way.
    const auto nDropped = std::count(fatesPlain.begin(), fatesPlain.end(), "drop-in");
    EXPECT_GT(nDropped, 2);
    EXPECT_LT(nDropped, 18);
}

TEST_F(FaultSwitchTest, LossByIndexStillDependsOnTheOrder)
{
    // Without the switch the decision follows the datagram's index, as before: the interleaved run
    // gives the copies other fates (with this seed).
    std::vector<std::string> fatesPlain, fatesMixed;
    for (int run = 0; run < 2; ++run) {
        RouterSimOptions o = Options(static_cast<unsigned>(run));
        o.dropInRate = 0.5;
        o.seed = 7;
        RouterSim sim(o);
        std::string error;
        ASSERT_TRUE(sim.Start(&error)) << error;
        RawClient client(o.listenAddress);
        std::vector<Bytes> datagrams;
        for (int k = 0; k < 10; ++k) {
            datagrams.push_back(Ack(7));
            if (run == 1)
                datagrams.push_back(Ack(static_cast<std::uint16_t>(100 + k)));
        }
        auto fates = Fates(SendAll(sim, client, datagrams), client.LocalPort());
        if (run == 1) {
            std::vector<std::string> kept;
            for (std::size_t i = 0; i < fates.size(); i += 2)
                kept.push_back(fates[i]);
            fates = kept;
        }
        (run == 0 ? fatesPlain : fatesMixed) = fates;
    }
    EXPECT_NE(fatesPlain, fatesMixed);
}

TEST_F(FaultSwitchTest, LateAnswerArrivesAfterTheDelayAndIsCounted)
{
    testsupport::WriteFileBytes(m_root / "config0", Bytes(100, 'c'));
    RouterSimOptions o = Options();
    o.delayOutRate = 1.0;
    o.delayOutSeconds = 0.3;
    RouterSim sim(o);
    std::string error;
    ASSERT_TRUE(sim.Start(&error)) << error;
    RawClient client(o.listenAddress);
    const auto start = std::chrono::steady_clock::now();
    client.Send(Rrq("config", "netascii"));
    EXPECT_FALSE(client.ReceiveFromRouter(150ms).has_value()) << "the answer came early";
    const auto data = client.ReceiveFromRouter(2000ms);
    ASSERT_TRUE(data.has_value());
    EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
    EXPECT_EQ(OpcodeOf(*data), 3);
    EXPECT_EQ(BlockOf(*data), 1);
    EXPECT_EQ(sim.Stats().delayedOut, 1u);
}

TEST_F(FaultSwitchTest, StrayAddressWithoutCopiesSendsOnlyItsInjections)
{
    testsupport::WriteFileBytes(m_root / "config0", Bytes(1000, 'c'));
    RouterSimOptions o = Options();
    o.strayFromAddress = testsupport::LoopbackAddressForTest(1);
    o.strayCopies = false;
    RouterSimInjection injection;
    injection.atBlock = 2;
    injection.bytes = {0, 5, 0, 0, 'x', 0};
    injection.from = RouterSimInjection::From::StrayAddress;
    o.injections.push_back(injection);
    RouterSim sim(o);
    std::string error;
    ASSERT_TRUE(sim.Start(&error)) << error;

    RawClient client(o.listenAddress);
    std::vector<Datagram> fromStray;
    client.Send(Rrq("config", "netascii"));
    for (std::uint16_t block = 1; block <= 2;) {
        auto d = client.Receive(2000ms);
        ASSERT_TRUE(d.has_value());
        if (d->address == o.strayFromAddress) {
            fromStray.push_back(*d);
            continue;
        }
        ASSERT_EQ(BlockOf(d->bytes), block);
        client.Send(Ack(block));
        ++block;
    }
    ASSERT_EQ(fromStray.size(), 1u);
    EXPECT_EQ(fromStray[0].bytes, injection.bytes);
    EXPECT_EQ(sim.Stats().strayDatagramsSent, 0u);
    EXPECT_EQ(sim.Stats().injectionsSent, 1u);
}

}  // namespace
