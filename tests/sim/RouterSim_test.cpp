// The router simulator against a raw client on loopback: the cases an ordinary client cannot show.

#include "RawClient.h"
#include "RouterFixture.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <regex>
#include <thread>

using namespace simtest;
using testsupport::kTestRouterPort;
using velnor::sim::RouterSim;
using velnor::sim::RouterSimInjection;
using velnor::sim::RouterSimOptions;
using velnor::sim::RouterSimStats;
using Clock = std::chrono::steady_clock;

namespace {

class RouterSimTest : public testsupport::RouterFixture {
protected:
    // Options for this test's address, port and folder; the router's own time-out is long enough that
    // it never fires unless a test asks for it.
    RouterSimOptions Options() const
    {
        RouterSimOptions o;
        o.listenAddress = m_strRouter;
        o.port = kTestRouterPort;
        o.root = m_routerDir.Path();
        o.retransmitSeconds = 5;
        return o;
    }

    RouterSim& Start(RouterSimOptions o) { return StartRouter(std::move(o)); }

    void Put(const std::string& name, const Bytes& bytes) { testsupport::WriteFileBytes(m_routerDir / name, bytes); }
    Bytes Get(const std::string& name) const { return testsupport::ReadFileBytes(m_routerDir / name); }
    bool Exists(const std::string& name) const { return std::filesystem::exists(m_routerDir / name); }
    // Nothing but the router's files: no temporary file left behind.
    std::vector<std::string> Files() const
    {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(m_routerDir.Path()))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
};

// Reads a file in lock-step as a correct client would; every DATA must come from the router's port.
Bytes ReadWhole(RawClient& client, const Bytes& request, std::chrono::milliseconds timeout = 1000ms)
{
    client.Send(request);
    Bytes data;
    for (std::uint32_t k = 1;; ++k) {
        auto packet = client.ReceiveFromRouter(timeout);
        if (!packet) {
            ADD_FAILURE() << "no DATA " << k;
            return data;
        }
        if (OpcodeOf(*packet) != 3 || BlockOf(*packet) != static_cast<std::uint16_t>(k)) {
            ADD_FAILURE() << "expected DATA " << k << ", got opcode " << OpcodeOf(*packet) << " block "
                          << BlockOf(*packet) << " text " << ErrorTextOf(*packet);
            return data;
        }
        Bytes payload = PayloadOf(*packet);
        data.insert(data.end(), payload.begin(), payload.end());
        client.Send(Ack(static_cast<std::uint16_t>(k)));
        if (payload.size() < 512)
            return data;
    }
}

// Writes a file in lock-step; true when every block, the last included, was acknowledged.
bool WriteWhole(RawClient& client, const Bytes& request, const Bytes& data,
                std::chrono::milliseconds lastAckTimeout = 1000ms)
{
    client.Send(request);
    auto ack = client.ReceiveFromRouter();
    if (!ack || *ack != Ack(0))
        return false;
    const std::size_t nBlocks = data.size() / 512 + 1;
    for (std::size_t k = 1; k <= nBlocks; ++k) {
        const std::size_t offset = (k - 1) * 512;
        const std::size_t n = std::min<std::size_t>(512, data.size() - offset);
        client.Send(Data(static_cast<std::uint16_t>(k), data.data() + offset, n));
        ack = client.ReceiveFromRouter(k == nBlocks ? lastAckTimeout : 1000ms);
        if (!ack || *ack != Ack(static_cast<std::uint16_t>(k)))
            return false;
    }
    return true;
}

// Content for the 32 MiB cases, made and read word by word: the byte-wise helpers take seconds for that
// much in an unoptimised build.
Bytes BigContent(std::size_t size, std::uint32_t seed)
{
    std::vector<std::uint32_t> words(size / 4 + 1);
    std::uint32_t x = seed * 2654435761u + 1;
    for (auto& w : words) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        w = x;
    }
    Bytes bytes(size);
    std::memcpy(bytes.data(), words.data(), size);
    return bytes;
}

Bytes ReadAll(const std::filesystem::path& path)
{
    Bytes bytes(std::filesystem::file_size(path));
    std::FILE* f = std::fopen(path.c_str(), "rb");
    const std::size_t got = f ? std::fread(bytes.data(), 1, bytes.size(), f) : 0;
    if (f)
        std::fclose(f);
    bytes.resize(got);
    return bytes;
}

void WriteAll(const std::filesystem::path& path, const Bytes& bytes)
{
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_TRUE(f);
    EXPECT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
    std::fclose(f);
}

}  // namespace

// ---------------------------------------------------------------------------------------------------
// Reads and writes

TEST_F(RouterSimTest, ReadOfEverySizeBoundaryEndsWithAShortBlockAndCountsOneTransfer)
{
    auto& sim = Start(Options());
    const std::size_t sizes[] = {0, 1, 511, 512, 513, 1024, 1025};
    int n = 0;
    for (std::size_t size : sizes) {
        const Bytes content = testsupport::PatternBytes(size, static_cast<std::uint32_t>(size) + 3);
        Put("config1", content);
        RawClient client(m_strRouter);
        EXPECT_EQ(ReadWhole(client, Rrq("config1")), content) << size << " bytes";
        ASSERT_TRUE(sim.WaitForTransfers(++n, 1000ms)) << size << " bytes";
    }
    const auto stats = sim.Stats();
    EXPECT_EQ(stats.transfersFailed, 0u);
    EXPECT_EQ(stats.retransmits, 0u);
}

TEST_F(RouterSimTest, WriteIsStoredByteForByteInEitherMode)
{
    auto& sim = Start(Options());
    // Line ends and NUL bytes as they are: the mode is only a label to this router.
    const Bytes text = {'a', '\r', '\n', 'b', '\n', 'c', '\r', 0, 'd', '\r'};
    RawClient a(m_strRouter);
    ASSERT_TRUE(WriteWhole(a, Wrq("config3", "netascii"), text));
    ASSERT_TRUE(sim.WaitForTransfers(1, 1000ms));
    EXPECT_EQ(Get("config3"), text);

    const Bytes image = testsupport::PatternBytes(512 * 3, 9);
    RawClient b(m_strRouter);
    ASSERT_TRUE(WriteWhole(b, Wrq("exec1", "octet"), image));
    ASSERT_TRUE(sim.WaitForTransfers(2, 1000ms));
    EXPECT_EQ(Get("exec1"), image);
    EXPECT_EQ(Files(), (std::vector<std::string>{"config3", "exec1"}));
}

