// Entry point of the engine's test programs: a private XDG_CONFIG_HOME and XDG_STATE_HOME, and the resources of
// this build tree (not of an installed Zandrel).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "Bundle.h"
#include "TempDir.h"
#include "Tunnel.h"
#include "TunnelDriver.h"

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    testsupport::TempDir config("zandrel-config");
    setenv("XDG_CONFIG_HOME", config.path().c_str(), 1);
    setenv("XDG_STATE_HOME", (config.path() + "/state").c_str(), 1);  // tunnel journals
    Bundle::main().setResourceDir(ZANDREL_TEST_RESOURCES);
    int rc = RUN_ALL_TESTS();
    // Every ssh must be reaped before the statics the engine uses go.
    TunnelDriver::setShutdown(true);
    if (!TunnelDriver::waitUntilIdle(std::chrono::seconds(5))) {
        std::fputs("an ssh outlived the tests\n", stderr);
        return 1;
    }
    return rc;
}
