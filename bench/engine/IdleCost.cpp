// CPU time and resident memory of the process while 50 tunnels, keep-alive on, stay connected
// to a real sshd for 10 s. Runs inside tests/e2e/isolated.sh: it writes ~/.ssh/known_hosts.
#include <cstdio>
#include <thread>

#include "BenchKit.h"
#include "SshdBench.h"

using namespace std::chrono_literals;

int main() {
    BenchKit::runFakeSshIfAsked();
    BenchKit::setUp();
    SshdBench bench;
    if (int rc = bench.setUp("idle cost")) return rc;
    constexpr int kTunnels = 50;
    TunnelList tunnels;
    for (int i = 0; i < kTunnels; ++i) tunnels.push_back(bench.tunnel("idle " + std::to_string(i)));
    std::this_thread::sleep_for(200ms);
    const long residentBefore = BenchKit::residentKiB();
    if (!SshdBench::startAll(tunnels, 30s)) {
        int up = 0;
        for (const auto& t : tunnels) up += t->run().isConnected();
        std::fprintf(stderr, "idle cost: only %d of %d tunnels connected; last error: %s\n", up, kTunnels,
                     tunnels.back()->run().lastError().c_str());
        return 1;
    }
    std::this_thread::sleep_for(500ms);
    const long residentUp = BenchKit::residentKiB();
    const double before = BenchKit::cpuMs();
    std::this_thread::sleep_for(10s);
    const double used = BenchKit::cpuMs() - before;
    int still = 0;
    for (const auto& t : tunnels) still += t->run().isConnected();
    for (auto& t : tunnels) t->run().stop();
    if (!BenchKit::launchThreadsEnded(10s)) return 1;
    std::printf(
        "idle cost: %d tunnels (keep-alive %lld s) connected to sshd on 127.0.0.1:%d, %d still connected "
        "after 10 s\n",
        kTunnels, static_cast<long long>(TunnelSettings::kDefaultKeepAlive), bench.sshd->port(), still);
    BenchKit::report("idle CPU time, 50 tunnels, 10 s", used, "ms", 20);
    BenchKit::report("resident memory per running tunnel", static_cast<double>(residentUp - residentBefore) / kTunnels,
                     "KiB", 64);
    return still == kTunnels ? 0 : 1;
}