TEST_F(RouterSimTest, DuplicateAckNeverProducesASecondData)
{
    Put("config0", testsupport::PatternBytes(1500));
    auto& sim = Start(Options());
    RawClient client(m_strRouter);
    client.Send(Rrq("config0"));
    ASSERT_EQ(BlockOf(client.ReceiveFromRouter().value()), 1);
    client.Send(Ack(1));
    ASSERT_EQ(BlockOf(client.ReceiveFromRouter().value()), 2);
    client.Send(Ack(1));  // a late repeat of the previous ACK
    client.Send(Ack(1));
    EXPECT_FALSE(client.Receive(300ms)) << "a repeated ACK must not be answered with DATA";
    client.Send(Ack(2));
    auto last = client.ReceiveFromRouter();
    ASSERT_TRUE(last);
    EXPECT_EQ(BlockOf(*last), 3);
    client.Send(Ack(3));
    ASSERT_TRUE(sim.WaitForTransfers(1, 1000ms));
    const auto stats = sim.Stats();
    EXPECT_EQ(stats.duplicateAcksIgnored, 2u);
    EXPECT_EQ(stats.dataSentPerBlock, (std::map<std::uint32_t, unsigned>{{1, 1}, {2, 1}, {3, 1}}));
}

TEST_F(RouterSimTest, DuplicateDataIsAcknowledgedAgainAndStoredOnce)
{
    auto& sim = Start(Options());
    const Bytes content = testsupport::PatternBytes(700);
    RawClient client(m_strRouter);
    client.Send(Wrq("config2"));
    ASSERT_EQ(client.ReceiveFromRouter().value(), Ack(0));
    client.Send(Data(1, content.data(), 512));
    ASSERT_EQ(client.ReceiveFromRouter().value(), Ack(1));
    client.Send(Data(1, content.data(), 512));  // as if our ACK 1 had been lost
    EXPECT_EQ(client.ReceiveFromRouter().value(), Ack(1));
    client.Send(Data(2, content.data() + 512, 188));
    EXPECT_EQ(client.ReceiveFromRouter().value(), Ack(2));
    ASSERT_TRUE(sim.WaitForTransfers(1, 1000ms));
    EXPECT_EQ(Get("config2"), content);
    EXPECT_EQ(sim.Stats().duplicateDataReacked, 1u);
}

TEST_F(RouterSimTest, LastDataRepeatedAfterCompletionHearsTheFinalAckAgain)
{
    auto& sim = Start(Options());
    RawClient client(m_strRouter);
    const Bytes content = {1, 2, 3};
    ASSERT_TRUE(WriteWhole(client, Wrq("config4"), content));
    client.Send(Data(1, content));  // the client did not hear the final ACK
    EXPECT_EQ(client.ReceiveFromRouter().value(), Ack(1));
    ASSERT_TRUE(sim.WaitForTransfers(1, 1000ms));
    EXPECT_EQ(sim.Stats().transfersCompleted, 1u);
    EXPECT_EQ(Get("config4"), content);
}

TEST_F(RouterSimTest, RepeatedRequestAfterALostFirstAnswerGetsTheSameAnswer)
{
    Put("config0", {'x'});
    auto o = Options();
    o.dropOutNth = {1};  // DATA 1 is lost on its way
    auto& sim = Start(o);
    RawClient client(m_strRouter);
    client.Send(Rrq("config0"));
    EXPECT_FALSE(client.Receive(200ms));
    client.Send(Rrq("config0"));
    auto data = client.ReceiveFromRouter();
    ASSERT_TRUE(data);
    EXPECT_EQ(*data, Data(1, Bytes{'x'}));
    client.Send(Ack(1));
    ASSERT_TRUE(sim.WaitForTransfers(1, 1000ms));
    EXPECT_EQ(sim.Stats().dataSentPerBlock.at(1), 2u);
    EXPECT_EQ(sim.Stats().droppedOut, 1u);
}

TEST_F(RouterSimTest, BlockNumbersWrapFrom65535ToZero)
{
    // 65536 full blocks and a short one: the last three blocks on the wire are 65535, 0 and 1.
    const Bytes content = BigContent(65537u * 512 - 312, 5);
    const std::uint32_t nBlocks = 65537;
    auto o = Options();
    o.maxFileBytes = 0;  // beyond the client's largest file, which is the router's default bound
    auto& sim = Start(o);
    RawClient client(m_strRouter);
    client.Send(Wrq("exec0"));
    ASSERT_EQ(client.ReceiveFromRouter().value(), Ack(0));
    // Blocks go out a window at a time rather than in lock-step, to keep the test short; the router
    // still takes them one by one, in order, and acknowledges each.
    const std::uint32_t nWindow = 32;
    for (std::uint32_t first = 1; first <= nBlocks; first += nWindow) {
        const std::uint32_t last = std::min(nBlocks, first + nWindow - 1);
        for (std::uint32_t k = first; k <= last; ++k) {
            const std::size_t offset = std::size_t{k - 1} * 512;
            client.Send(Data(static_cast<std::uint16_t>(k), content.data() + offset,
                             std::min<std::size_t>(512, content.size() - offset)));
        }
        for (std::uint32_t k = first; k <= last; ++k) {
            auto ack = client.ReceiveFromRouter(5000ms);  // generous: a loaded machine may stall a while
            ASSERT_TRUE(ack) << "block " << k;
            ASSERT_EQ(*ack, Ack(static_cast<std::uint16_t>(k))) << "block " << k;
        }
    }
    ASSERT_TRUE(sim.WaitForTransfers(1, 2000ms));
    EXPECT_TRUE(ReadAll(m_routerDir / "exec0") == content);
    EXPECT_EQ(sim.Stats().acksSentPerBlock.size(), std::size_t{nBlocks} + 1);
}

