// The fault matrix: every operation, at the sizes that matter to the block arithmetic, against the
// router simulator with one seeded fault at a time. Each cell names its outcome (success, or failure
// with one result code) and is held to the same invariants whatever that outcome is:
//  - the result is reported once, and success only when the other end holds identical bytes;
//  - a failed receive leaves an existing local file byte for byte and creates no file; no temporary
//    file is left beside the local file, whatever the outcome;
//  - the router's file is its old content or the whole new content, never a part;
//  - the engine ends idle with its socket closed and every block released;
//  - the client never sends more than one datagram per block (and the request) plus one per time-out
//    retransmission: a duplicated or late answer is never answered twice (no Sorcerer's Apprentice).
//
// Durations are shortened (a 20 ms reply time-out, the router's own retransmission the same), and
// random losses are decided by packet rather than by arrival order (RouterSimOptions::faultsByPacket),
// so that the outcome written for each seed does not depend on how busy the machine is. What no seed
// can fix is a machine that holds one side up for most of a time-out: the other side then gives up on
// it, as it would on a real network. A run in which that shows (in the router's trace, or in a thread
// that watches how late it wakes) proves nothing about the outcome and is run again, at most twice;
// the invariants are checked in every run.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "RouterSim.h"
#include "TestSupport.h"
#include "TftpEvents.h"
#include "TransferDriver.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using velnor::sim::RouterSim;
using velnor::sim::RouterSimInjection;
using velnor::sim::RouterSimOptions;
using velnor::sim::TraceLine;
using namespace std::chrono_literals;

constexpr int kReplyMs = 20;
// The flash ROM wait after the last block went unanswered; nothing is retransmitted in it.
constexpr int kRomWaitMs = 8 * kReplyMs;
constexpr double kRouterRetransmitSeconds = kReplyMs / 1000.0;

enum Op { GET, PUT, REVUP, OP_COUNT };
const char* const kOpNames[OP_COUNT] = {"Get", "Put", "Revup"};
constexpr std::array<std::size_t, 4> kSizes = {0, 512, 513, 1024 * 1024};

constexpr TftpResult OK = TFTP_OK;
constexpr TftpResult NO_RESPONSE = TFTP_ERR_NO_RESPONSE;
constexpr TftpResult NET_FAULT = TFTP_ERR_NET_FAULT;
constexpr TftpResult PEER_ERROR = TFTP_ERR_PEER_ERROR;

// What a fault switch needs to know about the cell it is set for.
struct Cell {
    Op op;
    std::size_t nSize;
    std::string strStrayAddress;  // another loopback address of this test's own

    bool IsRead() const { return op == GET; }
    // Data blocks of the transfer: one more than the full ones, so that a multiple of 512 ends empty.
    std::uint32_t Blocks() const { return static_cast<std::uint32_t>(nSize / 512 + 1); }
    // Where "in the middle" is: after this many data blocks have passed.
    std::uint32_t Middle() const { return Blocks() / 2; }
    // The router's packet that follows k data blocks: DATA k+1 of a read, ACK k of a write.
    std::uint32_t AnswerAfter(std::uint32_t k) const { return IsRead() ? k + 1 : k; }
    std::uint32_t FirstAnswer() const { return AnswerAfter(0); }
    // DATA n of a read and ACK n of a write are both the router's packet number n.
    std::uint32_t LastAnswer() const { return Blocks(); }
};

Bytes Datagram(std::initializer_list<std::uint8_t> head, std::size_t nTotal, std::uint8_t fill)
{
    Bytes bytes(head);
    bytes.resize(std::max(nTotal, bytes.size()), fill);
    return bytes;
}

RouterSimInjection Inject(std::uint32_t nAt, Bytes bytes, RouterSimInjection::From from, bool bReplaces = false)
{
    RouterSimInjection injection;
    injection.atBlock = nAt;
    injection.bytes = std::move(bytes);
    injection.from = from;
    injection.replacesAnswer = bReplaces;
    return injection;
}

using Configure = std::function<void(RouterSimOptions&, const Cell&)>;

