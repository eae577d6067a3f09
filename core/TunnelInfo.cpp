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
    auto local = [](const std::string& bind, const QString& port) {
        const QString host =
            bind.empty() ? QStringLiteral("localhost") : QString::fromStdString(SshCommand::bracketed(bind));
        return host + u':' + port;
    };
    QStringList out;
    const auto forwards = tunnel.tunnelsLocal();
    for (const ForwardEntry& e : forwards ? *forwards : ForwardList{}) {
        auto get = [&e](const char* key) {
            auto it = e.find(key);
            return it == e.end() ? std::string() : it->second;
        };
        if (get("port").empty() || get("host").empty()) continue;  // ssh is not given it either
        const std::string hostport = get("hostport").empty() ? get("port") : get("hostport");
        out << QStringLiteral("%1 → %2:%3")
                   .arg(local(get("bind"), QString::fromStdString(get("port"))),
                        QString::fromStdString(SshCommand::bracketed(get("host"))), QString::fromStdString(hostport));
    }
    const Value socksPort = tunnel.valueForKey("socks4p");
    if (tunnel.valueForKey("socks4").boolValue() && !socksPort.isNone())
        out << local(tunnel.valueForKey("socks4b").text(), QString::number(socksPort.intValue())) +
                   QStringLiteral(" (SOCKS)");
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
