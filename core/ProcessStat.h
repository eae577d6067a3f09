#pragma once

#include <sys/types.h>

#include <cstdint>

// What /proc/PID/stat says of a process: its parent and when it started.
struct ProcessStat {
    pid_t parent = 0;
    std::uint64_t startTicks = 0;  // clock ticks since boot (field 22)

    bool valid() const { return startTicks != 0; }
    bool operator==(const ProcessStat&) const = default;

    // Not valid() when there is no such process.
    static ProcessStat of(pid_t pid);
    // A boot-clock time (CLOCK_BOOTTIME, ns) by which the process had surely started: the kernel
    // rounds its start down to a tick.
    std::int64_t startedByNs() const;
    // CLOCK_BOOTTIME now, in ns: the clock field 22 counts on.
    static std::int64_t bootClockNs();
};
