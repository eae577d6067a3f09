// The engine against the real OpenSSH: a sshd on 127.0.0.1 and an ssh-agent started here, run
// inside isolated.sh, which puts a private tmpfs over ~/.ssh (known_hosts is written there).
#include <gtest/gtest.h>
#include <linux/magic.h>
#include <pwd.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <condition_variable>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "Bundle.h"
#include "EchoServer.h"
#include "FakeSsh.h"
#include "HeldForwards.h"
#include "LoopbackPort.h"
#include "NotificationCenter.h"
#include "ProcessProbe.h"
#include "RetryPolicy.h"
#include "SshAgent.h"
#include "SshCommand.h"
#include "SshdFixture.h"
#include "StatusRecorder.h"
#include "TempDir.h"
#include "Tunnel.h"
#include "TunnelDriver.h"
#include "Wait.h"

using namespace std::chrono_literals;
using namespace testsupport;

namespace {

std::string text(const std::string& key) { return Bundle::main().localizedString(key); }

std::string sshHome() {
    const passwd* pw = getpwuid(getuid());
    return std::string(pw ? pw->pw_dir : "/nonexistent") + "/.ssh";
}

// True when `wanted` appears in `seen` in this order (other texts may stand between).
bool inOrder(const std::vector<std::string>& seen, const std::vector<std::string>& wanted) {
    size_t i = 0;
    for (const auto& s : seen)
        if (i < wanted.size() && s == wanted[i]) ++i;
    return i == wanted.size();
}

// The texts of the tunnel's journal, oldest first.
std::vector<std::string> eventTexts(const Tunnel& t) {
    std::vector<std::string> texts;
    for (const JournalEvent& e : t.journal()->events()) texts.push_back(e.text);
    return texts;
}

// Takes the agent away from the tunnels started while it lives.
struct WithoutAgent {
    std::string socket = getenv("SSH_AUTH_SOCK") ? getenv("SSH_AUTH_SOCK") : "";
    WithoutAgent() { unsetenv("SSH_AUTH_SOCK"); }
    ~WithoutAgent() { setenv("SSH_AUTH_SOCK", socket.c_str(), 1); }
};

}  // namespace

class EngineE2e : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        struct statfs fs {};
        if (statfs(sshHome().c_str(), &fs) != 0 || fs.f_type != TMPFS_MAGIC) return;  // each test skips
        sshd = new SshdFixture;
        agent = new SshAgent;
        if (!sshd->start() || !agent->start() || !agent->addKey(sshd->clientKeyPath()) ||
            !sshd->writeKnownHosts(sshHome() + "/known_hosts"))
            return;
        setenv("SSH_AUTH_SOCK", agent->socketPath().c_str(), 1);
        ready = true;
    }
    static void TearDownTestSuite() {
        delete agent;
        delete sshd;
    }
    void SetUp() override {
        if (!sshd) GTEST_SKIP() << sshHome() << " is not a private tmpfs: run under tests/e2e/isolated.sh";
        ASSERT_TRUE(ready) << sshd->error() << agent->error() << "\n" << sshd->log();
        if (!sshd->isRunning()) {  // a failed test may have left it off
            ASSERT_TRUE(sshd->restart()) << sshd->error();
        }
    }
    // Ends every tunnel, also those that fail so fast that a stop would meet no running ssh.
    void TearDown() override {
        TunnelDriver::setShutdown(true);
        for (auto& t : tunnels) t->run().stop();
        EXPECT_TRUE(TunnelDriver::waitUntilIdle(5s));
        TunnelDriver::setShutdown(false);
        EXPECT_TRUE(waitUntil([] { return ProcessProbe::childrenNamed("ssh").empty(); }, 3s));
    }
    TunnelPtr tunnel(const std::string& name) {
        auto t = Tunnel::create(name);
        t->setValueForKey(Value(false), "connAuth");  // the agent authenticates
        t->setValueForKey(Value("127.0.0.1"), "connHost");
        t->setValueForKey(Value(std::to_string(sshd->port())), "connPort");
        t->setValueForKey(Value(SshdFixture::userName()), "connUser");
        tunnels.push_back(t);
        return t;
    }

    // A local forward from port to the echo server on this computer.
    static void forwardTo(const TunnelPtr& t, int port, const EchoServer& echo) {
        t->addLocalTunnel(
            {{"port", std::to_string(port)}, {"host", "127.0.0.1"}, {"hostport", std::to_string(echo.port())}});
    }

    static inline SshdFixture* sshd = nullptr;
    static inline SshAgent* agent = nullptr;
    static inline bool ready = false;
    std::vector<TunnelPtr> tunnels;
};