struct FaultRow {
    const char* name;
    Configure configure;
    // The outcome by operation (get, put, revup) and size (0, 512, 513, 1 MiB).
    std::array<std::array<TftpResult, 4>, OP_COUNT> expected;
};

constexpr std::array<TftpResult, 4> kAllOk = {OK, OK, OK, OK};

// The seed decides which packets are lost, but not which side gives up first once one block is lost
// five times: both wait the same time-out, so that is up to the machine. A router that gave up
// first would answer the client's last retransmission with ERROR 5 "Unknown transfer ID" and turn
// "no response" into the router's error. Here the router keeps quiet after giving up, as some do,
// so that losses end the one way the seed decides.
Configure Loss(double rate, bool bIn, std::uint32_t seed)
{
    return [=](RouterSimOptions& o, const Cell&) {
        o.faultsByPacket = true;
        o.seed = seed;
        o.answerUnknownTransfer = false;
        (bIn ? o.dropInRate : o.dropOutRate) = rate;
    };
}

const FaultRow kRows[] = {
    {"NoFault", [](RouterSimOptions&, const Cell&) {}, {kAllOk, kAllOk, kAllOk}},

    // Loss of the client's datagrams on their way to the router ("In") and of the router's answers ("Out").
    // With 30 % loss and four retransmissions a 1 MiB transfer meets five losses of one packet in a row
    // somewhere: it ends with no response, and nothing is written.
    {"Loss1In", Loss(0.01, true, 11), {kAllOk, kAllOk, kAllOk}},
    {"Loss10In", Loss(0.10, true, 12), {kAllOk, kAllOk, kAllOk}},
    {"Loss30In", Loss(0.30, true, 13),
     {{{OK, OK, OK, NO_RESPONSE}, {OK, OK, OK, NO_RESPONSE}, {OK, OK, OK, NO_RESPONSE}}}},
    {"Loss1Out", Loss(0.01, false, 21), {kAllOk, kAllOk, kAllOk}},
    {"Loss10Out", Loss(0.10, false, 22), {kAllOk, kAllOk, kAllOk}},
    // A lost DATA of a read has only the router's own retransmissions to come again; a lost ACK of a
    // write is sent again for each repeated block and on the router's time-out as well, so writes pass.
    {"Loss30Out", Loss(0.30, false, 23),
     {{{OK, OK, OK, NO_RESPONSE}, {OK, OK, OK, OK}, {OK, OK, OK, OK}}}},

    // Every other answer of the router twice, and every other datagram of the client handled twice.
    {"DuplicatedAnswers", [](RouterSimOptions& o, const Cell&) { o.duplicateRate = 0.5; }, {kAllOk, kAllOk, kAllOk}},
    {"EveryAnswerTwice", [](RouterSimOptions& o, const Cell&) { o.duplicateRate = 1.0; }, {kAllOk, kAllOk, kAllOk}},
    {"DuplicatedRequests", [](RouterSimOptions& o, const Cell&) { o.duplicateInRate = 0.5; },
     {kAllOk, kAllOk, kAllOk}},
    // Three answers in a hundred arrive only after the client has retransmitted.
    {"LateAnswers",
     [](RouterSimOptions& o, const Cell&) {
         o.faultsByPacket = true;
         o.seed = 31;
         o.delayOutRate = 0.03;
         o.delayOutSeconds = 1.5 * kReplyMs / 1000.0;
     },
     {kAllOk, kAllOk, kAllOk}},

    // A router whose answers leave from another port is never heard.
    {"AnswersFromAnotherPort", [](RouterSimOptions& o, const Cell&) { o.answerFromOtherPort = true; },
     {{{NO_RESPONSE, NO_RESPONSE, NO_RESPONSE, NO_RESPONSE},
       {NO_RESPONSE, NO_RESPONSE, NO_RESPONSE, NO_RESPONSE},
       {NO_RESPONSE, NO_RESPONSE, NO_RESPONSE, NO_RESPONSE}}}},
    // Before each answer another host sends a copy that a careless client would take: the same ACK, or
    // the expected DATA block with other bytes.
    {"StrayCopiesFromAnotherHost",
     [](RouterSimOptions& o, const Cell& c) { o.strayFromAddress = c.strStrayAddress; }, {kAllOk, kAllOk, kAllOk}},
    // The router withholds the last ACK while it writes its flash ROM (past the client's
    // retransmissions, within its long wait); meanwhile another host sends that very ACK at once.
    {"StrayFinalAckWhileFlashing",
     [](RouterSimOptions& o, const Cell& c) {
         o.strayFromAddress = c.strStrayAddress;
         o.flashSeconds = (5 * kReplyMs + kRomWaitMs / 2) / 1000.0;
         o.flashConfigWrites = true;
     },
     {kAllOk, kAllOk, kAllOk}},
    {"OversizedFromAnotherHost",
     [](RouterSimOptions& o, const Cell& c) {
         o.strayFromAddress = c.strStrayAddress;
         o.strayCopies = false;
         for (std::uint32_t n : {c.FirstAnswer(), c.AnswerAfter(c.Middle()), c.LastAnswer()}) {
             Bytes big = Datagram({0, 3, static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)}, 1100, 0x5A);
             o.injections.push_back(Inject(n, std::move(big), RouterSimInjection::From::StrayAddress));
         }
     },
     {kAllOk, kAllOk, kAllOk}},
    {"ErrorFromAnotherHost",
     [](RouterSimOptions& o, const Cell& c) {
         o.strayFromAddress = c.strStrayAddress;
         o.strayCopies = false;
         const char text[] = "Access violation";
         Bytes error = {0, 5, 0, 2};
         error.insert(error.end(), text, text + sizeof text);
         o.injections.push_back(Inject(c.AnswerAfter(c.Middle()), error, RouterSimInjection::From::StrayAddress));
     },
     {kAllOk, kAllOk, kAllOk}},
    // A datagram larger than any TFTP packet from the router itself is a fault of the connection.
    {"OversizedFromTheRouter",
     [](RouterSimOptions& o, const Cell& c) {
         o.oversizedReply = true;
         o.oversizedAtBlock = c.AnswerAfter(c.Middle());
     },
     {{{NET_FAULT, NET_FAULT, NET_FAULT, NET_FAULT},
       {NET_FAULT, NET_FAULT, NET_FAULT, NET_FAULT},
       {NET_FAULT, NET_FAULT, NET_FAULT, NET_FAULT}}}},
    // An option acknowledgement (opcode 6) is not an answer the client reads: it asks again, and the
    // router goes on without options.
    {"OptionAcknowledgement",
     [](RouterSimOptions& o, const Cell& c) {
         if (c.IsRead()) {
             o.oack = true;
         } else {
             // A write request carries no options; an OACK in place of ACK 0 is the router's mistake.
             const char body[] = "tsize\0" "99";
             Bytes oack = {0, 6};
             oack.insert(oack.end(), body, body + sizeof body);
             o.injections.push_back(Inject(0, oack, RouterSimInjection::From::Port69, true));
         }
     },
     {kAllOk, kAllOk, kAllOk}},
    {"ErrorInTheMiddle",
     [](RouterSimOptions& o, const Cell& c) {
         o.errorText = "Disk error";
         o.errorCode = 3;
         o.errorAfterBlocks = static_cast<int>(c.Middle());
     },
     {{{PEER_ERROR, PEER_ERROR, PEER_ERROR, PEER_ERROR},
       {PEER_ERROR, PEER_ERROR, PEER_ERROR, PEER_ERROR},
       {PEER_ERROR, PEER_ERROR, PEER_ERROR, PEER_ERROR}}}},
    // A router that restarts forgets the transfer. Back within the client's retransmissions, it calls
    // the next one an unknown transfer; but a restart on the request itself (the empty file, whose
    // middle is before the first block) repeats with every repetition of the request.
    {"RouterRestartsQuickly",
     [](RouterSimOptions& o, const Cell& c) {
         o.restartAfterBlocks = static_cast<int>(c.Middle());
         o.restartSeconds = 2.0 * kReplyMs / 1000.0;
     },
     {{{NO_RESPONSE, PEER_ERROR, PEER_ERROR, PEER_ERROR},
       {NO_RESPONSE, PEER_ERROR, PEER_ERROR, PEER_ERROR},
       {NO_RESPONSE, PEER_ERROR, PEER_ERROR, PEER_ERROR}}}},
    {"RouterRestartsSlowly",
     [](RouterSimOptions& o, const Cell& c) {
         o.restartAfterBlocks = static_cast<int>(c.Middle());
         o.restartSeconds = 60;
     },
     {{{NO_RESPONSE, NO_RESPONSE, NO_RESPONSE, NO_RESPONSE},
       {NO_RESPONSE, NO_RESPONSE, NO_RESPONSE, NO_RESPONSE},
       {NO_RESPONSE, NO_RESPONSE, NO_RESPONSE, NO_RESPONSE}}}},
    // A DATA packet of 517 bytes (513 of data) is no TFTP packet: ignored, and the router's
    // retransmission brings the block. While sending, the client ignores any DATA.
    {"Data517Bytes",
     [](RouterSimOptions& o, const Cell& c) {
         const std::uint32_t n = c.AnswerAfter(c.Middle());
         if (c.IsRead()) {
             o.overlongDataAtBlock = static_cast<int>(n);
         } else {
             Bytes overlong =
                 Datagram({0, 3, static_cast<std::uint8_t>((n + 1) >> 8), static_cast<std::uint8_t>(n + 1)}, 517, 0x0A);
             o.injections.push_back(Inject(n, std::move(overlong), RouterSimInjection::From::Port69));
         }
     },
     {kAllOk, kAllOk, kAllOk}},
};

