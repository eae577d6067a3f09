#include "ZTunnelInfo.h"

#include <QDBusMetaType>

ZTunnelInfo ZTunnelInfo::fromTunnel(const ROZUdivev& tunnel) {
    ZTunnelInfo info;
    info.name = QString::fromStdString(tunnel.connName());
    info.status = QString::fromStdString(tunnel.status());
    info.code = tunnel.code();
    info.running = tunnel.isRunning();
    info.lastError = QString::fromStdString(tunnel.lastError());
    return info;
}

void ZTunnelInfo::registerMetaType() {
    qDBusRegisterMetaType<ZTunnelInfo>();
    qDBusRegisterMetaType<ZTunnelInfoList>();
}

QDBusArgument& operator<<(QDBusArgument& argument, const ZTunnelInfo& info) {
    argument.beginStructure();
    argument << info.name << info.status << info.code << info.running << info.lastError;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, ZTunnelInfo& info) {
    argument.beginStructure();
    argument >> info.name >> info.status >> info.code >> info.running >> info.lastError;
    argument.endStructure();
    return argument;
}