TEST_F(EngineE2e, ForwardCarriesBytesSurvivesAServerRestartAndStopsClean) {
    EchoServer echo;
    ASSERT_TRUE(echo.start());
    const int port = LoopbackPort::pickFree();
    auto t = tunnel("forward");
    forwardTo(t, port, echo);
    StatusRecorder rec(*t);
    t->run().start();
    ASSERT_TRUE(rec.waitForStatus(text("S_CONNECTED"), 15s))
        << ::testing::PrintToString(rec.distinctStatuses()) << t->run().lastError();
    // ssh may write the login, the forwards and the session in one go: one notice, with the last.
    EXPECT_TRUE(inOrder(rec.distinctStatuses(), {text("S_CONNECTING"), text("S_CONNECTED")}))
        << ::testing::PrintToString(rec.distinctStatuses());
    EXPECT_EQ(t->run().code(), 2);
    EXPECT_EQ(t->run().lastError(), "");

    // The server goes away: ssh reports it, and the tunnel keeps trying on its own. Only once
    // ssh has gone quiet: while it still has something to send (its first exchanges after login,
    // a forwarded connection being closed) it says "client_loop: send disconnect: Broken pipe".
    ASSERT_TRUE(waitUntil([&] { return StatusRecorder::Clock::now() - rec.entries().back().at > 500ms; }, 5s));
    rec.clear();
    sshd->stop();
    ASSERT_TRUE(rec.waitForStatus("Connection closed", 5s))
        << ::testing::PrintToString(rec.distinctStatuses()) << t->run().lastError();
    ASSERT_TRUE(rec.waitFor([](const auto& es) { return es.size() > 0 && es.back().code == 1; }, 5s));
    EXPECT_TRUE(waitUntil([&] { return t->run().lastError().find("Connection refused") != std::string::npos; }, 5s))
        << t->run().lastError();
    rec.clear();
    ASSERT_TRUE(sshd->restart()) << sshd->error();
    ASSERT_TRUE(rec.waitForStatus(text("S_CONNECTED"), 10s)) << ::testing::PrintToString(rec.distinctStatuses());
    EXPECT_EQ(t->run().lastError(), "");
    const std::string bytes = "through the tunnel \x01\xff";
    EXPECT_EQ(EchoServer::roundTrip(port, bytes, 5000), bytes);
    EXPECT_EQ(EchoServer::roundTrip(port, std::string(100000, 'z'), 5000).size(), 100000u);

    ASSERT_FALSE(ProcessProbe::childrenNamed("ssh").empty());
    t->run().stop();
    ASSERT_TRUE(TunnelDriver::waitUntilIdle(5s));
    EXPECT_TRUE(ProcessProbe::childrenNamed("ssh").empty());
    EXPECT_FALSE(LoopbackPort::isListening(port));
    EXPECT_EQ(t->run().status(), text("S_IDLE"));
}

TEST_F(EngineE2e, CiphersAndForwardFormsThatOpenSshAccepts) {
    // "3des" (the old default) must not reach ssh; a current cipher does, with "-c".
    auto old = tunnel("old cipher");
    old->setValueForKey(Value("3des"), "encryption");
    auto chosen = tunnel("chosen cipher");
    chosen->setValueForKey(Value("aes256-ctr"), "encryption");
    chosen->addLocalTunnel({{"port", std::to_string(LoopbackPort::pickFree())}, {"host", "::1"}, {"hostport", "22"}});
    chosen->addRemoteTunnel({{"port", std::to_string(LoopbackPort::pickFree())}, {"host", "127.0.0.1"}});
    chosen->addLocalTunnel({{"host", "left.empty"}});
    for (auto& t : tunnels) t->run().start();
    for (auto& t : tunnels)
        EXPECT_TRUE(waitUntil([&] { return t->run().code() == 2; }, 15s))
            << t->connName() << ": " << t->run().lastError();
    const auto args = chosen->command().arguments();
    EXPECT_NE(std::find(args.begin(), args.end(), "aes256-ctr"), args.end());
}

TEST_F(EngineE2e, FailingRunsSayWhy) {
    // The key that the server refuses, as the default identity.
    std::filesystem::copy_file(sshd->refusedKeyPath(), sshHome() + "/id_ed25519",
                               std::filesystem::copy_options::overwrite_existing);
    std::filesystem::permissions(sshHome() + "/id_ed25519", std::filesystem::perms::owner_read);
    auto refused = tunnel("refused");
    refused->setValueForKey(Value(true), "connAuth");
    const WithoutAgent noAgent;  // the refused key is all ssh has
    auto v1 = tunnel("v1");
    v1->setValueForKey(Value(true), "v1");

    // A host name that known_hosts does not hold: ssh asks through our askpass (a stand-in that
    // answers "no"), even though this test may have a terminal.
    FakeSsh fakes;
    testsupport::TempDir resources("zandrel-resources");
    const std::string original = Bundle::main().resourceDir();
    std::filesystem::copy(original, resources.path(), std::filesystem::copy_options::recursive);
    std::filesystem::remove(resources.file("askForPass.sh"));
    std::filesystem::copy_file(
        fakes.script("askpass", R"sh(printf '%s|%s\n' "$TUNNEL_NAME" "$1" >> "$DIR/asked"; echo no)sh"),
        resources.file("askForPass.sh"));
    Bundle::main().setResourceDir(resources.path());
    auto unknown = tunnel("unknown host");
    unknown->setValueForKey(Value(true), "connAuth");
    unknown->setValueForKey(Value("localhost"), "connHost");

    for (auto& t : tunnels) t->run().start();
    auto says = [](const TunnelPtr& t, const std::string& why) {
        return waitUntil([&] { return t->run().lastError() == why; }, 10s);
    };
    // OpenSSH names the login it refused before its reason; the tunnel already says which.
    EXPECT_TRUE(says(refused, "Permission denied (publickey).")) << refused->run().lastError();
    EXPECT_TRUE(says(v1, "SSH protocol v.1 is no longer supported")) << v1->run().lastError();
    EXPECT_TRUE(says(unknown, "Host key verification failed.")) << unknown->run().lastError();
    Bundle::main().setResourceDir(original);
    std::filesystem::remove(sshHome() + "/id_ed25519");
    const auto asked = fakes.lines("asked");
    ASSERT_FALSE(asked.empty());
    // The question as ssh asks it, over several lines; the prompt must see its closing words.
    EXPECT_EQ(asked[0].rfind("unknown host|The authenticity of host '[localhost]:", 0), 0u) << asked[0];
    EXPECT_TRUE(std::any_of(asked.begin(), asked.end(), [](const std::string& l) {
        return l.ends_with("continue connecting (yes/no/[fingerprint])? ");
    })) << ::testing::PrintToString(asked);
    for (auto& t : tunnels) EXPECT_NE(t->run().code(), 2) << t->connName();
}