struct MatrixParam {
    const FaultRow* pRow;
    Op op;
    bool bWaitInSocket;   // as the console companion waits for the router
};

void PrintTo(const MatrixParam& p, std::ostream* pOut)
{
    *pOut << p.pRow->name << " " << kOpNames[p.op] << (p.bWaitInSocket ? " waiting in the socket" : "");
}

std::vector<MatrixParam> AllRowsAndOperations()
{
    std::vector<MatrixParam> params;
    for (const bool bWaitInSocket : {false, true})
        for (const FaultRow& row : kRows)
            for (int op = 0; op < OP_COUNT; ++op)
                params.push_back({&row, static_cast<Op>(op), bWaitInSocket});
    return params;
}

// Counts the steps that retransmit: each is one datagram sent again on a time-out.
class CResendCounter : public QObject {
public:
    explicit CResendCounter(CTransferDriver& driver) : m_driver(driver) { driver.installEventFilter(this); }
    int m_nResends = 0;

protected:
    bool eventFilter(QObject*, QEvent* pEvent) override
    {
        if (pEvent->type() == WM_TRANSFER_STEP && m_driver.Engine().GetStep() == STEP_RESEND)
            ++m_nResends;
        return false;
    }

private:
    CTransferDriver& m_driver;
};

// Sends one byte to the router from a socket of its own, so that once it shows in the trace every
// datagram the client sent before it has been taken in too (one socket, one queue).
std::string SendMarker(const std::string& strRouter)
{
    testsupport::UdpPeer peer("127.0.0.1");
    peer.SendTo(strRouter, testsupport::kTestRouterPort, {0xFF});
    return "127.0.0.1:" + std::to_string(peer.LocalPort());
}

