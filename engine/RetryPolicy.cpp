#include "RetryPolicy.h"

#include <algorithm>
#include <atomic>
#include <cstdint>

namespace {
std::atomic<double> g_scale{1.0};
}

std::chrono::milliseconds RetryPolicy::nextDelay() {
    const auto delay = m_delay;
    m_delay = std::min(m_delay * 2, kMaxDelay);
    return delay;
}

void RetryPolicy::setScale(double scale) { g_scale = scale; }

std::chrono::milliseconds RetryPolicy::scaled(std::chrono::milliseconds delay) {
    return std::chrono::milliseconds(static_cast<std::int64_t>(static_cast<double>(delay.count()) * g_scale.load()));
}