TEST_F(EngineE2e, ForwardsThatCannotWorkFailTheRunAndNameThePort) {
    // A local port that another program holds on 127.0.0.1 only: ssh would still listen on ::1.
    EchoServer holder;
    ASSERT_TRUE(holder.start());
    auto local = tunnel("local taken");
    local->addLocalTunnel({{"port", std::to_string(holder.port())}, {"host", "127.0.0.1"}, {"hostport", "22"}});
    // A server that refuses every remote forward.
    SshdFixture refusing({.extraConfig = {"AllowTcpForwarding local"}});
    ASSERT_TRUE(refusing.start() && agent->addKey(refusing.clientKeyPath())) << refusing.error() << agent->error();
    std::ofstream(sshHome() + "/known_hosts", std::ios::app) << refusing.knownHostsLine() << "\n";
    const int remotePort = LoopbackPort::pickFree();
    auto remote = tunnel("remote refused");
    remote->setValueForKey(Value(std::to_string(refusing.port())), "connPort");
    remote->addRemoteTunnel({{"port", std::to_string(remotePort)}, {"host", "127.0.0.1"}, {"hostport", "22"}});

    std::vector<std::unique_ptr<StatusRecorder>> recs;
    for (auto& t : tunnels) recs.push_back(std::make_unique<StatusRecorder>(*t));
    for (auto& t : tunnels) t->run().start();
    const std::pair<TunnelPtr, std::string> expected[] = {
        // The holder is this test program: the reason names it.
        {local, "bind [127.0.0.1]:" + std::to_string(holder.port()) + ": Address already in use (port " +
                    std::to_string(holder.port()) + " is used by engine_e2e, pid " + std::to_string(getpid()) + ")"},
        {remote, "Error: remote port forwarding failed for listen port " + std::to_string(remotePort)}};
    for (const auto& [t, why] : expected) {
        EXPECT_TRUE(waitUntil([&] { return t->run().lastError() == why; }, 10s))
            << t->connName() << ": " << t->run().lastError();
        EXPECT_TRUE(waitUntil([&] { return t->run().state() == TunnelState::RetryWaiting; }, 5s)) << t->connName();
    }
    for (size_t i = 0; i < tunnels.size(); ++i)
        for (const auto& e : recs[i]->entries()) EXPECT_NE(e.code, 2) << tunnels[i]->connName() << " shown connected";
}

TEST_F(EngineE2e, FrozenLinkIsFoundByTheKeepAliveAndTheTunnelComesBack) {
    EchoServer echo;
    ASSERT_TRUE(echo.start());
    const int port = LoopbackPort::pickFree();
    auto t = tunnel("frozen");
    t->setValueForKey(Value(1), "keepAlive");
    forwardTo(t, port, echo);
    StatusRecorder rec(*t);
    t->run().start();
    ASSERT_TRUE(rec.waitForStatus(text("S_CONNECTED"), 15s)) << t->run().lastError();
    // The server side stops answering, with no FIN and no RST: its session processes freeze.
    const auto sessions = ProcessProbe::descendantsOf(sshd->pid());
    ASSERT_FALSE(sessions.empty());
    for (pid_t p : sessions) kill(p, SIGSTOP);
    const auto frozenAt = std::chrono::steady_clock::now();
    const bool left = waitUntil([&] { return t->run().state() == TunnelState::RetryWaiting; }, 8s);
    const auto noticed = std::chrono::steady_clock::now() - frozenAt;
    const std::string reason = t->run().lastError();
    // A new session (new server processes) takes over; the frozen ones are let go.
    const bool back = left && waitUntil([&] { return t->run().code() == 2; }, 10s);
    for (pid_t p : sessions) kill(p, SIGCONT);
    ASSERT_TRUE(left) << "still shown connected";
    EXPECT_LT(noticed, 5s);
    EXPECT_EQ(reason.rfind("Timeout, server", 0), 0u) << reason;
    ASSERT_TRUE(back) << t->run().lastError();
    EXPECT_EQ(EchoServer::roundTrip(port, "alive again", 5000), "alive again");
}

TEST_F(EngineE2e, SshConfigAliasAndAgentKeysWorkWithPromptsInZandrel) {
    // No user, no port: ssh takes both from ~/.ssh/config; with connAuth on the agent still signs.
    std::ofstream(sshHome() + "/config") << "Host zandrel-alias\n  HostName 127.0.0.1\n  Port " << sshd->port()
                                         << "\n  User " << SshdFixture::userName() << "\n";
    auto t = tunnel("alias");
    t->setValueForKey(Value(true), "connAuth");
    t->setValueForKey(Value("zandrel-alias"), "connHost");
    t->setValueForKey(Value(""), "connUser");
    t->setValueForKey(Value(""), "connPort");
    t->run().start();
    EXPECT_TRUE(waitUntil([&] { return t->run().code() == 2; }, 15s)) << t->run().lastError();
    std::filesystem::remove(sshHome() + "/config");
}

