#pragma once

// While at least one shield lives, the process is not dumpable: no core file, and other
// processes of the user cannot ptrace it or read its memory through /proc. Held by every open
// question and every answer in memory. GUI thread only.
class CoreDumpShield {
public:
    CoreDumpShield();
    ~CoreDumpShield();
    CoreDumpShield(const CoreDumpShield&) = delete;
    CoreDumpShield& operator=(const CoreDumpShield&) = delete;

    // Whether the process is dumpable now (as the kernel says).
    static bool processDumpable();
};
