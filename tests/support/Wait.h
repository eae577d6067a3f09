#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>

namespace testsupport {

// Calls condition until it holds (then true) or timeout has passed (then false). Between calls
// it runs idle, or sleeps 10 ms without one; a test with an event loop passes one that serves
// its events, so that what the condition waits for can happen.
bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout,
               const std::function<void()>& idle = {});

// True while pid exists and is not a zombie, as /proc/PID/stat says.
bool isAlive(pid_t pid);

}  // namespace testsupport