TEST_F(EngineE2e, JumpHostIdentityFileAndBindAddressCarryBytes) {
    EchoServer echo;
    ASSERT_TRUE(echo.start());
    // The key of this server is in no agent: only the identity file can log in. The bastion (the
    // shared sshd) takes the agent's key.
    SshdFixture target;
    ASSERT_TRUE(target.start()) << target.error();
    std::ofstream(sshHome() + "/known_hosts", std::ios::app)
        << target.knownHostsLine() << "\n[localhost]:" << sshd->port() << " " << sshd->hostKeyLine() << "\n";
    // A local forward bound to 127.0.0.3 through a jump host (the shared sshd as the bastion).
    const int port = LoopbackPort::pickFree();
    auto t = tunnel("through bastion");
    t->setValueForKey(Value(std::to_string(target.port())), "connPort");
    t->setValueForKey(Value(target.clientKeyPath()), "identityFile");
    t->setValueForKey(Value(SshdFixture::userName() + "@localhost:" + std::to_string(sshd->port())), "jumpHosts");
    t->setValueForKey(Value(Value::List{"IdentitiesOnly=no"}), "sshOptions");
    t->addLocalTunnel({{"bind", "127.0.0.3"},
                       {"port", std::to_string(port)},
                       {"host", "127.0.0.1"},
                       {"hostport", std::to_string(echo.port())}});
    t->run().start();
    ASSERT_TRUE(waitUntil([&] { return t->run().code() == 2; }, 15s)) << t->run().lastError();
    EXPECT_EQ(EchoServer::roundTrip("127.0.0.3", port, "via the bastion", 5000), "via the bastion");
    EXPECT_FALSE(LoopbackPort::acceptsConnections(port, 500));  // 127.0.0.1 on that port stays free
    // ssh talks to its jump host's ssh over a pipe: the bytes are counted on the first hop's socket.
    ASSERT_TRUE(waitUntil([&] { return t->run().report().bytesReceived > 0; }, 5s));
    const auto before = t->run().report().bytesReceived;
    ASSERT_EQ(EchoServer::roundTrip("127.0.0.3", port, std::string(1 << 19, 'j'), 10000).size(), 1u << 19);
    EXPECT_TRUE(waitUntil([&] { return t->run().report().bytesReceived - before >= 1u << 19; }, 5s))
        << t->run().report().bytesReceived - before;
}

namespace {
// Every process named so in this PID namespace (isolated.sh's): a daemon that left its parent
// counts too.
std::vector<std::string> processesNamed(const std::string& comm) {
    std::vector<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string pid = entry.path().filename();
        if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
        std::string name;
        std::getline(std::ifstream(entry.path() / "comm"), name);
        if (name == comm) found.push_back(pid);
    }
    return found;
}
}  // namespace

// A ~/.ssh/config that would take ssh out of Zandrel's hands, one keyword at a time: the tunnel
// still connects, carries bytes, and leaves nothing behind when stopped.
TEST_F(EngineE2e, ConfigKeywordsThatWouldForkMultiplexOrDropForwardsChangeNothing) {
    EchoServer echo;
    ASSERT_TRUE(echo.start());
    const std::string home = sshHome();
    const std::string ranFile = home + "/local-command-ran";
    const char* configs[] = {
        "ControlMaster auto\n  ControlPath ~/.ssh/cm-%C\n  ControlPersist 10m\n",
        "ForkAfterAuthentication yes\n",
        "PermitLocalCommand yes\n  LocalCommand touch ~/.ssh/local-command-ran\n",
        "ClearAllForwardings yes\n",
        "RemoteCommand sleep 1000\n",
        "SessionType default\n",
        "ExitOnForwardFailure no\n",
    };
    for (const char* config : configs) {
        std::ofstream(home + "/config") << "Host *\n  " << config;
        const int port = LoopbackPort::pickFree();
        auto t = tunnel("config");
        forwardTo(t, port, echo);
        t->run().start();
        EXPECT_TRUE(waitUntil([&] { return t->run().code() == 2; }, 15s)) << config << t->run().lastError();
        std::this_thread::sleep_for(300ms);  // a fork after the login would have ended this ssh by now
        EXPECT_EQ(t->run().code(), 2) << config;
        EXPECT_EQ(EchoServer::roundTrip(port, "through", 5000), "through") << config;
        t->run().stop();
        EXPECT_TRUE(TunnelDriver::waitUntilIdle(5s));
        EXPECT_TRUE(waitUntil([] { return processesNamed("ssh").empty(); }, 3s)) << config;
        EXPECT_FALSE(std::filesystem::exists(ranFile)) << config;
        for (const auto& entry : std::filesystem::directory_iterator(home))
            EXPECT_FALSE(entry.path().filename().string().starts_with("cm-")) << config << entry.path();
        tunnels.clear();
    }
    std::filesystem::remove(home + "/config");
}

// ssh never waits on Zandrel: while the engine's loop is held (as when Zandrel is stopped or
// busy) and reads nothing, a forward in heavy use keeps carrying, its log lines piling up or lost.
TEST_F(EngineE2e, AForwardKeepsCarryingWhileZandrelReadsNothing) {
    EchoServer echo;
    ASSERT_TRUE(echo.start());
    const int port = LoopbackPort::pickFree();
    auto t = tunnel("busy");
    forwardTo(t, port, echo);
    std::mutex mutex;
    std::condition_variable released;
    bool hold = false;
    const auto token =
        NotificationCenter::defaultCenter().addObserver(Tunnel::kStatusChanged, t.get(), [&](const Notification&) {
            std::unique_lock lock(mutex);
            released.wait(lock, [&] { return !hold; });
        });
    t->run().start();
    ASSERT_TRUE(waitUntil([&] { return t->run().code() == 2; }, 15s)) << t->run().lastError();
    {
        std::lock_guard lock(mutex);
        hold = true;
    }
    // Each connection makes ssh write a few hundred bytes of debug lines: far more than a pipe holds.
    const auto begin = std::chrono::steady_clock::now();
    int carried = 0;
    for (int i = 0; i < 400 && std::chrono::steady_clock::now() - begin < 20s; ++i)
        carried += EchoServer::roundTrip(port, "x", 2000) == "x";
    {
        std::lock_guard lock(mutex);
        hold = false;
    }
    released.notify_all();
    EXPECT_EQ(carried, 400);
    EXPECT_TRUE(waitUntil([&] { return t->run().code() == 2; }, 5s));
    NotificationCenter::defaultCenter().removeObserver(token);
}

