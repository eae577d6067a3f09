#include "DropNotifier.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>

#include "EngineTexts.h"

DropNotifier::DropNotifier(QDBusConnection bus, std::function<bool()> enabled, QObject* parent)
    : QObject(parent), m_bus(std::move(bus)), m_enabled(std::move(enabled)) {}

void DropNotifier::update(const TunnelPtr& tunnel) {
    auto& slot = m_seen[tunnel.get()];
    if (!slot || slot->tunnel.lock() != tunnel) {
        slot = std::make_shared<Seen>();
        slot->tunnel = tunnel;
        slot->drops = tunnel->run().drops();
        notifyFailure(tunnel, slot);  // one that failed before it was first seen is still told
        return;
    }
    const std::shared_ptr<Seen> keep = slot;
    notifyFailure(tunnel, keep);
    Seen& seen = *keep;
    const QString name = QString::fromStdString(tunnel->connName());
    if (const unsigned drops = tunnel->run().drops(); drops != seen.drops) {
        seen.drops = drops;
        if (!m_enabled()) return;
        QString why = EngineTexts::translated(tunnel->run().lastError());
        if (why.isEmpty()) why = tr("The connection ended.");
        notify(keep, tr("%1 disconnected").arg(name), why);
        seen.dropShown = true;
    } else if (seen.dropShown && tunnel->run().isConnected()) {
        seen.dropShown = false;
        if (m_enabled()) notify(keep, tr("%1 reconnected").arg(name), QString());
    }
}

void DropNotifier::notifyFailure(const TunnelPtr& tunnel, const std::shared_ptr<Seen>& seen) {
    const bool failed = tunnel->run().failedForGood();
    if (failed == seen->failureShown) return;
    seen->failureShown = failed;
    if (failed && m_enabled())
        notify(seen, tr("%1 stopped").arg(QString::fromStdString(tunnel->connName())),
               EngineTexts::translated(tunnel->run().lastError()));
}

void DropNotifier::notify(const std::shared_ptr<Seen>& seen, const QString& summary, const QString& body) {
    if (!m_bus.isConnected()) return;
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    call << QStringLiteral("Zandrel") << seen->id << QStringLiteral("network-vpn") << summary << body << QStringList()
         << QVariantMap() << -1;
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call), this);
    std::weak_ptr<Seen> target = seen;
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [target](QDBusPendingCallWatcher* w) {
        QDBusPendingReply<uint> reply = *w;
        // No notification service: nothing shows, nothing to report.
        if (auto s = target.lock(); s && !reply.isError()) s->id = reply.value();
        w->deleteLater();
    });
}
