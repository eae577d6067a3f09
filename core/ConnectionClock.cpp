#include "ConnectionClock.h"

#include <QDeadlineTimer>
#include <algorithm>

#include "ProcessStat.h"

namespace {
// ":1.42" → 42; 0 for any other form.
qulonglong serialOf(const QString& uniqueName) {
    const qsizetype dot = uniqueName.lastIndexOf(u'.');
    return dot < 0 ? 0 : uniqueName.mid(dot + 1).toULongLong();
}
}  // namespace

ConnectionClock::ConnectionClock(QDBusConnection bus) {
    bus.connect(QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameOwnerChanged"), this,
                SLOT(ownerChanged(QString, QString, QString)));
}

void ConnectionClock::ownerChanged(const QString& name, const QString& oldOwner, const QString& newOwner) {
    if (!name.startsWith(u':')) return;  // well-known names change hands; unique names come and go
    const std::int64_t now = ProcessStat::bootClockNs();
    QMutexLocker lock(&m_mutex);
    if (oldOwner.isEmpty() && newOwner == name) {
        m_appeared.insert(name, now);
        m_newest = std::max(m_newest, serialOf(name));
    } else if (newOwner.isEmpty()) {
        m_appeared.remove(name);
    }
    m_changed.wakeAll();
}

std::int64_t ConnectionClock::appearedBy(const QString& uniqueName, int waitMs) const {
    const QDeadlineTimer deadline(waitMs);
    QMutexLocker lock(&m_mutex);
    // The bus numbers its connections in order: one not newer than the newest seen is no signal late.
    while (!m_appeared.contains(uniqueName) && serialOf(uniqueName) > m_newest)
        if (!m_changed.wait(&m_mutex, deadline)) break;
    return m_appeared.value(uniqueName, 0);
}
