#pragma once

#include <QDBusArgument>
#include <QList>
#include <QMetaType>
#include <QString>
#include <QStringList>

#include "Tunnel.h"

// One row of the D-Bus method ListTunnels, signature (ssibsas).
struct TunnelInfo {
    QString name;
    QString status;
    int code = 0;
    bool running = false;
    QString lastError;
    QStringList addresses;

    static TunnelInfo fromTunnel(const Tunnel& tunnel);
    // Tunnel::listeningAddresses: where the tunnel listens, as its running ssh does.
    static QStringList listeningAddresses(const Tunnel& tunnel);
    // Makes the type known to Qt's D-Bus marshalling; call once before the bus is used.
    static void registerMetaType();
};
using TunnelInfoList = QList<TunnelInfo>;

QDBusArgument& operator<<(QDBusArgument& argument, const TunnelInfo& info);
const QDBusArgument& operator>>(const QDBusArgument& argument, TunnelInfo& info);

Q_DECLARE_METATYPE(TunnelInfo)
Q_DECLARE_METATYPE(TunnelInfoList)