TEST_F(RouterSimTest, ReadAcrossTheWrapSendsBlockZeroAfter65535)
{
    const Bytes content = BigContent(65537u * 512 - 100, 6);
    const std::uint32_t nBlocks = 65537;
    WriteAll(m_routerDir / "config0", content);
    auto& sim = Start(Options());
    RawClient client(m_strRouter);
    client.Send(Rrq("config0"));
    auto first = client.ReceiveFromRouter(5000ms);
    ASSERT_TRUE(first);
    ASSERT_EQ(BlockOf(*first), 1);
    Bytes received = PayloadOf(*first);
    // ACKs go out a window ahead. The router takes each one only after it has sent the DATA it
    // acknowledges (it handles datagrams in order), so for the router this is still lock-step.
    const std::uint32_t nWindow = 32;
    for (std::uint32_t next = 2; next <= nBlocks;) {
        const std::uint32_t last = std::min(nBlocks, next + nWindow - 1);
        for (std::uint32_t k = next - 1; k < last; ++k)
            client.Send(Ack(static_cast<std::uint16_t>(k)));
        for (; next <= last; ++next) {
            auto data = client.ReceiveFromRouter(5000ms);
            ASSERT_TRUE(data) << "block " << next;
            ASSERT_EQ(BlockOf(*data), static_cast<std::uint16_t>(next)) << "block " << next;
            received.insert(received.end(), data->begin() + 4, data->end());
        }
    }
    client.Send(Ack(static_cast<std::uint16_t>(nBlocks)));
    ASSERT_TRUE(sim.WaitForTransfers(1, 2000ms));
    EXPECT_TRUE(received == content);
    EXPECT_EQ(sim.Stats().dataSentPerBlock.size(), std::size_t{nBlocks});
    EXPECT_EQ(sim.Stats().duplicateAcksIgnored, 0u);
}

// ---------------------------------------------------------------------------------------------------
// Names, passwords and file numbers

TEST_F(RouterSimTest, NamingRulesDecideEveryRequest)
{
    Put("config0", {'0'});
    Put("config1", {'1'});
    Put("exec0", {'e'});
    enum Expect { DATA, ACK0, NO_SUCH_FILE, ACCESS_VIOLATION, ILLEGAL };
    struct Case {
        const char* password;  // of the router
        bool noFileNumbers;
        bool write;
        const char* name;
        const char* mode;
        Expect expect;
    };
    const Case cases[] = {
        {"", false, false, "config", "netascii", DATA},
        {"", false, false, "config1", "octet", DATA},
        {"", false, false, "config1/whatever", "octet", DATA},  // no password set: none is checked
        {"", false, false, "config2", "octet", NO_SUCH_FILE},
        {"", false, false, "config4", "octet", NO_SUCH_FILE},
        {"", false, false, "config5", "octet", ACCESS_VIOLATION},
        {"", false, false, "config10", "octet", ACCESS_VIOLATION},
        {"", false, false, "exec0", "octet", ACCESS_VIOLATION},  // firmware is never read back
        {"", false, true, "exec", "octet", ACK0},
        {"", false, true, "exec1", "octet", ACK0},
        {"", false, true, "exec2", "octet", ACCESS_VIOLATION},
        {"", false, true, "exec1/pw", "octet", ACCESS_VIOLATION},
        {"", false, true, "config4", "netascii", ACK0},
        {"", false, false, "Config1", "octet", ACCESS_VIOLATION},
        {"", false, false, "startup.cfg", "octet", ACCESS_VIOLATION},
        {"", false, false, "config1", "mail", ILLEGAL},
        {"pw", false, false, "config1/pw", "netascii", DATA},
        {"pw", false, false, "config/pw", "netascii", DATA},
        {"pw", false, false, "config1", "netascii", ACCESS_VIOLATION},
        {"pw", false, false, "config1/PW", "netascii", ACCESS_VIOLATION},
        {"pw", false, false, "config1/pwx", "netascii", ACCESS_VIOLATION},
        {"pw", false, false, "config1/", "netascii", ACCESS_VIOLATION},
        {"pw", false, false, "config3/wrong", "netascii", ACCESS_VIOLATION},  // says nothing of the file
        {"pw", false, false, "config3/pw", "netascii", NO_SUCH_FILE},
        {"pw", false, true, "config2", "netascii", ACCESS_VIOLATION},
        {"pw", false, true, "exec", "octet", ACK0},  // firmware takes no password
        {"", true, false, "config", "netascii", DATA},
        {"", true, false, "config0", "netascii", ACCESS_VIOLATION},
        {"", true, false, "config1", "netascii", ACCESS_VIOLATION},
        {"", true, true, "exec1", "octet", ACCESS_VIOLATION},
        {"", true, true, "exec", "octet", ACK0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.write ? "write " : "read ") + c.name + " mode " + c.mode + " password \"" +
                     c.password + "\"" + (c.noFileNumbers ? " no file numbers" : ""));
        auto o = Options();
        o.password = c.password;
        o.noFileNumbers = c.noFileNumbers;
        RouterSim sim(o);
        std::string error;
        ASSERT_TRUE(sim.Start(&error)) << error;
        RawClient client(m_strRouter);
        client.Send(c.write ? Wrq(c.name, c.mode) : Rrq(c.name, c.mode));
        auto answer = client.ReceiveFromRouter();
        ASSERT_TRUE(answer);
        switch (c.expect) {
        case DATA:
            EXPECT_EQ(OpcodeOf(*answer), 3);
            EXPECT_EQ(BlockOf(*answer), 1);
            break;
        case ACK0:
            EXPECT_EQ(*answer, Ack(0));
            break;
        case NO_SUCH_FILE:
            EXPECT_EQ(*answer, ErrorPacket(1, "No such file"));
            break;
        case ACCESS_VIOLATION:
            EXPECT_EQ(*answer, ErrorPacket(2, "Access violation"));
            break;
        case ILLEGAL:
            EXPECT_EQ(OpcodeOf(*answer), 5);
            EXPECT_EQ(BlockOf(*answer), 4);
            break;
        }
    }
}

TEST_F(RouterSimTest, MalformedRequestIsRefusedAsIllegal)
{
    auto& sim = Start(Options());
    RawClient client(m_strRouter);
    client.Send(Cat({U16(1), Bytes{'c', 'o', 'n', 'f', 'i', 'g', 0, 'o', 'c'}}));  // mode cut short
    auto answer = client.ReceiveFromRouter();
    ASSERT_TRUE(answer);
    EXPECT_EQ(OpcodeOf(*answer), 5);
    EXPECT_EQ(BlockOf(*answer), 4);
    client.Send(Bytes{});  // nothing at all: no answer
    client.Send(Bytes{0});
    client.Send(Cat({U16(9), U16(1)}));
    EXPECT_FALSE(client.Receive(200ms));
    EXPECT_EQ(sim.Stats().malformedIn, 4u);
}