// Failures that no retry can heal stop the tunnel at once, say what to do, and Start tries again.
TEST_F(EngineE2e, FailuresThatNoRetryHealsStopTheTunnelWithWhatToDo) {
    RetryPolicy::setScale(0.1);
    const std::string knownHosts = sshHome() + "/known_hosts";
    struct Case {
        const char* name;
        std::function<void(const TunnelPtr&)> prepare;
        std::vector<std::string> said;
        int runs;  // ssh runs before it stops
    };
    const Case cases[] = {
        {"changed host key",
         [&](const TunnelPtr&) {
             // Another key for the same host and port, as after a reinstall, or an interception.
             testsupport::TempDir keys;
             ASSERT_EQ(std::system(("ssh-keygen -q -t ed25519 -N '' -f " + keys.file("k")).c_str()), 0);
             std::string key;
             std::getline(std::ifstream(keys.file("k.pub")), key);
             std::ofstream(knownHosts) << "[127.0.0.1]:" << sshd->port() << " " << key.substr(0, key.rfind(' '))
                                       << "\n";
         },
         {"Host key verification failed.", "identity changed", "intercepting", "SHA256:", "ssh-keygen", "-R"},
         1},
        {"refused option",
         [](const TunnelPtr& t) { t->setValueForKey(Value(Value::List{Value("Foo=bar")}), "sshOptions"); },
         {"Bad configuration option: foo", "then press Start"},
         1},
        {"refused login",
         [](const TunnelPtr& t) { t->setValueForKey(Value("zandrel-nobody"), "connUser"); },
         {"Permission denied (", "3 times in 10 minutes", "fail2ban"},
         3},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(sshd->writeKnownHosts(knownHosts));
        auto t = tunnel(c.name);
        c.prepare(t);
        const auto launches = [&] {
            const auto events = eventTexts(*t);
            return std::count_if(events.begin(), events.end(),
                                 [](const std::string& e) { return e.starts_with("Started ssh"); });
        };
        t->run().start();
        EXPECT_TRUE(waitUntil([&] { return t->run().failedForGood(); }, 15s)) << c.name << ": " << t->run().lastError();
        EXPECT_EQ(t->run().state(), TunnelState::Idle) << c.name;
        for (const auto& words : c.said)
            EXPECT_NE(t->run().lastError().find(words), std::string::npos) << c.name << ": " << t->run().lastError();
        EXPECT_EQ(launches(), c.runs) << c.name;
        t->run().start();  // tries again at once
        EXPECT_FALSE(t->run().failedForGood()) << c.name;
        t->run().stop();
        ASSERT_TRUE(TunnelDriver::waitUntilIdle(5s));
    }
    ASSERT_TRUE(sshd->writeKnownHosts(knownHosts));
    RetryPolicy::setScale(1);
}

// An edit that reaches ssh's command line is applied to the running tunnel once it rests; one
// that does not (the name) leaves the running ssh alone.
TEST_F(EngineE2e, EditsReachARunningTunnel) {
    EchoServer echo;
    ASSERT_TRUE(echo.start());
    const int oldPort = LoopbackPort::pickFree(), newPort = LoopbackPort::pickFree();
    auto t = tunnel("edited");
    forwardTo(t, oldPort, echo);
    t->run().start();
    ASSERT_TRUE(waitUntil([&] { return t->run().code() == 2; }, 15s)) << t->run().lastError();
    const pid_t first = t->run().sshPid();

    t->setValueForKey(Value("renamed"), "connName");
    std::this_thread::sleep_for(TunnelRun::kSettleTime + 500ms);
    EXPECT_EQ(t->run().sshPid(), first) << "a new name needs no new ssh";

    // Typed in steps, as a spin box or a field does: one new ssh, for the last value.
    for (int port : {LoopbackPort::pickFree(), newPort})
        t->setLocalValueOfTunnelForKey(std::to_string(port), 0, "port");
    const std::string to = " → 127.0.0.1:" + std::to_string(echo.port());
    EXPECT_EQ(t->listeningAddresses().at(0), "localhost:" + std::to_string(oldPort) + to);  // what still listens
    EXPECT_TRUE(waitUntil([&] { return t->run().sshPid() != first && t->run().code() == 2; }, 10s));
    EXPECT_EQ(t->listeningAddresses().at(0), "localhost:" + std::to_string(newPort) + to);
    EXPECT_EQ(EchoServer::roundTrip(newPort, "moved", 5000), "moved");
    EXPECT_NE(EchoServer::roundTrip(oldPort, "gone", 1000), "gone");
    const auto lines = t->run().log().lines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) { return l.find("Settings applied") != std::string::npos; }),
              1);
}

// What ~/.ssh/config adds for the host listens too, and is listed as such beside the tunnel's own.
TEST_F(EngineE2e, ForwardsFromSshConfigAreListed) {
    EchoServer echo;
    ASSERT_TRUE(echo.start());
    const std::string own = std::to_string(LoopbackPort::pickFree()), socks = std::to_string(LoopbackPort::pickFree()),
                      added = std::to_string(LoopbackPort::pickFree()),
                      addedSocks = std::to_string(LoopbackPort::pickFree()),
                      target = "127.0.0.1:" + std::to_string(echo.port());
    std::ofstream(sshHome() + "/config") << "Host 127.0.0.1\n  LocalForward " << added << " " << target
                                         << "\n  DynamicForward 127.0.0.1:" << addedSocks << "\n";
    auto t = tunnel("configured");
    t->addLocalTunnel({{"port", own}, {"host", "127.0.0.1"}, {"hostport", std::to_string(echo.port())}});
    t->setValueForKey(Value(true), "socks4");
    t->setValueForKey(Value(std::stoi(socks)), "socks4p");
    t->run().start();
    const bool up = waitUntil([&] { return t->run().code() == 2; }, 15s);
    std::filesystem::remove(sshHome() + "/config");
    ASSERT_TRUE(up) << t->run().lastError();
    EXPECT_EQ(t->listeningAddresses(),
              (std::vector<std::string>{"localhost:" + own + " → " + target, "localhost:" + socks + " (SOCKS)",
                                        "localhost:" + added + " → " + target + Tunnel::kFromSshConfig,
                                        "127.0.0.1:" + addedSocks + " (SOCKS)" + Tunnel::kFromSshConfig}));
}

