#include "SystemEventsWatcher.h"

#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>

#include "Log.h"

namespace {
constexpr const char* kNmService = "org.freedesktop.NetworkManager";
constexpr const char* kNmPath = "/org/freedesktop/NetworkManager";
constexpr const char* kLogindService = "org.freedesktop.login1";
constexpr const char* kLogindPath = "/org/freedesktop/login1";
}  // namespace

SystemEventsWatcher::SystemEventsWatcher(QDBusConnection bus, QObject* parent) : QObject(parent) {
    if (!bus.isConnected()) return;
    const bool nm = bus.connect(QString::fromLatin1(kNmService), QString::fromLatin1(kNmPath),
                                QStringLiteral("org.freedesktop.NetworkManager"), QStringLiteral("StateChanged"), this,
                                SLOT(networkStateChanged(uint)));
    const bool logind = bus.connect(QString::fromLatin1(kLogindService), QString::fromLatin1(kLogindPath),
                                    QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("PrepareForSleep"),
                                    this, SLOT(prepareForSleep(bool)));
    m_listening = nm || logind;
    if (!m_listening) Log::line("Cannot listen for network and resume events on the system bus");

    // The state before the first change; without NetworkManager the call simply fails.
    QDBusMessage get =
        QDBusMessage::createMethodCall(QString::fromLatin1(kNmService), QString::fromLatin1(kNmPath),
                                       QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << QStringLiteral("org.freedesktop.NetworkManager") << QStringLiteral("State");
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(get), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        QDBusPendingReply<QDBusVariant> reply = *w;
        if (!reply.isError() && m_networkState == 0) m_networkState = reply.value().variant().toUInt();
        w->deleteLater();
    });
}

void SystemEventsWatcher::networkStateChanged(uint state) {
    const uint before = m_networkState;
    m_networkState = state;
    if (state == kConnectedGlobal && before != kConnectedGlobal) Q_EMIT connectionsStale(QStringLiteral("network"));
}

void SystemEventsWatcher::prepareForSleep(bool start) {
    if (!start) Q_EMIT connectionsStale(QStringLiteral("resume"));
}
