// The simulator runs as root to bind port 69, facing whatever reaches the network: nothing it is sent or
// finds planted in its folder may turn its file handling against the host, fill the disk, hold it for
// good, show a password or drive a terminal. The routers take a port of their own (port 0), so that these
// tests run as any user.

#include "RawClient.h"
#include "RouterSim.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <mutex>

using namespace simtest;
using velnor::sim::RouterSim;
using velnor::sim::RouterSimOptions;
using velnor::sim::RouterSimStats;
using Clock = std::chrono::steady_clock;

namespace {

Bytes B(const std::string& s)
{
    return Bytes(s.begin(), s.end());
}

std::string Text(const Bytes& b)
{
    return std::string(b.begin(), b.end());
}

mode_t ModeOf(const std::filesystem::path& p)
{
    struct stat st {};
    return ::lstat(p.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

// The router's folder and one outside it (what a planted link points at), with a router on port 0.
struct Bench {
    testsupport::TempDir dir, outside;
    std::string address = testsupport::LoopbackAddressForTest();
    std::vector<std::string> events;
    std::mutex mutex;
    // Last, so that it is stopped first: its thread reports events into the members above.
    std::unique_ptr<RouterSim> sim;

    RouterSimOptions Options()
    {
        RouterSimOptions o;
        o.listenAddress = address;
        o.port = 0;
        o.root = dir.Path();
        o.onEvent = [this](const std::string& line) {
            std::lock_guard lock(mutex);
            events.push_back(line);
        };
        return o;
    }
    bool Start(RouterSimOptions o, std::string* error = nullptr)
    {
        sim = std::make_unique<RouterSim>(std::move(o));
        std::string ignored;
        return sim->Start(error ? error : &ignored);
    }
    std::unique_ptr<RawClient> Client() { return std::make_unique<RawClient>(address, sim->Port()); }
    std::string AllEvents()
    {
        std::lock_guard lock(mutex);
        std::string all;
        for (const auto& e : events)
            all += e + "\n";
        return all;
    }
};

// Writes content in lock-step; the router's last answer (the final ACK or an ERROR).
Bytes Write(RawClient& client, const Bytes& request, const Bytes& content)
{
    client.Send(request);
    auto answer = client.ReceiveFromRouter();
    if (!answer || OpcodeOf(*answer) != 4)
        return answer.value_or(Bytes{});
    for (std::size_t k = 1;; ++k) {
        const std::size_t offset = (k - 1) * 512;
        const std::size_t n = std::min<std::size_t>(512, content.size() - offset);
        client.Send(Data(static_cast<std::uint16_t>(k), content.data() + offset, n));
        answer = client.ReceiveFromRouter();
        if (!answer || OpcodeOf(*answer) != 4 || n < 512)
            return answer.value_or(Bytes{});
    }
}

}  // namespace

// Each case plants something, lets a client do one thing and checks the router's answer and every file.
TEST(RouterSimHardening, FilesOfTheSimulatorCannotBeTurnedAgainstTheHost)
{
    struct Case {
        const char* what;
        std::function<void(Bench&)> plant;
        std::function<void(RouterSimOptions&)> options;
        std::function<void(Bench&)> act;  // the client's part and the checks
    };
    const std::vector<Case> cases = {
        {"a link planted as the temporary file of a write",
         [](Bench& b) {
             testsupport::WriteFileBytes(b.outside / "victim", B("victim"));
             std::filesystem::create_symlink(b.outside / "victim", b.dir / ".config0.incoming");
         },
         nullptr,
         [](Bench& b) {
             auto client = b.Client();
             EXPECT_EQ(Write(*client, Wrq("config0"), B("new")), Ack(1));
             EXPECT_EQ(Text(testsupport::ReadFileBytes(b.outside / "victim")), "victim");
             EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(b.dir / "config0")));
             EXPECT_EQ(Text(testsupport::ReadFileBytes(b.dir / "config0")), "new");
             EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(b.dir / ".config0.incoming")));
         }},
        {"a leftover temporary file of a killed router",
         [](Bench& b) { testsupport::WriteFileBytes(b.dir / ".config3.incoming", B("half a file")); },
         nullptr,
         [](Bench& b) {
             auto client = b.Client();
             EXPECT_EQ(Write(*client, Wrq("config3"), B("whole")), Ack(1));
             EXPECT_EQ(Text(testsupport::ReadFileBytes(b.dir / "config3")), "whole");
         }},
        {"a link planted as a configuration file to read",
         [](Bench& b) {
             testsupport::WriteFileBytes(b.outside / "shadow", B("root:secret"));
             std::filesystem::create_symlink(b.outside / "shadow", b.dir / "config1");
         },
         nullptr,
         [](Bench& b) {
             auto client = b.Client();
             client->Send(Rrq("config1"));
             EXPECT_EQ(client->ReceiveFromRouter().value_or(Bytes{}), ErrorPacket(2, "Access violation"));
         }},
        {"a FIFO planted as a configuration file to read",
         [](Bench& b) { ASSERT_EQ(::mkfifo((b.dir / "config2").c_str(), 0600), 0); },
         nullptr,
         [](Bench& b) {
             auto client = b.Client();
             client->Send(Rrq("config2"));
             EXPECT_EQ(client->ReceiveFromRouter().value_or(Bytes{}), ErrorPacket(1, "No such file"));
             // Should the router wait on the FIFO, a writer that comes and goes lets it go on.
             const int fd = ::open((b.dir / "config2").c_str(), O_WRONLY | O_NONBLOCK);
             if (fd >= 0)
                 ::close(fd);
         }},
        {"a write larger than the client's largest file, announced by tsize",
         [](Bench& b) { testsupport::WriteFileBytes(b.dir / "exec0", B("old firmware")); },
         nullptr,
         [](Bench& b) {
             auto client = b.Client();
             client->Send(Wrq("exec0", "octet", {{"tsize", "33553920"}}));
             EXPECT_EQ(client->ReceiveFromRouter().value_or(Bytes{}),
                       ErrorPacket(3, "Disk full or allocation exceeded"));
             client->Send(Wrq("exec0", "octet", {{"tsize", "33553919"}}));  // the largest the client sends
             EXPECT_EQ(client->ReceiveFromRouter().value_or(Bytes{}), Ack(0));
             client->Send(ErrorPacket(0, "changed my mind"));
             ASSERT_TRUE(b.sim->WaitFor([](const RouterSimStats& s) { return s.transfersFailed == 1; }, 1000ms));
             EXPECT_EQ(Text(testsupport::ReadFileBytes(b.dir / "exec0")), "old firmware");
         }},
        {"a write that grows past the bound keeps the old file",
         [](Bench& b) { testsupport::WriteFileBytes(b.dir / "config4", B("old")); },
         [](RouterSimOptions& o) { o.maxFileBytes = 600; },
         [](Bench& b) {
             auto client = b.Client();
             EXPECT_EQ(Write(*client, Wrq("config4"), testsupport::PatternBytes(1000)),
                       ErrorPacket(3, "Disk full or allocation exceeded"));
             EXPECT_EQ(Text(testsupport::ReadFileBytes(b.dir / "config4")), "old");
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Bench b;
        c.plant(b);
        auto o = b.Options();
        if (c.options)
            c.options(o);
        ASSERT_TRUE(b.Start(o));
        c.act(b);
        b.sim->Stop();
        // Nothing of a transfer is left: only what was planted or stored.
        for (const auto& e : std::filesystem::directory_iterator(b.dir.Path()))
            EXPECT_EQ(e.path().filename().string().find(".incoming"), std::string::npos)
                << e.path().filename().string();
    }
}