// A ProxyJump that names its own host makes ssh start itself again and again: the tunnel stops
// at once, says what to fix, and the whole chain is gone.
TEST_F(EngineE2e, AJumpHostChainThatLoopsStopsTheTunnel) {
    std::ofstream(sshHome() + "/config") << "Host zandrel-loop\n  HostName 127.0.0.1\n  Port " << sshd->port()
                                         << "\n  ProxyJump zandrel-loop\n";
    auto t = tunnel("loop");
    t->setValueForKey(Value("zandrel-loop"), "connHost");
    t->setValueForKey(Value(""), "connPort");
    t->run().start();
    const bool stopped = waitUntil([&] { return t->run().failedForGood(); }, 10s);
    std::filesystem::remove(sshHome() + "/config");
    ASSERT_TRUE(stopped) << t->run().lastError();
    EXPECT_NE(t->run().lastError().find("jump host chain loops"), std::string::npos) << t->run().lastError();
    EXPECT_TRUE(waitUntil([] { return processesNamed("ssh").empty(); }, 3s));
}

namespace {
bool anyStartsWith(const std::vector<std::string>& texts, const std::string& prefix) {
    return std::any_of(texts.begin(), texts.end(), [&](const std::string& s) { return s.starts_with(prefix); });
}
}  // namespace

TEST_F(EngineE2e, TrafficRefusedTargetsDropsAndTheJournalAfterARestart) {
    EchoServer echo;
    ASSERT_TRUE(echo.start());
    const int port = LoopbackPort::pickFree(), deadPort = LoopbackPort::pickFree(), nobody = LoopbackPort::pickFree();
    auto t = tunnel("insight");
    forwardTo(t, port, echo);
    t->addLocalTunnel(
        {{"port", std::to_string(deadPort)}, {"host", "127.0.0.1"}, {"hostport", std::to_string(nobody)}});
    t->run().start();
    ASSERT_TRUE(waitUntil([&] { return t->run().isConnected(); }, 15s)) << t->run().lastError();
    ASSERT_TRUE(waitUntil([&] { return t->run().report().bytesReceived > 0; }, 5s));

    // The kernel's counts of ssh's own connection: what went through, plus ssh's few percent.
    const TunnelReport before = t->run().report();
    const std::string mebibyte(1 << 20, 'x');
    ASSERT_EQ(EchoServer::roundTrip(port, mebibyte, 10000).size(), mebibyte.size());
    for (int i = 0; i < 300; ++i) ASSERT_EQ(EchoServer::roundTrip(port, "ping", 5000), "ping") << i;
    ASSERT_TRUE(waitUntil([&] { return t->run().report().bytesReceived - before.bytesReceived >= 1u << 20; }, 5s));
    const TunnelReport after = t->run().report();
    for (auto [was, is] : {std::pair{before.bytesSent, after.bytesSent}, {before.bytesReceived, after.bytesReceived}}) {
        EXPECT_GE(is - was, 1u << 20);
        EXPECT_LT(is - was, (1u << 20) + 300 * 400 + 200000);
    }
    EXPECT_GT(after.connectedSinceMs, 0);
    EXPECT_EQ(after.state, "connected");
    EXPECT_FALSE(after.command.empty());

    // The service behind a forward is down: the forward says so, the tunnel stays up.
    for (int i = 0; i < 3; ++i) EchoServer::roundTrip(deadPort, "anyone?", 2000);
    // ssh tells of each refusal a little after the client saw its connection close.
    const std::string refused = "Port " + std::to_string(deadPort) +
                                ": the target 127.0.0.1:" + std::to_string(nobody) + " refused 3 connections";
    ASSERT_TRUE(waitUntil(
        [&] {
            const auto w = t->run().report().warnings;
            return !w.empty() && w[0].starts_with(refused);
        },
        5s))
        << ::testing::PrintToString(t->run().report().warnings);
    const auto warnings = t->run().report().warnings;
    ASSERT_EQ(warnings.size(), 1u) << ::testing::PrintToString(warnings);
    EXPECT_TRUE(t->run().isConnected());

    // A drop, healed by the retry.
    ASSERT_TRUE(sshd->restart()) << sshd->error();
    ASSERT_TRUE(waitUntil([&] { return t->run().drops() == 1 && t->run().isConnected(); }, 15s))
        << t->run().lastError();
    EXPECT_EQ(t->run().report().dropsToday, 1u);
    EXPECT_TRUE(t->run().report().warnings.empty());  // a new run, a new count

    // Read back by a new Zandrel from the files alone.
    const auto reread = eventTexts(*Tunnel::tunnelFromDictionary(t->dictionary()));
    EXPECT_EQ(reread, eventTexts(*t));
    ASSERT_FALSE(reread.empty());
    const std::string forward = "localhost:" + std::to_string(port) + " → 127.0.0.1:" + std::to_string(echo.port());
    size_t at = 0;
    for (const std::string& wanted :
         {std::string("Started ssh to "), "Connected: " + forward, std::string("Forward failed: Port "),
          std::string("Dropped: "), std::string("Retry scheduled in "), std::string("Started ssh to "),
          std::string("Connected: ")}) {
        while (at < reread.size() && !reread[at].starts_with(wanted)) ++at;
        EXPECT_LT(at, reread.size()) << "no \"" << wanted << "\" in order in " << ::testing::PrintToString(reread);
    }
    EXPECT_LT(reread.size(), 16u) << "per-connection lines reached the journal: " << ::testing::PrintToString(reread);
    t->run().stop();
    EXPECT_EQ(eventTexts(*t).back(), "Stopped by the user");  // recorded before stop() returns
    EXPECT_EQ(t->run().report().bytesSent, 0u);               // counts belong to a connection
}

