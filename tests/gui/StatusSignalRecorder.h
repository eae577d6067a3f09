#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <tuple>

// Collects the StatusChanged signals a Zandrel sends on the bus.
class StatusSignalRecorder : public QObject {
    Q_OBJECT
public:
    QList<std::tuple<QString, QString, int>> received;
public Q_SLOTS:
    void statusChanged(const QString& name, const QString& status, int code) { received.append({name, status, code}); }
};
