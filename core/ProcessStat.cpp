#include "ProcessStat.h"

#include <unistd.h>

#include <ctime>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

ProcessStat ProcessStat::of(pid_t pid) {
    ProcessStat s;
    if (pid <= 0) return s;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    const std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // "pid (comm) state ppid …": the name may hold blanks and parentheses, so read after the last ')'.
    const auto close = text.rfind(')');
    if (close == std::string::npos) return s;
    // After the name: state (field 3), ppid (4), then up to the start time (22).
    std::istringstream fields(text.substr(close + 1));
    std::string skip;
    long ppid = 0;
    unsigned long long start = 0;
    fields >> skip >> ppid;
    for (int field = 5; field < 22; ++field) fields >> skip;
    if (!(fields >> start)) return s;
    s.parent = static_cast<pid_t>(ppid);
    s.startTicks = start;
    return s;
}

std::int64_t ProcessStat::startedByNs() const {
    const long hz = ::sysconf(_SC_CLK_TCK);
    const std::int64_t tick = 1'000'000'000 / (hz > 0 ? hz : 100);
    return static_cast<std::int64_t>(startTicks + 1) * tick;
}

std::int64_t ProcessStat::bootClockNs() {
    timespec ts{};
    ::clock_gettime(CLOCK_BOOTTIME, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}