TEST_F(EngineE2e, ForwardsOpenToTheNetworkAreReadFromTheSocketsThatListen) {
    std::ifstream devices("/proc/net/dev");
    const std::string all((std::istreambuf_iterator<char>(devices)), std::istreambuf_iterator<char>());
    if (std::count(all.begin(), all.end(), ':') != 1)
        GTEST_SKIP() << "binds to all interfaces only inside a network namespace with lo alone";
    const int wide = LoopbackPort::pickFree(), gateway = LoopbackPort::pickFree(), narrow = LoopbackPort::pickFree();
    const int remote = LoopbackPort::pickFree();
    auto open = tunnel("open");
    open->addLocalTunnel(
        {{"bind", "0.0.0.0"}, {"port", std::to_string(wide)}, {"host", "127.0.0.1"}, {"hostport", "22"}});
    open->addRemoteTunnel(
        {{"bind", "0.0.0.0"}, {"port", std::to_string(remote)}, {"host", "127.0.0.1"}, {"hostport", "22"}});
    auto allowed = tunnel("allow remote hosts");  // -g: ssh listens on every address
    allowed->setValueForKey(Value(true), "connRemote");
    allowed->addLocalTunnel({{"port", std::to_string(gateway)}, {"host", "127.0.0.1"}, {"hostport", "22"}});
    auto closed = tunnel("loopback only");
    closed->addLocalTunnel({{"port", std::to_string(narrow)}, {"host", "127.0.0.1"}, {"hostport", "22"}});
    for (auto& t : tunnels) t->run().start();
    for (auto& t : tunnels) ASSERT_TRUE(waitUntil([&] { return t->run().isConnected(); }, 15s)) << t->connName();
    auto warningsOf = [](const TunnelPtr& t) {
        std::vector<std::string> w;
        waitUntil([&] { return !(w = t->run().report().warnings).empty(); }, 3s);
        return w;
    };
    EXPECT_EQ(warningsOf(open),
              (std::vector<std::string>{"Open to the network on 0.0.0.0:" + std::to_string(wide),
                                        "Remote port " + std::to_string(remote) +
                                            " asked for 0.0.0.0 (the server's GatewayPorts decides what it gets)"}));
    const auto gatewayWarnings = warningsOf(allowed);
    EXPECT_TRUE(anyStartsWith(gatewayWarnings, "Open to the network on ")) << ::testing::PrintToString(gatewayWarnings);
    for (const std::string& w : gatewayWarnings)
        EXPECT_TRUE(w.ends_with(std::string(":").append(std::to_string(gateway)))) << w;
    EXPECT_TRUE(warningsOf(closed).empty());
}

// ---- tunnels that start when first used ----

namespace {

// The per-connection sshd processes under the listener (each one's session).
std::vector<pid_t> sessionsOf(pid_t sshd) {
    std::vector<pid_t> out;
    std::ifstream children("/proc/" + std::to_string(sshd) + "/task/" + std::to_string(sshd) + "/children");
    for (pid_t pid; children >> pid;) out.push_back(pid);
    return out;
}

size_t filesIn(const std::string& folder) {
    std::error_code ignored;
    size_t n = 0;
    for (auto it = std::filesystem::directory_iterator(folder, ignored); it != std::filesystem::directory_iterator();
         ++it)
        ++n;
    return n;
}

}  // namespace

class HeldPortsE2e : public EngineE2e {
protected:
    TunnelPtr heldTunnel(const std::string& name, int port, const EchoServer& echo) {
        auto t = tunnel(name);
        forwardTo(t, port, echo);
        t->setValueForKey(Value(true), "onDemand");
        return t;
    }
    static bool noSsh() { return ProcessProbe::childrenNamed("ssh").empty(); }
    void TearDown() override {
        EngineE2e::TearDown();
        TunnelRun::setIdleMinute(std::chrono::minutes(1));
        RetryPolicy::setScale(1);
    }
};

