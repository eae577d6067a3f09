#pragma once

#include <QDBusConnection>
#include <QHash>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QWaitCondition>
#include <cstdint>

// When each connection of a bus appeared: its unique name's NameOwnerChanged, timed on the boot
// clock. Meant to live on a thread of its own, so that the time is taken as the signal arrives
// and not whenever the main thread is free; read from any thread.
class ConnectionClock : public QObject {
    Q_OBJECT
public:
    // Subscribes at once: connections older than this are never known.
    explicit ConnectionClock(QDBusConnection bus);

    // The boot-clock time (ns) by which `uniqueName` had appeared, or 0 when it is unknown. The
    // signal and a call of the same connection travel apart, so a call may come first: wait a
    // little for its signal.
    std::int64_t appearedBy(const QString& uniqueName, int waitMs = 200) const;

private Q_SLOTS:
    void ownerChanged(const QString& name, const QString& oldOwner, const QString& newOwner);

private:
    mutable QMutex m_mutex;
    mutable QWaitCondition m_changed;
    QHash<QString, std::int64_t> m_appeared;
    qulonglong m_newest = 0;
};
