// The UDP endpoint on loopback: which datagrams are held, which are dropped, which are a fault, and
// which addresses a send refuses. A plain POSIX socket on the router's port of the test's own 127.x address
// plays the router.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QObject>
#include <QtCore/qtestsupport_core.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "RouterSim.h"
#include "TestSupport.h"
#include "TftpEvents.h"
#include "TftpSocket.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using testsupport::kTestRouterPort;
using testsupport::UdpPeer;


// Stands in for the dialog: counts the fault notifications it is sent.
class FaultCounter : public QObject {
public:
    int m_nFaults = 0;
    int m_nLastKind = 0;
    TftpResult m_nLastCode = 0;
    std::function<void()> m_onFault;

protected:
    bool event(QEvent* pEvent) override
    {
        if (pEvent->type() != WM_TFTP_NOTIFY)
            return QObject::event(pEvent);
        auto* pNotify = static_cast<CTftpNotifyEvent*>(pEvent);
        ++m_nFaults;
        m_nLastKind = pNotify->m_nKind;
        m_nLastCode = pNotify->m_nCode;
        if (m_onFault)
            m_onFault();
        return true;
    }
};

using testsupport::ReceiveQueueOf;

// Runs the event loop until the endpoint has read (and judged) every datagram sent to it so far.
void PumpUntilRead(std::uint16_t nClientPort)
{
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            QCoreApplication::processEvents();
            return ReceiveQueueOf(nClientPort) == 0;
        },
        2000));
    QCoreApplication::processEvents();
}

Bytes Datagram(std::size_t nLength, std::uint8_t nFill)
{
    Bytes d(nLength, nFill);
    if (nLength >= 4) {
        d[0] = 0;
        d[1] = 3;
        d[2] = 0;
        d[3] = 1;
    }
    return d;
}

Bytes Take(CTftpSocket& socket)
{
    std::uint8_t buffer[TFTP_RECV_BUFFER_SIZE];
    int n = sizeof buffer;
    socket.TakeDatagram(buffer, n);
    return Bytes(buffer, buffer + n);
}

// The endpoint opened for a router on the test's own loopback address, the router's port, and the
// endpoint's own address as the router sees it (learnt from one packet the endpoint sends).
class SocketTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_strRouter = testsupport::LoopbackAddressForTest();
        m_pRouter = std::make_unique<UdpPeer>(m_strRouter, kTestRouterPort);
        ASSERT_TRUE(m_pRouter->Bound());
        OpenFor(m_strRouter);
    }

    void OpenFor(const std::string& strAddressText)
    {
        ASSERT_EQ(m_socket.Open(kTestRouterPort, strAddressText), TFTP_OK);
        m_socket.SetOwner(&m_owner);
        m_socket.SetArrivalHandler([this] { ++m_nArrivals; });
        const Bytes hello = {0, 1, 'x', 0};
        ASSERT_EQ(m_socket.SendPacket(strAddressText, hello.data(), static_cast<int>(hello.size())), TFTP_OK);
        ASSERT_EQ(m_pRouter->Receive(1000, &m_client), hello);
        m_nClientPort = ntohs(m_client.sin_port);
    }

    void FromRouter(const Bytes& datagram) { ASSERT_TRUE(m_pRouter->SendTo(m_client, datagram)); }

    std::string m_strRouter;
    std::unique_ptr<UdpPeer> m_pRouter;
    CTftpSocket m_socket;
    FaultCounter m_owner;
    int m_nArrivals = 0;
    sockaddr_in m_client {};
    std::uint16_t m_nClientPort = 0;
};

TEST_F(SocketTest, DatagramFromPort69OfTheRouterIsHeldAndWakesTheEngine)
{
    const Bytes data = Datagram(516, 'a');
    FromRouter(data);
    ASSERT_TRUE(QTest::qWaitFor([&] { return m_socket.HasDatagram(); }, 2000));
    EXPECT_EQ(m_nArrivals, 1);
    EXPECT_EQ(Take(m_socket), data);
    EXPECT_FALSE(m_socket.HasDatagram());
    EXPECT_EQ(m_owner.m_nFaults, 0);
}