// ---------------------------------------------------------------------------------------------------
// Timing: the router's own time-out, the flash wait, delays

TEST_F(RouterSimTest, RouterRetransmitsOnItsOwnTimeOutThenGivesUp)
{
    Put("config0", testsupport::PatternBytes(600));
    auto o = Options();
    o.retransmitSeconds = 0.08;
    o.maxRetransmits = 4;
    auto& sim = Start(o);
    RawClient client(m_strRouter);
    client.Send(Rrq("config0"));
    std::vector<Clock::time_point> arrivals;
    while (auto d = client.ReceiveFromRouter(400ms)) {
        EXPECT_EQ(BlockOf(*d), 1);
        arrivals.push_back(Clock::now());
    }
    ASSERT_EQ(arrivals.size(), 5u) << "sent once and retransmitted 4 times";
    for (std::size_t i = 1; i < arrivals.size(); ++i)
        EXPECT_GE(arrivals[i] - arrivals[i - 1], 70ms);
    ASSERT_TRUE(sim.WaitFor([](const RouterSimStats& s) { return s.transfersFailed == 1; }, 1000ms));
    EXPECT_EQ(sim.Stats().retransmits, 4u);
    // Given up: a late ACK belongs to no transfer any more.
    client.Send(Ack(1));
    EXPECT_EQ(client.ReceiveFromRouter().value(), ErrorPacket(5, "Unknown transfer ID"));
}

TEST_F(RouterSimTest, LastAckOfAFirmwareWriteWaitsForTheFlashAndTheFileAppearsOnlyThen)
{
    auto o = Options();
    o.flashSeconds = 0.4;
    auto& sim = Start(o);
    Put("exec0", {'o', 'l', 'd'});
    RawClient client(m_strRouter);
    const Bytes image = testsupport::PatternBytes(600);
    client.Send(Wrq("exec"));
    ASSERT_EQ(client.ReceiveFromRouter().value(), Ack(0));
    client.Send(Data(1, image.data(), 512));
    ASSERT_EQ(client.ReceiveFromRouter().value(), Ack(1));
    const auto sent = Clock::now();
    client.Send(Data(2, image.data() + 512, 88));
    EXPECT_FALSE(client.Receive(250ms)) << "the last ACK is withheld while the flash ROM is written";
    EXPECT_EQ(Get("exec0"), (Bytes{'o', 'l', 'd'}));
    client.Send(Data(2, image.data() + 512, 88));  // the client's retransmission meets a busy router
    auto ack = client.ReceiveFromRouter(1000ms);
    ASSERT_TRUE(ack);
    EXPECT_EQ(*ack, Ack(2));
    EXPECT_GE(Clock::now() - sent, 390ms);
    EXPECT_FALSE(client.Receive(100ms)) << "the withheld ACK goes out once";
    ASSERT_TRUE(sim.WaitForTransfers(1, 1000ms));
    EXPECT_EQ(Get("exec0"), image);
    EXPECT_EQ(sim.Stats().ignoredWhileFlashing, 1u);
}

TEST_F(RouterSimTest, ConfigurationWritesSkipTheFlashWaitUnlessAsked)
{
    auto o = Options();
    o.flashSeconds = 5;
    Start(o);
    RawClient client(m_strRouter);
    EXPECT_TRUE(WriteWhole(client, Wrq("config1"), {'a'}, 300ms));

    m_pSim.reset();
    o.flashConfigWrites = true;
    Start(o);
    RawClient other(m_strRouter);
    EXPECT_FALSE(WriteWhole(other, Wrq("config1"), {'b'}, 300ms));
    EXPECT_EQ(Get("config1"), Bytes{'a'});
}

TEST_F(RouterSimTest, NegativeFlashTimeNeverSendsTheLastAckNorStoresTheFile)
{
    auto o = Options();
    o.flashSeconds = -1;
    o.retransmitSeconds = 0.05;
    auto& sim = Start(o);
    RawClient client(m_strRouter);
    EXPECT_FALSE(WriteWhole(client, Wrq("exec1"), {1, 2, 3}, 400ms));
    EXPECT_EQ(sim.Stats().retransmits, 0u) << "a flashing router does not retransmit";
    m_pSim->Stop();
    EXPECT_TRUE(Files().empty());
}

TEST_F(RouterSimTest, ReplyDelayHoldsEveryAnswerBack)
{
    Put("config0", {'d'});
    auto o = Options();
    o.replyDelaySeconds = 0.2;
    Start(o);
    RawClient client(m_strRouter);
    const auto sent = Clock::now();
    client.Send(Rrq("config0"));
    EXPECT_FALSE(client.Receive(120ms));
    auto data = client.ReceiveFromRouter(1000ms);
    ASSERT_TRUE(data);
    EXPECT_EQ(*data, Data(1, Bytes{'d'}));
    EXPECT_GE(Clock::now() - sent, 190ms);
}

// ---------------------------------------------------------------------------------------------------
// Option acknowledgement

TEST_F(RouterSimTest, OackCarriesTheSizeAndAckZeroStartsTheData)
{
    const Bytes content = testsupport::PatternBytes(1025);
    Put("config2", content);
    auto o = Options();
    o.oack = true;
    auto& sim = Start(o);
    RawClient client(m_strRouter);
    client.Send(Rrq("config2", "netascii", {{"tsize", "0"}}));
    auto oack = client.ReceiveFromRouter();
    ASSERT_TRUE(oack);
    EXPECT_EQ(*oack, Cat({U16(6), Str("tsize"), Str("1025")}));
    client.Send(Ack(0));
    auto data = client.ReceiveFromRouter();
    ASSERT_TRUE(data);
    EXPECT_EQ(BlockOf(*data), 1);
    EXPECT_EQ(sim.Stats().lastOptions, (std::vector<std::string>{"tsize", "0"}));
}

