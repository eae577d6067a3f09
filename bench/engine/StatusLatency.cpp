// From a line written by ssh to its "TunnelStatusChanged" delivered, over 10,000 lines.
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include "BenchKit.h"
#include "NotificationCenter.h"
#include "Tunnel.h"

int main() {
    BenchKit::runFakeSshIfAsked();
    BenchKit::setUp();
    constexpr int kLines = 10000;
    // Paced like a chatty ssh, so that each line is its own event rather than one big chunk.
    BenchKit::useSelfAsSsh("lines:" + std::to_string(kLines) + ":100");
    auto t = Tunnel::create("latency");
    t->setValueForKey(Value("h"), "connHost");
    t->setValueForKey(Value(false), "connAuth");
    std::mutex mutex;
    std::vector<double> latencyUs;
    std::int64_t lastStamp = 0;
    latencyUs.reserve(kLines);
    auto token =
        NotificationCenter::defaultCenter().addObserver(Tunnel::kStatusChanged, t.get(), [&](const Notification&) {
            const auto now = BenchKit::monotonicNs();
            const auto stamp = BenchKit::stampOf(t->run().status());
            std::lock_guard lock(mutex);
            // The empty piece after a chunk's last "\n" repeats the line before it: count each line once.
            if (stamp > 0 && stamp != lastStamp) latencyUs.push_back(static_cast<double>(now - stamp) / 1000.0);
            lastStamp = stamp;
        });
    t->run().start();
    for (int i = 0; i < 600; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::lock_guard lock(mutex);
        if (latencyUs.size() >= kLines) break;
    }
    t->run().stop();
    if (!BenchKit::launchThreadsEnded(std::chrono::seconds(5))) return 1;
    NotificationCenter::defaultCenter().removeObserver(token);
    std::printf("status latency: %zu notifications carrying a line's time stamp\n", latencyUs.size());
    BenchKit::report("status latency median", BenchKit::percentile(latencyUs, 50), "us", 1000);
    BenchKit::report("status latency p99", BenchKit::percentile(latencyUs, 99), "us", 1000);
    BenchKit::report("status latency max", BenchKit::percentile(latencyUs, 100), "us", 1e9);
    return 0;
}
