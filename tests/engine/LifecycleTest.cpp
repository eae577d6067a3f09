// The running tunnel with real child processes: fake ssh scripts stand in for OpenSSH.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#include "Bundle.h"
#include "FakeSsh.h"
#include "RetryPause.h"
#include "StatusRecorder.h"
#include "Tunnel.h"
#include "TunnelDriver.h"
#include "Wait.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testsupport::isAlive;
using testsupport::pastTheRetryPause;
using testsupport::waitUntil;

namespace {

std::string text(const std::string& key) { return Bundle::main().localizedString(key); }

// The options every ssh gets first, as they appear on its command line.
std::string forcedOptions() {
    std::string s;
    for (const auto& f : SshCommand::forcedOptions()) s += std::string(" -o ") + f.option;
    return s;
}

std::pair<std::string, int> phase(const StatusRecorder::Entry& e) { return {e.status, e.code}; }

}  // namespace

class Lifecycle : public ::testing::Test {
protected:
    void TearDown() override {
        for (auto& t : tunnels) t->run().stop();
        EXPECT_TRUE(TunnelDriver::waitUntilIdle(5s));
        RetryPolicy::setScale(1);
        SshCommand::setSshProgram("/usr/bin/ssh");
        TunnelDriver::setShutdown(false);
    }
    TunnelPtr tunnel(const std::string& name, const std::string& program) {
        SshCommand::setSshProgram(program);
        auto t = Tunnel::create(name);
        t->setValueForKey(Value("h"), "connHost");
        tunnels.push_back(t);
        return t;
    }
    // Stops running tunnels and waits until no ssh is left.
    static void stopAndWait(std::initializer_list<TunnelPtr> ts) {
        for (const auto& t : ts) {
            ASSERT_TRUE(waitUntil([&] { return t->run().isRunning(); }, 5s));
            t->run().stop();
        }
        ASSERT_TRUE(TunnelDriver::waitUntilIdle(5s));
    }

    FakeSsh fake;
    std::vector<TunnelPtr> tunnels;
    const std::pair<std::string, int> connecting{text("S_CONNECTING"), 1}, idle{text("S_IDLE"), 0},
        connected{text("S_CONNECTED"), 2};
};

