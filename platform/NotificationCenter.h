#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct Notification {
    std::string name;
    const void* object = nullptr;  // the sender, compared by identity only
};

// Observers by name, for any sender or one sender. Delivery is synchronous on the posting
// thread; observers that own widgets hop to their own thread themselves.
class NotificationCenter {
public:
    using Handler = std::function<void(const Notification&)>;
    using Token = std::uint64_t;

    static NotificationCenter& defaultCenter();

    // object == nullptr observes every sender.
    Token addObserver(const std::string& name, const void* object, Handler handler);
    void removeObserver(Token token);
    void post(const std::string& name, const void* object);

private:
    // Shared with deliveries in progress, which skip a slot removed meanwhile.
    struct Slot {
        explicit Slot(Handler h) : handler(std::move(h)) {}
        Handler handler;
        std::atomic<bool> active{true};
    };
    struct Entry {
        Token token;
        std::string name;
        const void* object;
        std::shared_ptr<Slot> slot;
    };
    std::mutex m_mutex;
    std::vector<Entry> m_entries;
    Token m_next = 1;
};
