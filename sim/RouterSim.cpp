#include "RouterSim.h"

#include "SimPackets.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>

namespace velnor::sim {

namespace {

using Clock = std::chrono::steady_clock;

std::string Endpoint(const sockaddr_in& a)
{
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(a.sin_port));
}

bool SameEndpoint(const sockaddr_in& a, const sockaddr_in& b)
{
    return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

// Fault decisions depend only on the seed and the datagram's index, not on a shared random stream, so
// that the same seed drops the same datagrams however the replies and time-outs interleave.
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

bool Contains(const std::vector<std::uint64_t>& list, std::uint64_t value)
{
    return std::find(list.begin(), list.end(), value) != list.end();
}

Clock::duration Seconds(double s)
{
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

enum Sock { SOCK_MAIN = 0, SOCK_OTHER = 1, SOCK_STRAY = 2, SOCK_COUNT = 3 };

constexpr std::size_t OVERSIZED_LENGTH = 1100;

// The message of an ERROR packet: up to its zero byte, never past the datagram's end.
std::string ErrorMessage(const std::uint8_t* p, std::size_t n)
{
    if (n <= 4)
        return {};
    const char* text = reinterpret_cast<const char*>(p + 4);
    return std::string(text, strnlen(text, n - 4));
}

}  // namespace

std::string TraceLine::Text() const
{
    static const char* const kHex = "0123456789abcdef";
    char head[64];
    std::snprintf(head, sizeof head, "%.6f ", seconds);
    std::string line = head + direction + " ";
    // Always "from -> to", so that a reader follows the datagram whichever way it went.
    if (direction == "in" || direction == "drop-in")
        line += peer + " -> " + local;
    else
        line += local + " -> " + peer;
    line += " " + std::to_string(bytes.size()) + " ";
    for (std::uint8_t b : bytes) {
        line += kHex[b >> 4];
        line += kHex[b & 0x0F];
    }
    return line;
}

class RouterSim::Impl {
public:
    explicit Impl(RouterSimOptions options) : m_options(std::move(options)) {}
    ~Impl() { Stop(); }

    bool Start(std::string* error);
    void Stop();

    RouterSimOptions m_options;
    std::atomic<bool> m_bRunning{false};
    std::uint16_t m_nBoundPort = 0;

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_cv;
    RouterSimStats m_stats;
    std::vector<TraceLine> m_trace;

private:
    struct Transfer {
        bool bActive = false;
        sockaddr_in peer{};
        bool bRead = false;
        RemoteName name;
        std::filesystem::path target;
        Bytes request;  // as received, to recognise the client repeating it
        Bytes readData;
        int nTempFd = -1;
        std::filesystem::path tempPath;
        std::uint64_t nBytes = 0;
        // Read: number of the DATA last sent. Write: number of the last ACK sent (= blocks taken in).
        std::uint32_t nSeq = 0;
        bool bLastSent = false;  // read: the short DATA has gone out
        bool bOptionsPending = false;
        std::vector<std::pair<std::string, std::string>> acceptedOptions;
        Bytes lastPacket;
        std::uint32_t nLastNumber = 0;
        bool bAwaiting = false;
        Clock::time_point timeout{};
        int nRetries = 0;
        bool bFlashing = false;
        bool bFlashForever = false;
        bool bStraySent = false;  // the stray copy of the next answer went out early
        Clock::time_point flashUntil{};
    };
    // What stays of the last finished transfer, so that a late repeat of its last packet is still
    // understood instead of being answered as an unknown transfer.
    struct Finished {
        bool bValid = false;
        sockaddr_in peer{};
        bool bRead = false;
        std::uint16_t nBlock = 0;
        Bytes finalAck;
        Clock::time_point until{};
    };
    struct Scheduled {
        Clock::time_point due;
        Sock sock;
        sockaddr_in to;
        Bytes bytes;
    };

    void Run();
    void FlushEvents();
    std::uint64_t FaultIndex(int nWay, std::uint64_t nIndex, const std::uint8_t* p, std::size_t n);
    int OpenSocket(const std::string& address, std::uint16_t port, std::string* error);
    void Event(const std::string& text);
    void TraceDatagram(const char* direction, Sock sock, const sockaddr_in& peer, const std::uint8_t* p,
                       std::size_t n);

    // Sending.
    Sock ReplySock() const { return m_options.answerFromOtherPort ? SOCK_OTHER : SOCK_MAIN; }
    void SendNow(Sock sock, const sockaddr_in& to, const Bytes& bytes);
    void Emit(const sockaddr_in& to, const Bytes& bytes);
    void CountSent(const Bytes& bytes, std::uint32_t nNumber);
    void SendError(const sockaddr_in& to, std::uint16_t code, const std::string& text);
    void SendStray(const sockaddr_in& to, const Bytes& answer);
    void Answer(std::uint32_t nNumber, Bytes packet);
    void Arm();

    // Transfers.
    void HandleDatagram(Sock sock, const sockaddr_in& from, const std::uint8_t* p, std::size_t n);
    void HandleRequest(const sockaddr_in& from, const std::uint8_t* p, std::size_t n);
    void HandleRead(const std::uint8_t* p, std::size_t n);
    void HandleWrite(const std::uint8_t* p, std::size_t n);
    void HandleOutsider(const sockaddr_in& from, const std::uint8_t* p, std::size_t n);
    bool Triggers(std::uint32_t nBlocksPassed);
    void SendReadBlock(std::uint32_t nNumber);
    void FirstAnswer();
    bool StoreWrite(std::string* error);
    void CompleteWrite();
    void EndTransfer(bool bCompleted);
    void OnTimers(Clock::time_point now);
    std::optional<Clock::time_point> NextDeadline() const;

    Transfer m_t;
    Finished m_finished;
    std::vector<std::string> m_pendingEvents;  // told outside the lock, so that a listener may call Stats()
    std::deque<Scheduled> m_scheduled;
    std::vector<bool> m_injectionFired;
    bool m_bOversizedFired = false;
    bool m_bOverlongFired = false;
    Clock::time_point m_deafUntil{};
    std::uint64_t m_nInIndex = 0, m_nOutIndex = 0;
    std::map<std::uint64_t, std::uint64_t> m_packetsSeen[2];  // by direction (in, out) and packet

    int m_fds[SOCK_COUNT] = {-1, -1, -1};
    std::string m_localName[SOCK_COUNT];
    int m_wake[2] = {-1, -1};
    std::FILE* m_pTraceFile = nullptr;
    std::thread m_thread;
    std::atomic<bool> m_bStop{false};
    Clock::time_point m_start{};
    std::optional<Clock::time_point> m_end;
    bool m_bStarted = false;
};

// ---------------------------------------------------------------------------------------------------
// Start and stop

int RouterSim::Impl::OpenSocket(const std::string& address, std::uint16_t port, std::string* error)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1) {
        if (error)
            *error = "\"" + address + "\" is not a dotted IPv4 address";
        return -1;
    }
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        if (error)
            *error = std::string("cannot create a UDP socket: ") + std::strerror(errno);
        return -1;
    }
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        int e = errno;
        ::close(fd);
        if (error) {
            *error = "cannot bind UDP " + address + ":" + std::to_string(port) + ": " + std::strerror(e);
            if (e == EACCES && port < 1024)
                *error += " (ports below 1024 need root or CAP_NET_BIND_SERVICE; --port picks another)";
            else if (e == EADDRNOTAVAIL)
                *error += " (" + address + " is not an address of this machine)";
            else if (e == EADDRINUSE)
                *error += " (another program already serves that port)";
        }
        return -1;
    }
    return fd;
}