TEST_F(Lifecycle, PauseDoublesAfterEachFailedRunUpToAMinuteAndResetsAfterAConnectedOne) {
    // Launches 1-8 fail at once, 9 connects and exits when told, 10 fails again.
    RetryPolicy::setScale(0.02);
    auto t = tunnel("backoff", fake.script("ssh", R"sh(
date +%s%N >> "$DIR/launches"
n=$(wc -l < "$DIR/launches")
if [ "$n" -eq 9 ]; then
    echo "debug1: Entering interactive session." >&2
    while [ ! -e "$DIR/go" ]; do sleep 0.01; done
    exit 255
fi
echo "ssh: connect to host h port 22: Connection refused" >&2
exit 255)sh"));
    StatusRecorder rec(*t);
    t->run().start();
    ASSERT_TRUE(rec.waitForStatus(text("S_CONNECTED"), 15s)) << ::testing::PrintToString(rec.distinctStatuses());
    EXPECT_EQ(t->run().lastError(), "");
    // While waiting: the middle image, the countdown and the reason.
    const auto statuses = rec.distinctStatuses();
    EXPECT_NE(std::find(statuses.begin(), statuses.end(), "Retrying in 1 s"), statuses.end())
        << ::testing::PrintToString(statuses);
    fake.touch("go");
    ASSERT_TRUE(waitUntil([&] { return fake.lines("launches").size() == 10; }, 5s));
    ASSERT_TRUE(waitUntil([&] { return t->run().state() == TunnelState::RetryWaiting; }, 5s));
    EXPECT_EQ(t->run().code(), 1);
    EXPECT_EQ(t->run().icon(), "middleState");
    EXPECT_EQ(t->run().lastError(), "ssh: connect to host h port 22: Connection refused");
    EXPECT_TRUE(t->run().isWanted());
    t->run().stop();  // in the pause: no further run
    ASSERT_TRUE(TunnelDriver::waitUntilIdle(5s));
    RetryPolicy::setScale(1);
    EXPECT_EQ(t->run().lastError(), "");  // a stopped tunnel has nothing to explain
    EXPECT_EQ(t->run().status(), text("S_IDLE"));

    const auto launches = fake.lines("launches");
    ASSERT_EQ(launches.size(), 10u);
    const double expected[] = {1, 2, 4, 8, 16, 32, 60, 60, -1, 1};  // seconds, before scaling; -1: a connected run
    for (size_t i = 0; i + 1 < launches.size(); ++i) {
        if (expected[i] < 0) continue;
        const double gapMs = static_cast<double>(std::stoll(launches[i + 1]) - std::stoll(launches[i])) / 1e6;
        EXPECT_GE(gapMs, expected[i] * 20 * 0.95) << "pause " << i;
        EXPECT_LT(gapMs, expected[i] * 20 + 150) << "pause " << i;
    }
}

TEST_F(Lifecycle, StartInThePauseRetriesAtOnceAndStartRightAfterStopStartsAgain) {
    auto t = tunnel("restart", fake.script("ssh", R"sh(
date +%s%N >> "$DIR/launches"
if [ "$(wc -l < "$DIR/launches")" -eq 1 ]; then exit 255; fi
echo "debug1: Entering interactive session." >&2
exec sleep 1000)sh"));
    StatusRecorder rec(*t);
    t->run().start();
    ASSERT_TRUE(waitUntil([&] { return t->run().state() == TunnelState::RetryWaiting; }, 5s));
    const auto clicked = Clock::now();
    t->run().start();  // the one-second pause is cut short
    ASSERT_TRUE(rec.waitForStatus(text("S_CONNECTED"), 5s));
    EXPECT_LT(Clock::now() - clicked, 700ms);

    // Stop, then start before the stopped ssh has even ended: the tunnel runs again.
    for (size_t round = 0; round < 3; ++round) {
        t->run().stop();
        EXPECT_EQ(t->run().code(), 0);
        t->run().start();
        ASSERT_TRUE(waitUntil([&] { return fake.lines("launches").size() == 3 + round && t->run().code() == 2; }, 5s))
            << "round " << round;
        EXPECT_TRUE(t->run().isWanted());
    }
    // No late "Connected" after a stop (once the post of the last line is in).
    ASSERT_TRUE(rec.waitFor([](const auto& es) { return !es.empty() && es.back().code == 2; }, 5s));
    rec.clear();
    t->run().stop();
    ASSERT_TRUE(TunnelDriver::waitUntilIdle(5s));
    for (const auto& e : rec.entries()) EXPECT_EQ(e.code, 0);
    EXPECT_EQ(t->run().state(), TunnelState::Idle);
}

TEST_F(Lifecycle, StopEndsTheProcessGroupAndDoesNotRestart) {
    RetryPolicy::setScale(0.1);  // a restart would come within the wait at the end
    auto t = tunnel("stop", fake.script("ssh", R"sh(
sleep 1000 &
echo "$$ $!" >> "$DIR/pids"
echo "debug1: Entering interactive session." >&2
wait)sh"));
    StatusRecorder rec(*t);
    t->run().stop();  // idle: nothing to do, nothing posted
    EXPECT_EQ(rec.count(), 0u);
    t->run().start();
    // The start's notice, then the line's (one per chunk of output that changed something).
    ASSERT_TRUE(rec.waitFor([](const auto& es) { return es.size() == 2; }, 5s));
    EXPECT_EQ(phase(rec.entries()[1]), connected);
    ASSERT_EQ(fake.lines("pids").size(), 1u);
    pid_t ssh = 0, child = 0;
    std::istringstream(fake.lines("pids")[0]) >> ssh >> child;
    ASSERT_TRUE(isAlive(ssh) && isAlive(child));
    t->run().start();  // running: nothing happens, nothing is posted
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(rec.count(), 2u);

    const auto stopAt = Clock::now();
    t->run().stop();
    EXPECT_EQ(t->run().code(), 0);
    EXPECT_EQ(t->run().status(), text("S_IDLE"));
    // Posted on this thread before stopTunnel returned; the exit's own may follow at once.
    EXPECT_GE(rec.count(), 3u);
    ASSERT_TRUE(TunnelDriver::waitUntilIdle(5s));
    auto entries = rec.entries();
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(phase(entries[2]), idle);
    EXPECT_EQ(phase(entries[3]), idle);
    EXPECT_LT(entries[3].at - stopAt, 900ms);  // a stopped tunnel waits for nothing
    EXPECT_FALSE(isAlive(ssh));
    EXPECT_TRUE(waitUntil([&] { return !isAlive(child); }, 2s)) << "the ssh's child outlived the stop";
    std::this_thread::sleep_for(pastTheRetryPause());
    EXPECT_EQ(fake.lines("pids").size(), 1u);
    EXPECT_FALSE(t->run().isActive());
    EXPECT_EQ(rec.count(), 4u);
}

TEST_F(Lifecycle, SshDiesWithTheApplication) {
    // The application is this test program run again: its engine loop must be its own, not a
    // copy forked from a process that has one.
    if (const char* program = getenv("ZANDREL_ORPHAN_SSH")) {
        SshCommand::setSshProgram(program);
        auto t = Tunnel::create("orphan");
        t->setValueForKey(Value("h"), "connHost");
        t->run().start();
        const std::string pidFile = std::filesystem::path(program).parent_path() / "pid";
        waitUntil([&] { return std::filesystem::exists(pidFile); }, 5s);
        _exit(0);  // no stop: the application just goes away
    }
    const std::string program = fake.script("ssh", R"sh(echo "$$" > "$DIR/pid.tmp"; mv "$DIR/pid.tmp" "$DIR/pid"
exec sleep 1000)sh");
    char self[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
    const std::string filter = "--gtest_filter=Lifecycle.SshDiesWithTheApplication";
    pid_t app = fork();
    ASSERT_GE(app, 0);
    if (app == 0) {
        setenv("ZANDREL_ORPHAN_SSH", program.c_str(), 1);
        execl(self, self, filter.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(app, &status, 0);
    ASSERT_EQ(fake.lines("pid").size(), 1u);
    pid_t ssh = std::stoi(fake.lines("pid")[0]);
    EXPECT_TRUE(waitUntil([&] { return !isAlive(ssh); }, 3s));
    if (isAlive(ssh)) kill(ssh, SIGKILL);
}

TEST_F(Lifecycle, LaunchPathAndEnvironment) {
    // A copy of the resources whose "ssh" is a fake: the SOCKS4 path must be taken from there.
    testsupport::TempDir resources("zandrel-resources");
    const std::string original = Bundle::main().resourceDir();
    std::filesystem::copy(original, resources.path(), std::filesystem::copy_options::recursive);
    const std::string report = R"sh(
env > "$DIR/env-$TUNNEL_NAME"
ls -l /proc/self/fd > "$DIR/fds-$TUNNEL_NAME"
echo "$0 $*" > "$DIR/cmd-$TUNNEL_NAME"
exec sleep 1000)sh";
    std::filesystem::remove(resources.file("ssh"));
    std::filesystem::copy_file(fake.script("resource-ssh", report), resources.file("ssh"));
    Bundle::main().setResourceDir(resources.path());

    setenv("SSH_AUTH_SOCK", "/tmp/agent.socket", 1);
    setenv("SSH_AGENT_PID", "4242", 1);
    setenv("DISPLAY", ":7", 1);
    setenv("SSH_ASKPASS", "/inherited/askpass", 1);
    setenv("SSH_ASKPASS_REQUIRE", "never", 1);
    // A descriptor some library opened without close-on-exec must not reach ssh either.
    int stray = open("/dev/zero", O_RDONLY);
    ASSERT_GE(stray, 3);

    auto withAuth = tunnel("with auth", fake.script("ssh", report));
    withAuth->setValueForKey(Value(true), "socks4");
    auto without = tunnel("without", fake.file("ssh"));
    without->setValueForKey(Value(false), "connAuth");
    withAuth->run().start();
    without->run().start();
    bool reported =
        waitUntil([&] { return !fake.lines("cmd-with auth").empty() && !fake.lines("cmd-without").empty(); }, 5s);
    close(stray);
    for (const char* v : {"SSH_AUTH_SOCK", "SSH_AGENT_PID", "DISPLAY", "SSH_ASKPASS", "SSH_ASKPASS_REQUIRE"})
        unsetenv(v);
    stopAndWait({withAuth, without});
    Bundle::main().setResourceDir(original);
    ASSERT_TRUE(reported);

    const std::string fixed = " -N -v" + forcedOptions() + " -o ServerAliveInterval=15 -o ServerAliveCountMax=3";
    EXPECT_EQ(fake.lines("cmd-with auth")[0], resources.file("ssh") + fixed + " -D 1080 h");
    EXPECT_EQ(fake.lines("cmd-without")[0], fake.file("ssh") + fixed + " h");
    auto envOf = [&](const std::string& name) {
        std::map<std::string, std::string> env;
        for (const auto& l : fake.lines("env-" + name)) env[l.substr(0, l.find('='))] = l.substr(l.find('=') + 1);
        return env;
    };
    auto on = envOf("with auth");
    // The agent stays: ssh offers its keys before asking us.
    EXPECT_EQ(on["SSH_AUTH_SOCK"], "/tmp/agent.socket");
    EXPECT_EQ(on["SSH_AGENT_PID"], "4242");
    EXPECT_EQ(on["SSH_ASKPASS"], resources.file("askForPass.sh"));
    EXPECT_EQ(on["DISPLAY"], ":7");  // the session's own: X11 forwarding goes nowhere else
    EXPECT_EQ(on["SSH_ASKPASS_REQUIRE"], "force");
    EXPECT_EQ(on["TUNNEL_NAME"], "with auth");
    EXPECT_EQ(on["XDG_CONFIG_HOME"], getenv("XDG_CONFIG_HOME"));  // the rest passes through
    auto off = envOf("without");
    EXPECT_EQ(off["SSH_AUTH_SOCK"], "/tmp/agent.socket");
    EXPECT_EQ(off["SSH_AGENT_PID"], "4242");
    EXPECT_EQ(off["DISPLAY"], ":7");
    EXPECT_EQ(off["SSH_ASKPASS"], "/inherited/askpass");
    EXPECT_EQ(off["SSH_ASKPASS_REQUIRE"], "never");
    EXPECT_EQ(off["TUNNEL_NAME"], "without");

    // The shell's descriptors as ls inherited them: 0 and 1 ours, 2 the status pipe, and
    // nothing else but the one ls opens itself to read the list.
    char ownIn[256] = {};
    ASSERT_GT(readlink("/proc/self/fd/0", ownIn, sizeof ownIn - 1), 0);
    for (const char* name : {"fds-with auth", "fds-without"}) {
        std::map<int, std::string> fds;
        for (const auto& l : fake.lines(name)) {
            auto arrow = l.find(" -> ");
            if (arrow == std::string::npos) continue;
            auto space = l.rfind(' ', arrow - 1);
            fds[std::stoi(l.substr(space + 1, arrow - space - 1))] = l.substr(arrow + 4);
        }
        EXPECT_EQ(fds[0], ownIn) << name;
        EXPECT_EQ(fds[2].rfind("pipe:", 0), 0u) << name;
        ASSERT_EQ(fds.size(), 4u) << name << ": " << ::testing::PrintToString(fds);
        EXPECT_EQ(fds[3].rfind("/proc/", 0), 0u) << name;
    }
}

TEST_F(Lifecycle, ProgramThatCannotStartLeavesTheTunnelIdleWithItsReason) {
    auto missing = tunnel("missing", "/nonexistent/zandrel-ssh");
    StatusRecorder recMissing(*missing);
    testsupport::TempDir resources("zandrel-resources");  // resources without an "ssh"
    const std::string original = Bundle::main().resourceDir();
    std::filesystem::copy_file(original + "/Info.json", resources.file("Info.json"));
    Bundle::main().setResourceDir(resources.path());
    auto socks = tunnel("socks", "/nonexistent/zandrel-ssh");
    socks->setValueForKey(Value(true), "socks4");
    StatusRecorder recSocks(*socks);
    RetryPolicy::setScale(0.1);  // a retry would come within the wait below
    missing->run().start();
    socks->run().start();
    ASSERT_TRUE(waitUntil(
        [&] {
            return recMissing.count() > 0 && recSocks.count() > 0 && !missing->run().isActive() &&
                   !socks->run().isActive();
        },
        5s));
    std::this_thread::sleep_for(pastTheRetryPause());
    Bundle::main().setResourceDir(original);
    for (auto [t, rec] : {std::pair{missing, &recMissing}, std::pair{socks, &recSocks}}) {
        EXPECT_FALSE(t->run().isActive());
        EXPECT_EQ(rec->count(), 1u) << t->connName();
        EXPECT_EQ(t->run().code(), 0);
        EXPECT_EQ(t->run().status(), text("S_IDLE"));
    }
    EXPECT_EQ(missing->run().lastError(), "cannot run /nonexistent/zandrel-ssh: No such file or directory");
    EXPECT_NE(socks->run().lastError().find("missing"), std::string::npos) << socks->run().lastError();
}

TEST_F(Lifecycle, ShutdownSwitchStopsRelaunching) {
    auto t = tunnel("quit", fake.script("ssh", R"sh(echo x >> "$DIR/launches"; exit 1)sh"));
    t->run().start();
    ASSERT_TRUE(waitUntil([&] { return fake.lines("launches").size() == 1 && !t->run().isRunning(); }, 5s));
    const auto thrown = Clock::now();
    TunnelDriver::setShutdown(true);
    ASSERT_TRUE(TunnelDriver::waitUntilIdle(5s));
    EXPECT_LT(Clock::now() - thrown, 500ms);  // the pause is cut short
    RetryPolicy::setScale(0.1);               // any run, even after a pause, would come within the wait
    t->run().start();
    Tunnel::create("another")->run().start();
    std::this_thread::sleep_for(pastTheRetryPause());
    EXPECT_EQ(fake.lines("launches").size(), 1u);
    EXPECT_FALSE(t->run().isActive());
    EXPECT_EQ(t->run().status(), text("S_IDLE"));
}

TEST_F(Lifecycle, SettingsAndLastErrorCarryIntoTheNextRun) {
    auto t = tunnel("carry", fake.script("ssh", R"sh(
echo "$*" >> "$DIR/args"
if [ "$(wc -l < "$DIR/args")" -eq 1 ]; then
    printf 'Permission den' >&2; sleep 0.2; printf 'ied (publickey).\r\n' >&2
    echo "Warning: Permanently added 'h' (ED25519) to the list of known hosts." >&2
    echo "debug1: Next authentication method: password" >&2
    while [ ! -e "$DIR/go" ]; do sleep 0.02; done
    exit 255
fi
echo 'Authenticated to h ([127.0.0.1]:22) using "publickey".' >&2
while [ ! -e "$DIR/go2" ]; do sleep 0.02; done
echo "debug1: Entering interactive session." >&2
exec sleep 1000)sh"));
    StatusRecorder rec(*t);
    t->run().start();
    ASSERT_TRUE(waitUntil([&] { return fake.lines("args").size() == 1; }, 5s));
    t->setValueForKey(Value("2222"), "connPort");  // as the preferences editor saves it
    const std::string fixed = " -o ServerAliveInterval=15 -o ServerAliveCountMax=3 h";
    fake.touch("go");
    ASSERT_TRUE(rec.waitForStatus(text("S_AUTH"), 5s));
    EXPECT_EQ(fake.lines("args"), (std::vector<std::string>{"-N -v" + forcedOptions() + fixed,
                                                            "-N -v" + forcedOptions() + " -p 2222" + fixed}));
    EXPECT_EQ(t->run().lastError(), "Permission denied (publickey).");  // kept until a run connects
    fake.touch("go2");
    ASSERT_TRUE(rec.waitForStatus(text("S_CONNECTED"), 5s));
    EXPECT_EQ(t->run().lastError(), "");
}
