#include "NotificationCenter.h"

#include <algorithm>

NotificationCenter& NotificationCenter::defaultCenter() {
    static NotificationCenter center;
    return center;
}

NotificationCenter::Token NotificationCenter::addObserver(const std::string& name, const void* object,
                                                          Handler handler) {
    std::lock_guard lock(m_mutex);
    Token t = m_next++;
    m_entries.push_back({t, name, object, std::make_shared<Slot>(std::move(handler))});
    return t;
}

void NotificationCenter::removeObserver(Token token) {
    std::lock_guard lock(m_mutex);
    std::erase_if(m_entries, [token](const Entry& e) {
        if (e.token != token) return false;
        e.slot->active = false;
        return true;
    });
}

void NotificationCenter::post(const std::string& name, const void* object) {
    // Handlers run without the lock, so they may add or remove observers or post in turn. One
    // removed by an earlier handler of this post is not called: its owner may be gone.
    std::vector<std::shared_ptr<Slot>> targets;
    {
        std::lock_guard lock(m_mutex);
        for (const auto& e : m_entries)
            if (e.name == name && (e.object == nullptr || e.object == object)) targets.push_back(e.slot);
    }
    Notification n{name, object};
    for (const auto& s : targets)
        if (s->active) s->handler(n);
}
