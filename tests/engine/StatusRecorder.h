#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "NotificationCenter.h"

class Tunnel;

// Records every "TunnelStatusChanged" of one tunnel, with the status text and phase that the tunnel
// reported when the notification arrived (on whichever thread posted it).
class StatusRecorder {
public:
    struct Entry {
        std::string status;
        int code;
        std::chrono::steady_clock::time_point at;
    };
    using Clock = std::chrono::steady_clock;

    explicit StatusRecorder(const Tunnel& tunnel);
    ~StatusRecorder();
    StatusRecorder(const StatusRecorder&) = delete;
    StatusRecorder& operator=(const StatusRecorder&) = delete;

    std::vector<Entry> entries() const;
    size_t count() const;
    std::vector<std::string> statuses() const;
    // Consecutive duplicates folded: the texts a user would have seen change.
    std::vector<std::string> distinctStatuses() const;
    void clear();
    // Waits until the recorded entries satisfy the condition; false after the timeout.
    bool waitFor(const std::function<bool(const std::vector<Entry>&)>& condition, std::chrono::milliseconds timeout);
    bool waitForStatus(const std::string& status, std::chrono::milliseconds timeout);

private:
    const Tunnel& m_tunnel;
    NotificationCenter::Token m_token;
    struct Shared {
        std::mutex mutex;
        std::condition_variable changed;
        std::vector<Entry> entries;
    };
    std::shared_ptr<Shared> m_shared;
};
