#pragma once

#include <QDBusArgument>
#include <QList>
#include <QMetaType>
#include <QString>
#include <QStringList>

#include "ROZUdivev.h"

// One row of the D-Bus method ListTunnels, signature (ssibsas).
struct ZTunnelInfo {
    QString name;
    QString status;
    int code = 0;
    bool running = false;
    QString lastError;
    QStringList addresses;

    static ZTunnelInfo fromTunnel(const ROZUdivev& tunnel);
    // Where the tunnel listens on this computer and where that leads: each local forward as
    // "localhost:8143 → db.internal:5432", the SOCKS port as "localhost:1080 (SOCKS)".
    static QStringList listeningAddresses(const ROZUdivev& tunnel);
    // Makes the type known to Qt's D-Bus marshalling; call once before the bus is used.
    static void registerMetaType();
};
using ZTunnelInfoList = QList<ZTunnelInfo>;

QDBusArgument& operator<<(QDBusArgument& argument, const ZTunnelInfo& info);
const QDBusArgument& operator>>(const QDBusArgument& argument, ZTunnelInfo& info);

Q_DECLARE_METATYPE(ZTunnelInfo)
Q_DECLARE_METATYPE(ZTunnelInfoList)