bool IsInbound(const TraceLine& line)
{
    return line.direction == "in" || line.direction == "drop-in";
}

std::vector<std::string> Listing(const fs::path& dir)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::optional<Bytes> ReadIfPresent(const fs::path& path)
{
    if (!fs::exists(path))
        return std::nullopt;
    return testsupport::ReadFileBytes(path);
}

// Watches for the machine holding this process up: a thread that sleeps a millisecond at a time and
// notes how late it wakes.
class CStallWatch {
public:
    CStallWatch()
        : m_thread([this] {
              while (!m_bStop) {
                  const auto before = std::chrono::steady_clock::now();
                  std::this_thread::sleep_for(1ms);
                  const auto late = std::chrono::steady_clock::now() - before - 1ms;
                  const auto nLateUs = std::chrono::duration_cast<std::chrono::microseconds>(late).count();
                  if (nLateUs > m_nMaxLateUs)
                      m_nMaxLateUs = nLateUs;
              }
          })
    {
    }
    ~CStallWatch()
    {
        m_bStop = true;
        m_thread.join();
    }
    std::int64_t MaxLateMs() const { return m_nMaxLateUs / 1000; }

private:
    std::atomic<bool> m_bStop{false};
    std::atomic<std::int64_t> m_nMaxLateUs{0};
    std::thread m_thread;
};

