#pragma once

#include <QObject>
#include <QPair>
#include <QString>
#include <map>
#include <memory>

#include "NotificationCenter.h"
#include "TunnelStore.h"

class ChangeHop;

// The tunnels' status changes as a Qt signal on the main thread, whatever thread the engine
// reported them on: one signal per change of a tunnel's status text or code, none for a notice
// that changed neither. With or without a display (D-Bus StatusChanged).
class TunnelStatusFeed : public QObject {
    Q_OBJECT
public:
    // tunnels: the run's list, looked at when a change arrives (it may grow and shrink).
    explicit TunnelStatusFeed(const TunnelStore& tunnels, QObject* parent = nullptr);
    ~TunnelStatusFeed() override;

Q_SIGNALS:
    void tunnelStatusChanged(const QString& name, const QString& status, int code);

private:
    void deliver();

    const TunnelStore& m_tunnels;
    std::shared_ptr<ChangeHop> m_hop;
    NotificationCenter::Token m_observer;
    // By the tunnel's control block: a new tunnel may reuse a deleted one's address, never its
    // control block while a weak_ptr to it is held.
    std::map<std::weak_ptr<const Tunnel>, QPair<QString, int>, std::owner_less<>> m_lastReported;
};
