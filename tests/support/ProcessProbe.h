#pragma once

#include <sys/types.h>

#include <functional>
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
    // True while pid exists and is not a zombie.
    static bool isAlive(pid_t pid);
    // Calls condition until it returns true (then true) or timeoutMs pass (then false),
    // sleeping 10 ms between calls.
    static bool waitUntil(const std::function<bool()>& condition, int timeoutMs);
};

}  // namespace testsupport
