#include "Wait.h"

#include <thread>

#include "ProcessProbe.h"

namespace testsupport {

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout,
               const std::function<void()>& idle) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        if (idle)
            idle();
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

bool isAlive(pid_t pid) {
    const char state = ProcessProbe::stateOf(pid);
    return state != 0 && state != 'Z' && state != 'X';
}

}  // namespace testsupport