TEST_F(SocketTest, DatagramsNotFromPort69OfTheRouterOrEmptyAreDiscarded)
{
    UdpPeer otherPort(m_strRouter, 7069);
    UdpPeer otherHost(testsupport::LoopbackAddressForTest(1), kTestRouterPort);
    ASSERT_TRUE(otherPort.Bound());
    ASSERT_TRUE(otherHost.Bound());

    struct Stray {
        const char* name;
        UdpPeer* pFrom;
        Bytes datagram;
    };
    const Stray strays[] = {
        {"another port of the router's address", &otherPort, Datagram(516, 'p')},
        {"the router's port of another address", &otherHost, Datagram(516, 'h')},
        {"an empty datagram from the router", m_pRouter.get(), Bytes{}},
    };
    for (const Stray& s : strays) {
        SCOPED_TRACE(s.name);
        ASSERT_TRUE(s.pFrom->SendTo(m_client, s.datagram));
        PumpUntilRead(m_nClientPort);
        EXPECT_FALSE(m_socket.HasDatagram());
        EXPECT_EQ(m_nArrivals, 0);
    }
    EXPECT_EQ(m_owner.m_nFaults, 0);

    FromRouter(Datagram(4, 0));
    EXPECT_TRUE(QTest::qWaitFor([&] { return m_socket.HasDatagram(); }, 2000));
}

TEST_F(SocketTest, LaterOfTwoDatagramsReplacesTheEarlier)
{
    FromRouter(Datagram(516, 'a'));
    FromRouter(Datagram(10, 'b'));
    PumpUntilRead(m_nClientPort);
    ASSERT_TRUE(m_socket.HasDatagram());
    EXPECT_EQ(Take(m_socket), Datagram(10, 'b'));
}

TEST_F(SocketTest, EachNotificationReadsOneDatagramAndWakesTheEngineOnce)
{
    UdpPeer otherHost(testsupport::LoopbackAddressForTest(1), kTestRouterPort);
    ASSERT_TRUE(otherHost.Bound());
    FromRouter(Datagram(516, 'a'));
    ASSERT_TRUE(otherHost.SendTo(m_client, Datagram(516, 's')));
    FromRouter(Datagram(10, 'b'));
    ASSERT_TRUE(QTest::qWaitFor([&] { return ReceiveQueueOf(m_nClientPort) > 0; }, 2000));

    // Called as the notifier calls it, without the event loop in between.
    m_socket.OnReceive(0);
    EXPECT_EQ(m_nArrivals, 1);
    EXPECT_EQ(Take(m_socket), Datagram(516, 'a'));
    // A stray datagram is read and dropped: no wake, and the slot stays empty.
    m_socket.OnReceive(0);
    EXPECT_EQ(m_nArrivals, 1);
    EXPECT_FALSE(m_socket.HasDatagram());
    m_socket.OnReceive(0);
    EXPECT_EQ(m_nArrivals, 2);
    EXPECT_EQ(Take(m_socket), Datagram(10, 'b'));
    // Nothing left: nothing held, no wake, no fault.
    m_socket.OnReceive(0);
    EXPECT_EQ(m_nArrivals, 2);
    EXPECT_FALSE(m_socket.HasDatagram());
    EXPECT_EQ(m_owner.m_nFaults, 0);
}

// The console's wait in the read itself: what it takes and what it leaves, how long it waits at most,
// and that only this read ever waits (a send and a notification's read still return at once).
TEST_F(SocketTest, WaitForDatagramTakesWhatANotificationWouldAndWaitsNoLongerThanAsked)
{
    UdpPeer otherHost(testsupport::LoopbackAddressForTest(1), kTestRouterPort);
    ASSERT_TRUE(otherHost.Bound());
    using Clock = std::chrono::steady_clock;

    // Nothing comes: false after about the time asked for, and nothing held.
    const auto start = Clock::now();
    EXPECT_FALSE(m_socket.WaitForDatagram(60));
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    EXPECT_GE(waited, 50);
    EXPECT_LT(waited, 1000);
    EXPECT_FALSE(m_socket.HasDatagram());

    // A read of a notification after that still never waits.
    const auto notified = Clock::now();
    m_socket.OnReceive(0);
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - notified).count(), 40);

    // A stray datagram ends the wait without a datagram; the router's behind it is the next wait's.
    ASSERT_TRUE(otherHost.SendTo(m_client, Datagram(516, 's')));
    FromRouter(Datagram(516, 'a'));
    EXPECT_FALSE(m_socket.WaitForDatagram(1000));
    EXPECT_FALSE(m_socket.HasDatagram());
    EXPECT_EQ(m_nArrivals, 0);
    EXPECT_TRUE(m_socket.WaitForDatagram(1000));
    EXPECT_EQ(m_nArrivals, 1);
    // A held datagram is taken first: no wait while one is held.
    EXPECT_FALSE(m_socket.WaitForDatagram(1000));
    EXPECT_EQ(Take(m_socket), Datagram(516, 'a'));

    // An oversized datagram from the router is the one fault, as in a notification.
    FromRouter(Datagram(TFTP_RECV_BUFFER_SIZE + 1, 'o'));
    EXPECT_FALSE(m_socket.WaitForDatagram(1000));
    QCoreApplication::processEvents();
    EXPECT_EQ(m_owner.m_nFaults, 1);
    EXPECT_EQ(m_owner.m_nLastCode, TFTP_ERR_NET_FAULT);

    // Sends still go at once, however long reads may wait.
    const Bytes ack = {0, 4, 0, 1};
    EXPECT_EQ(m_socket.SendPacket(m_strRouter, ack.data(), static_cast<int>(ack.size())), TFTP_OK);
    EXPECT_EQ(m_pRouter->Receive(), ack);

    // A closed socket has nothing to wait for.
    m_socket.Close();
    EXPECT_FALSE(m_socket.WaitForDatagram(1000));
}

