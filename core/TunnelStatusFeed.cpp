#include "TunnelStatusFeed.h"

#include "ChangeHop.h"

TunnelStatusFeed::TunnelStatusFeed(const TunnelStore& tunnels, QObject* parent)
    : QObject(parent), m_tunnels(tunnels), m_hop(std::make_shared<ChangeHop>()) {
    m_hop->attach(this, [this] { deliver(); });
    m_observer = NotificationCenter::defaultCenter().addObserver(
        Tunnel::kStatusChanged, nullptr, [hop = m_hop](const Notification& n) { hop->notify(n.object); });
}

TunnelStatusFeed::~TunnelStatusFeed() {
    NotificationCenter::defaultCenter().removeObserver(m_observer);
    m_hop->detach();
}

void TunnelStatusFeed::deliver() {
    const auto changed = m_hop->take();
    std::erase_if(m_lastReported, [](const auto& entry) { return entry.first.expired(); });
    for (const TunnelPtr& t : m_tunnels.tunnels()) {
        if (!changed.count(t.get())) continue;
        const QString status = QString::fromStdString(t->run().status());
        const int code = t->run().code();
        auto [it, added] = m_lastReported.try_emplace(t, status, code);
        if (!added && it->second.first == status && it->second.second == code) continue;
        it->second = {status, code};
        Q_EMIT tunnelStatusChanged(QString::fromStdString(t->connName()), status, code);
    }
}
