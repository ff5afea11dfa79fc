#pragma once
// The router simulator on the tests' router port of an address of the test's own, serving a folder of its
// own; for test binaries that link the simulator.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>

#include "RouterSim.h"
#include "TestSupport.h"

namespace testsupport {

class RouterFixture : public ::testing::Test {
protected:
    void SetUp() override { m_strRouter = LoopbackAddressForTest(); }

    // Starts the router, in place of one already running, with these options on the test's address,
    // the tests' router port and the router's folder.
    velnor::sim::RouterSim& StartRouter(velnor::sim::RouterSimOptions options = {})
    {
        m_pSim.reset();
        options.listenAddress = m_strRouter;
        options.port = kTestRouterPort;
        options.root = m_routerDir.Path();
        m_pSim = std::make_unique<velnor::sim::RouterSim>(std::move(options));
        std::string error;
        EXPECT_TRUE(m_pSim->Start(&error)) << error;
        return *m_pSim;
    }

    TempDir m_routerDir;
    TempDir m_localDir;
    std::string m_strRouter;
    std::unique_ptr<velnor::sim::RouterSim> m_pSim;
};

}  // namespace testsupport