// The window's look into the socket right after a send: what is queued is taken as a notification
// would take it, and the look never waits, not even once the console's wait has made reads wait.
TEST_F(SocketTest, TakeQueuedDatagramTakesWhatIsThereAndNeverWaits)
{
    UdpPeer otherHost(testsupport::LoopbackAddressForTest(1), kTestRouterPort);
    ASSERT_TRUE(otherHost.Bound());
    using Clock = std::chrono::steady_clock;
    for (const bool bAfterAWait : {false, true}) {
        SCOPED_TRACE(bAfterAWait ? "after a wait in the read" : "never waited");
        m_nArrivals = 0;
        if (bAfterAWait) {
            EXPECT_FALSE(m_socket.WaitForDatagram(20));
        }
        // Nothing queued: false at once.
        const auto start = Clock::now();
        EXPECT_FALSE(m_socket.TakeQueuedDatagram());
        EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count(), 15);
        EXPECT_EQ(m_nArrivals, 0);

        // A stray datagram in front: read and dropped, the router's behind it is the next look's.
        ASSERT_TRUE(otherHost.SendTo(m_client, Datagram(516, 's')));
        FromRouter(Datagram(516, 'a'));
        ASSERT_TRUE(QTest::qWaitFor([&] { return ReceiveQueueOf(m_nClientPort) > 0; }, 2000));
        EXPECT_FALSE(m_socket.TakeQueuedDatagram());
        EXPECT_EQ(m_nArrivals, 0);
        EXPECT_TRUE(m_socket.TakeQueuedDatagram());
        EXPECT_EQ(m_nArrivals, 1);
        // While one is held, nothing more is taken.
        FromRouter(Datagram(10, 'b'));
        ASSERT_TRUE(QTest::qWaitFor([&] { return ReceiveQueueOf(m_nClientPort) > 0; }, 2000));
        EXPECT_FALSE(m_socket.TakeQueuedDatagram());
        EXPECT_EQ(Take(m_socket), Datagram(516, 'a'));
        EXPECT_TRUE(m_socket.TakeQueuedDatagram());
        EXPECT_EQ(Take(m_socket), Datagram(10, 'b'));
    }
    EXPECT_EQ(m_owner.m_nFaults, 0);
    m_socket.Close();
    EXPECT_FALSE(m_socket.TakeQueuedDatagram());
}

TEST_F(SocketTest, StrayDatagramOfAnySizeFromAnotherHostLeavesTheHeldOneAlone)
{
    UdpPeer otherHost(testsupport::LoopbackAddressForTest(1), kTestRouterPort);
    ASSERT_TRUE(otherHost.Bound());
    FromRouter(Datagram(100, 'r'));
    ASSERT_TRUE(otherHost.SendTo(m_client, Datagram(100, 's')));
    ASSERT_TRUE(otherHost.SendTo(m_client, Datagram(1500, 'S')));
    PumpUntilRead(m_nClientPort);
    EXPECT_EQ(m_owner.m_nFaults, 0);
    ASSERT_TRUE(m_socket.HasDatagram());
    EXPECT_EQ(Take(m_socket), Datagram(100, 'r'));
}

