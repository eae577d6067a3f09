#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace testsupport {

// Looks at processes through /proc, for assertions such as "no ssh process is left".
class ProcessProbe {
public:
    // Descendants of this process (children, their children, ...) whose comm (the program name,
    // at most 15 characters) equals comm. Zombies count unless includeZombies is false: an exited
    // child that nobody reaps is a leak too.
    static std::vector<pid_t> childrenNamed(const std::string& comm, bool includeZombies = true);
    // Every descendant of root, zombies included.
    static std::vector<pid_t> descendantsOf(pid_t root);
    // The state letter of pid in /proc/PID/stat ('R', 'S', 'Z', ...), or 0 when there is no such process.
    static char stateOf(pid_t pid);
};

}  // namespace testsupport
