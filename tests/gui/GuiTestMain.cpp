// Entry point of the GUI test programs: offscreen widgets, a private XDG_CONFIG_HOME and the
// resources of this build tree.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "Bundle.h"
#include "TempDir.h"
#include "Tunnel.h"
#include "TunnelDriver.h"

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    testsupport::TempDir config("zandrel-gui-config");
    setenv("XDG_CONFIG_HOME", config.path().c_str(), 1);
    setenv("XDG_STATE_HOME", (config.path() + "/state").c_str(), 1);  // tunnel journals
    Bundle::main().setResourceDir(ZANDREL_TEST_RESOURCES);
    const int rc = RUN_ALL_TESTS();
    TunnelDriver::setShutdown(true);
    if (!TunnelDriver::waitUntilIdle(std::chrono::seconds(5))) {
        std::fputs("an ssh outlived the tests\n", stderr);
        return 1;
    }
    return rc;
}