bool RouterSim::Impl::Start(std::string* error)
{
    if (m_bStarted) {
        if (error)
            *error = "the router simulator was started already";
        return false;
    }
    m_bStop = false;  // a Start that failed before has left it set
    std::error_code ec;
    if (m_options.root.empty() || !std::filesystem::is_directory(m_options.root, ec)) {
        if (error)
            *error = "the root folder \"" + m_options.root.string() + "\" does not exist";
        return false;
    }
    m_fds[SOCK_MAIN] = OpenSocket(m_options.listenAddress, m_options.port, error);
    if (m_fds[SOCK_MAIN] < 0)
        return false;
    bool bOk = true;
    if (m_options.answerFromOtherPort) {
        m_fds[SOCK_OTHER] = OpenSocket(m_options.listenAddress, 0, error);
        bOk = m_fds[SOCK_OTHER] >= 0;
    }
    if (bOk && !m_options.strayFromAddress.empty()) {
        // Same port as the router, so that only the address tells the stray datagrams apart.
        m_fds[SOCK_STRAY] = OpenSocket(m_options.strayFromAddress, m_options.port, error);
        bOk = m_fds[SOCK_STRAY] >= 0;
    }
    if (bOk && !m_options.tracePath.empty()) {
        m_pTraceFile = std::fopen(m_options.tracePath.c_str(), "w");
        if (!m_pTraceFile) {
            if (error)
                *error = "cannot write the trace file \"" + m_options.tracePath + "\": " + std::strerror(errno);
            bOk = false;
        } else {
            std::setvbuf(m_pTraceFile, nullptr, _IOLBF, 0);
        }
    }
    if (bOk && ::pipe2(m_wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        if (error)
            *error = std::string("cannot create a pipe: ") + std::strerror(errno);
        bOk = false;
    }
    if (!bOk) {
        Stop();
        return false;
    }
    for (int i = 0; i < SOCK_COUNT; ++i) {
        if (m_fds[i] < 0)
            continue;
        sockaddr_in local{};
        socklen_t len = sizeof local;
        ::getsockname(m_fds[i], reinterpret_cast<sockaddr*>(&local), &len);
        m_localName[i] = Endpoint(local);
        if (i == SOCK_MAIN)
            m_nBoundPort = ntohs(local.sin_port);
    }
    m_injectionFired.assign(m_options.injections.size(), false);
    m_start = Clock::now();
    if (m_options.maxSeconds > 0)
        m_end = m_start + Seconds(m_options.maxSeconds);
    m_bStarted = true;
    m_bRunning = true;
    m_thread = std::thread([this] { Run(); });
    return true;
}

void RouterSim::Impl::Stop()
{
    m_bStop = true;
    if (m_wake[1] >= 0) {
        char c = 1;
        [[maybe_unused]] auto n = ::write(m_wake[1], &c, 1);
    }
    if (m_thread.joinable())
        m_thread.join();
    std::lock_guard lock(m_mutex);
    if (m_t.bActive)
        EndTransfer(false);
    for (int& fd : m_fds) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
    for (int& fd : m_wake) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
    if (m_pTraceFile) {
        std::fclose(m_pTraceFile);
        m_pTraceFile = nullptr;
    }
    m_bRunning = false;
    m_cv.notify_all();
}

// ---------------------------------------------------------------------------------------------------
// The loop

std::optional<Clock::time_point> RouterSim::Impl::NextDeadline() const
{
    std::optional<Clock::time_point> next = m_end;
    auto consider = [&next](Clock::time_point t) {
        if (!next || t < *next)
            next = t;
    };
    if (m_t.bActive && m_t.bAwaiting && !m_t.bFlashing)
        consider(m_t.timeout);
    if (m_t.bActive && m_t.bFlashing && !m_t.bFlashForever)
        consider(m_t.flashUntil);
    for (const auto& s : m_scheduled)
        consider(s.due);
    if (m_finished.bValid)
        consider(m_finished.until);
    return next;
}

void RouterSim::Impl::Run()
{
    std::vector<std::uint8_t> buffer(65536);
    while (!m_bStop) {
        int nTimeoutMs = 1000;
        {
            std::lock_guard lock(m_mutex);
            auto now = Clock::now();
            OnTimers(now);
            if (m_end && now >= *m_end)
                break;
            if (auto next = NextDeadline()) {
                auto wait = std::chrono::ceil<std::chrono::milliseconds>(*next - now).count();
                nTimeoutMs = static_cast<int>(std::clamp<long long>(wait, 0, 1000));
            }
        }
        m_cv.notify_all();
        FlushEvents();

        pollfd fds[SOCK_COUNT + 1];
        int nfds = 0;
        fds[nfds++] = {m_wake[0], POLLIN, 0};
        int sockOf[SOCK_COUNT + 1] = {-1, -1, -1, -1};
        for (int i = 0; i < SOCK_COUNT; ++i) {
            if (m_fds[i] >= 0) {
                sockOf[nfds] = i;
                fds[nfds++] = {m_fds[i], POLLIN, 0};
            }
        }
        int r = ::poll(fds, static_cast<nfds_t>(nfds), nTimeoutMs);
        if (r < 0 && errno != EINTR)
            break;
        if (r <= 0)
            continue;
        if (fds[0].revents) {
            char drain[16];
            while (::read(m_wake[0], drain, sizeof drain) > 0) {
            }
        }
        for (int k = 1; k < nfds; ++k) {
            if (!(fds[k].revents & POLLIN))
                continue;
            Sock sock = static_cast<Sock>(sockOf[k]);
            // One datagram per wake-up: poll returns at once while more wait, and time-outs are looked
            // at between two datagrams even under a flood.
            sockaddr_in from{};
            socklen_t fromLen = sizeof from;
            ssize_t n = ::recvfrom(m_fds[sock], buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from),
                                   &fromLen);
            if (n < 0 || sock == SOCK_STRAY)
                continue;  // an ICMP report of an earlier send; the stray address only ever talks
            std::lock_guard lock(m_mutex);
            HandleDatagram(sock, from, buffer.data(), static_cast<std::size_t>(n));
        }
        m_cv.notify_all();
    }
    FlushEvents();
    m_bRunning = false;
    m_cv.notify_all();
}

