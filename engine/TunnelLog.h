#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include "LogRing.h"

// The last lines of one tunnel's ssh output across its runs, each with a time stamp, plus a line
// at every start and exit. Bounded in bytes, so a burst of output costs no more than a quiet day.
// The lines ssh writes per forwarded connection have a smaller ring of their own: thousands of
// connections never push out the login or a failure. Safe from any thread.
class TunnelLog {
public:
    // The most lines lines() returns.
    static constexpr size_t kCapacity = 1000;
    static constexpr size_t kBytes = 20 * 1024;  // a few runs of ssh -v, whole
    static constexpr size_t kConnectionBytes = 6 * 1024;
    static constexpr size_t kConnectionLines = 200;

    void append(const std::string& line);
    // perConnection: as SshOutputParser::isPerConnection judged the line.
    void append(const std::string& line, bool perConnection);
    // Oldest first, in order of arrival; where connection lines were pushed out, one line saying
    // how many.
    std::vector<std::string> lines() const;
    // Lines appended since the log was made (also those pushed out), so a viewer can follow.
    unsigned long long total() const;
    // The bytes both rings hold.
    size_t memoryUsed() const;

private:
    mutable std::mutex m_mutex;
    LogRing m_rest{kBytes, kCapacity - kConnectionLines - 1};
    LogRing m_connections{kConnectionBytes, kConnectionLines};
    unsigned long long m_total = 0;
    unsigned long long m_connectionsDropped = 0;
    unsigned long long m_lastDropped = 0;  // seq of the newest connection line pushed out
};