TEST_F(SocketTest, OversizedDatagramFromTheRouterIsOneFaultAndLeavesTheSlot)
{
    FromRouter(Datagram(TFTP_RECV_BUFFER_SIZE, 'k'));  // the largest that fits is still a datagram
    PumpUntilRead(m_nClientPort);
    ASSERT_TRUE(m_socket.HasDatagram());
    EXPECT_EQ(m_owner.m_nFaults, 0);

    FromRouter(Datagram(TFTP_RECV_BUFFER_SIZE + 1, 'o'));
    PumpUntilRead(m_nClientPort);
    EXPECT_EQ(m_owner.m_nFaults, 1);
    EXPECT_EQ(m_owner.m_nLastKind, NOTIFY_FAULT);
    EXPECT_EQ(m_owner.m_nLastCode, TFTP_ERR_NET_FAULT);

    // The transfer is already failing: a second one is not reported again.
    FromRouter(Datagram(4000, 'o'));
    PumpUntilRead(m_nClientPort);
    EXPECT_EQ(m_owner.m_nFaults, 1);
    EXPECT_EQ(Take(m_socket), Datagram(TFTP_RECV_BUFFER_SIZE, 'k'));
}

TEST_F(SocketTest, FaultWithoutAnOwnerReachesNobody)
{
    m_socket.SetOwner(nullptr);
    FromRouter(Datagram(2000, 'o'));
    PumpUntilRead(m_nClientPort);
    EXPECT_EQ(m_owner.m_nFaults, 0);
    EXPECT_FALSE(m_socket.HasDatagram());
}

TEST_F(SocketTest, OwnerThatClosesTheSocketInItsFaultHandlerIsSafe)
{
    m_owner.m_onFault = [this] { m_socket.Close(); };
    FromRouter(Datagram(2000, 'o'));
    FromRouter(Datagram(2000, 'o'));
    FromRouter(Datagram(100, 'x'));
    EXPECT_TRUE(QTest::qWaitFor([&] { return m_owner.m_nFaults > 0; }, 2000));
    QCoreApplication::processEvents();
    EXPECT_EQ(m_owner.m_nFaults, 1);
    EXPECT_FALSE(m_socket.IsOpen());
    EXPECT_FALSE(m_socket.HasDatagram());
}

TEST_F(SocketTest, AddressesTheSocketRefusesAreBadAddress)
{
    const Bytes packet = {0, 4, 0, 1};
    for (const char* text : {"router.example", "localhost", "256.1.1.1", "1.2.3", "", "127.0.0.1 "}) {
        SCOPED_TRACE(text);
        EXPECT_EQ(m_socket.SendPacket(text, packet.data(), 4), TFTP_ERR_BAD_ADDRESS);
    }
    // The system itself refuses a destination port of 0 with "invalid argument".
    CTftpSocket portZero;
    ASSERT_EQ(portZero.Open(0, m_strRouter), TFTP_OK);
    EXPECT_EQ(portZero.SendPacket(m_strRouter, packet.data(), 4), TFTP_ERR_BAD_ADDRESS);
}

// 0.0.0.0 would reach this very host (the system sends it to 127.0.0.1), the broadcast address every
// host of the network, a multicast address a group: none of them is a router. They fail at once as
// an invalid address, as on the program's first platform, and not one datagram leaves. The router
// simulator listens on 127.0.0.1, where a datagram to 0.0.0.0 would land.
TEST(Socket, AddressesThatNameNoSingleRouterAreBadAddressAndSendNothing)
{
    velnor::sim::RouterSimOptions options;
    options.listenAddress = "127.0.0.1";
    options.port = 0;
    testsupport::TempDir root;
    options.root = root.Path();
    velnor::sim::RouterSim sim(options);
    std::string error;
    ASSERT_TRUE(sim.Start(&error)) << error;

    const Bytes request = {0, 1, 'c', 'o', 'n', 'f', 'i', 'g', '0', 0, 'o', 'c', 't', 'e', 't', 0};
    for (const char* text : {"0.0.0.0", "000.00.0.0", "255.255.255.255", "224.0.0.0", "224.0.0.1", "224.0.0.251",
                             "239.255.255.250", "239.255.255.255"}) {
        SCOPED_TRACE(text);
        CTftpSocket socket;
        ASSERT_EQ(socket.Open(sim.Port(), text), TFTP_OK);
        EXPECT_EQ(socket.SendPacket(text, request.data(), static_cast<int>(request.size())), TFTP_ERR_BAD_ADDRESS);
    }
    // The neighbour that is a host of its own is sent to, and its datagram is the first to arrive:
    // loopback keeps the order, so any datagram sent above would have come before it.
    CTftpSocket socket;
    ASSERT_EQ(socket.Open(sim.Port(), "127.0.0.1"), TFTP_OK);
    ASSERT_EQ(socket.SendPacket("127.0.0.1", request.data(), static_cast<int>(request.size())), TFTP_OK);
    ASSERT_TRUE(sim.WaitFor([](const auto& stats) { return stats.datagramsIn >= 1; }, std::chrono::seconds(2)));
    EXPECT_EQ(sim.Stats().datagramsIn, 1u);
    EXPECT_EQ(sim.Stats().requests, 1u);
}

