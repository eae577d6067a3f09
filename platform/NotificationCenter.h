#pragma once

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
    struct Entry {
        Token token;
        std::string name;
        const void* object;
        std::shared_ptr<Handler> handler;
    };
    std::mutex m_mutex;
    std::vector<Entry> m_entries;
    Token m_next = 1;
};
