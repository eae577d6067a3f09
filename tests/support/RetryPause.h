#pragma once

#include <chrono>

#include "RetryPolicy.h"

namespace testsupport {

// How long a test waits to see that nothing starts again: the pause before a first retry, as
// RetryPolicy::setScale has it now, and time for a launch to show. Header only: the support
// library itself does not link the engine.
inline std::chrono::milliseconds pastTheRetryPause() {
    return RetryPolicy::scaled(RetryPolicy::kFirstDelay) + std::chrono::milliseconds(200);
}
// The same in milliseconds, for QTest::qWait.
inline int pastTheRetryPauseMs() { return static_cast<int>(pastTheRetryPause().count()); }

}  // namespace testsupport