TEST(RouterSimHardening, TraceFileIsPrivateAndNeverWrittenThroughALink)
{
    struct Case {
        const char* what;
        std::function<void(Bench&, const std::filesystem::path&)> plant;
        bool bStarts;
    };
    const std::vector<Case> cases = {
        {"a new trace", [](Bench&, const std::filesystem::path&) {}, true},
        {"an old trace that others could read",
         [](Bench&, const std::filesystem::path& trace) {
             testsupport::WriteFileBytes(trace, B("old lines\n"));
             std::filesystem::permissions(trace, std::filesystem::perms(0644));
         },
         true},
        {"a symbolic link",
         [](Bench& b, const std::filesystem::path& trace) {
             std::filesystem::create_symlink(b.outside / "victim", trace);
         },
         false},
        {"a hard link",
         [](Bench& b, const std::filesystem::path& trace) { std::filesystem::create_hard_link(b.outside / "victim", trace); },
         false},
        {"a FIFO", [](Bench&, const std::filesystem::path& trace) { ::mkfifo(trace.c_str(), 0600); }, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Bench b;
        testsupport::WriteFileBytes(b.outside / "victim", B("victim"));
        std::filesystem::permissions(b.outside / "victim", std::filesystem::perms(0644));
        const auto trace = b.dir / "trace.txt";
        c.plant(b, trace);
        auto o = b.Options();
        o.tracePath = trace.string();
        std::string error;
        const bool bStarted = b.Start(o, &error);
        EXPECT_EQ(bStarted, c.bStarts) << error;
        if (bStarted) {
            EXPECT_EQ(ModeOf(trace), 0600u);
            auto client = b.Client();
            client->Send(Rrq("config0"));
            EXPECT_TRUE(client->ReceiveFromRouter());  // No such file
            b.sim->Stop();
            const std::string lines = Text(testsupport::ReadFileBytes(trace));
            EXPECT_EQ(lines.find("old lines"), std::string::npos) << "a trace starts empty";
            EXPECT_NE(lines.find(" in "), std::string::npos) << lines;
        } else {
            EXPECT_NE(error.find("cannot write the trace file"), std::string::npos) << error;
        }
        EXPECT_EQ(Text(testsupport::ReadFileBytes(b.outside / "victim")), "victim");
        EXPECT_EQ(ModeOf(b.outside / "victim"), 0644u);
    }
}

TEST(RouterSimHardening, LogAndTraceShowNeitherThePasswordNorRawControlBytes)
{
    Bench b;
    testsupport::WriteFileBytes(b.dir / "config2", B("hostname r\r\n"));
    auto o = b.Options();
    o.password = "s3cr3t-pw";
    o.tracePath = (b.dir / "trace.txt").string();
    o.traceInMemory = true;
    ASSERT_TRUE(b.Start(o));
    auto client = b.Client();
    // The right password, a wrong one, a refused name with a password, hostile names and a mode.
    client->Send(Rrq("config2/s3cr3t-pw", "netascii", {{"tsize", "0"}}));
    ASSERT_EQ(BlockOf(client->ReceiveFromRouter().value()), 1);
    client->Send(ErrorPacket(0, "\r\nSuccess!\x1b]0;owned\a"));  // the client ends it with a hostile text
    for (const auto& request : {Rrq("config2/s3cr3t-px"), Rrq("backup/s3cr3t-pw"), Rrq("config\x1b[2J"),
                                Wrq("exec\r\nstored exec0 (1 bytes)"), Rrq("config0", "oct\x07" "et")}) {
        client->Send(request);
        EXPECT_EQ(OpcodeOf(client->ReceiveFromRouter().value()), 5);
    }
    b.sim->Stop();
    const std::string events = b.AllEvents();
    EXPECT_EQ(events.find("s3cr3t"), std::string::npos) << events;
    EXPECT_NE(events.find("read config2/*** (netascii)"), std::string::npos) << events;
    EXPECT_NE(events.find("read backup/***"), std::string::npos) << events;
    EXPECT_NE(events.find("config\\x1b[2J"), std::string::npos) << events;
    EXPECT_NE(events.find("exec\\x0d\\x0astored exec0"), std::string::npos) << events;
    EXPECT_NE(events.find("oct\\x07et"), std::string::npos) << events;
    EXPECT_NE(events.find("with an error: \\x0d\\x0aSuccess!\\x1b]0;owned\\x07"), std::string::npos) << events;
    for (char c : events)
        EXPECT_TRUE(c == '\n' || static_cast<unsigned char>(c) >= 0x20) << "a raw control byte " << int(c);

    // The trace: neither the password's bytes in hex nor in memory.
    const std::string hexPassword = "733363723374";  // "s3cr3t"
    const std::string trace = Text(testsupport::ReadFileBytes(b.dir / "trace.txt"));
    EXPECT_EQ(trace.find(hexPassword), std::string::npos) << trace;
    EXPECT_NE(trace.find("636f6e666967322f2a2a2a00"), std::string::npos) << "config2/*** in hex\n" << trace;
    for (const auto& line : b.sim->Trace())
        EXPECT_EQ(Text(line.bytes).find("s3cr3t"), std::string::npos) << line.Text();
}

TEST(RouterSimHardening, ClientThatGoesSilentHoldsTheRouterOnlyForItsRetransmissionBudget)
{
    Bench b;
    auto o = b.Options();
    o.retransmitSeconds = 0.1;
    o.maxRetransmits = 2;  // a budget of 0.3 s
    ASSERT_TRUE(b.Start(o));
    auto silent = b.Client();
    auto patient = b.Client();
    const auto start = Clock::now();
    silent->Send(Wrq("config0"));  // and never a DATA
    ASSERT_EQ(silent->ReceiveFromRouter().value(), Ack(0));
    patient->Send(Wrq("config1"));
    EXPECT_EQ(patient->ReceiveFromRouter().value(), ErrorPacket(0, "Server busy"));
    ASSERT_TRUE(b.sim->WaitFor([](const RouterSimStats& s) { return s.transfersFailed == 1; }, 2000ms));
    const auto held = Clock::now() - start;
    EXPECT_GE(held, 290ms);
    EXPECT_LT(held, 1500ms);
    patient->Send(Wrq("config1"));
    EXPECT_EQ(patient->ReceiveFromRouter().value(), Ack(0));
    EXPECT_FALSE(std::filesystem::exists(b.dir / ".config0.incoming"));
    EXPECT_NE(b.AllEvents().find("gave up config0"), std::string::npos) << b.AllEvents();
}