TEST_F(RouterSimTest, ClientThatIgnoresTheOackFinishesAfterRepeatingItsRequest)
{
    const Bytes content = testsupport::PatternBytes(300);
    Put("config0", content);
    auto o = Options();
    o.oack = true;
    auto& sim = Start(o);
    RawClient client(m_strRouter);
    const Bytes request = Rrq("config", "netascii", {{"tsize", "0"}});
    client.Send(request);
    ASSERT_EQ(OpcodeOf(client.ReceiveFromRouter().value()), 6);
    // This client drops the OACK and, after its own time-out, sends the same request again.
    EXPECT_EQ(ReadWhole(client, request), content);
    ASSERT_TRUE(sim.WaitForTransfers(1, 1000ms));
    EXPECT_EQ(sim.Stats().oacksSent, 1u);
}

TEST_F(RouterSimTest, UnansweredOackIsFollowedByDataOneOnTheRoutersTimeOut)
{
    Put("config0", {'z'});
    auto o = Options();
    o.oack = true;
    o.retransmitSeconds = 0.1;
    Start(o);
    RawClient client(m_strRouter);
    client.Send(Rrq("config0", "netascii", {{"tsize", "0"}}));
    ASSERT_EQ(OpcodeOf(client.ReceiveFromRouter().value()), 6);
    auto data = client.ReceiveFromRouter(500ms);
    ASSERT_TRUE(data);
    EXPECT_EQ(*data, Data(1, Bytes{'z'}));
}

TEST_F(RouterSimTest, WriteWithOptionsIsAcknowledgedByOackAndRequestsWithoutOptionsAreNot)
{
    auto o = Options();
    o.oack = true;
    auto& sim = Start(o);
    RawClient a(m_strRouter);
    a.Send(Wrq("config1", "netascii", {{"tsize", "3"}}));
    EXPECT_EQ(a.ReceiveFromRouter().value(), Cat({U16(6), Str("tsize"), Str("3")}));
    a.Send(Data(1, Bytes{7, 8, 9}));
    EXPECT_EQ(a.ReceiveFromRouter().value(), Ack(1));
    ASSERT_TRUE(sim.WaitForTransfers(1, 1000ms));
    EXPECT_EQ(Get("config1"), (Bytes{7, 8, 9}));

    RawClient b(m_strRouter);
    b.Send(Wrq("config1", "netascii", {{"blksize", "1428"}}));  // not an option this router knows
    EXPECT_EQ(b.ReceiveFromRouter().value(), Ack(0));
}

// ---------------------------------------------------------------------------------------------------
// Storing only complete files

TEST_F(RouterSimTest, WriteAbortedByTheClientLeavesTheOldFileAndNoTemporaryFile)
{
    Put("config2", {'o', 'l', 'd'});
    auto& sim = Start(Options());
    RawClient client(m_strRouter);
    client.Send(Wrq("config2"));
    ASSERT_EQ(client.ReceiveFromRouter().value(), Ack(0));
    const Bytes block = testsupport::PatternBytes(512);
    client.Send(Data(1, block));
    ASSERT_EQ(client.ReceiveFromRouter().value(), Ack(1));
    client.Send(ErrorPacket(0x8215, "Client Error!!"));
    ASSERT_TRUE(sim.WaitFor([](const RouterSimStats& s) { return s.transfersFailed == 1; }, 1000ms));
    EXPECT_EQ(sim.Stats().lastErrorReceived, "Client Error!!");
    EXPECT_EQ(Get("config2"), (Bytes{'o', 'l', 'd'}));
    EXPECT_EQ(Files(), std::vector<std::string>{"config2"});
}

TEST_F(RouterSimTest, WriteAbandonedByTheClientIsGivenUpWithoutStoring)
{
    auto o = Options();
    o.retransmitSeconds = 0.05;
    o.maxRetransmits = 2;
    auto& sim = Start(o);
    RawClient client(m_strRouter);
    client.Send(Wrq("config1"));
    ASSERT_EQ(client.ReceiveFromRouter().value(), Ack(0));
    client.Send(Data(1, testsupport::PatternBytes(512)));
    ASSERT_TRUE(sim.WaitFor([](const RouterSimStats& s) { return s.transfersFailed == 1; }, 1000ms));
    EXPECT_EQ(sim.Stats().acksSentPerBlock.at(1), 3u) << "ACK 1 sent once and retransmitted twice";
    EXPECT_TRUE(Files().empty());
}

TEST_F(RouterSimTest, WriteBeyondTheSizeLimitIsRefusedWithDiskFull)
{
    auto o = Options();
    o.maxFileBytes = 1000;
    auto& sim = Start(o);
    RawClient client(m_strRouter);
    client.Send(Wrq("exec0"));
    ASSERT_EQ(client.ReceiveFromRouter().value(), Ack(0));
    const Bytes block = testsupport::PatternBytes(512);
    client.Send(Data(1, block));
    ASSERT_EQ(client.ReceiveFromRouter().value(), Ack(1));
    client.Send(Data(2, block));
    EXPECT_EQ(client.ReceiveFromRouter().value(), ErrorPacket(3, "Disk full or allocation exceeded"));
    ASSERT_TRUE(sim.WaitFor([](const RouterSimStats& s) { return s.transfersFailed == 1; }, 1000ms));
    EXPECT_TRUE(Files().empty());
}

TEST_F(RouterSimTest, WriteThatCannotBeStoredEndsInAnErrorNotAFinalAck)
{
    auto& sim = Start(Options());
    // A folder where the file should go: the rename of the finished file fails.
    std::filesystem::create_directory(m_routerDir / "config1");
    std::filesystem::create_directory(m_routerDir / "config1" / "inside");
    RawClient client(m_strRouter);
    client.Send(Wrq("config1"));
    ASSERT_EQ(client.ReceiveFromRouter().value(), Ack(0));
    client.Send(Data(1, Bytes{1}));
    auto answer = client.ReceiveFromRouter();
    ASSERT_TRUE(answer);
    EXPECT_EQ(OpcodeOf(*answer), 5);
    EXPECT_EQ(BlockOf(*answer), 3);
    EXPECT_EQ(sim.Stats().transfersCompleted, 0u);
    EXPECT_EQ(Files(), std::vector<std::string>{"config1"});
}

// ---------------------------------------------------------------------------------------------------
// One transfer at a time

