// The one loop that runs every tunnel's ssh: its threads, and what a stop or a reconnect does to
// the retry pause as the user sees it.
#include <dirent.h>
#include <gtest/gtest.h>

#include <thread>

#include "Bundle.h"
#include "FakeSsh.h"
#include "Tunnel.h"
#include "TunnelDriver.h"
#include "Wait.h"

using namespace std::chrono_literals;
using testsupport::waitUntil;

namespace {

int threadCount() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/task")) {
        while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

struct Driver : ::testing::Test {
    FakeSsh fake;
    TunnelList tunnels;
    TunnelPtr add(const std::string& name) {
        auto t = Tunnel::create(name);
        t->setValueForKey(Value("h"), "connHost");
        tunnels.push_back(t);
        return t;
    }
    void TearDown() override {
        for (const auto& t : tunnels) t->run().stop();
        EXPECT_TRUE(TunnelDriver::waitUntilIdle(5s));
        SshCommand::setSshProgram("/usr/bin/ssh");
        RetryPolicy::setScale(1);
    }
};

}  // namespace

TEST_F(Driver, FiftyConnectedTunnelsCostAtMostTwoThreads) {
    SshCommand::setSshProgram(fake.script("ssh", R"sh(echo "debug1: Entering interactive session." >&2
exec sleep 1000)sh"));
    const int before = threadCount();
    for (int i = 0; i < 50; ++i) {
        const std::string number = std::to_string(i);  // named: GCC 12 -O3 misreports "t" + a temporary
        add("t" + number)->run().start();
    }
    ASSERT_TRUE(waitUntil(
        [&] {
            return std::all_of(tunnels.begin(), tunnels.end(), [](const TunnelPtr& t) { return t->run().code() == 2; });
        },
        10s));
    EXPECT_LE(threadCount(), before + 2);
}

TEST_F(Driver, StopInThePauseLaunchesNothingAndReconnectStartsThePauseOver) {
    RetryPolicy::setScale(0.05);  // pauses of 50, 100, 200, 400 ms …
    SshCommand::setSshProgram(fake.script("ssh", R"sh(date +%s%N >> "$DIR/launches-$TUNNEL_NAME"; exit 255)sh"));
    auto stopped = add("stopped");
    stopped->run().start();
    ASSERT_TRUE(waitUntil([&] { return stopped->run().state() == TunnelState::RetryWaiting; }, 10s));
    stopped->run().stop();
    std::this_thread::sleep_for(150ms);  // three times the pause it was in
    EXPECT_EQ(fake.lines("launches-stopped").size(), 1u);
    EXPECT_EQ(stopped->run().state(), TunnelState::Idle);

    auto again = add("again");
    again->run().start();
    ASSERT_TRUE(waitUntil([&] { return fake.lines("launches-again").size() == 5; }, 10s));  // next pause: 800 ms
    ASSERT_TRUE(waitUntil([&] { return again->run().state() == TunnelState::RetryWaiting; }, 10s));
    again->run().reconnect();  // at once, and the pause after it is the first one again
    ASSERT_TRUE(waitUntil([&] { return fake.lines("launches-again").size() == 7; }, 2s));
    const auto launches = fake.lines("launches-again");
    const double lastGapMs = static_cast<double>(std::stoll(launches[6]) - std::stoll(launches[5])) / 1e6;
    EXPECT_LT(lastGapMs, 400) << "the pause did not start over";
}

TEST_F(Driver, AnSshThatIgnoresItsStopIsKilled) {
    SshCommand::setSshProgram(fake.script("ssh", R"sh(trap '' TERM
echo "debug1: Entering interactive session." >&2
while :; do sleep 0.1; done)sh"));
    auto stubborn = add("stubborn");
    stubborn->run().start();
    ASSERT_TRUE(waitUntil([&] { return stubborn->run().isConnected(); }, 5s));
    const auto stopped = std::chrono::steady_clock::now();
    stubborn->run().stop();
    EXPECT_TRUE(TunnelDriver::waitUntilIdle(TunnelRun::kEndGrace + 2s));
    EXPECT_FALSE(stubborn->run().isRunning());
    EXPECT_GE(std::chrono::steady_clock::now() - stopped, TunnelRun::kEndGrace - 100ms);
}

TEST_F(Driver, OneServerGetsAtMostEightHandshakesAtOnceAndEveryTunnelConnects) {
    SshCommand::setSshProgram(fake.script("ssh", R"sh(echo + >> "$DIR/flight"; sleep 0.2; echo - >> "$DIR/flight"
echo "debug1: Authentication succeeded (publickey)." >&2
echo "debug1: Entering interactive session." >&2
exec sleep 1000)sh"));
    for (int i = 0; i < 20; ++i) {
        const std::string number = std::to_string(i);
        add("paced" + number)->run().start();
    }
    ASSERT_TRUE(waitUntil(
        [&] {
            return std::all_of(tunnels.begin(), tunnels.end(), [](const TunnelPtr& t) { return t->run().code() == 2; });
        },
        20s));
    size_t now = 0, most = 0;  // ssh between their start and their login
    for (const auto& mark : fake.lines("flight")) most = std::max(most, mark == "+" ? ++now : --now);
    EXPECT_LE(most, size_t(TunnelDriver::kHandshakesPerServer));
    EXPECT_GE(most, 2u) << "paced one at a time";
}

TEST_F(Driver, ALaunchWaitingForItsServerShowsStartingAndAStopCancelsIt) {
    // None of them logs in: each keeps its handshake until it ends.
    SshCommand::setSshProgram(fake.script("ssh", R"sh(echo "$TUNNEL_NAME" >> "$DIR/launched"; exec sleep 1000)sh"));
    for (int i = 0; i < TunnelDriver::kHandshakesPerServer; ++i) {
        const std::string number = std::to_string(i);
        add("busy" + number)->run().start();
    }
    ASSERT_TRUE(waitUntil([&] { return fake.lines("launched").size() == 8; }, 10s));
    auto queued = add("queued"), next = add("next");
    queued->run().start();
    next->run().start();
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(fake.lines("launched").size(), 8u);
    EXPECT_EQ(queued->run().code(), 1);
    EXPECT_EQ(queued->run().status(), Bundle::main().localizedString("S_CONNECTING"));
    queued->run().stop();
    tunnels.front()->run().stop();  // its handshake goes to the next launch still waiting
    ASSERT_TRUE(waitUntil([&] { return fake.lines("launched").size() == 9; }, 5s));
    EXPECT_EQ(fake.lines("launched").back(), "next");
}
