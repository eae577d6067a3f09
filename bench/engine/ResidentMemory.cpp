// Resident memory added per running tunnel: 50 tunnels whose ssh just waits.
#include <cstdio>
#include <thread>

#include "BenchKit.h"
#include "Tunnel.h"

namespace {

bool waitAll(const TunnelList& ts, bool running) {
    for (int i = 0; i < 500; ++i) {
        bool all = true;
        for (const auto& t : ts) all = all && t->run().isRunning() == running;
        if (all) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

}  // namespace

int main() {
    BenchKit::runFakeSshIfAsked();
    BenchKit::setUp();
    BenchKit::useSelfAsSsh("sleep");
    constexpr int kTunnels = 50;
    // One run first, so that what every tunnel shares (code, string table, first arenas) is in.
    TunnelList warm{Tunnel::create("warm-up")};
    warm[0]->setValueForKey(Value(false), "connAuth");
    warm[0]->setValueForKey(Value("h"), "connHost");
    warm[0]->run().start();
    if (!waitAll(warm, true)) return 1;
    warm[0]->run().stop();
    if (!BenchKit::launchThreadsEnded(std::chrono::seconds(5))) return 1;

    TunnelList tunnels;
    for (int i = 0; i < kTunnels; ++i) {
        auto t = Tunnel::create("tunnel " + std::to_string(i));
        t->setValueForKey(Value(false), "connAuth");
        t->setValueForKey(Value("host" + std::to_string(i)), "connHost");
        t->addLocalTunnel({{"port", std::to_string(10000 + i)}, {"host", "127.0.0.1"}, {"hostport", "22"}});
        tunnels.push_back(t);
    }
    const long before = BenchKit::residentKiB();
    for (auto& t : tunnels) t->run().start();
    if (!waitAll(tunnels, true)) {
        std::fprintf(stderr, "not every tunnel started\n");
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const long after = BenchKit::residentKiB();
    for (auto& t : tunnels) t->run().stop();
    if (!BenchKit::launchThreadsEnded(std::chrono::seconds(10))) return 1;
    std::printf("resident memory: %ld KiB with no tunnel running, %ld KiB with %d running\n", before, after, kTunnels);
    BenchKit::report("resident memory per running tunnel", static_cast<double>(after - before) / kTunnels, "KiB", 256);
    return 0;
}
