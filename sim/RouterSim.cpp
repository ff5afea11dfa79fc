#include "RouterSim.h"

namespace velnor::sim {

class RouterSim::Impl {
public:
    explicit Impl(RouterSimOptions options) : m_options(std::move(options)) {}
    RouterSimOptions m_options;
};

std::string TraceLine::Text() const { return {}; }

RouterSim::RouterSim(RouterSimOptions options) : m_pImpl(std::make_unique<Impl>(std::move(options))) {}
RouterSim::~RouterSim() = default;
bool RouterSim::Start(std::string* error)
{
    if (error)
        *error = "the router simulator is not finished yet";
    return false;
}
void RouterSim::Stop() {}
bool RouterSim::IsRunning() const { return false; }
const RouterSimOptions& RouterSim::Options() const { return m_pImpl->m_options; }
std::uint16_t RouterSim::Port() const { return m_pImpl->m_options.port; }
RouterSimStats RouterSim::Stats() const { return {}; }
std::vector<TraceLine> RouterSim::Trace() const { return {}; }
bool RouterSim::WaitForTransfers(int, std::chrono::milliseconds) const { return false; }
bool RouterSim::WaitFor(const std::function<bool(const RouterSimStats&)>&, std::chrono::milliseconds) const
{
    return false;
}

}  // namespace velnor::sim
