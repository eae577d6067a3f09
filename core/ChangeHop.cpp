#include "ChangeHop.h"

void ChangeHop::attach(QObject* receiver, std::function<void()> wake) {
    std::lock_guard lock(m_mutex);
    m_receiver = receiver;
    m_wake = std::move(wake);
}

void ChangeHop::detach() {
    std::lock_guard lock(m_mutex);
    m_receiver = nullptr;
    m_wake = nullptr;
}

void ChangeHop::mark(const void* object) {
    std::lock_guard lock(m_mutex);
    if (object) m_changed.insert(object);
}

void ChangeHop::notify(const void* object) {
    std::lock_guard lock(m_mutex);
    if (!m_receiver) return;
    if (object) m_changed.insert(object);
    if (m_pending) return;
    m_pending = true;
    // The receiver is the context: a call still queued when it goes is dropped.
    QMetaObject::invokeMethod(m_receiver, m_wake, Qt::QueuedConnection);
}

std::unordered_set<const void*> ChangeHop::take() {
    std::lock_guard lock(m_mutex);
    m_pending = false;
    std::unordered_set<const void*> out;
    out.swap(m_changed);
    return out;
}
