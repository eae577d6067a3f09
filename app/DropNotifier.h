#pragma once

#include <QDBusConnection>
#include <QObject>
#include <functional>
#include <map>
#include <memory>

#include "Tunnel.h"

// Desktop notifications (org.freedesktop.Notifications) when a connected tunnel loses its
// connection, and when it is connected again after that; the second replaces the first, so a
// tunnel has at most one notification on screen. One more when a failure that no retry can heal
// stops a tunnel. Without a notification service nothing shows.
class DropNotifier : public QObject {
    Q_OBJECT
public:
    // enabled is asked at each event (the "notifyDrops" preference).
    DropNotifier(QDBusConnection bus, std::function<bool()> enabled, QObject* parent = nullptr);

    // Looks at a tunnel whose state may have changed.
    void update(const TunnelPtr& tunnel);

private:
    struct Seen {
        std::weak_ptr<Tunnel> tunnel;  // a new tunnel may reuse a gone one's address
        unsigned drops = 0;
        uint id = 0;  // the notification on screen, 0 for none
        bool dropShown = false;
        bool failureShown = false;
    };
    void notifyFailure(const TunnelPtr& tunnel, const std::shared_ptr<Seen>& seen);
    void notify(const std::shared_ptr<Seen>& seen, const QString& summary, const QString& body);

    QDBusConnection m_bus;
    std::function<bool()> m_enabled;
    std::map<const Tunnel*, std::shared_ptr<Seen>> m_seen;
};
