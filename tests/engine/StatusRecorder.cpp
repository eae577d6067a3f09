#include "StatusRecorder.h"

#include <algorithm>

#include "Tunnel.h"

StatusRecorder::StatusRecorder(const Tunnel& tunnel) : m_tunnel(tunnel), m_shared(std::make_shared<Shared>()) {
    // The observer holds what it writes to: a delivery still under way when the recorder goes
    // finishes on it.
    m_token = NotificationCenter::defaultCenter().addObserver(
        Tunnel::kStatusChanged, &tunnel, [shared = m_shared, &tunnel](const Notification&) {
            Entry e{tunnel.run().status(), tunnel.run().code(), Clock::now()};
            std::lock_guard lock(shared->mutex);
            shared->entries.push_back(std::move(e));
            shared->changed.notify_all();
        });
}

StatusRecorder::~StatusRecorder() { NotificationCenter::defaultCenter().removeObserver(m_token); }

std::vector<StatusRecorder::Entry> StatusRecorder::entries() const {
    std::lock_guard lock(m_shared->mutex);
    return m_shared->entries;
}

size_t StatusRecorder::count() const {
    std::lock_guard lock(m_shared->mutex);
    return m_shared->entries.size();
}

std::vector<std::string> StatusRecorder::statuses() const {
    std::vector<std::string> out;
    for (const auto& e : entries()) out.push_back(e.status);
    return out;
}

std::vector<std::string> StatusRecorder::distinctStatuses() const {
    auto all = statuses();
    all.erase(std::unique(all.begin(), all.end()), all.end());
    return all;
}

void StatusRecorder::clear() {
    std::lock_guard lock(m_shared->mutex);
    m_shared->entries.clear();
}

bool StatusRecorder::waitFor(const std::function<bool(const std::vector<Entry>&)>& condition,
                             std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_shared->mutex);
    return m_shared->changed.wait_for(lock, timeout, [&] { return condition(m_shared->entries); });
}

bool StatusRecorder::waitForStatus(const std::string& status, std::chrono::milliseconds timeout) {
    return waitFor(
        [&](const std::vector<Entry>& es) {
            return std::any_of(es.begin(), es.end(), [&](const Entry& e) { return e.status == status; });
        },
        timeout);
}
