#include "BenchKit.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>

#include "Bundle.h"
#include "Tunnel.h"
#include "TunnelDriver.h"

namespace {

void writeStampLine() {
    char line[128];
    int n = std::snprintf(line, sizeof line,
                          "debug1: Local connections to LOCALHOST:%lld forwarded to remote address x:1\n",
                          static_cast<long long>(BenchKit::monotonicNs()));
    ssize_t ignored = ::write(STDERR_FILENO, line, static_cast<size_t>(n));
    (void)ignored;
}

}  // namespace

void BenchKit::runFakeSshIfAsked() {
    const char* mode = std::getenv("ZANDREL_BENCH_FAKE");
    if (!mode) return;
    if (std::strncmp(mode, "lines:", 6) == 0) {
        long count = 0, gapUs = 0;
        std::sscanf(mode + 6, "%ld:%ld", &count, &gapUs);
        for (long i = 0; i < count; ++i) {
            writeStampLine();
            timespec gap{0, gapUs * 1000};
            nanosleep(&gap, nullptr);
        }
    } else if (std::strcmp(mode, "exit") == 0) {
        // A run that connected: the next one follows after the shortest pause.
        static const char connected[] = "debug1: Entering interactive session.\n";
        ssize_t ignored = write(2, connected, sizeof connected - 1);
        (void)ignored;
        writeStampLine();
        _exit(255);
    }
    for (;;) pause();
}

void BenchKit::useSelfAsSsh(const std::string& mode) {
    setenv("ZANDREL_BENCH_FAKE", mode.c_str(), 1);
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    SshCommand::setSshProgram(std::string(self, n > 0 ? static_cast<size_t>(n) : 0));
}

std::int64_t BenchKit::monotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

std::int64_t BenchKit::stampOf(const std::string& status) {
    long long ns = -1;
    return std::sscanf(status.c_str(), "Port %lld forwarded", &ns) == 1 ? ns : -1;
}

double BenchKit::percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    size_t i = static_cast<size_t>(p / 100.0 * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(i, values.size() - 1)];
}

void BenchKit::report(const std::string& name, double value, const std::string& unit, double target) {
    std::printf("%-40s %10.3f %-4s (target < %g %s) %s\n", name.c_str(), value, unit.c_str(), target, unit.c_str(),
                value < target ? "ok" : "MISSED");
    std::fflush(stdout);
}

long BenchKit::residentKiB() {
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

double BenchKit::cpuMs() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    auto ms = [](const timeval& t) { return static_cast<double>(t.tv_sec) * 1000.0 + t.tv_usec / 1000.0; };
    return ms(u.ru_utime) + ms(u.ru_stime);
}

void BenchKit::setUp() {
    static char dir[] = "/tmp/zandrel-bench-XXXXXX";
    if (mkdtemp(dir)) {
        setenv("XDG_CONFIG_HOME", dir, 1);
        std::atexit([] { std::system((std::string("rm -rf '") + dir + "'").c_str()); });
    }
    Bundle::main().setResourceDir(ZANDREL_BENCH_RESOURCES);
}

bool BenchKit::launchThreadsEnded(std::chrono::milliseconds timeout) {
    if (TunnelDriver::waitUntilIdle(timeout)) return true;
    std::fprintf(stderr, "an ssh still runs after %lld ms\n", static_cast<long long>(timeout.count()));
    return false;
}
