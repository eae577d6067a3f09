// ssh's standard error, whose banner, "Remote:" lines and host names the server chooses: every
// line through each parser function and a log, and the whole in chunks to a live run.
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "FuzzEnvironment.h"
#include "SshOutputParser.h"
#include "TargetRefusals.h"
#include "Tunnel.h"
#include "TunnelDriver.h"
#include "TunnelLog.h"

namespace {

using M = SshOutputParser::Marker;

void parseLine(const std::string& line, TunnelLog& log, TargetRefusals& refusals) {
    for (M m : {M::Connected, M::Authenticated, M::PortForwarded, M::ClosedByRemote, M::ForwardRepliesExpected,
                M::ForwardRepliesReceived, M::JumpSession})
        (void)SshOutputParser::holds(line, m);
    (void)SshOutputParser::forwardedPort(line);
    (void)SshOutputParser::localForward(line);
    (void)SshOutputParser::isReportable(line);
    (void)SshOutputParser::isForwardFailure(line);
    (void)SshOutputParser::busyPort(line);
    (void)SshOutputParser::reportText(line);
    (void)SshOutputParser::isPerConnection(line);
    (void)SshOutputParser::connectingTo(line);
    if (refusals.observe(line, 0) != TargetRefusals::Seen::Nothing) (void)refusals.lastWarning(0);
    log.append(line);
}

// Several tunnels, each to a server of its own (starts to one server are paced), so that while
// one whose run a line ended starts again, the next input goes to another.
std::vector<TunnelPtr>& tunnels() {
    static std::vector<TunnelPtr> pool;
    return pool;
}

bool isLive(const TunnelRun& run) {
    const TunnelState s = run.state();
    return run.isRunning() && (s == TunnelState::Connecting || s == TunnelState::Connected);
}

// A run whose output is still read; those a line ended are started again meanwhile.
TunnelRun& liveRun() {
    for (int i = 0; i < 2000; ++i) {
        for (const TunnelPtr& t : tunnels()) {
            TunnelRun& run = t->run();
            if (isLive(run)) return run;
            const TunnelState s = run.state();
            if (s == TunnelState::Idle || s == TunnelState::RetryWaiting) run.start();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::abort();  // no run came up in 10 s
}

void endRuns() {
    for (const TunnelPtr& t : tunnels()) t->run().stop();
    TunnelDriver::setShutdown(true);
    (void)TunnelDriver::waitUntilIdle(std::chrono::seconds(10));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    FuzzEnvironment::instance();
    for (int i = 0; i < 4; ++i) {
        tunnels().push_back(Tunnel::create("fuzz " + std::to_string(i)));
        tunnels().back()->setValueForKey(Value("host" + std::to_string(i)), "connHost");
    }
    // Every run launched before the runs' end is registered: it then comes before the statics a
    // launch makes are destroyed, which the engine's thread would otherwise still use at exit.
    for (const TunnelPtr& t : tunnels()) t->run().start();
    for (const TunnelPtr& t : tunnels())
        for (int i = 0; i < 2000 && !isLive(t->run()); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::atexit(endRuns);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    TunnelLog log;
    TargetRefusals refusals;
    for (size_t start = 0; start <= input.size();) {
        const size_t nl = input.find('\n', start);
        parseLine(input.substr(start, nl == std::string::npos ? std::string::npos : nl - start), log, refusals);
        if (nl == std::string::npos) break;
        start = nl + 1;
    }
    (void)log.lines();
    (void)refusals.warnings(0);

    // Chunk sizes as a pipe gives them: from one byte to a page, varying with the input.
    TunnelRun& run = liveRun();
    std::uint32_t seed = static_cast<std::uint32_t>(size) * 2654435761u;
    for (size_t at = 0; at < input.size();) {
        seed = seed * 1103515245u + 12345u;
        const size_t n = std::min<size_t>(input.size() - at, 1 + (seed >> 8) % 512);
        if (!run.stdErr(input.data() + at, n)) break;
        at += n;
    }
    (void)run.stdErr("\n", 1);  // the next input starts with a line of its own
    (void)run.log().lines();
    return 0;
}
