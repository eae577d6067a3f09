#include "TunnelInfo.h"

#include <QDBusMetaType>

TunnelInfo TunnelInfo::fromTunnel(const Tunnel& tunnel) {
    TunnelInfo info;
    info.name = QString::fromStdString(tunnel.connName());
    info.status = QString::fromStdString(tunnel.run().status());
    info.code = tunnel.run().code();
    info.running = tunnel.run().isRunning();
    info.lastError = QString::fromStdString(tunnel.run().lastError());
    info.addresses = listeningAddresses(tunnel);
    return info;
}

QStringList TunnelInfo::listeningAddresses(const Tunnel& tunnel) {
    QStringList out;
    for (const std::string& address : tunnel.listeningAddresses()) out << QString::fromStdString(address);
    return out;
}

void TunnelInfo::registerMetaType() {
    qDBusRegisterMetaType<TunnelInfo>();
    qDBusRegisterMetaType<TunnelInfoList>();
}

QDBusArgument& operator<<(QDBusArgument& argument, const TunnelInfo& info) {
    argument.beginStructure();
    argument << info.name << info.status << info.code << info.running << info.lastError << info.addresses;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, TunnelInfo& info) {
    argument.beginStructure();
    argument >> info.name >> info.status >> info.code >> info.running >> info.lastError >> info.addresses;
    argument.endStructure();
    return argument;
}
