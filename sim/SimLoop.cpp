#include "SimLoop.h"

#include "SafeText.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace velnor::sim {

namespace {

// epoll tags: a router's socket is (index << 2) | Sock; two tags of the loop's own.
constexpr std::uint64_t TAG_WAKE = ~0ull;
constexpr std::uint64_t TAG_SHARED_STRAY = ~0ull - 1;

std::uint64_t Tag(std::size_t nRouter, Sock sock)
{
    return (static_cast<std::uint64_t>(nRouter) << 2) | static_cast<std::uint64_t>(sock);
}

int OpenSocket(const std::string& address, std::uint16_t port, std::string* error)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1) {
        if (error)
            *error = "\"" + EscapeForTerminal(address) + "\" is not a dotted IPv4 address";
        return -1;
    }
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        if (error) {
            *error = std::string("cannot create a UDP socket: ") + std::strerror(errno);
            if (errno == EMFILE || errno == ENFILE)
                *error += " (too many routers for the open-file limit; raise it with ulimit -n)";
        }
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

std::string LocalName(int fd, std::uint16_t* port = nullptr)
{
    sockaddr_in local{};
    socklen_t len = sizeof local;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len);
    if (port)
        *port = ntohs(local.sin_port);
    return Endpoint(local);
}

// A fleet needs a descriptor or two per router: the usual soft limit of 1024 would stop it near 1000.
void RaiseOpenFileLimit(std::size_t nNeeded)
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= nNeeded)
        return;
    limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, nNeeded);
    ::setrlimit(RLIMIT_NOFILE, &limit);
}

void Add(RouterSimStats& total, const RouterSimStats& s)
{
    for (auto member : {
             &RouterSimStats::datagramsIn, &RouterSimStats::datagramsOut, &RouterSimStats::requests,
             &RouterSimStats::readRequests, &RouterSimStats::writeRequests, &RouterSimStats::dataSent,
             &RouterSimStats::dataReceived, &RouterSimStats::acksSent, &RouterSimStats::acksReceived,
             &RouterSimStats::oacksSent, &RouterSimStats::errorsSent, &RouterSimStats::errorsReceived,
             &RouterSimStats::retransmits, &RouterSimStats::duplicateAcksIgnored,
             &RouterSimStats::duplicateDataReacked, &RouterSimStats::ignoredWhileFlashing,
             &RouterSimStats::droppedIn, &RouterSimStats::droppedOut, &RouterSimStats::duplicatedIn,
             &RouterSimStats::duplicatedOut, &RouterSimStats::delayedOut, &RouterSimStats::malformedIn,
             &RouterSimStats::unexpectedIn, &RouterSimStats::ignoredWhileRestarting,
             &RouterSimStats::busyRejects, &RouterSimStats::unknownTransferIn,
             &RouterSimStats::strayDatagramsSent, &RouterSimStats::otherPortDatagramsSent,
             &RouterSimStats::oversizedSent, &RouterSimStats::injectionsSent,
             &RouterSimStats::transfersCompleted, &RouterSimStats::transfersFailed,
             &RouterSimStats::transfersUnconfirmed, &RouterSimStats::restarts})
        total.*member += s.*member;
    for (const auto& [block, n] : s.dataSentPerBlock)
        total.dataSentPerBlock[block] += n;
    for (const auto& [block, n] : s.acksSentPerBlock)
        total.acksSentPerBlock[block] += n;
}

}  // namespace

SocketLoop::SocketLoop(RouterSimOptions options, std::vector<LoopMember> members, bool bFleet)
    : m_options(std::move(options)), m_members(std::move(members)), m_bFleet(bFleet)
{
    m_silentOptions = m_options;
    m_silentOptions.silent = true;
}

SocketLoop::~SocketLoop()
{
    Stop();
}

int SocketLoop::Watch(int fd, std::uint64_t tag, std::string* error)
{
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = tag;
    if (::epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &event) != 0) {
        if (error)
            *error = std::string("cannot watch a socket: ") + std::strerror(errno);
        return -1;
    }
    return fd;
}