void RouterSim::Impl::OnTimers(Clock::time_point now)
{
    while (!m_scheduled.empty()) {
        auto it = std::min_element(m_scheduled.begin(), m_scheduled.end(),
                                   [](const Scheduled& a, const Scheduled& b) { return a.due < b.due; });
        if (it->due > now)
            break;
        Scheduled s = std::move(*it);
        m_scheduled.erase(it);
        SendNow(s.sock, s.to, s.bytes);
    }
    if (m_finished.bValid && now >= m_finished.until)
        m_finished.bValid = false;
    if (!m_t.bActive)
        return;
    if (m_t.bFlashing) {
        if (!m_t.bFlashForever && now >= m_t.flashUntil) {
            m_t.bFlashing = false;
            CompleteWrite();
        }
        return;
    }
    if (!m_t.bAwaiting || now < m_t.timeout)
        return;
    if (m_t.nRetries >= m_options.maxRetransmits) {
        Event("gave up " + m_t.name.FileName() + " with " + Endpoint(m_t.peer) + " after " +
              std::to_string(m_t.nRetries) + " retransmissions");
        EndTransfer(false);
        return;
    }
    ++m_t.nRetries;
    ++m_stats.retransmits;
    if (m_t.bOptionsPending) {
        // No answer to the OACK: a client that does not read options waits for DATA 1 (or ACK 0) and
        // never acknowledges the OACK. Going on without options lets it finish.
        m_t.bOptionsPending = false;
        int nRetries = m_t.nRetries;
        FirstAnswer();
        if (m_t.bActive)
            m_t.nRetries = nRetries;
        return;
    }
    CountSent(m_t.lastPacket, m_t.nLastNumber);
    Emit(m_t.peer, m_t.lastPacket);
    m_t.timeout = now + Seconds(m_options.retransmitSeconds);
}

// ---------------------------------------------------------------------------------------------------
// Sending

void RouterSim::Impl::Event(const std::string& text)
{
    if (m_options.onEvent)
        m_pendingEvents.push_back(text);
}

void RouterSim::Impl::FlushEvents()
{
    std::vector<std::string> events;
    {
        std::lock_guard lock(m_mutex);
        events.swap(m_pendingEvents);
    }
    for (const auto& text : events)
        m_options.onEvent(text);
}

void RouterSim::Impl::TraceDatagram(const char* direction, Sock sock, const sockaddr_in& peer,
                                    const std::uint8_t* p, std::size_t n)
{
    if (!m_pTraceFile && !m_options.traceInMemory)
        return;
    TraceLine line;
    line.seconds = std::chrono::duration<double>(Clock::now() - m_start).count();
    line.direction = direction;
    line.peer = Endpoint(peer);
    line.local = m_localName[sock];
    line.bytes.assign(p, p + n);
    if (m_pTraceFile)
        std::fprintf(m_pTraceFile, "%s\n", line.Text().c_str());
    if (m_options.traceInMemory)
        m_trace.push_back(std::move(line));
}

