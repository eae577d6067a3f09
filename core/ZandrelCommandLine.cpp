#include "ZandrelCommandLine.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QStringList>

#include "Log.h"
#include "TunnelInfo.h"
#include "ZandrelDBusService.h"

namespace {
struct Option {
    const char* name;
    ZandrelCommandLine::Command command;
    const char* method;
};
constexpr Option kOptions[] = {
    {"--list", ZandrelCommandLine::Command::List, "ListTunnels"},
    {"--start", ZandrelCommandLine::Command::Start, "StartTunnel"},
    {"--stop", ZandrelCommandLine::Command::Stop, "StopTunnel"},
    {"--reconnect-all", ZandrelCommandLine::Command::ReconnectAll, "ReconnectAll"},
    {"--show", ZandrelCommandLine::Command::Show, "ShowWindow"},
    {"--quit", ZandrelCommandLine::Command::Quit, "Quit"},
};

const Option* optionFor(ZandrelCommandLine::Command command) {
    for (const Option& o : kOptions)
        if (o.command == command) return &o;
    return nullptr;
}

void print(FILE* to, const QString& line) {
    std::fputs(qPrintable(line + u'\n'), to);
    std::fflush(to);
}
}  // namespace

ZandrelCommandLine::Command ZandrelCommandLine::commandFor(const QString& option) {
    for (const Option& o : kOptions)
        if (option == QLatin1String(o.name)) return o.command;
    return Command::None;
}

bool ZandrelCommandLine::takesName(Command command) { return command == Command::Start || command == Command::Stop; }

int ZandrelCommandLine::run(Command command, const QString& name, QDBusConnection bus, FILE* out, FILE* err) {
    const Option* option = optionFor(command);
    if (!option) return 2;
    const QString service = QString::fromLatin1(ZandrelDBusService::kService);
    if (!bus.isConnected() || !bus.interface() || !bus.interface()->isServiceRegistered(service).value()) {
        print(err, QStringLiteral("zandrel: no Zandrel runs in this session (start it, or run zandrel --headless)"));
        return 1;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(service, QString::fromLatin1(ZandrelDBusService::kPath),
                                                       QString::fromLatin1(ZandrelDBusService::kInterface),
                                                       QString::fromLatin1(option->method));
    if (takesName(command)) call << name;
    TunnelInfo::registerMetaType();
    const QDBusMessage reply = bus.call(call, QDBus::Block, 10000);
    if (reply.type() != QDBusMessage::ReplyMessage) {
        const QString why = reply.errorMessage().isEmpty() ? reply.errorName() : reply.errorMessage();
        print(err, QStringLiteral("zandrel: ") + why);
        return 1;
    }
    if (command == Command::List) {
        // One line per tunnel, tab-separated for scripts: name, state, addresses, reason, each
        // escaped so that no name or server's words can add a line or a column.
        auto field = [](const QString& s) { return QString::fromStdString(Log::escaped(s.toStdString())); };
        const QDBusReply<TunnelInfoList> list(reply);
        for (const TunnelInfo& t : list.value())
            print(out, QStringList{field(t.name), field(t.status), field(t.addresses.join(QStringLiteral(", "))),
                                   field(t.lastError)}
                           .join(u'\t'));
    }
    return 0;
}
