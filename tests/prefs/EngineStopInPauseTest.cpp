// The engine side of deleting a tunnel: a stop in the pause after an exit, when no ssh runs,
// still cancels the restart the launch thread is waiting to make.
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ROZUdivev.h"

using namespace std::chrono_literals;

namespace {
int lines(const std::string& path) {
    std::ifstream in(path);
    int n = 0;
    for (std::string l; std::getline(in, l);) ++n;
    return n;
}

template <class F>
bool waitUntil(F f, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (f()) return true;
        std::this_thread::sleep_for(10ms);
    }
    return f();
}
}  // namespace

TEST(EngineStopInPause, StopDuringThePauseCancelsTheRestart) {
    char dirTemplate[] = "/tmp/zandrel-stop-XXXXXX";
    ASSERT_NE(mkdtemp(dirTemplate), nullptr);
    const std::string dir = dirTemplate;
    const std::string runs = dir + "/runs";
    const std::string ssh = dir + "/ssh";
    {
        std::ofstream s(ssh);
        s << "#!/bin/sh\necho $$ >> '" << runs << "'\nexit 255\n";
    }
    chmod(ssh.c_str(), 0700);
    const std::string old = ROZUdivev::sshProgram();
    ROZUdivev::setSshProgram(ssh);

    auto t = ROZUdivev::create("pause");
    t->setValueForKey(Value(false), "connAuth");
    t->startTunnel();
    ASSERT_TRUE(waitUntil([&] { return lines(runs) == 1 && !t->isRunning() && t->hasLaunchThread(); }, 5s));
    t->stopTunnel();
    EXPECT_TRUE(waitUntil([&] { return !t->hasLaunchThread(); }, 3s));
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(lines(runs), 1);
    // The tunnel starts again when asked to.
    t->startTunnel();
    EXPECT_TRUE(waitUntil([&] { return lines(runs) == 2; }, 3s));
    t->stopTunnel();
    EXPECT_TRUE(ROZUdivev::waitForLaunchThreads(5s));
    ROZUdivev::setSshProgram(old);
    std::system(("rm -rf '" + dir + "'").c_str());
}