bool SocketLoop::Start(std::string* error)
{
    if (m_bStarted) {
        if (error)
            *error = "the router simulator was started already";
        return false;
    }
    m_bStop = false;  // a Start that failed before has left it set
    std::string ignored;
    if (!error)
        error = &ignored;
    for (const auto& m : m_members) {
        if (m_bFleet && m.bSilent)
            continue;  // a silent router of a fleet never touches a file
        std::error_code ec;
        if (m.folder.empty() || !std::filesystem::is_directory(m.folder, ec)) {
            *error = "the root folder \"" + EscapeForTerminal(m.folder.string()) + "\" does not exist";
            return false;
        }
    }
    bool bOtherPort = m_options.answerFromOtherPort;
    for (const auto& inj : m_options.injections)
        bOtherPort = bOtherPort || inj.from == RouterSimInjection::From::OtherPort;
    RaiseOpenFileLimit(m_members.size() * (bOtherPort ? 2 : 1) + 64);

    bool bOk = true;
    m_epoll = ::epoll_create1(EPOLL_CLOEXEC);
    m_wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_epoll < 0 || m_wake < 0 || Watch(m_wake, TAG_WAKE, error) < 0) {
        *error = std::string("cannot set up the socket loop: ") + std::strerror(errno);
        bOk = false;
    }
    if (bOk && !m_options.tracePath.empty())
        bOk = m_traceFile.Open(m_options.tracePath, error);

    RouterContext context;
    m_start = Clock::now();
    context.start = m_start;
    context.pTraceFile = m_traceFile.IsOpen() ? &m_traceFile : nullptr;
    context.pEvents = m_options.onEvent ? &m_pendingEvents : nullptr;

    int nStray = -1;
    std::string strayName;
    if (bOk && !m_options.strayFromAddress.empty()) {
        // Same port as the routers, so that only the address tells the stray datagrams apart; one socket
        // serves every router of a fleet.
        nStray = OpenSocket(m_options.strayFromAddress, m_options.port, error);
        bOk = nStray >= 0;
        if (bOk) {
            m_ownedFds.push_back(nStray);
            strayName = LocalName(nStray);
            bOk = Watch(nStray, TAG_SHARED_STRAY, error) >= 0;
        }
    }

    {
        std::lock_guard lock(m_mutex);
        m_routers.clear();
        m_ports.assign(m_members.size(), 0);
        for (std::size_t i = 0; bOk && i < m_members.size(); ++i) {
            const auto& m = m_members[i];
            auto router = std::make_unique<Router>(m.bSilent ? m_silentOptions : m_options, m.address, m.folder,
                                                   m.bSilent, m_bFleet ? m.address + ": " : std::string(), context);
            const int fd = OpenSocket(m.address, m_options.port, error);
            bOk = fd >= 0;
            if (!bOk)
                break;
            m_ownedFds.push_back(fd);
            router->m_fds[SOCK_MAIN] = fd;
            router->m_localName[SOCK_MAIN] = LocalName(fd, &m_ports[i]);
            bOk = Watch(fd, Tag(i, SOCK_MAIN), error) >= 0;
            if (bOk && bOtherPort) {
                const int other = OpenSocket(m.address, 0, error);
                bOk = other >= 0;
                if (bOk) {
                    m_ownedFds.push_back(other);
                    router->m_fds[SOCK_OTHER] = other;
                    router->m_localName[SOCK_OTHER] = LocalName(other);
                    bOk = Watch(other, Tag(i, SOCK_OTHER), error) >= 0;
                }
            }
            router->m_fds[SOCK_STRAY] = nStray;
            router->m_localName[SOCK_STRAY] = strayName;
            m_routers.push_back(std::move(router));
        }
        m_scheduled.assign(m_routers.size(), std::nullopt);
    }
    if (!bOk) {
        Stop();
        return false;
    }
    if (m_options.maxSeconds > 0)
        m_end = m_start + Seconds(m_options.maxSeconds);
    m_bStarted = true;
    m_bRunning = true;
    m_thread = std::thread([this] { Run(); });
    return true;
}

void SocketLoop::Stop()
{
    m_bStop = true;
    if (m_wake >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] auto n = ::write(m_wake, &one, sizeof one);
    }
    if (m_thread.joinable())
        m_thread.join();
    std::lock_guard lock(m_mutex);
    for (auto& router : m_routers) {
        router->Abandon();
        for (int& fd : router->m_fds)
            fd = -1;
    }
    for (int fd : m_ownedFds)
        ::close(fd);
    m_ownedFds.clear();
    for (int* fd : {&m_epoll, &m_wake}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
    m_traceFile.Close();
    m_bRunning = false;
    m_cv.notify_all();
}

std::uint16_t SocketLoop::Port(std::size_t i) const
{
    return i < m_ports.size() && m_ports[i] ? m_ports[i] : m_options.port;
}

void SocketLoop::Reschedule(std::size_t i)
{
    const auto next = m_routers[i]->NextDeadline();
    if (next && (!m_scheduled[i] || *next < *m_scheduled[i])) {
        m_scheduled[i] = next;
        m_timers.emplace(*next, i);
    }
}