TEST_F(RouterSimTest, SecondClientIsToldTheRouterIsBusyAndTheFirstGoesOn)
{
    const Bytes content = testsupport::PatternBytes(700);
    Put("config0", content);
    auto& sim = Start(Options());
    RawClient first(m_strRouter);
    first.Send(Rrq("config0"));
    ASSERT_EQ(BlockOf(first.ReceiveFromRouter().value()), 1);
    RawClient second(m_strRouter);
    second.Send(Rrq("config0"));
    EXPECT_EQ(second.ReceiveFromRouter().value(), ErrorPacket(0, "Server busy"));
    second.Send(Ack(1));  // and its stray ACK does not move the first transfer on
    EXPECT_EQ(second.ReceiveFromRouter().value(), ErrorPacket(5, "Unknown transfer ID"));
    first.Send(Ack(1));
    auto last = first.ReceiveFromRouter();
    ASSERT_TRUE(last);
    EXPECT_EQ(*last, Data(2, Bytes(content.begin() + 512, content.end())));
    first.Send(Ack(2));
    ASSERT_TRUE(sim.WaitForTransfers(1, 1000ms));
    EXPECT_EQ(sim.Stats().busyRejects, 1u);
}

// ---------------------------------------------------------------------------------------------------
// Fault switches

TEST_F(RouterSimTest, SilentRouterTakesRequestsInAndNeverAnswers)
{
    Put("config0", {'s'});
    auto o = Options();
    o.silent = true;
    auto& sim = Start(o);
    RawClient client(m_strRouter);
    client.Send(Rrq("config0"));
    client.Send(Wrq("exec"));
    EXPECT_FALSE(client.Receive(250ms));
    EXPECT_EQ(sim.Stats().datagramsIn, 2u);
    EXPECT_EQ(sim.Stats().datagramsOut, 0u);
}

TEST_F(RouterSimTest, ErrorTextAnswersEveryRequestOrStrikesAfterSomeBlocks)
{
    Put("config0", testsupport::PatternBytes(2000));
    auto o = Options();
    o.errorText = "Flash busy";
    o.errorCode = 3;
    Start(o);
    RawClient a(m_strRouter);
    a.Send(Rrq("config9"));  // refused before any name check
    EXPECT_EQ(a.ReceiveFromRouter().value(), ErrorPacket(3, "Flash busy"));

    m_pSim.reset();
    o.errorAfterBlocks = 2;
    auto& sim = Start(o);
    RawClient b(m_strRouter);
    b.Send(Rrq("config0"));
    ASSERT_EQ(BlockOf(b.ReceiveFromRouter().value()), 1);
    b.Send(Ack(1));
    ASSERT_EQ(BlockOf(b.ReceiveFromRouter().value()), 2);
    b.Send(Ack(2));
    EXPECT_EQ(b.ReceiveFromRouter().value(), ErrorPacket(3, "Flash busy"));

    RawClient c(m_strRouter);
    c.Send(Wrq("config1"));
    ASSERT_EQ(c.ReceiveFromRouter().value(), Ack(0));
    c.Send(Data(1, testsupport::PatternBytes(512)));
    ASSERT_EQ(c.ReceiveFromRouter().value(), Ack(1));
    c.Send(Data(2, testsupport::PatternBytes(512)));
    EXPECT_EQ(c.ReceiveFromRouter().value(), ErrorPacket(3, "Flash busy"));
    EXPECT_FALSE(Exists("config1"));
    EXPECT_EQ(sim.Stats().transfersFailed, 2u);
}

TEST_F(RouterSimTest, RestartForgetsTheTransferStaysDeafThenDisownsIt)
{
    Put("config0", testsupport::PatternBytes(1500));
    auto o = Options();
    o.restartAfterBlocks = 1;
    o.restartSeconds = 0.3;
    auto& sim = Start(o);
    RawClient client(m_strRouter);
    client.Send(Rrq("config0"));
    ASSERT_EQ(BlockOf(client.ReceiveFromRouter().value()), 1);
    client.Send(Ack(1));
    EXPECT_FALSE(client.Receive(150ms));
    client.Send(Ack(1));  // heard by nobody while the router restarts
    EXPECT_FALSE(client.Receive(250ms));
    client.Send(Ack(1));
    EXPECT_EQ(client.ReceiveFromRouter().value(), ErrorPacket(5, "Unknown transfer ID"));
    const auto stats = sim.Stats();
    EXPECT_EQ(stats.restarts, 1u);
    EXPECT_EQ(stats.ignoredWhileRestarting, 1u);
}

TEST_F(RouterSimTest, UnknownTransferErrorsCanBeSwitchedOff)
{
    auto o = Options();
    o.answerUnknownTransfer = false;
    auto& sim = Start(o);
    RawClient client(m_strRouter);
    client.Send(Ack(3));
    client.Send(Data(1, Bytes{1}));
    client.Send(ErrorPacket(0, "x"));
    EXPECT_FALSE(client.Receive(200ms));
    EXPECT_EQ(sim.Stats().unknownTransferIn, 3u);
}

TEST_F(RouterSimTest, AnswersFromAnotherPortWhenAsked)
{
    Put("config0", {'p'});
    auto o = Options();
    o.answerFromOtherPort = true;
    auto& sim = Start(o);
    RawClient client(m_strRouter);
    client.Send(Rrq("config0"));
    auto d = client.Receive();
    ASSERT_TRUE(d);
    EXPECT_EQ(d->address, m_strRouter);
    EXPECT_NE(d->port, kTestRouterPort);
    EXPECT_EQ(d->bytes, Data(1, Bytes{'p'}));
    // A client that follows the port (as ordinary TFTP clients do) can finish through it.
    client.SendTo(m_strRouter, d->port, Ack(1));
    ASSERT_TRUE(sim.WaitForTransfers(1, 1000ms));
    EXPECT_EQ(sim.Stats().otherPortDatagramsSent, 1u);
}

TEST_F(RouterSimTest, OversizedDatagramComesFromTheRoutersPortBeforeTheChosenBlock)
{
    Put("config0", testsupport::PatternBytes(600));
    auto o = Options();
    o.oversizedReply = true;
    o.oversizedAtBlock = 2;
    Start(o);
    RawClient client(m_strRouter);
    client.Send(Rrq("config0"));
    ASSERT_EQ(client.ReceiveFromRouter().value().size(), 516u);
    client.Send(Ack(1));
    auto big = client.ReceiveFromRouter();
    ASSERT_TRUE(big);
    EXPECT_EQ(big->size(), 1100u);
    auto data = client.ReceiveFromRouter();
    ASSERT_TRUE(data);
    EXPECT_EQ(data->size(), 4u + 88u);
}

