#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

// What the engine's benchmarks share. Each benchmark is its own fake ssh: the engine runs the
// benchmark's own executable, which sees ZANDREL_BENCH_FAKE in its environment and then acts as
// the ssh the measurement needs instead of running the benchmark.
class BenchKit {
public:
    // Call first in main. When ZANDREL_BENCH_FAKE is set this never returns. Its modes:
    //   lines:N:GAP_US  N forwarded-port lines whose port is the CLOCK_MONOTONIC time of the
    //                   write in ns, GAP_US apart, then waits to be terminated
    //   exit            connects, writes one such line, then exits (a connection that drops at once)
    //   sleep           waits to be terminated
    static void runFakeSshIfAsked();
    // Makes the engine run this executable as ssh, in the given mode.
    static void useSelfAsSsh(const std::string& mode);
    static std::int64_t monotonicNs();
    // The time stamp carried by a "Port <ns> forwarded" status; -1 for any other text.
    static std::int64_t stampOf(const std::string& status);
    static double percentile(std::vector<double> values, double p);
    // Prints one result line: "<name>: <value> <unit> (target <target>) ok|MISSED".
    static void report(const std::string& name, double value, const std::string& unit, double target);
    static long residentKiB();
    // Process CPU time (all threads, user + system) in ms.
    static double cpuMs();
    // A private XDG_CONFIG_HOME and the build's resources, like the tests.
    static void setUp();
    // Waits until the engine has no ssh left; false, and said, when one outlives the timeout:
    // the figures of such a run are not to be trusted.
    static bool launchThreadsEnded(std::chrono::milliseconds timeout);
};