void SocketLoop::FlushEvents()
{
    std::vector<std::string> events;
    {
        std::lock_guard lock(m_mutex);
        events.swap(m_pendingEvents);
    }
    for (const auto& text : events)
        m_options.onEvent(text);
}

void SocketLoop::Run()
{
    std::vector<std::uint8_t> buffer(65536);
    std::vector<epoll_event> events(256);
    while (!m_bStop) {
        int nTimeoutMs = 1000;
        {
            std::lock_guard lock(m_mutex);
            const auto now = Clock::now();
            while (!m_timers.empty() && m_timers.top().first <= now) {
                const auto [due, i] = m_timers.top();
                m_timers.pop();
                if (!m_scheduled[i] || *m_scheduled[i] != due)
                    continue;  // an earlier plan of this router, replaced since
                m_scheduled[i].reset();
                m_routers[i]->OnTimers(now);
                Reschedule(i);
            }
            if (m_end && now >= *m_end)
                break;
            std::optional<Clock::time_point> next = m_end;
            if (!m_timers.empty() && (!next || m_timers.top().first < *next))
                next = m_timers.top().first;
            if (next) {
                auto wait = std::chrono::ceil<std::chrono::milliseconds>(*next - now).count();
                nTimeoutMs = static_cast<int>(std::clamp<long long>(wait, 0, 1000));
            }
        }
        m_cv.notify_all();
        FlushEvents();

        const int r = ::epoll_wait(m_epoll, events.data(), static_cast<int>(events.size()), nTimeoutMs);
        if (r < 0 && errno != EINTR)
            break;
        if (r <= 0)
            continue;
        {
            std::lock_guard lock(m_mutex);
            for (int k = 0; k < r; ++k) {
                const std::uint64_t tag = events[static_cast<std::size_t>(k)].data.u64;
                if (tag == TAG_WAKE) {
                    std::uint64_t count = 0;
                    [[maybe_unused]] auto n = ::read(m_wake, &count, sizeof count);
                    continue;
                }
                const bool bStray = tag == TAG_SHARED_STRAY;
                const std::size_t i = bStray ? 0 : static_cast<std::size_t>(tag >> 2);
                const Sock sock = bStray ? SOCK_STRAY : static_cast<Sock>(tag & 3);
                const int fd = bStray ? m_routers.front()->m_fds[SOCK_STRAY] : m_routers[i]->m_fds[sock];
                // One datagram per socket and wake-up: the loop comes back at once while more wait, and
                // time-outs are looked at between two datagrams even under a flood.
                sockaddr_in from{};
                socklen_t fromLen = sizeof from;
                const ssize_t n = ::recvfrom(fd, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from),
                                             &fromLen);
                if (n < 0 || bStray)
                    continue;  // an ICMP report of an earlier send; the stray address only ever talks
                m_routers[i]->HandleDatagram(sock, from, buffer.data(), static_cast<std::size_t>(n));
                Reschedule(i);
            }
        }
        m_cv.notify_all();
    }
    FlushEvents();
    m_bRunning = false;
    m_cv.notify_all();
}

RouterSimStats SocketLoop::Stats(std::size_t i) const
{
    std::lock_guard lock(m_mutex);
    return i < m_routers.size() ? m_routers[i]->Stats() : RouterSimStats{};
}

RouterSimStats SocketLoop::Total() const
{
    std::lock_guard lock(m_mutex);
    if (m_routers.size() == 1)
        return m_routers.front()->Stats();
    RouterSimStats total;
    for (const auto& router : m_routers)
        Add(total, router->Stats());
    return total;
}

std::vector<TraceLine> SocketLoop::Trace(std::size_t i) const
{
    std::lock_guard lock(m_mutex);
    return i < m_routers.size() ? m_routers[i]->Trace() : std::vector<TraceLine>{};
}

bool SocketLoop::WaitFor(const std::function<bool(const RouterSimStats&)>& predicate,
                         std::chrono::milliseconds timeout, std::optional<std::size_t> router) const
{
    std::unique_lock lock(m_mutex);
    return m_cv.wait_for(lock, timeout, [&] {
        if (router)
            return *router < m_routers.size() && predicate(m_routers[*router]->Stats());
        if (m_routers.size() == 1)
            return predicate(m_routers.front()->Stats());
        RouterSimStats total;
        for (const auto& r : m_routers)
            Add(total, r->Stats());
        return predicate(total);
    });
}

}  // namespace velnor::sim