// Whether the trace shows one of the two sides held up for a good part of a time-out: the client
// sends a packet again exactly one time-out after the last time, so two copies taken in much closer
// together waited for the router, and two much further apart waited for the client.
bool TraceShowsAStall(const std::vector<TraceLine>& trace, const std::string& client)
{
    const double reply = kReplyMs / 1000.0;
    const TraceLine* pPrevious = nullptr;
    for (const auto& line : trace) {
        if (!IsInbound(line) || line.peer != client)
            continue;
        if (pPrevious && pPrevious->bytes == line.bytes) {
            const double gap = line.seconds - pPrevious->seconds;
            if (gap < 0.5 * reply || gap > 1.75 * reply)
                return true;
        }
        pPrevious = &line;
    }
    return false;
}

// What one run of a cell came to.
struct CellRun {
    TftpResult nResult = -1;
    bool bStalled = false;
};

// One cell: the transfer of one operation and size against the router with the row's fault. Checks
// every invariant; the outcome is the caller's to judge.
void RunCell(const FaultRow& row, Op op, bool bWaitInSocket, std::size_t nSizeIndex, CellRun& run)
{
    const std::size_t nSize = kSizes[nSizeIndex];
    const TftpResult nExpected = row.expected[op][nSizeIndex];
    Cell cell{op, nSize, {}};
    // Half the cells find a file of the name already there; in the other half there is none.
    const bool bOldFileThere = nSizeIndex % 2 == 0;

    testsupport::TempDir routerDir;
    testsupport::TempDir localDir;
    const Bytes content = testsupport::PatternBytes(nSize, static_cast<std::uint32_t>(nSize + 17 * op + 1));
    const Bytes oldContent = testsupport::PatternBytes(1500, 4242);
    const std::string routerName = op == REVUP ? "exec0" : "config0";
    const fs::path routerFile = routerDir / routerName;
    const std::string localName = op == GET ? "config.txt" : "upload.bin";
    const fs::path localFile = localDir / localName;
    if (op == GET) {
        testsupport::WriteFileBytes(routerFile, content);
        if (bOldFileThere)
            testsupport::WriteFileBytes(localFile, oldContent);
    } else {
        testsupport::WriteFileBytes(localFile, content);
        if (bOldFileThere)
            testsupport::WriteFileBytes(routerFile, oldContent);
    }

    // Addresses of the cell's own, so that nothing of one cell's transfer reaches the next one. The
    // same tests run from another build folder at the same time pick the very same addresses; then
    // others are tried.
    std::unique_ptr<RouterSim> pSim;
    std::string strRouter, error;
    for (unsigned nTry = 0; nTry < 5 && !pSim; ++nTry) {
        const unsigned nSalt = static_cast<unsigned>(2 * nSizeIndex) + 1000 * nTry;
        strRouter = testsupport::LoopbackAddressForTest(nSalt);
        cell.strStrayAddress = testsupport::LoopbackAddressForTest(nSalt + 1);
        if (strRouter == cell.strStrayAddress)
            continue;
        RouterSimOptions options;
        options.listenAddress = strRouter;
        options.port = testsupport::kTestRouterPort;
        options.root = routerDir.Path();
        options.retransmitSeconds = kRouterRetransmitSeconds;
        options.maxRetransmits = TFTP_MAX_RETRIES;
        options.traceInMemory = true;
        row.configure(options, cell);
        auto pTried = std::make_unique<RouterSim>(std::move(options));
        if (pTried->Start(&error))
            pSim = std::move(pTried);
    }
    ASSERT_TRUE(pSim) << error;
    RouterSim& sim = *pSim;

    CTransferDriver driver(TransferTimings{kReplyMs, kRomWaitMs, testsupport::kTestRouterPort});
    driver.SetWaitInSocket(bWaitInSocket);
    CResendCounter resends(driver);
    std::vector<int> phases;
    int nFinished = 0;
    QObject::connect(&driver, &CTransferDriver::phaseChanged, [&](int nPhase) { phases.push_back(nPhase); });
    QObject::connect(&driver, &CTransferDriver::finished, [&](int, const QByteArray&) { ++nFinished; });

    TransferRequest request;
    request.nDirection = op == GET ? DIRECTION_RECEIVE : DIRECTION_SEND;
    request.nFileKind = op == REVUP ? FILE_KIND_FIRMWARE : FILE_KIND_CONFIG;
    request.strRouter = strRouter;
    driver.Engine().SetLocalFile(true, localFile.string());

    CStallWatch stallWatch;
    QElapsedTimer clock;
    clock.start();
    ASSERT_EQ(driver.Start(request), TFTP_OK);
    // Never hang the suite: a transfer that stops stepping fails here instead.
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [&] {
        ADD_FAILURE() << "the transfer did not end within 90 s";
        CTftpNotifyEvent fault(NOTIFY_FAULT, TFTP_ERR_OTHER);
        QCoreApplication::sendEvent(&driver, &fault);
    });
    guard.start(90000);
    const TftpResult nResult = driver.RunToEnd();
    const qint64 nElapsedMs = clock.elapsed();
    run.nResult = nResult;

    // Everything the client sent is in the router's trace once the marker is.
    const std::string marker = SendMarker(strRouter);
    std::vector<TraceLine> trace;
    for (int i = 0; i < 1000; ++i) {
        trace = sim.Trace();
        if (std::any_of(trace.begin(), trace.end(),
                        [&](const TraceLine& l) { return IsInbound(l) && l.peer == marker; }))
            break;
        std::this_thread::sleep_for(2ms);
    }
    const auto stats = sim.Stats();
    // Stopping drops an unfinished write, partial file included, as a router does when it gives up.
    sim.Stop();

    const auto first = std::find_if(trace.begin(), trace.end(), IsInbound);
    ASSERT_NE(first, trace.end());
    const std::string client = first->peer;
    run.bStalled = stallWatch.MaxLateMs() > kReplyMs / 2 || TraceShowsAStall(trace, client);

    std::printf("[   cell   ] %-28s %-5s %8zu  result 0x%04X  expected 0x%04X  %6lld ms  resends %4d%s\n", row.name,
                kOpNames[op], nSize, static_cast<unsigned>(nResult), static_cast<unsigned>(nExpected),
                static_cast<long long>(nElapsedMs), resends.m_nResends, run.bStalled ? "  (held up)" : "");

    // Reported once; a failure is one of the failures a transfer can have.
    EXPECT_EQ(nFinished, 1);
    EXPECT_TRUE(nResult == OK || nResult == NO_RESPONSE || nResult == NET_FAULT || nResult == PEER_ERROR)
        << "0x" << std::hex << nResult;
    ASSERT_GE(phases.size(), 3u);
    EXPECT_EQ(std::vector<int>(phases.end() - 3, phases.end()),
              (std::vector<int>{PHASE_FINISH, PHASE_CLOSE, PHASE_IDLE}));
    EXPECT_EQ(std::count(phases.begin(), phases.end(), PHASE_FAILED), nResult == OK ? 0 : 1);

    // The engine is back at rest.
    EXPECT_EQ(driver.Engine().GetPhase(), PHASE_IDLE);
    EXPECT_FALSE(driver.Engine().IsEndpointOpen());
    EXPECT_EQ(g_pSendBlocks, nullptr);
    EXPECT_EQ(g_pRecvHead, nullptr);

    // The local side.
    if (op == GET) {
        const auto local = ReadIfPresent(localFile);
        if (nResult == OK) {
            ASSERT_TRUE(local.has_value());
            EXPECT_EQ(*local, content);
        } else if (bOldFileThere) {
            ASSERT_TRUE(local.has_value());
            EXPECT_EQ(*local, oldContent);
        } else {
            EXPECT_FALSE(local.has_value());
        }
        const bool bFileThere = nResult == OK || bOldFileThere;
        EXPECT_EQ(Listing(localDir.Path()), bFileThere ? std::vector<std::string>{localName} : std::vector<std::string>{});
    } else {
        EXPECT_EQ(testsupport::ReadFileBytes(localFile), content);
        EXPECT_EQ(Listing(localDir.Path()), std::vector<std::string>{localName});
    }

    // The router's side: its old file or the whole new one, nothing else.
    if (op != GET) {
        const auto remote = ReadIfPresent(routerFile);
        if (nResult == OK) {
            ASSERT_TRUE(remote.has_value());
            EXPECT_EQ(*remote, content);
            EXPECT_GE(stats.transfersCompleted, 1u);
        } else if (remote) {
            EXPECT_TRUE(*remote == content || (bOldFileThere && *remote == oldContent))
                << "the router holds " << remote->size() << " bytes of neither file";
        }
        const auto names = Listing(routerDir.Path());
        EXPECT_TRUE(names.empty() || names == std::vector<std::string>{routerName}) << ::testing::PrintToString(names);
    }

    // No Sorcerer's Apprentice: one DATA (sending) or ACK (receiving) per block, and one datagram in
    // all per block and the request, plus one per retransmission on a time-out.
    const std::uint8_t nBlockOpcode = cell.IsRead() ? 4 : 3;
    std::size_t nClientDatagrams = 0, nClientBlocks = 0;
    for (const auto& line : trace) {
        if (!IsInbound(line) || line.peer != client)
            continue;
        ++nClientDatagrams;
        if (line.bytes.size() >= 2 && line.bytes[0] == 0 && line.bytes[1] == nBlockOpcode)
            ++nClientBlocks;
    }
    const auto nResends = static_cast<std::size_t>(resends.m_nResends);
    EXPECT_LE(nClientBlocks, cell.Blocks() + nResends) << "retransmissions " << nResends;
    EXPECT_LE(nClientDatagrams, cell.Blocks() + 1 + nResends) << "retransmissions " << nResends;
    if (nResult == OK) {
        // A success saw every block and the request at least once.
        EXPECT_GE(nClientBlocks, cell.Blocks());
    }
}

