// Many routers in one process: each answers on its own address from its own folder with its own
// one-transfer rule, silent ones never answer, and hundreds of them cost one thread. The routers take
// ports of their own (port 0), so that these tests need no root.

#include "RawClient.h"
#include "RouterSim.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <dirent.h>

#include <arpa/inet.h>

#include <map>
#include <set>

using namespace simtest;
using velnor::sim::RouterFleet;
using velnor::sim::RouterFleetOptions;
using velnor::sim::RouterSimStats;

namespace {

// Consecutive loopback addresses of this test's own: 127.a.b.1 and on, across further blocks as needed.
std::vector<std::string> Addresses(std::size_t n)
{
    in_addr base{};
    inet_pton(AF_INET, testsupport::LoopbackAddressForTest().c_str(), &base);
    const std::uint32_t first = (ntohl(base.s_addr) & 0xFFFFFF00u) | 1u;
    std::vector<std::string> out;
    for (std::size_t i = 0; i < n; ++i) {
        in_addr a{};
        a.s_addr = htonl(first + static_cast<std::uint32_t>(i));
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &a, text, sizeof text);
        out.push_back(text);
    }
    return out;
}

int ThreadsOfThisProcess()
{
    int n = 0;
    if (DIR* d = ::opendir("/proc/self/task")) {
        while (dirent* e = ::readdir(d))
            n += e->d_name[0] != '.';
        ::closedir(d);
    }
    return n;
}

class RouterFleetTest : public ::testing::Test {
protected:
    RouterFleetOptions Options(std::vector<std::string> answering, std::vector<std::string> silent = {}) const
    {
        RouterFleetOptions o;
        o.router.port = 0;
        o.router.root = m_root.Path();
        o.router.retransmitSeconds = 5;
        o.addresses = std::move(answering);
        o.silentAddresses = std::move(silent);
        return o;
    }
    RouterFleet& Start(RouterFleetOptions o)
    {
        m_fleet = std::make_unique<RouterFleet>(std::move(o));
        std::string error;
        EXPECT_TRUE(m_fleet->Start(&error)) << error;
        return *m_fleet;
    }
    std::size_t IndexOf(const std::string& address) const
    {
        for (std::size_t i = 0; i < m_fleet->Size(); ++i)
            if (m_fleet->Address(i) == address)
                return i;
        ADD_FAILURE() << address << " is not in the fleet";
        return 0;
    }

    testsupport::TempDir m_root;
    std::unique_ptr<RouterFleet> m_fleet;
};

Bytes ReadOnce(RawClient& client, const std::string& name)
{
    client.Send(Rrq(name));
    auto data = client.ReceiveFromRouter();
    if (!data)
        return {};
    client.Send(Ack(BlockOf(*data)));
    return PayloadOf(*data);
}

}  // namespace

TEST_F(RouterFleetTest, EachRouterServesItsOwnFolderMadeFromTheSamplesAndSilentOnesNeverAnswer)
{
    testsupport::WriteFileBytes(m_root / "config0", {'s'});
    testsupport::WriteFileBytes(m_root / "exec1", {'x'});
    testsupport::WriteFileBytes(m_root / "notes.txt", {'n'});  // not a router file: never copied
    const auto a = Addresses(4);
    // The third router's folder exists already: it is used as it is, not refilled.
    std::filesystem::create_directory(m_root / a[2]);
    testsupport::WriteFileBytes(m_root / a[2] / "config0", {'o', 'w', 'n'});
    // The last address is in both lists: silent wins.
    auto& fleet = Start(Options({a[0], a[1], a[2], a[3]}, {a[3]}));
    ASSERT_EQ(fleet.Size(), 4u);

    for (std::size_t i : {0u, 1u}) {
        EXPECT_EQ(fleet.Folder(i), m_root.Path() / a[i]);
        std::set<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(m_root / a[i]))
            names.insert(e.path().filename().string());
        EXPECT_EQ(names, (std::set<std::string>{"config0", "exec1"})) << a[i];
    }
    EXPECT_TRUE(fleet.IsSilent(3));
    EXPECT_FALSE(std::filesystem::exists(m_root / a[3])) << "a silent router has no folder";

    // A write to the first router changes its file only.
    RawClient writer(a[0], fleet.Port(0));
    writer.Send(Wrq("config0"));
    ASSERT_EQ(writer.ReceiveFromRouter().value(), Ack(0));
    writer.Send(Data(1, Bytes{'n', 'e', 'w'}));
    ASSERT_EQ(writer.ReceiveFromRouter().value(), Ack(1));
    ASSERT_TRUE(fleet.WaitFor([](const RouterSimStats& s) { return s.transfersCompleted == 1; }, 1000ms));
    EXPECT_EQ(testsupport::ReadFileBytes(m_root / a[0] / "config0"), (Bytes{'n', 'e', 'w'}));
    EXPECT_EQ(testsupport::ReadFileBytes(m_root / "config0"), Bytes{'s'}) << "the sample is untouched";

    const std::map<std::size_t, Bytes> expected = {{0, {'n', 'e', 'w'}}, {1, {'s'}}, {2, {'o', 'w', 'n'}}};
    for (const auto& [i, content] : expected) {
        RawClient reader(a[i], fleet.Port(i));
        EXPECT_EQ(ReadOnce(reader, "config0"), content) << a[i];
    }
    RawClient quiet(a[3], fleet.Port(3));
    quiet.Send(Rrq("config0"));
    EXPECT_FALSE(quiet.Receive(200ms));
    EXPECT_EQ(fleet.Stats(3).datagramsIn, 1u);
    EXPECT_EQ(fleet.Stats(3).datagramsOut, 0u);
    ASSERT_TRUE(fleet.WaitFor([](const RouterSimStats& s) { return s.transfersCompleted == 4; }, 1000ms));
    EXPECT_EQ(fleet.Stats().transfersCompleted, 4u) << "the sum of every router";
}

