#pragma once
// The socket loop: one thread and one epoll set over the sockets of every router of a process, with one
// timer queue, so that a fleet of thousands of routers costs one thread, a handful of file descriptors
// per router and no work for a router that has nothing to do.

#include "RouterSim.h"
#include "SimRouter.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <queue>
#include <thread>
#include <vector>

namespace velnor::sim {

struct LoopMember {
    std::string address;
    std::filesystem::path folder;
    bool bSilent = false;
};

class SocketLoop {
public:
    // bFleet: event lines start with the router's address.
    SocketLoop(RouterSimOptions options, std::vector<LoopMember> members, bool bFleet);
    ~SocketLoop();
    SocketLoop(const SocketLoop&) = delete;
    SocketLoop& operator=(const SocketLoop&) = delete;

    bool Start(std::string* error);
    void Stop();
    bool IsRunning() const { return m_bRunning; }

    const RouterSimOptions& Options() const { return m_options; }
    std::size_t Size() const { return m_members.size(); }
    const LoopMember& Member(std::size_t i) const { return m_members[i]; }
    std::uint16_t Port(std::size_t i) const;

    RouterSimStats Stats(std::size_t i) const;
    RouterSimStats Total() const;
    std::vector<TraceLine> Trace(std::size_t i) const;
    bool WaitFor(const std::function<bool(const RouterSimStats&)>& predicate, std::chrono::milliseconds timeout,
                 std::optional<std::size_t> router) const;

private:
    void Run();
    void FlushEvents();
    void Reschedule(std::size_t i);
    int Watch(int fd, std::uint64_t tag, std::string* error);

    RouterSimOptions m_options;
    RouterSimOptions m_silentOptions;
    std::vector<LoopMember> m_members;
    const bool m_bFleet;

    std::atomic<bool> m_bRunning{false};
    std::atomic<bool> m_bStop{false};
    bool m_bStarted = false;

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_cv;
    std::vector<std::unique_ptr<Router>> m_routers;
    std::vector<std::uint16_t> m_ports;
    std::vector<std::string> m_pendingEvents;  // told outside the lock, so that a listener may call Stats()
    TraceFile m_traceFile;

    // Timer queue: (deadline, router). Each router has at most one live entry, the one equal to its
    // m_scheduled slot; entries that no longer match are dropped when they come up.
    using TimerEntry = std::pair<Clock::time_point, std::size_t>;
    std::priority_queue<TimerEntry, std::vector<TimerEntry>, std::greater<TimerEntry>> m_timers;
    std::vector<std::optional<Clock::time_point>> m_scheduled;

    std::vector<int> m_ownedFds;
    int m_epoll = -1;
    int m_wake = -1;
    std::thread m_thread;
    Clock::time_point m_start{};
    std::optional<Clock::time_point> m_end;
};

}  // namespace velnor::sim
