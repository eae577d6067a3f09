// From the server killing a session to the next ssh and to the forward carrying bytes again,
// ten times, with 50 other tunnels up; and a frozen link at the default keep-alive to the next
// ssh (--dead-link, up to a minute). Runs inside tests/e2e/isolated.sh.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <thread>

#include "BenchKit.h"
#include "EchoServer.h"
#include "LoopbackPort.h"
#include "ProcessProbe.h"
#include "SshdBench.h"

using namespace std::chrono_literals;
using testsupport::EchoServer;
using testsupport::ProcessProbe;

namespace {

double msSince(std::int64_t startNs) { return static_cast<double>(BenchKit::monotonicNs() - startNs) / 1e6; }

// The measured tunnel's own server: its session processes are the listener's descendants.
void signalSessions(const testsupport::SshdFixture& server, int signal) {
    for (pid_t p : ProcessProbe::descendantsOf(server.pid())) kill(p, signal);
}

// Waits for the run after the current one to start; its launch time in ns, or -1.
std::int64_t nextLaunch(const TunnelPtr& t, std::chrono::seconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    bool left = false;
    while (std::chrono::steady_clock::now() < deadline) {
        const auto phase = t->run().state();
        if (phase == TunnelState::RetryWaiting) left = true;
        if (left && phase != TunnelState::RetryWaiting) return BenchKit::monotonicNs();
        std::this_thread::sleep_for(1ms);
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    BenchKit::runFakeSshIfAsked();
    BenchKit::setUp();
    const bool deadLink = argc > 1 && std::strcmp(argv[1], "--dead-link") == 0;
    SshdBench bench;
    if (int rc = bench.setUp("recovery")) return rc;
    auto own = bench.extraServer();
    EchoServer echo;
    if (!own || !echo.start()) {
        std::fprintf(stderr, "recovery: no second sshd or echo server\n");
        return 1;
    }
    TunnelList others;
    for (int i = 0; i < (deadLink ? 0 : 50); ++i) others.push_back(bench.tunnel("other " + std::to_string(i)));
    if (!SshdBench::startAll(others, 30s)) {
        std::fprintf(stderr, "recovery: the 50 other tunnels did not all connect\n");
        return 1;
    }
    const int port = testsupport::LoopbackPort::pickFree();
    auto t = bench.tunnel("measured", *own);
    t->addLocalTunnel(
        {{"port", std::to_string(port)}, {"host", "127.0.0.1"}, {"hostport", std::to_string(echo.port())}});
    t->run().start();
    int status = 0;
    if (deadLink) {
        if (!SshdBench::allConnected({t}, 15s)) return 1;
        std::this_thread::sleep_for(500ms);
        signalSessions(*own, SIGSTOP);
        const auto frozen = BenchKit::monotonicNs();
        const auto launched = nextLaunch(t, 90s);
        signalSessions(*own, SIGCONT);
        std::printf("dead link: reason \"%s\"\n", t->run().lastError().c_str());
        BenchKit::report("dead link: frozen session to next ssh (default keep-alive)",
                         launched < 0 ? 1e9 : static_cast<double>(launched - frozen) / 1e9, "s", 60);
    } else {
        std::vector<double> toLaunch, toBytes;
        for (int i = 0; i < 10; ++i) {
            if (!SshdBench::allConnected({t}, 15s) || EchoServer::roundTrip(port, "x", 2000) != "x") {
                std::fprintf(stderr, "recovery: the measured tunnel is not up: %s\n", t->run().lastError().c_str());
                status = 1;
                break;
            }
            std::this_thread::sleep_for(300ms);
            const auto killed = BenchKit::monotonicNs();
            signalSessions(*own, SIGTERM);
            const auto launched = nextLaunch(t, 10s);
            while (EchoServer::roundTrip(port, "y", 200) != "y" && msSince(killed) < 10000)
                std::this_thread::sleep_for(2ms);
            toBytes.push_back(msSince(killed));
            if (launched > 0) toLaunch.push_back(static_cast<double>(launched - killed) / 1e6);
        }
        std::printf("recovery: %zu kills of the measured session, %zu other tunnels up\n", toBytes.size(),
                    others.size());
        BenchKit::report("recovery: session killed to next ssh started, median", BenchKit::percentile(toLaunch, 50),
                         "ms", 1030);
        BenchKit::report("recovery: session killed to forward carrying again, median",
                         BenchKit::percentile(toBytes, 50), "ms", 1300);
    }
    t->run().stop();
    for (auto& o : others) o->run().stop();
    if (!BenchKit::launchThreadsEnded(10s)) return 1;
    return status;
}
