#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <map>

// Whether a refused caller's call is logged: once a minute per process and for a few processes a
// minute, so that callers that keep calling cannot fill the log.
class RefusalLog {
public:
    static constexpr std::int64_t kQuietNs = 60'000'000'000;
    static constexpr std::size_t kMaxCallers = 32;

    bool shouldLog(pid_t caller, std::int64_t nowNs);

private:
    std::map<pid_t, std::int64_t> m_lastLogged;
};