TEST_F(SocketTest, SendOnAClosedSocketIsANetworkFault)
{
    const Bytes packet = {0, 4, 0, 1};
    m_socket.Close();
    m_socket.Close();  // harmless twice
    EXPECT_EQ(m_socket.SendPacket(m_strRouter, packet.data(), 4), TFTP_ERR_NET_FAULT);
}

TEST_F(SocketTest, AddressWithLeadingZerosIsTheSameRouter)
{
    unsigned a = 0, b = 0, c = 0;
    ASSERT_EQ(std::sscanf(m_strRouter.c_str(), "127.%u.%u.%u", &a, &b, &c), 3);
    char padded[16];
    std::snprintf(padded, sizeof padded, "127.%03u.%03u.%03u", a, b, c);
    m_socket.Close();
    OpenFor(padded);  // the router receives what is sent to the padded text

    FromRouter(Datagram(20, 'z'));
    ASSERT_TRUE(QTest::qWaitFor([&] { return m_socket.HasDatagram(); }, 2000));
    EXPECT_EQ(Take(m_socket), Datagram(20, 'z'));
}

TEST_F(SocketTest, PortUnreachableFromASilentHostDoesNotEndTheTransfer)
{
    // Nothing listens on this address: the system answers with a port-unreachable report.
    const std::string strSilent = testsupport::LoopbackAddressForTest(2);
    const Bytes packet = {0, 4, 0, 1};
    ASSERT_EQ(m_socket.SendPacket(strSilent, packet.data(), 4), TFTP_OK);
    PumpUntilRead(m_nClientPort);
    EXPECT_EQ(m_socket.SendPacket(strSilent, packet.data(), 4), TFTP_OK);
    PumpUntilRead(m_nClientPort);
    EXPECT_EQ(m_owner.m_nFaults, 0);

    FromRouter(Datagram(8, 'q'));
    ASSERT_TRUE(QTest::qWaitFor([&] { return m_socket.HasDatagram(); }, 2000));
    EXPECT_EQ(m_owner.m_nFaults, 0);
}

TEST(Socket, TakeDatagramCopiesAtMostTheCapacityAndEmptiesTheSlot)
{
    CTftpSocket socket;
    std::uint8_t buffer[8] = {};
    int n = sizeof buffer;
    EXPECT_EQ(socket.TakeDatagram(buffer, n), TFTP_OK);
    EXPECT_EQ(n, 0);

    for (int i = 0; i < 20; ++i)
        socket.m_datagram[i] = static_cast<std::uint8_t>(i);
    socket.m_nDatagramLen = 20;
    socket.m_bHasDatagram = true;
    n = sizeof buffer;
    EXPECT_EQ(socket.TakeDatagram(buffer, n), TFTP_OK);
    EXPECT_EQ(n, 8);
    EXPECT_EQ(buffer[7], 7);
    EXPECT_FALSE(socket.HasDatagram());
}

TEST(Socket, OpenThatCannotCreateASocketIsNetOpen)
{
    // Constructed first: the sanitizer's own checks need a descriptor too.
    CTftpSocket socket;
    rlimit saved {};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    // The lowest free descriptor number becomes the limit: the next socket cannot be created.
    int nNext = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(nNext, 0);
    ::close(nNext);
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(nNext);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    const TftpResult nResult = socket.Open(TFTP_PORT, "127.0.0.1");
    ::setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(nResult, TFTP_ERR_NET_OPEN);
    EXPECT_FALSE(socket.IsOpen());
}

}  // namespace