TEST_F(RouterFleetTest, OneTransferAtATimeIsARuleOfEachRouterNotOfTheFleet)
{
    testsupport::WriteFileBytes(m_root / "config0", testsupport::PatternBytes(700));
    const auto a = Addresses(2);
    auto& fleet = Start(Options(a));
    RawClient first(a[0], fleet.Port(0));
    first.Send(Rrq("config0"));
    ASSERT_EQ(BlockOf(first.ReceiveFromRouter().value()), 1);
    // The second router is free while the first one is busy ...
    RawClient other(a[1], fleet.Port(1));
    other.Send(Rrq("config0"));
    EXPECT_EQ(BlockOf(other.ReceiveFromRouter().value()), 1);
    // ... and the first one still refuses another client.
    RawClient second(a[0], fleet.Port(0));
    second.Send(Rrq("config0"));
    EXPECT_EQ(second.ReceiveFromRouter().value(), ErrorPacket(0, "Server busy"));
    EXPECT_EQ(fleet.Stats(0).busyRejects, 1u);
    EXPECT_EQ(fleet.Stats(1).busyRejects, 0u);
}

TEST_F(RouterFleetTest, FolderThatIsALinkOrAFileIsRefusedAndNoRouterStarts)
{
    testsupport::TempDir elsewhere;
    const auto a = Addresses(2);
    const std::vector<std::pair<std::string, std::function<void()>>> cases = {
        {"link", [&] { std::filesystem::create_directory_symlink(elsewhere.Path(), m_root / a[1]); }},
        {"file", [&] { testsupport::WriteFileBytes(m_root / a[1], {'f'}); }},
    };
    for (const auto& [what, plant] : cases) {
        std::filesystem::remove_all(m_root / a[0]);
        std::filesystem::remove(m_root / a[1]);
        plant();
        RouterFleet fleet(Options(a));
        std::string error;
        EXPECT_FALSE(fleet.Start(&error)) << what;
        EXPECT_NE(error.find("is not a folder"), std::string::npos) << what << ": " << error;
        EXPECT_FALSE(fleet.IsRunning()) << what;
    }
    EXPECT_TRUE(std::filesystem::is_empty(elsewhere.Path())) << "nothing written through the link";
}

TEST_F(RouterFleetTest, HundredsOfRoutersServeAtOnceOnOneThread)
{
    const Bytes content = testsupport::PatternBytes(300);
    testsupport::WriteFileBytes(m_root / "config1", content);
    const std::size_t nRouters = 200, nSilent = 20;
    auto all = Addresses(nRouters);
    std::vector<std::string> silent(all.end() - nSilent, all.end());
    const int nThreadsBefore = ThreadsOfThisProcess();
    auto& fleet = Start(Options(all, silent));
    EXPECT_EQ(ThreadsOfThisProcess(), nThreadsBefore + 1);

    // One client keeps 64 routers busy at a time (more answers at once would overflow its own receive
    // queue), acknowledging every DATA as it comes, and asks the silent ones too.
    RawClient client(all[0], fleet.Port(0));
    const std::set<std::string> silentSet(silent.begin(), silent.end());
    std::set<std::string> answered;
    std::size_t nNext = 0, nInFlight = 0;
    while (answered.size() < nRouters - nSilent) {
        for (; nNext < nRouters && nInFlight < 64; ++nNext) {
            client.SendTo(fleet.Address(nNext), fleet.Port(nNext), Rrq("config1"));
            nInFlight += silentSet.count(fleet.Address(nNext)) ? 0 : 1;
        }
        auto d = client.Receive(2000ms);
        ASSERT_TRUE(d) << answered.size() << " routers answered";
        ASSERT_EQ(OpcodeOf(d->bytes), 3) << d->address << ": " << ErrorTextOf(d->bytes);
        EXPECT_EQ(PayloadOf(d->bytes), content);
        EXPECT_TRUE(answered.insert(d->address).second) << d->address << " answered twice";
        --nInFlight;
        client.SendTo(d->address, d->port, Ack(1));
    }
    EXPECT_FALSE(client.Receive(100ms)) << "nothing from a silent router";
    ASSERT_TRUE(fleet.WaitFor([&](const RouterSimStats& s) { return s.transfersCompleted == nRouters - nSilent; },
                              2000ms));
    for (const auto& address : silent)
        EXPECT_EQ(answered.count(address), 0u) << address;
    const auto total = fleet.Stats();
    EXPECT_EQ(total.datagramsIn, 2 * (nRouters - nSilent) + nSilent);
    EXPECT_EQ(total.busyRejects, 0u);
}