TEST_F(RouterSimTest, OverlongDataIsFollowedByTheRightBlockOnRetransmission)
{
    const Bytes content = testsupport::PatternBytes(600);
    Put("config0", content);
    auto o = Options();
    o.overlongDataAtBlock = 1;
    o.retransmitSeconds = 0.1;
    Start(o);
    RawClient client(m_strRouter);
    client.Send(Rrq("config0"));
    auto overlong = client.ReceiveFromRouter();
    ASSERT_TRUE(overlong);
    EXPECT_EQ(overlong->size(), 517u);
    auto right = client.ReceiveFromRouter();
    ASSERT_TRUE(right);
    EXPECT_EQ(*right, Data(1, content.data(), 512));
}

TEST_F(RouterSimTest, StrayCopiesComeFromTheOtherAddressWithInvertedData)
{
    Put("config0", {0x00, 0xF0});
    auto o = Options();
    o.strayFromAddress = testsupport::LoopbackAddressForTest(1);
    o.flashSeconds = 0.2;
    auto& sim = Start(o);
    RawClient client(m_strRouter);
    client.Send(Rrq("config0"));
    auto stray = client.Receive();
    ASSERT_TRUE(stray);
    EXPECT_EQ(stray->address, o.strayFromAddress);
    EXPECT_EQ(stray->port, kTestRouterPort);
    EXPECT_EQ(stray->bytes, Data(1, Bytes{0xFF, 0x0F}));
    EXPECT_EQ(client.ReceiveFromRouter().value(), Data(1, Bytes{0x00, 0xF0}));
    client.Send(Ack(1));
    ASSERT_TRUE(sim.WaitForTransfers(1, 1000ms));

    // While the flash ROM is written, the stray address already "acknowledges" the last block.
    RawClient writer(m_strRouter);
    writer.Send(Wrq("exec"));
    ASSERT_EQ(writer.Receive().value().address, o.strayFromAddress);
    ASSERT_EQ(writer.ReceiveFromRouter().value(), Ack(0));
    writer.Send(Data(1, Bytes{1}));
    const auto sent = Clock::now();
    auto early = writer.Receive();
    ASSERT_TRUE(early);
    EXPECT_EQ(early->address, o.strayFromAddress);
    EXPECT_EQ(early->bytes, Ack(1));
    EXPECT_LT(Clock::now() - sent, 150ms);
    EXPECT_EQ(writer.ReceiveFromRouter().value(), Ack(1));
    EXPECT_GE(Clock::now() - sent, 190ms);
    EXPECT_FALSE(writer.Receive(100ms)) << "one stray copy per answer";
    EXPECT_EQ(sim.Stats().strayDatagramsSent, 3u);  // DATA 1, ACK 0, ACK 1
}

TEST_F(RouterSimTest, InjectedDatagramReplacesTheAnswerUntilTheRetransmission)
{
    Put("config0", {'i'});
    auto o = Options();
    o.retransmitSeconds = 0.1;
    RouterSimInjection shortAck;  // a 5-byte ACK where DATA 1 was due
    shortAck.atBlock = 1;
    shortAck.bytes = {0, 4, 0, 1, 0};
    shortAck.replacesAnswer = true;
    RouterSimInjection empty;  // and an empty datagram before it
    empty.atBlock = 1;
    o.injections = {empty, shortAck};
    auto& sim = Start(o);
    RawClient client(m_strRouter);
    client.Send(Rrq("config0"));
    EXPECT_EQ(client.ReceiveFromRouter().value(), Bytes{});
    EXPECT_EQ(client.ReceiveFromRouter().value(), (Bytes{0, 4, 0, 1, 0}));
    EXPECT_EQ(client.ReceiveFromRouter().value(), Data(1, Bytes{'i'}));
    EXPECT_EQ(sim.Stats().injectionsSent, 2u);
}

TEST_F(RouterSimTest, DuplicateRateOneSendsEveryAnswerTwice)
{
    Put("config0", {'2'});
    auto o = Options();
    o.duplicateRate = 1;
    auto& sim = Start(o);
    RawClient client(m_strRouter);
    client.Send(Rrq("config0"));
    EXPECT_EQ(client.ReceiveFromRouter().value(), Data(1, Bytes{'2'}));
    EXPECT_EQ(client.ReceiveFromRouter().value(), Data(1, Bytes{'2'}));
    EXPECT_EQ(sim.Stats().duplicatedOut, 1u);
    EXPECT_EQ(sim.Stats().dataSent, 1u) << "a fault's copy is not one of the router's own sends";
}

TEST_F(RouterSimTest, DropsFollowTheSeedAndRepeatExactly)
{
    // Each datagram from an unknown transfer draws one ERROR answer, so every decision is visible.
    auto pattern = [this](std::uint32_t seed) {
        auto o = Options();
        o.dropInRate = 0.3;
        o.dropOutRate = 0.3;
        o.seed = seed;
        o.traceInMemory = true;
        RouterSim sim(o);
        std::string error;
        EXPECT_TRUE(sim.Start(&error)) << error;
        RawClient client(m_strRouter);
        for (int i = 0; i < 60; ++i) {
            client.Send(Ack(static_cast<std::uint16_t>(i)));
            // One at a time, so that the router's order of handling is the order of sending.
            EXPECT_TRUE(sim.WaitFor([i](const RouterSimStats& s) { return s.datagramsIn == static_cast<unsigned>(i + 1); },
                                    1000ms));
        }
        std::string directions;
        for (const auto& line : sim.Trace())
            directions += line.direction == "in" ? 'i' : line.direction == "out" ? 'o'
                        : line.direction == "drop-in" ? 'I' : 'O';
        const auto stats = sim.Stats();
        EXPECT_EQ(stats.droppedIn + stats.droppedOut + stats.datagramsOut, 60u);
        EXPECT_GT(stats.droppedIn, 5u);
        EXPECT_LT(stats.droppedIn, 35u);
        return directions;
    };
    const std::string first = pattern(7);
    EXPECT_EQ(pattern(7), first);
    EXPECT_NE(pattern(8), first);
}

// ---------------------------------------------------------------------------------------------------
// Trace