void RouterSim::Impl::SendNow(Sock sock, const sockaddr_in& to, const Bytes& bytes)
{
    if (m_fds[sock] < 0)
        return;
    ssize_t n = ::sendto(m_fds[sock], bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                         sizeof to);
    if (n < 0) {
        Event("cannot send to " + Endpoint(to) + ": " + std::strerror(errno));
        return;
    }
    ++m_stats.datagramsOut;
    if (sock == SOCK_OTHER)
        ++m_stats.otherPortDatagramsSent;
    TraceDatagram("out", sock, to, bytes.data(), bytes.size());
}

// The number from which a datagram's random faults are decided: its index, or with faultsByPacket its
// first four bytes (and how many there are) with the count of such datagrams so far in that direction.
std::uint64_t RouterSim::Impl::FaultIndex(int nWay, std::uint64_t nIndex, const std::uint8_t* p, std::size_t n)
{
    if (!m_options.faultsByPacket)
        return nIndex;
    std::uint64_t nPacket = std::min<std::size_t>(n, 4);
    for (std::size_t i = 0; i < 4; ++i)
        nPacket = (nPacket << 8) | (i < n ? p[i] : 0);
    const std::uint64_t nSeen = ++m_packetsSeen[nWay][nPacket];
    return (nPacket << 24) | (nSeen & 0xFFFFFF);
}

void RouterSim::Impl::Emit(const sockaddr_in& to, const Bytes& bytes)
{
    const std::uint64_t nIndex = ++m_nOutIndex;
    const std::uint64_t nFaultIndex = FaultIndex(1, nIndex, bytes.data(), bytes.size());
    const Sock sock = ReplySock();
    if (Contains(m_options.dropOutNth, nIndex) ||
        (m_options.dropOutRate > 0 && Chance(m_options.seed, 2, nFaultIndex) < m_options.dropOutRate)) {
        ++m_stats.droppedOut;
        TraceDatagram("drop-out", sock, to, bytes.data(), bytes.size());
        return;
    }
    int nCopies = 1;
    if (m_options.duplicateRate > 0 && Chance(m_options.seed, 3, nIndex) < m_options.duplicateRate) {
        ++m_stats.duplicatedOut;
        nCopies = 2;
    }
    double delay = m_options.replyDelaySeconds;
    if (m_options.delayOutRate > 0 && Chance(m_options.seed, 4, nFaultIndex) < m_options.delayOutRate) {
        ++m_stats.delayedOut;
        delay += m_options.delayOutSeconds;
    }
    for (int i = 0; i < nCopies; ++i) {
        if (delay > 0)
            m_scheduled.push_back({Clock::now() + Seconds(delay), sock, to, bytes});
        else
            SendNow(sock, to, bytes);
    }
}

void RouterSim::Impl::CountSent(const Bytes& bytes, std::uint32_t nNumber)
{
    switch (ReadU16(bytes.data())) {
    case OP_DATA:
        ++m_stats.dataSent;
        ++m_stats.dataSentPerBlock[nNumber];
        break;
    case OP_ACK:
        ++m_stats.acksSent;
        ++m_stats.acksSentPerBlock[nNumber];
        break;
    case OP_OACK:
        ++m_stats.oacksSent;
        break;
    default:
        break;
    }
}

void RouterSim::Impl::SendError(const sockaddr_in& to, std::uint16_t code, const std::string& text)
{
    ++m_stats.errorsSent;
    m_stats.lastErrorSent = text;
    Emit(to, MakeError(code, text));
}

void RouterSim::Impl::SendStray(const sockaddr_in& to, const Bytes& answer)
{
    if (m_fds[SOCK_STRAY] < 0 || !m_options.strayCopies)
        return;
    Bytes copy = answer;
    // A DATA copy carries other bytes, so that a client taking it would store a corrupted file.
    if (ReadU16(copy.data()) == OP_DATA) {
        for (std::size_t i = 4; i < copy.size(); ++i)
            copy[i] = static_cast<std::uint8_t>(~copy[i]);
    }
    ++m_stats.strayDatagramsSent;
    SendNow(SOCK_STRAY, to, copy);
}

// Sends the router's packet number nNumber of the transfer (DATA k of a read, ACK k of a write), with the
// fault switches that hang on a packet number, and waits for its answer.
void RouterSim::Impl::Answer(std::uint32_t nNumber, Bytes packet)
{
    const sockaddr_in to = m_t.peer;
    bool bReplaced = false;
    for (std::size_t i = 0; i < m_options.injections.size(); ++i) {
        const auto& inj = m_options.injections[i];
        if (m_injectionFired[i] || inj.atBlock != nNumber)
            continue;
        m_injectionFired[i] = true;
        ++m_stats.injectionsSent;
        Sock sock = inj.from == RouterSimInjection::From::OtherPort      ? SOCK_OTHER
                    : inj.from == RouterSimInjection::From::StrayAddress ? SOCK_STRAY
                                                                         : SOCK_MAIN;
        if (m_fds[sock] < 0) {
            // Asked for a socket the options did not open: use a short-lived one of our own.
            if (sock == SOCK_OTHER && m_fds[SOCK_OTHER] < 0)
                m_fds[SOCK_OTHER] = OpenSocket(m_options.listenAddress, 0, nullptr);
            if (m_fds[sock] < 0)
                continue;
            sockaddr_in local{};
            socklen_t len = sizeof local;
            ::getsockname(m_fds[sock], reinterpret_cast<sockaddr*>(&local), &len);
            m_localName[sock] = Endpoint(local);
        }
        SendNow(sock, to, inj.bytes);
        bReplaced = bReplaced || inj.replacesAnswer;
    }
    if (m_options.oversizedReply && !m_bOversizedFired && nNumber == m_options.oversizedAtBlock) {
        m_bOversizedFired = true;
        ++m_stats.oversizedSent;
        Bytes big(OVERSIZED_LENGTH, 0x5A);
        big[0] = 0;
        big[1] = OP_DATA;
        big[2] = static_cast<std::uint8_t>(nNumber >> 8);
        big[3] = static_cast<std::uint8_t>(nNumber);
        SendNow(SOCK_MAIN, to, big);
    }
    if (!m_t.bStraySent)
        SendStray(to, packet);
    m_t.bStraySent = false;
    CountSent(packet, nNumber);
    if (!bReplaced && m_t.bRead && m_options.overlongDataAtBlock >= 1 && !m_bOverlongFired &&
        nNumber == static_cast<std::uint32_t>(m_options.overlongDataAtBlock)) {
        m_bOverlongFired = true;
        // One byte too many: the client must drop it and the router's retransmission brings the block.
        Bytes overlong = packet;
        overlong.resize(4 + BLOCK_SIZE + 1, 0x0A);
        Emit(to, overlong);
    } else if (!bReplaced) {
        Emit(to, packet);
    }
    m_t.lastPacket = std::move(packet);
    m_t.nLastNumber = nNumber;
    Arm();
}

