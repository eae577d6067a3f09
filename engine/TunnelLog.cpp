#include "TunnelLog.h"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace {
std::string stamp() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm tm{};
    localtime_r(&t, &tm);
    char out[32];
    std::snprintf(out, sizeof out, "%02d:%02d:%02d.%03d ", tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms));
    return out;
}
}  // namespace

void TunnelLog::append(const std::string& line) {
    std::string entry = stamp() + line;
    std::lock_guard lock(m_mutex);
    if (m_lines.size() == kCapacity) m_lines.pop_front();
    m_lines.push_back(std::move(entry));
    ++m_total;
}

std::vector<std::string> TunnelLog::lines() const {
    std::lock_guard lock(m_mutex);
    return {m_lines.begin(), m_lines.end()};
}

unsigned long long TunnelLog::total() const {
    std::lock_guard lock(m_mutex);
    return m_total;
}
