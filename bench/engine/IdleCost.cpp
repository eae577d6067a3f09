// CPU time of the process while 50 tunnels stay connected to a real sshd for 10 s. Runs inside
// tests/e2e/isolated.sh: it writes ~/.ssh/known_hosts.
#include <linux/magic.h>
#include <pwd.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <thread>

#include "BenchKit.h"
#include "ROZUdivev.h"
#include "SshAgent.h"
#include "SshdFixture.h"

using namespace std::chrono_literals;

namespace {

bool allConnected(const TunnelList& ts, std::chrono::seconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        bool all = true;
        for (const auto& t : ts) all = all && t->code() == 2;
        if (all) return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(20ms);
    }
}

}  // namespace

int main() {
    BenchKit::runFakeSshIfAsked();
    BenchKit::setUp();
    const passwd* pw = getpwuid(getuid());
    const std::string sshDir = std::string(pw ? pw->pw_dir : "/nonexistent") + "/.ssh";
    struct statfs fs {};
    if (statfs(sshDir.c_str(), &fs) != 0 || fs.f_type != TMPFS_MAGIC) {
        std::fprintf(stderr, "idle cost: %s is not a private tmpfs; run under tests/e2e/isolated.sh\n", sshDir.c_str());
        return 77;
    }
    testsupport::SshdOptions options;
    options.extraConfig = {"MaxStartups 100", "MaxSessions 100"};
    testsupport::SshdFixture sshd(options);
    testsupport::SshAgent agent;
    if (!sshd.start() || !agent.start() || !agent.addKey(sshd.clientKeyPath()) ||
        !sshd.writeKnownHosts(sshDir + "/known_hosts")) {
        std::fprintf(stderr, "idle cost: no sshd or agent: %s %s\n%s\n", sshd.error().c_str(), agent.error().c_str(),
                     sshd.log().c_str());
        return 1;
    }
    setenv("SSH_AUTH_SOCK", agent.socketPath().c_str(), 1);
    constexpr int kTunnels = 50;
    TunnelList tunnels;
    for (int i = 0; i < kTunnels; ++i) {
        auto t = ROZUdivev::create("idle " + std::to_string(i));
        t->setValueForKey(Value(false), "connAuth");
        t->setValueForKey(Value("127.0.0.1"), "connHost");
        t->setValueForKey(Value(std::to_string(sshd.port())), "connPort");
        t->setValueForKey(Value(testsupport::SshdFixture::userName()), "connUser");
        tunnels.push_back(t);
    }
    // In groups, as sshd refuses too many handshakes at once.
    for (int i = 0; i < kTunnels; i += 10) {
        TunnelList group(tunnels.begin() + i, tunnels.begin() + std::min(i + 10, kTunnels));
        for (auto& t : group) t->startTunnel();
        allConnected(group, 30s);
    }
    if (!allConnected(tunnels, 30s)) {
        int up = 0;
        for (const auto& t : tunnels) up += t->code() == 2;
        std::fprintf(stderr, "idle cost: only %d of %d tunnels connected; last error: %s\n", up, kTunnels,
                     tunnels.back()->lastError().c_str());
        return 1;
    }
    std::this_thread::sleep_for(500ms);
    const double before = BenchKit::cpuMs();
    std::this_thread::sleep_for(10s);
    const double used = BenchKit::cpuMs() - before;
    int still = 0;
    for (const auto& t : tunnels) still += t->code() == 2;
    for (auto& t : tunnels) t->stopTunnel();
    if (!BenchKit::launchThreadsEnded(10s)) return 1;
    std::printf("idle cost: %d tunnels connected to sshd on 127.0.0.1:%d, %d still connected after 10 s\n", kTunnels,
                sshd.port(), still);
    BenchKit::report("idle CPU time, 50 tunnels, 10 s", used, "ms", 20);
    return still == kTunnels ? 0 : 1;
}
