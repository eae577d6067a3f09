#pragma once

#include <QDBusConnection>
#include <QObject>

// Listens on the system bus for the moments when every open ssh connection is very likely dead:
// NetworkManager reaching full connectivity again, and logind reporting a resume. ssh itself
// would need up to a minute of missed keep-alives to notice. Without those services, or without
// a system bus, it never fires.
class SystemEventsWatcher : public QObject {
    Q_OBJECT
public:
    static constexpr uint kConnectedGlobal = 70;  // NM_STATE_CONNECTED_GLOBAL

    explicit SystemEventsWatcher(QDBusConnection bus, QObject* parent = nullptr);
    bool isListening() const { return m_listening; }

Q_SIGNALS:
    // why: "network" or "resume".
    void connectionsStale(const QString& why);

private Q_SLOTS:
    void networkStateChanged(uint state);
    void prepareForSleep(bool start);

private:
    bool m_listening = false;
    uint m_networkState = 0;  // 0: not known yet
};
