// The engine against the real OpenSSH: a sshd on 127.0.0.1 and an ssh-agent started here, run
// inside isolated.sh, which puts a private tmpfs over ~/.ssh (known_hosts is written there).
#include <gtest/gtest.h>
#include <linux/magic.h>
#include <pwd.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "Bundle.h"
#include "EchoServer.h"
#include "FakeSsh.h"
#include "LoopbackPort.h"
#include "ProcessProbe.h"
#include "ROZUdivev.h"
#include "SshAgent.h"
#include "SshdFixture.h"
#include "StatusRecorder.h"

using namespace std::chrono_literals;
using namespace testsupport;

namespace {

std::string text(const std::string& key) { return Bundle::main().localizedString(key); }

std::string sshHome() {
    const passwd* pw = getpwuid(getuid());
    return std::string(pw ? pw->pw_dir : "/nonexistent") + "/.ssh";
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    return ProcessProbe::waitUntil(condition, static_cast<int>(timeout.count()));
}

// True when `wanted` appears in `seen` in this order (other texts may stand between).
bool inOrder(const std::vector<std::string>& seen, const std::vector<std::string>& wanted) {
    size_t i = 0;
    for (const auto& s : seen)
        if (i < wanted.size() && s == wanted[i]) ++i;
    return i == wanted.size();
}

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
        ROZUdivev::setShutdown(true);
        for (auto& t : tunnels) t->stopTunnel();
        EXPECT_TRUE(ROZUdivev::waitForLaunchThreads(5s));
        ROZUdivev::setShutdown(false);
        EXPECT_TRUE(waitUntil([] { return ProcessProbe::childrenNamed("ssh").empty(); }, 3s));
    }
    TunnelPtr tunnel(const std::string& name) {
        auto t = ROZUdivev::create(name);
        t->setValueForKey(Value(false), "connAuth");  // the agent authenticates
        t->setValueForKey(Value("127.0.0.1"), "connHost");
        t->setValueForKey(Value(std::to_string(sshd->port())), "connPort");
        t->setValueForKey(Value(SshdFixture::userName()), "connUser");
        tunnels.push_back(t);
        return t;
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
    t->addLocalTunnel(
        {{"port", std::to_string(port)}, {"host", "127.0.0.1"}, {"hostport", std::to_string(echo.port())}});
    StatusRecorder rec(*t);
    t->startTunnel();
    ASSERT_TRUE(rec.waitForStatus(text("S_CONNECTED"), 15s))
        << ::testing::PrintToString(rec.distinctStatuses()) << t->lastError();
    const std::string forwarded = "Port " + std::to_string(port) + " forwarded";
    EXPECT_TRUE(inOrder(rec.distinctStatuses(), {text("S_CONNECTING"), text("S_AUTH"), forwarded, text("S_CONNECTED")}))
        << ::testing::PrintToString(rec.distinctStatuses());
    EXPECT_EQ(t->code(), 2);
    EXPECT_EQ(t->lastError(), "");

    // The server goes away: ssh reports it, and the tunnel keeps trying on its own. Only once
    // ssh has gone quiet: while it still has something to send (its first exchanges after login,
    // a forwarded connection being closed) it says "client_loop: send disconnect: Broken pipe".
    ASSERT_TRUE(waitUntil([&] { return StatusRecorder::Clock::now() - rec.entries().back().at > 500ms; }, 5s));
    rec.clear();
    sshd->stop();
    ASSERT_TRUE(rec.waitForStatus("Connection closed", 5s))
        << ::testing::PrintToString(rec.distinctStatuses()) << t->lastError();
    ASSERT_TRUE(rec.waitFor([](const auto& es) { return es.size() > 0 && es.back().code == 1; }, 5s));
    EXPECT_TRUE(waitUntil([&] { return t->lastError().find("Connection refused") != std::string::npos; }, 5s))
        << t->lastError();
    rec.clear();
    ASSERT_TRUE(sshd->restart()) << sshd->error();
    ASSERT_TRUE(rec.waitForStatus(text("S_CONNECTED"), 10s)) << ::testing::PrintToString(rec.distinctStatuses());
    EXPECT_EQ(t->lastError(), "");
    const std::string bytes = "through the tunnel \x01\xff";
    EXPECT_EQ(EchoServer::roundTrip(port, bytes, 5000), bytes);
    EXPECT_EQ(EchoServer::roundTrip(port, std::string(100000, 'z'), 5000).size(), 100000u);

    ASSERT_FALSE(ProcessProbe::childrenNamed("ssh").empty());
    t->stopTunnel();
    ASSERT_TRUE(ROZUdivev::waitForLaunchThreads(5s));
    EXPECT_TRUE(ProcessProbe::childrenNamed("ssh").empty());
    EXPECT_FALSE(LoopbackPort::isListening(port));
    EXPECT_EQ(t->status(), text("S_IDLE"));
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
    for (auto& t : tunnels) t->startTunnel();
    for (auto& t : tunnels)
        EXPECT_TRUE(waitUntil([&] { return t->code() == 2; }, 15s)) << t->connName() << ": " << t->lastError();
    const auto args = chosen->arguments();
    EXPECT_NE(std::find(args.begin(), args.end(), "aes256-ctr"), args.end());
}

TEST_F(EngineE2e, FailingRunsSayWhy) {
    // The key that the server refuses, as the default identity; connAuth on keeps the agent away.
    std::filesystem::copy_file(sshd->refusedKeyPath(), sshHome() + "/id_ed25519",
                               std::filesystem::copy_options::overwrite_existing);
    std::filesystem::permissions(sshHome() + "/id_ed25519", std::filesystem::perms::owner_read);
    auto refused = tunnel("refused");
    refused->setValueForKey(Value(true), "connAuth");
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

    for (auto& t : tunnels) t->startTunnel();
    auto says = [](const TunnelPtr& t, const std::string& why) {
        return waitUntil([&] { return t->lastError() == why; }, 10s);
    };
    // OpenSSH names the login it refused before its reason; the tunnel already says which.
    EXPECT_TRUE(says(refused, "Permission denied (publickey)."))
        << refused->lastError();
    EXPECT_TRUE(says(v1, "SSH protocol v.1 is no longer supported")) << v1->lastError();
    EXPECT_TRUE(says(unknown, "Host key verification failed.")) << unknown->lastError();
    Bundle::main().setResourceDir(original);
    std::filesystem::remove(sshHome() + "/id_ed25519");
    const auto asked = fakes.lines("asked");
    ASSERT_FALSE(asked.empty());
    // The question as ssh asks it, over several lines; the prompt must see its closing words.
    EXPECT_EQ(asked[0].rfind("unknown host|The authenticity of host '[localhost]:", 0), 0u) << asked[0];
    EXPECT_TRUE(std::any_of(asked.begin(), asked.end(), [](const std::string& l) {
        return l.ends_with("continue connecting (yes/no/[fingerprint])? ");
    })) << ::testing::PrintToString(asked);
    for (auto& t : tunnels) EXPECT_NE(t->code(), 2) << t->connName();
}