TEST_F(RouterSimTest, TraceFileHasOneLinePerDatagramInAndOut)
{
    Put("config0", {0xAB, 0x01});
    auto o = Options();
    o.tracePath = (m_routerDir / "trace.txt").string();
    o.dropOutNth = {2};
    o.traceInMemory = true;
    auto& sim = Start(o);
    RawClient client(m_strRouter);
    EXPECT_EQ(ReadWhole(client, Rrq("config0")), (Bytes{0xAB, 0x01}));
    ASSERT_TRUE(sim.WaitForTransfers(1, 1000ms));
    client.Send(Ack(9));  // draws an ERROR 5, which is dropped as the second datagram out
    ASSERT_TRUE(sim.WaitFor([](const RouterSimStats& s) { return s.droppedOut == 1; }, 1000ms));
    sim.Stop();

    std::ifstream in(o.tracePath);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    const std::string port = std::to_string(client.LocalPort());
    const std::string router = m_strRouter + ":" + std::to_string(kTestRouterPort);
    const std::string me = "127.0.0.1:" + port;
    ASSERT_EQ(lines.size(), 5u);
    const std::regex time(R"(^\d+\.\d{6} .*)");
    for (const auto& line : lines)
        EXPECT_TRUE(std::regex_match(line, time)) << line;
    EXPECT_EQ(lines[0].substr(lines[0].find(' ') + 1),
              "in " + me + " -> " + router + " 16 0001636f6e66696730006f6374657400");
    EXPECT_EQ(lines[1].substr(lines[1].find(' ') + 1), "out " + router + " -> " + me + " 6 00030001ab01");
    EXPECT_EQ(lines[2].substr(lines[2].find(' ') + 1), "in " + me + " -> " + router + " 4 00040001");
    EXPECT_EQ(lines[3].substr(lines[3].find(' ') + 1), "in " + me + " -> " + router + " 4 00040009");
    EXPECT_EQ(lines[4].substr(lines[4].find(' ') + 1),
              "drop-out " + router + " -> " + me + " 24 00050005556e6b6e6f776e207472616e73666572204944" "00");
    // The same lines in memory.
    const auto trace = sim.Trace();
    ASSERT_EQ(trace.size(), lines.size());
    for (std::size_t i = 0; i < lines.size(); ++i)
        EXPECT_EQ(trace[i].Text(), lines[i]);
    EXPECT_EQ(trace[4].direction, "drop-out");
}

// ---------------------------------------------------------------------------------------------------
// Start and stop

TEST_F(RouterSimTest, StartRefusesAnAddressInUseAForeignAddressAndAMissingFolder)
{
    auto& sim = Start(Options());
    ASSERT_TRUE(sim.IsRunning());
    std::string error;

    RouterSim twin(Options());
    EXPECT_FALSE(twin.Start(&error));
    EXPECT_NE(error.find("Address already in use"), std::string::npos) << error;

    auto foreign = Options();
    foreign.listenAddress = "192.0.2.1";  // documentation range: never an address of this machine
    RouterSim elsewhere(foreign);
    EXPECT_FALSE(elsewhere.Start(&error));
    EXPECT_NE(error.find("is not an address of this machine"), std::string::npos) << error;

    auto lost = Options();
    lost.root = m_routerDir / "missing";
    RouterSim nowhere(lost);
    EXPECT_FALSE(nowhere.Start(&error));
    EXPECT_NE(error.find("does not exist"), std::string::npos) << error;

    auto bad = Options();
    bad.listenAddress = "127.1";
    RouterSim wrong(bad);
    EXPECT_FALSE(wrong.Start(&error));
    EXPECT_NE(error.find("not a dotted IPv4 address"), std::string::npos) << error;
}

TEST_F(RouterSimTest, MaxSecondsEndsTheRouterAndStopFreesThePort)
{
    auto o = Options();
    o.maxSeconds = 0.15;
    auto& sim = Start(o);
    EXPECT_TRUE(sim.IsRunning());
    std::this_thread::sleep_for(400ms);
    EXPECT_FALSE(sim.IsRunning());
    sim.Stop();
    RouterSim again(Options());
    std::string error;
    EXPECT_TRUE(again.Start(&error)) << error;
}

TEST_F(RouterSimTest, EventsTellAPersonWhatHappenedAndMayLookAtTheStatistics)
{
    Put("config0", {'e'});
    auto o = Options();
    std::mutex mutex;
    std::vector<std::string> events;
    RouterSim* pSim = nullptr;
    o.onEvent = [&](const std::string& text) {
        const auto completed = pSim->Stats().transfersCompleted;  // must not deadlock
        std::lock_guard lock(mutex);
        events.push_back(text + " #" + std::to_string(completed));
    };
    auto& sim = Start(o);
    pSim = &sim;
    RawClient client(m_strRouter);
    EXPECT_EQ(ReadWhole(client, Rrq("config0")), Bytes{'e'});
    client.Send(Rrq("config7"));
    ASSERT_EQ(OpcodeOf(client.ReceiveFromRouter().value()), 5);
    sim.Stop();
    const std::string peer = "127.0.0.1:" + std::to_string(client.LocalPort());
    std::lock_guard lock(mutex);
    EXPECT_EQ(events, (std::vector<std::string>{
                          "accepted read config0 (octet) from " + peer + " #0",
                          "sent config0 (1 bytes) to " + peer + " #1",
                          "refused read config7 (octet) from " + peer + ": Access violation #1",
                      }));
}

TEST_F(RouterSimTest, SampleConfigurationsAreServedByteForByteWithTheirCrLfLineEnds)
{
    for (const char* name : {"config0", "config1", "config2"})
        std::filesystem::copy_file(std::filesystem::path(VELNOR_SIM_SAMPLES_DIR) / name, m_routerDir / name);
    Start(Options());
    for (const char* name : {"config0", "config1", "config2"}) {
        const Bytes sample = Get(name);
        ASSERT_FALSE(sample.empty()) << name;
        // Every line ends in CR LF, as on the router.
        for (std::size_t i = 0; i < sample.size(); ++i) {
            if (sample[i] == '\n') {
                ASSERT_TRUE(i > 0 && sample[i - 1] == '\r') << name << " offset " << i;
            }
        }
        EXPECT_EQ(sample.back(), '\n') << name;
        RawClient client(m_strRouter);
        EXPECT_EQ(ReadWhole(client, Rrq(name, "netascii", {{"tsize", "0"}})), sample) << name;
    }
}
