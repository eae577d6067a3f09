#pragma once

#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

// The last lines of one tunnel's ssh output across its runs, each with a time stamp, plus a line
// at every start and exit. Bounded, so a burst of output costs no more than a quiet day.
// Safe from any thread.
class TunnelLog {
public:
    static constexpr size_t kCapacity = 1000;

    void append(const std::string& line);
    std::vector<std::string> lines() const;
    // Lines appended since the log was made (also those pushed out), so a viewer can follow.
    unsigned long long total() const;

private:
    mutable std::mutex m_mutex;
    std::deque<std::string> m_lines;
    unsigned long long m_total = 0;
};
