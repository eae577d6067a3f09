#include "RefusalLog.h"

bool RefusalLog::shouldLog(pid_t caller, std::int64_t nowNs) {
    // Callers quiet for a minute are forgotten, so that the map stays as small as the log.
    std::erase_if(m_lastLogged, [nowNs](const auto& entry) { return nowNs - entry.second >= kQuietNs; });
    // Nor can callers that come each with a new pid.
    if (m_lastLogged.size() >= kMaxCallers) return false;
    return m_lastLogged.emplace(caller, nowNs).second;
}