void RouterSim::Impl::Arm()
{
    m_t.bAwaiting = true;
    m_t.nRetries = 0;
    m_t.timeout = Clock::now() + Seconds(m_options.retransmitSeconds);
}

// ---------------------------------------------------------------------------------------------------
// Taking datagrams in

void RouterSim::Impl::HandleDatagram(Sock sock, const sockaddr_in& from, const std::uint8_t* p, std::size_t n)
{
    ++m_stats.datagramsIn;
    const std::uint64_t nIndex = ++m_nInIndex;
    if (Contains(m_options.dropInNth, nIndex) ||
        (m_options.dropInRate > 0 &&
         Chance(m_options.seed, 0, FaultIndex(0, nIndex, p, n)) < m_options.dropInRate)) {
        ++m_stats.droppedIn;
        TraceDatagram("drop-in", sock, from, p, n);
        return;
    }
    TraceDatagram("in", sock, from, p, n);
    if (Clock::now() < m_deafUntil) {
        ++m_stats.ignoredWhileRestarting;
        return;
    }
    if (m_options.silent)
        return;
    int nTimes = 1;
    if (m_options.duplicateInRate > 0 && Chance(m_options.seed, 1, nIndex) < m_options.duplicateInRate) {
        ++m_stats.duplicatedIn;
        nTimes = 2;
    }
    for (int i = 0; i < nTimes; ++i) {
        if (n < 2) {
            ++m_stats.malformedIn;
            return;
        }
        const std::uint16_t op = ReadU16(p);
        if (op == OP_RRQ || op == OP_WRQ) {
            HandleRequest(from, p, n);
        } else if (op < OP_DATA || op > OP_ERROR) {
            ++m_stats.malformedIn;
        } else if (m_t.bActive && SameEndpoint(from, m_t.peer)) {
            if (m_t.bRead)
                HandleRead(p, n);
            else
                HandleWrite(p, n);
        } else {
            HandleOutsider(from, p, n);
        }
    }
}

void RouterSim::Impl::HandleOutsider(const sockaddr_in& from, const std::uint8_t* p, std::size_t n)
{
    const std::uint16_t op = ReadU16(p);
    if (m_finished.bValid && SameEndpoint(from, m_finished.peer) && n >= 4) {
        const std::uint16_t block = ReadU16(p + 2);
        if (!m_finished.bRead && op == OP_DATA && block == m_finished.nBlock) {
            // Our final ACK was lost and the client sends its last block again.
            ++m_stats.dataReceived;
            ++m_stats.duplicateDataReacked;
            CountSent(m_finished.finalAck, m_finished.nBlock);
            Emit(from, m_finished.finalAck);
            return;
        }
        if (m_finished.bRead && op == OP_ACK && block == m_finished.nBlock) {
            ++m_stats.acksReceived;
            ++m_stats.duplicateAcksIgnored;
            return;
        }
    }
    ++m_stats.unknownTransferIn;
    if (op == OP_ERROR) {
        ++m_stats.errorsReceived;
        return;  // never answer an ERROR with an ERROR
    }
    if (m_options.answerUnknownTransfer)
        SendError(from, ERR_UNKNOWN_TID, "Unknown transfer ID");
}

