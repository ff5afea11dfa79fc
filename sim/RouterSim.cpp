// The public face of the router simulator: a router alone (RouterSim) and a fleet (RouterFleet), both a
// socket loop over routers. The protocol lives in SimRouter, the fault switches in SimFaults, the trace
// and the shown texts in SimTrace, the files in SimStore and the loop in SimLoop.

#include "RouterSim.h"

#include "SimLoop.h"
#include "SimStore.h"

#include <set>

namespace velnor::sim {

// ---------------------------------------------------------------------------------------------------
// One router

class RouterSim::Impl {
public:
    explicit Impl(RouterSimOptions options)
        : loop(options, {LoopMember{options.listenAddress, options.root, options.silent}}, false)
    {
    }
    SocketLoop loop;
};

RouterSim::RouterSim(RouterSimOptions options) : m_pImpl(std::make_unique<Impl>(std::move(options))) {}

RouterSim::~RouterSim() = default;

bool RouterSim::Start(std::string* error)
{
    return m_pImpl->loop.Start(error);
}

void RouterSim::Stop()
{
    m_pImpl->loop.Stop();
}

bool RouterSim::IsRunning() const
{
    return m_pImpl->loop.IsRunning();
}

const RouterSimOptions& RouterSim::Options() const
{
    return m_pImpl->loop.Options();
}

std::uint16_t RouterSim::Port() const
{
    return m_pImpl->loop.Port(0);
}

RouterSimStats RouterSim::Stats() const
{
    return m_pImpl->loop.Stats(0);
}

std::vector<TraceLine> RouterSim::Trace() const
{
    return m_pImpl->loop.Trace(0);
}

bool RouterSim::WaitForTransfers(int n, std::chrono::milliseconds timeout) const
{
    return WaitFor([n](const RouterSimStats& s) { return s.transfersCompleted >= static_cast<std::uint64_t>(n); },
                   timeout);
}

bool RouterSim::WaitFor(const std::function<bool(const RouterSimStats&)>& predicate,
                        std::chrono::milliseconds timeout) const
{
    return m_pImpl->loop.WaitFor(predicate, timeout, 0);
}

// ---------------------------------------------------------------------------------------------------
// A fleet

namespace {

std::vector<LoopMember> Members(const RouterFleetOptions& o)
{
    const std::set<std::string> silent(o.silentAddresses.begin(), o.silentAddresses.end());
    std::set<std::string> seen;
    std::vector<LoopMember> members;
    for (const auto* list : {&o.addresses, &o.silentAddresses}) {
        for (const auto& address : *list) {
            if (seen.insert(address).second)
                members.push_back({address, {}, silent.count(address) > 0});
        }
    }
    // A router alone keeps its files in the root folder itself, as it always has; in a fleet each
    // answering router has a folder of its own.
    if (members.size() == 1)
        members.front().folder = o.router.root;
    else
        for (auto& m : members)
            if (!m.bSilent)
                m.folder = o.router.root / m.address;
    return members;
}

}  // namespace

class RouterFleet::Impl {
public:
    explicit Impl(RouterFleetOptions o)
        : options(std::move(o)), loop(options.router, Members(options), Members(options).size() > 1)
    {
    }

    bool PrepareFolders(std::string* error)
    {
        if (loop.Size() <= 1)
            return true;
        std::error_code ec;
        if (options.router.root.empty() || !std::filesystem::is_directory(options.router.root, ec)) {
            *error = "the root folder \"" + options.router.root.string() + "\" does not exist";
            return false;
        }
        for (std::size_t i = 0; i < loop.Size(); ++i) {
            const auto& m = loop.Member(i);
            if (m.bSilent)
                continue;
            std::filesystem::path folder;
            if (!PrepareRouterFolder(options.router.root, m.address, &folder, error))
                return false;
        }
        return true;
    }

    RouterFleetOptions options;
    SocketLoop loop;
};

RouterFleet::RouterFleet(RouterFleetOptions options) : m_pImpl(std::make_unique<Impl>(std::move(options))) {}

RouterFleet::~RouterFleet() = default;

bool RouterFleet::Start(std::string* error)
{
    std::string ignored;
    if (!error)
        error = &ignored;
    if (m_pImpl->loop.Size() == 0) {
        *error = "no router address was given";
        return false;
    }
    return m_pImpl->PrepareFolders(error) && m_pImpl->loop.Start(error);
}

void RouterFleet::Stop()
{
    m_pImpl->loop.Stop();
}

bool RouterFleet::IsRunning() const
{
    return m_pImpl->loop.IsRunning();
}

std::size_t RouterFleet::Size() const
{
    return m_pImpl->loop.Size();
}

const std::string& RouterFleet::Address(std::size_t i) const
{
    return m_pImpl->loop.Member(i).address;
}

bool RouterFleet::IsSilent(std::size_t i) const
{
    return m_pImpl->loop.Member(i).bSilent;
}

std::filesystem::path RouterFleet::Folder(std::size_t i) const
{
    return m_pImpl->loop.Member(i).folder;
}

std::uint16_t RouterFleet::Port(std::size_t i) const
{
    return m_pImpl->loop.Port(i);
}

RouterSimStats RouterFleet::Stats() const
{
    return m_pImpl->loop.Total();
}

RouterSimStats RouterFleet::Stats(std::size_t i) const
{
    return m_pImpl->loop.Stats(i);
}

std::vector<TraceLine> RouterFleet::Trace(std::size_t i) const
{
    return m_pImpl->loop.Trace(i);
}

bool RouterFleet::WaitFor(const std::function<bool(const RouterSimStats&)>& predicate,
                          std::chrono::milliseconds timeout) const
{
    return m_pImpl->loop.WaitFor(predicate, timeout, std::nullopt);
}

}  // namespace velnor::sim
