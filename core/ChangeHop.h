#pragma once

#include <QObject>
#include <functional>
#include <mutex>
#include <unordered_set>

// Carries change notices from any thread (the engine's loop thread, many a second during a
// burst of ssh output) to a receiver on the main thread. A notice only marks its sender; the
// first since the last take() queues one call of the receiver's wake function, so the receiver
// is never touched off its thread and a burst costs one call. Held by shared_ptr in the
// observers, so a late notice after detach() finds nobody to call.
class ChangeHop {
public:
    // From now on notices wake receiver (on its thread) through wake.
    void attach(QObject* receiver, std::function<void()> wake);
    // No further wake calls.
    void detach();
    // Marks object (null: nothing) as changed without waking anybody.
    void mark(const void* object);
    // Marks object (null: nothing) and wakes the receiver unless a wake is already queued.
    void notify(const void* object);
    // What changed since the last take; the next notice wakes again.
    std::unordered_set<const void*> take();

private:
    std::mutex m_mutex;
    QObject* m_receiver = nullptr;
    std::function<void()> m_wake;
    bool m_pending = false;
    std::unordered_set<const void*> m_changed;
};