TEST_F(HeldPortsE2e, FirstUseStartsSshFiftyClientsAreServedExactlyAndQuietEndsSsh) {
    EchoServer echo;
    ASSERT_TRUE(echo.start());
    const int port = LoopbackPort::pickFree();
    auto t = heldTunnel("on-demand", port, echo);
    t->setValueForKey(Value(std::int64_t{1}), "idleMinutes");
    TunnelRun::setIdleMinute(1500ms);
    t->run().start();
    ASSERT_TRUE(waitUntil([&] { return t->run().report().state == "ready"; }, 5s)) << t->run().lastError();
    EXPECT_EQ(t->run().code(), 3);
    EXPECT_EQ(t->run().status(), "Ready: starts when used");
    EXPECT_TRUE(LoopbackPort::isListening(port, getpid()));
    EXPECT_TRUE(noSsh());

    // Fifty clients at once at the idle tunnel: the first starts ssh, all wait and are served.
    constexpr int kClients = 50;
    std::vector<std::string> answers(kClients), asked(kClients);
    std::vector<std::thread> clients;
    size_t sent = 0;
    for (int i = 0; i < kClients; ++i) {
        asked[i] = std::to_string(i) + std::string(static_cast<size_t>(i) * 1000, static_cast<char>(i));
        sent += asked[i].size();
        clients.emplace_back([&, i] { answers[i] = EchoServer::roundTrip(port, asked[i], 20000); });
    }
    for (auto& c : clients) c.join();
    for (int i = 0; i < kClients; ++i) ASSERT_EQ(answers[i], asked[i]) << "client " << i;
    EXPECT_TRUE(t->run().isConnected());
    ASSERT_EQ(t->run().report().command.empty(), false);
    EXPECT_NE(SshCommand::displayCommand(t->run().report().command).find(".sock:127.0.0.1:"), std::string::npos);

    // Counted to the byte, once every relay has closed.
    ASSERT_TRUE(
        waitUntil([&] { return !t->run().report().forwards.empty() && t->run().report().forwards[0].open == 0; }, 5s));
    const ForwardStats f = t->run().report().forwards.at(0);
    EXPECT_EQ(f.listen, "localhost:" + std::to_string(port));
    EXPECT_EQ(f.target, "127.0.0.1:" + std::to_string(echo.port()));
    EXPECT_EQ(f.total, unsigned{kClients});
    EXPECT_EQ(f.bytesToTarget, sent);
    EXPECT_EQ(f.bytesFromTarget, sent);
    EXPECT_EQ(f.refused, 0u);

    // Quiet for its minute (1.5 s here): ssh ends, the port stays held, no drop is counted.
    ASSERT_TRUE(waitUntil([&] { return t->run().report().state == "ready" && noSsh(); }, 6s));
    EXPECT_EQ(t->run().drops(), 0u);
    EXPECT_TRUE(LoopbackPort::isListening(port, getpid()));
    EXPECT_EQ(EchoServer::roundTrip(port, "again", 15000), "again");

    // Stop lets go of everything: port, ssh, socket files.
    t->run().stop();
    ASSERT_TRUE(TunnelDriver::waitUntilIdle(5s));
    EXPECT_TRUE(waitUntil([&] { return !LoopbackPort::isListening(port) && noSsh(); }, 3s));
    EXPECT_EQ(filesIn(HeldForwards::socketFolder()), 0u);
    EXPECT_EQ(t->run().report().state, "idle");
}

TEST_F(HeldPortsE2e, AConnectionWaitsThroughADropAndAFailureThatCannotHealClosesIt) {
    EchoServer echo;
    ASSERT_TRUE(echo.start());
    const int port = LoopbackPort::pickFree();
    auto t = heldTunnel("waits", port, echo);
    t->run().start();
    ASSERT_TRUE(waitUntil([&] { return t->run().report().state == "ready"; }, 5s)) << t->run().lastError();
    ASSERT_EQ(EchoServer::roundTrip(port, "first", 15000), "first");
    ASSERT_TRUE(t->run().isConnected());

    // The server ends the session; a connection made right then waits for the next ssh.
    const auto sessions = sessionsOf(sshd->pid());
    ASSERT_FALSE(sessions.empty());
    for (pid_t s : sessions) kill(s, SIGKILL);
    EXPECT_EQ(EchoServer::roundTrip(port, "through the reconnect", 20000), "through the reconnect");
    EXPECT_TRUE(waitUntil([&] { return t->run().drops() == 1u && t->run().isConnected(); }, 5s));

    // An option ssh refuses cannot heal: the waiting client is let go at once, the port released.
    t->run().stop();
    ASSERT_TRUE(TunnelDriver::waitUntilIdle(5s));
    t->setValueForKey(Value(Value::List{Value("NoSuchOption=1")}), "sshOptions");
    t->run().start();
    ASSERT_TRUE(waitUntil([&] { return t->run().report().state == "ready"; }, 5s));
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(EchoServer::roundTrip(port, "refused", 20000), "");
    EXPECT_LT(std::chrono::steady_clock::now() - before, 10s);
    ASSERT_TRUE(waitUntil([&] { return t->run().report().state == "stopped"; }, 5s)) << t->run().report().state;
    EXPECT_NE(t->run().lastError().find("nosuchoption"), std::string::npos) << t->run().lastError();
    EXPECT_FALSE(LoopbackPort::isListening(port));
    EXPECT_TRUE(eventTexts(*t).back().starts_with("Stopped: ")) << eventTexts(*t).back();
}

TEST_F(HeldPortsE2e, APortInUseIsRetriedNamingItsHolderAndAnEditMovesTheListener) {
    EchoServer echo, taken;
    ASSERT_TRUE(echo.start());
    ASSERT_TRUE(taken.start());  // a program of this user holds the port
    RetryPolicy::setScale(0.1);
    auto t = heldTunnel("taken", taken.port(), echo);
    t->run().start();
    ASSERT_TRUE(waitUntil([&] { return t->run().report().state == "retrying"; }, 5s)) << t->run().report().state;
    const std::string reason = t->run().report().reason;
    EXPECT_NE(reason.find("Port " + std::to_string(taken.port()) + " is already in use"), std::string::npos) << reason;
    EXPECT_NE(reason.find("engine_e2e"), std::string::npos) << reason;
    taken.stop();
    ASSERT_TRUE(waitUntil([&] { return t->run().report().state == "ready"; }, 5s)) << t->run().report().reason;

    // The forward moves: the old port is let go, the new one held.
    const int moved = LoopbackPort::pickFree();
    const int old = taken.port();
    t->setLocalValueOfTunnelForKey(std::to_string(moved), 0, "port");
    ASSERT_TRUE(waitUntil([&] { return LoopbackPort::isListening(moved, getpid()); }, 5s));
    EXPECT_FALSE(LoopbackPort::isListening(old));
    EXPECT_EQ(EchoServer::roundTrip(moved, "moved", 15000), "moved");
}
