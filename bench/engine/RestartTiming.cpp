// From ssh's exit to the next launch, over ten restarts of a tunnel whose ssh fails at once.
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include "BenchKit.h"
#include "Bundle.h"
#include "NotificationCenter.h"
#include "Tunnel.h"
#include "TunnelDriver.h"

int main() {
    BenchKit::runFakeSshIfAsked();
    BenchKit::setUp();
    BenchKit::useSelfAsSsh("exit");  // writes its time stamp, then exits
    constexpr size_t kRestarts = 10;
    auto t = Tunnel::create("restart");
    t->setValueForKey(Value("h"), "connHost");
    t->setValueForKey(Value(false), "connAuth");
    const std::string connecting = Bundle::main().localizedString("S_CONNECTING");
    std::mutex mutex;
    std::int64_t exitedAt = 0;
    std::vector<double> gapsMs;
    auto token =
        NotificationCenter::defaultCenter().addObserver(Tunnel::kStatusChanged, t.get(), [&](const Notification&) {
            const auto now = BenchKit::monotonicNs();
            const std::string status = t->run().status();
            std::lock_guard lock(mutex);
            if (auto stamp = BenchKit::stampOf(status); stamp > 0) {
                exitedAt = stamp;
            } else if (status == connecting && t->run().state() == TunnelState::Connecting && exitedAt > 0) {
                // The launch's own post: the new ssh has been started.
                gapsMs.push_back(static_cast<double>(now - exitedAt) / 1e6);
                exitedAt = 0;
            }
        });
    t->run().start();
    for (int i = 0; i < 300; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        std::lock_guard lock(mutex);
        if (gapsMs.size() >= kRestarts) break;
    }
    TunnelDriver::setShutdown(true);  // a stop in the pause would be ignored
    if (!BenchKit::launchThreadsEnded(std::chrono::seconds(5))) return 1;
    NotificationCenter::defaultCenter().removeObserver(token);
    std::lock_guard lock(mutex);
    std::printf("restart timing: %zu restarts, pause %lld ms\n", gapsMs.size(),
                static_cast<long long>(RetryPolicy::kFirstDelay.count()));
    const double pause = static_cast<double>(RetryPolicy::kFirstDelay.count());
    BenchKit::report("restart: exit to next launch, median - 1 s", BenchKit::percentile(gapsMs, 50) - pause, "ms", 20);
    BenchKit::report("restart: exit to next launch, max - 1 s", BenchKit::percentile(gapsMs, 100) - pause, "ms", 20);
    return 0;
}