void RouterSim::Impl::HandleRequest(const sockaddr_in& from, const std::uint8_t* p, std::size_t n)
{
    ++m_stats.requests;
    auto req = ParseRequest(p, n);
    if (!req) {
        ++m_stats.malformedIn;
        SendError(from, ERR_ILLEGAL_OP, "Illegal TFTP operation");
        return;
    }
    const Bytes bytes(p, p + n);
    if (m_t.bActive) {
        if (!SameEndpoint(from, m_t.peer)) {
            // One transfer at a time, as the routers do; the other client hears why at once.
            ++m_stats.busyRejects;
            Event("busy: refused " + req->name + " from " + Endpoint(from));
            SendError(from, ERR_UNDEFINED, "Server busy");
            return;
        }
        if (bytes == m_t.request) {
            if (m_t.bOptionsPending) {
                // The client repeats its request instead of answering the OACK: it does not read
                // options, so go on without them.
                m_t.bOptionsPending = false;
                FirstAnswer();
            } else if (m_t.nSeq == (m_t.bRead ? 1u : 0u) && m_t.bAwaiting && !m_t.bFlashing) {
                // Our first answer was lost: the repeated request is answered like a time-out would be.
                CountSent(m_t.lastPacket, m_t.nLastNumber);
                Emit(m_t.peer, m_t.lastPacket);
            } else {
                ++m_stats.unexpectedIn;
            }
            return;
        }
        Event("abandoned " + m_t.name.FileName() + ": " + Endpoint(from) + " asked anew");
        EndTransfer(false);
    }

    const bool bRead = req->opcode == OP_RRQ;
    (bRead ? m_stats.readRequests : m_stats.writeRequests) += 1;
    m_stats.lastRequestName = req->name;
    m_stats.lastMode = req->mode;
    m_stats.lastOptions.clear();
    for (const auto& [key, value] : req->options) {
        m_stats.lastOptions.push_back(key);
        m_stats.lastOptions.push_back(value);
    }
    const std::string what = std::string(bRead ? "read " : "write ") + req->name + " (" + req->mode + ") from " +
                             Endpoint(from);
    auto refuse = [&](std::uint16_t code, const std::string& text) {
        Event("refused " + what + ": " + text);
        SendError(from, code, text);
    };

    if (!m_options.errorText.empty() && m_options.errorAfterBlocks < 0) {
        refuse(m_options.errorCode, m_options.errorText);
        return;
    }
    if (!IsServedMode(req->mode)) {
        refuse(ERR_ILLEGAL_OP, "Illegal TFTP operation");
        return;
    }
    auto name = ParseRemoteName(req->name);
    if (!name) {
        refuse(ERR_ACCESS, TEXT_ACCESS_VIOLATION);
        return;
    }
    const unsigned nLimit = name->kind == FileKind::Config ? 4 : 1;
    if ((m_options.noFileNumbers && name->hasNumber) || name->number > nLimit) {
        refuse(ERR_ACCESS, TEXT_ACCESS_VIOLATION);
        return;
    }
    if (name->kind == FileKind::Config) {
        if (!m_options.password.empty() && (!name->hasPassword || name->password != m_options.password)) {
            refuse(ERR_ACCESS, TEXT_ACCESS_VIOLATION);
            return;
        }
    } else if (name->hasPassword || bRead) {
        // Firmware is only ever written, and its name never carries a password.
        refuse(ERR_ACCESS, TEXT_ACCESS_VIOLATION);
        return;
    }

    Transfer t;
    t.peer = from;
    t.bRead = bRead;
    t.name = *name;
    t.target = m_options.root / name->FileName();
    t.request = bytes;
    if (bRead) {
        std::error_code ec;
        if (!std::filesystem::is_regular_file(t.target, ec)) {
            refuse(ERR_NOT_FOUND, TEXT_NO_SUCH_FILE);
            return;
        }
        std::FILE* f = std::fopen(t.target.c_str(), "rb");
        if (!f) {
            refuse(ERR_ACCESS, TEXT_ACCESS_VIOLATION);
            return;
        }
        // Sized up front: a configuration can be large in a test, and growing a vector chunk by chunk
        // would keep the client waiting for DATA 1.
        const auto nSize = std::filesystem::file_size(t.target, ec);
        t.readData.resize(ec ? 0 : static_cast<std::size_t>(nSize));
        t.readData.resize(std::fread(t.readData.data(), 1, t.readData.size(), f));
        std::uint8_t more[4096];
        std::size_t extra = 0;
        while ((extra = std::fread(more, 1, sizeof more, f)) > 0)  // the file grew meanwhile
            t.readData.insert(t.readData.end(), more, more + extra);
        const bool bReadError = std::ferror(f) != 0;
        std::fclose(f);
        if (bReadError) {
            refuse(ERR_ACCESS, TEXT_ACCESS_VIOLATION);
            return;
        }
    } else {
        t.tempPath = m_options.root / ("." + name->FileName() + ".incoming");
        t.nTempFd = ::open(t.tempPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (t.nTempFd < 0) {
            refuse(ERR_UNDEFINED, "Cannot store " + name->FileName() + ": " + std::strerror(errno));
            return;
        }
    }
    for (const auto& [key, value] : req->options) {
        std::string lower(key);
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (lower != "tsize")
            continue;  // the only option this router knows
        if (bRead) {
            t.acceptedOptions.emplace_back(key, std::to_string(t.readData.size()));
        } else {
            if (m_options.maxFileBytes && std::strtoull(value.c_str(), nullptr, 10) > m_options.maxFileBytes) {
                ::close(t.nTempFd);
                std::filesystem::remove(t.tempPath);
                refuse(ERR_DISK_FULL, "Disk full or allocation exceeded");
                return;
            }
            t.acceptedOptions.emplace_back(key, value);
        }
    }
    m_t = std::move(t);
    m_t.bActive = true;
    m_finished.bValid = false;
    Event("accepted " + what);
    if (m_options.oack && !m_t.acceptedOptions.empty()) {
        m_t.bOptionsPending = true;
        Bytes oack = MakeOack(m_t.acceptedOptions);
        CountSent(oack, 0);
        Emit(m_t.peer, oack);
        m_t.lastPacket = std::move(oack);
        m_t.nLastNumber = 0;
        Arm();
        return;
    }
    FirstAnswer();
}

void RouterSim::Impl::FirstAnswer()
{
    if (m_t.bRead) {
        SendReadBlock(1);
    } else {
        if (Triggers(0))
            return;
        Answer(0, MakeAck(0));
    }
}

// The fault switches that replace the router's next packet once so many data blocks have passed.
bool RouterSim::Impl::Triggers(std::uint32_t nBlocksPassed)
{
    if (m_options.restartAfterBlocks >= 0 &&
        nBlocksPassed == static_cast<std::uint32_t>(m_options.restartAfterBlocks)) {
        Event("restarting in the middle of " + m_t.name.FileName());
        ++m_stats.restarts;
        EndTransfer(false);
        m_finished.bValid = false;
        m_deafUntil = Clock::now() + Seconds(m_options.restartSeconds);
        return true;
    }
    if (!m_options.errorText.empty() && m_options.errorAfterBlocks >= 0 &&
        nBlocksPassed == static_cast<std::uint32_t>(m_options.errorAfterBlocks)) {
        sockaddr_in peer = m_t.peer;
        Event("failing " + m_t.name.FileName() + " on purpose: " + m_options.errorText);
        EndTransfer(false);
        SendError(peer, m_options.errorCode, m_options.errorText);
        return true;
    }
    return false;
}

void RouterSim::Impl::SendReadBlock(std::uint32_t nNumber)
{
    if (Triggers(nNumber - 1))
        return;
    const std::size_t offset = static_cast<std::size_t>(nNumber - 1) * BLOCK_SIZE;
    const std::size_t n = std::min(BLOCK_SIZE, m_t.readData.size() - offset);
    m_t.nSeq = nNumber;
    m_t.bLastSent = n < BLOCK_SIZE;
    // Block numbers wrap from 65535 to 0 on large files.
    Answer(nNumber, MakeData(static_cast<std::uint16_t>(nNumber), m_t.readData.data() + offset, n));
}

void RouterSim::Impl::HandleRead(const std::uint8_t* p, std::size_t n)
{
    const std::uint16_t op = ReadU16(p);
    if (op == OP_ERROR) {
        ++m_stats.errorsReceived;
        m_stats.lastErrorReceived = ErrorMessage(p, n);
        Event("the client ended " + m_t.name.FileName() + " with an error: " + m_stats.lastErrorReceived);
        EndTransfer(false);
        return;
    }
    if (op != OP_ACK) {
        ++m_stats.unexpectedIn;
        return;
    }
    if (n != 4) {
        ++m_stats.malformedIn;
        return;
    }
    ++m_stats.acksReceived;
    const std::uint16_t block = ReadU16(p + 2);
    if (m_t.bOptionsPending) {
        if (block != 0) {
            ++m_stats.unexpectedIn;
            return;
        }
        m_t.bOptionsPending = false;
        SendReadBlock(1);
        return;
    }
    if (block == static_cast<std::uint16_t>(m_t.nSeq)) {
        if (m_t.bLastSent) {
            Event("sent " + m_t.name.FileName() + " (" + std::to_string(m_t.readData.size()) + " bytes) to " +
                  Endpoint(m_t.peer));
            EndTransfer(true);
            return;
        }
        SendReadBlock(m_t.nSeq + 1);
        return;
    }
    if (block == static_cast<std::uint16_t>(m_t.nSeq - 1)) {
        // Answering a repeated ACK with the DATA again would double every packet from then on (the
        // Sorcerer's Apprentice); only our own time-out resends.
        ++m_stats.duplicateAcksIgnored;
        return;
    }
    ++m_stats.unexpectedIn;
}

void RouterSim::Impl::HandleWrite(const std::uint8_t* p, std::size_t n)
{
    const std::uint16_t op = ReadU16(p);
    if (op == OP_ERROR) {
        ++m_stats.errorsReceived;
        m_stats.lastErrorReceived = ErrorMessage(p, n);
        Event("the client ended " + m_t.name.FileName() + " with an error: " + m_stats.lastErrorReceived);
        EndTransfer(false);
        return;
    }
    if (m_t.bFlashing) {
        ++m_stats.ignoredWhileFlashing;
        return;
    }
    if (op != OP_DATA) {
        ++m_stats.unexpectedIn;
        return;
    }
    if (n < 4 || n > 4 + BLOCK_SIZE) {
        ++m_stats.malformedIn;
        return;
    }
    ++m_stats.dataReceived;
    const std::uint16_t block = ReadU16(p + 2);
    const std::uint16_t expected = static_cast<std::uint16_t>(m_t.nSeq + 1);
    if (block != expected) {
        if (m_t.nSeq >= 1 && block == static_cast<std::uint16_t>(m_t.nSeq)) {
            // Our ACK was lost; the client sends the block again and must hear the same ACK.
            ++m_stats.duplicateDataReacked;
            CountSent(m_t.lastPacket, m_t.nLastNumber);
            Emit(m_t.peer, m_t.lastPacket);
        } else {
            ++m_stats.unexpectedIn;
        }
        return;
    }
    m_t.bOptionsPending = false;  // DATA 1 after an OACK is the client's agreement
    const std::size_t nData = n - 4;
    if (m_options.maxFileBytes && m_t.nBytes + nData > m_options.maxFileBytes) {
        sockaddr_in peer = m_t.peer;
        Event("refused the rest of " + m_t.name.FileName() + ": larger than " +
              std::to_string(m_options.maxFileBytes) + " bytes");
        EndTransfer(false);
        SendError(peer, ERR_DISK_FULL, "Disk full or allocation exceeded");
        return;
    }
    if (nData && ::write(m_t.nTempFd, p + 4, nData) != static_cast<ssize_t>(nData)) {
        sockaddr_in peer = m_t.peer;
        Event("cannot write " + m_t.tempPath.string() + ": " + std::strerror(errno));
        EndTransfer(false);
        SendError(peer, ERR_DISK_FULL, "Disk full or allocation exceeded");
        return;
    }
    m_t.nBytes += nData;
    m_t.nSeq += 1;
    if (Triggers(m_t.nSeq))
        return;
    if (nData == BLOCK_SIZE) {
        Answer(m_t.nSeq, MakeAck(static_cast<std::uint16_t>(m_t.nSeq)));
        return;
    }
    // The last block: the file is complete.
    const bool bFlash = m_options.flashSeconds != 0 &&
                        (m_t.name.kind == FileKind::Exec || m_options.flashConfigWrites);
    if (!bFlash) {
        CompleteWrite();
        return;
    }
    Event("writing the flash ROM with " + m_t.name.FileName() + " (" + std::to_string(m_t.nBytes) + " bytes)");
    // A stray copy of the final ACK goes out now, while the real one is withheld: a client that took it
    // would end before the router has finished.
    SendStray(m_t.peer, MakeAck(static_cast<std::uint16_t>(m_t.nSeq)));
    m_t.bStraySent = true;
    m_t.bFlashing = true;
    m_t.bAwaiting = false;
    m_t.bFlashForever = m_options.flashSeconds < 0;
    m_t.flashUntil = Clock::now() + Seconds(std::max(0.0, m_options.flashSeconds));
}

bool RouterSim::Impl::StoreWrite(std::string* error)
{
    if (m_t.nTempFd >= 0) {
        int r = ::close(m_t.nTempFd);
        m_t.nTempFd = -1;
        if (r != 0) {
            *error = std::strerror(errno);
            return false;
        }
    }
    std::error_code ec;
    // Only a complete file replaces the old one; the rename does it in one go.
    std::filesystem::rename(m_t.tempPath, m_t.target, ec);
    if (ec) {
        *error = ec.message();
        return false;
    }
    m_t.tempPath.clear();
    return true;
}

void RouterSim::Impl::CompleteWrite()
{
    std::string error;
    if (!StoreWrite(&error)) {
        sockaddr_in peer = m_t.peer;
        Event("cannot store " + m_t.name.FileName() + ": " + error);
        EndTransfer(false);
        // The client must not take a lost file for a stored one: no final ACK, an ERROR instead.
        SendError(peer, ERR_DISK_FULL, "Disk full or allocation exceeded");
        return;
    }
    Event("stored " + m_t.name.FileName() + " (" + std::to_string(m_t.nBytes) + " bytes) from " +
          Endpoint(m_t.peer));
    const std::uint32_t nNumber = m_t.nSeq;
    Bytes ack = MakeAck(static_cast<std::uint16_t>(nNumber));
    m_finished = Finished{};
    Answer(nNumber, ack);
    m_finished.bValid = true;
    m_finished.peer = m_t.peer;
    m_finished.bRead = false;
    m_finished.nBlock = static_cast<std::uint16_t>(nNumber);
    m_finished.finalAck = std::move(ack);
    m_finished.until = Clock::now() + Seconds(m_options.retransmitSeconds * (m_options.maxRetransmits + 2));
    EndTransfer(true);
}

void RouterSim::Impl::EndTransfer(bool bCompleted)
{
    if (!m_t.bActive)
        return;
    if (m_t.nTempFd >= 0)
        ::close(m_t.nTempFd);
    if (!m_t.tempPath.empty()) {
        std::error_code ec;
        std::filesystem::remove(m_t.tempPath, ec);
    }
    if (bCompleted) {
        ++m_stats.transfersCompleted;
        if (m_t.bRead) {
            m_finished = Finished{};
            m_finished.bValid = true;
            m_finished.peer = m_t.peer;
            m_finished.bRead = true;
            m_finished.nBlock = static_cast<std::uint16_t>(m_t.nSeq);
            m_finished.until = Clock::now() + Seconds(m_options.retransmitSeconds * (m_options.maxRetransmits + 2));
        }
    } else if (m_t.bRead && m_t.bLastSent) {
        ++m_stats.transfersUnconfirmed;
    } else {
        ++m_stats.transfersFailed;
    }
    m_t = Transfer{};
}

// ---------------------------------------------------------------------------------------------------
// The public face

RouterSim::RouterSim(RouterSimOptions options) : m_pImpl(std::make_unique<Impl>(std::move(options))) {}

RouterSim::~RouterSim() = default;

bool RouterSim::Start(std::string* error)
{
    return m_pImpl->Start(error);
}

void RouterSim::Stop()
{
    m_pImpl->Stop();
}

bool RouterSim::IsRunning() const
{
    return m_pImpl->m_bRunning;
}

const RouterSimOptions& RouterSim::Options() const
{
    return m_pImpl->m_options;
}

std::uint16_t RouterSim::Port() const
{
    return m_pImpl->m_nBoundPort ? m_pImpl->m_nBoundPort : m_pImpl->m_options.port;
}

RouterSimStats RouterSim::Stats() const
{
    std::lock_guard lock(m_pImpl->m_mutex);
    return m_pImpl->m_stats;
}

std::vector<TraceLine> RouterSim::Trace() const
{
    std::lock_guard lock(m_pImpl->m_mutex);
    return m_pImpl->m_trace;
}

bool RouterSim::WaitForTransfers(int n, std::chrono::milliseconds timeout) const
{
    return WaitFor([n](const RouterSimStats& s) { return s.transfersCompleted >= static_cast<std::uint64_t>(n); },
                   timeout);
}

bool RouterSim::WaitFor(const std::function<bool(const RouterSimStats&)>& predicate,
                        std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(m_pImpl->m_mutex);
    return m_pImpl->m_cv.wait_for(lock, timeout, [&] { return predicate(m_pImpl->m_stats); });
}

}  // namespace velnor::sim
