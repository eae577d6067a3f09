// Reconnect All with 50 tunnels to one real sshd that keeps its default MaxStartups (10:30:100):
// the handshakes it refused and the time until every tunnel is connected again, three rounds.
// --unpaced lifts the engine's limit on handshakes per server, to compare. Runs inside
// tests/e2e/isolated.sh.
#include <cstdio>
#include <cstring>
#include <thread>

#include "BenchKit.h"
#include "SshdBench.h"
#include "TunnelDriver.h"

using namespace std::chrono_literals;

namespace {

// What sshd and ssh say when a handshake is refused past MaxStartups.
bool saysRefused(const std::string& line) {
    for (const char* words : {"kex_exchange_identification", "Connection closed by", "Connection reset by"})
        if (line.find(words) != std::string::npos) return true;
    return false;
}

// The log lines of each tunnel since `since` (its log's totals then).
std::vector<std::string> linesSince(const TunnelPtr& t, unsigned long long since) {
    const auto lines = t->run().log().lines();
    const auto fresh = std::min<unsigned long long>(t->run().log().total() - since, lines.size());
    return {lines.end() - static_cast<long>(fresh), lines.end()};
}

// The most connections sshd held at once before their login, from its log.
int peakUnauthenticated(const std::string& log) {
    int now = 0, peak = 0;
    for (size_t at = 0, end; at < log.size(); at = end + 1) {
        end = std::min(log.find('\n', at), log.size());
        const std::string_view line(log.data() + at, end - at);
        if (line.find("Connection from ") != std::string_view::npos) peak = std::max(peak, ++now);
        if (line.find("Accepted ") != std::string_view::npos || line.find("[preauth]") != std::string_view::npos) --now;
    }
    return peak;
}

}  // namespace

int main(int argc, char** argv) {
    BenchKit::runFakeSshIfAsked();
    BenchKit::setUp();
    const bool unpaced = argc > 1 && std::strcmp(argv[1], "--unpaced") == 0;
    if (unpaced) TunnelDriver::setHandshakeLimit(0);
    SshdBench bench;
    if (int rc = bench.setUp("reconnect burst")) return rc;
    auto server = bench.extraServer({.extraConfig = {"MaxStartups 10:30:100"}});
    if (!server) {
        std::fprintf(stderr, "reconnect burst: no sshd with the default MaxStartups\n");
        return 1;
    }
    constexpr int kTunnels = 50;
    TunnelList tunnels;
    for (int i = 0; i < kTunnels; ++i) tunnels.push_back(bench.tunnel("burst " + std::to_string(i), *server));
    if (!SshdBench::startAll(tunnels, 60s)) {
        std::fprintf(stderr, "reconnect burst: the tunnels did not all connect\n");
        return 1;
    }
    int refused = 0, extraRuns = 0, status = 0;
    std::vector<double> toAll;
    for (int round = 0; round < 3 && status == 0; ++round) {
        std::this_thread::sleep_for(500ms);
        std::vector<unsigned long long> before;
        for (const auto& t : tunnels) before.push_back(t->run().log().total());
        const auto start = BenchKit::monotonicNs();
        for (const auto& t : tunnels) t->run().reconnect();  // as ZandrelCore::reconnectAll
        // The old runs must end before "all connected" means the new ones.
        std::this_thread::sleep_for(20ms);
        if (!SshdBench::allConnected(tunnels, 120s)) status = 1;
        toAll.push_back(static_cast<double>(BenchKit::monotonicNs() - start) / 1e6);
        for (size_t i = 0; i < tunnels.size(); ++i)
            for (const auto& line : linesSince(tunnels[i], before[i])) {
                refused += saysRefused(line);
                extraRuns += line.find("Started ssh") != std::string::npos;
            }
        extraRuns -= kTunnels;
    }
    const std::string log = server->log();
    int dropped = 0;
    for (size_t at = 0; (at = log.find("past MaxStartups", at)) != std::string::npos; ++at) ++dropped;
    std::printf("reconnect burst (%s): %d tunnels, 3 rounds; ssh runs beyond one per tunnel: %d; sshd dropped %d\n",
                unpaced ? "unpaced" : "paced", kTunnels, extraRuns, dropped);
    // From 10 on, sshd refuses each new handshake with a growing chance.
    BenchKit::report("reconnect all: most handshakes sshd held at once", peakUnauthenticated(log), "", 10);
    BenchKit::report("reconnect all: refused handshakes, 3 rounds", refused, "", 1);
    BenchKit::report("reconnect all: until all connected, median", BenchKit::percentile(toAll, 50), "ms", 5000);
    BenchKit::report("reconnect all: until all connected, worst", BenchKit::percentile(toAll, 100), "ms", 8000);
    for (auto& t : tunnels) t->run().stop();
    if (!BenchKit::launchThreadsEnded(10s)) return 1;
    return status;
}