// One test case per fault and operation, with the four sizes inside: a process per cell would cost
// more than most cells take.
class FaultMatrixTest : public ::testing::TestWithParam<MatrixParam> {};

TEST_P(FaultMatrixTest, EachSizeEndsAsWrittenWithNothingPartialLeftBehind)
{
    const FaultRow& row = *GetParam().pRow;
    const Op op = GetParam().op;
    for (std::size_t i = 0; i < kSizes.size(); ++i) {
        SCOPED_TRACE(std::to_string(kSizes[i]) + " bytes");
        const TftpResult nExpected = row.expected[op][i];
        // The outcome of a seed is fixed as long as neither side is held up for most of a time-out;
        // a machine too busy for that makes a run that proves nothing about the outcome, and the cell
        // runs again. The invariants hold in every run.
        for (int nAttempt = 1;; ++nAttempt) {
            CellRun run;
            RunCell(row, op, GetParam().bWaitInSocket, i, run);
            if (HasFatalFailure() || run.nResult == nExpected)
                break;
            if (run.bStalled && nAttempt < 3) {
                std::printf("[ held up  ] the machine held the transfer up: the cell runs again\n");
                continue;
            }
            ADD_FAILURE() << "0x" << std::hex << run.nResult << " instead of 0x" << nExpected
                          << (run.bStalled ? " (held up in every run)" : "");
            break;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Cells, FaultMatrixTest, ::testing::ValuesIn(AllRowsAndOperations()), [](const auto& info) {
    return std::string(info.param.pRow->name) + "_" + kOpNames[info.param.op] +
           (info.param.bWaitInSocket ? "_WaitInSocket" : "");
});

}  // namespace
