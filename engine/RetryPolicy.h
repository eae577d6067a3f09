#pragma once

#include <chrono>

// The pause before a tunnel's next run: 1 s after the first failure, doubling after each run that
// did not connect, 60 s at most; back to 1 s once a run connects, and on a start or reconnect.
// A refused login is so never retried every second (fail2ban, MaxStartups).
class RetryPolicy {
public:
    static constexpr std::chrono::milliseconds kFirstDelay{1000};
    static constexpr std::chrono::milliseconds kMaxDelay{60000};

    // The pause before the run that follows now; the one after it doubles.
    std::chrono::milliseconds nextDelay();
    void reset() { m_delay = kFirstDelay; }

    // Shorter pauses for tests of the policy's timing (1 = the real one); engine-wide.
    static void setScale(double scale);
    static std::chrono::milliseconds scaled(std::chrono::milliseconds delay);

private:
    std::chrono::milliseconds m_delay = kFirstDelay;
};
