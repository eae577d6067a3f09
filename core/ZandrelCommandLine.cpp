#include "ZandrelCommandLine.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusReply>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <climits>
#include <nlohmann/json.hpp>

#include "Log.h"
#include "TunnelArguments.h"
#include "TunnelFile.h"
#include "TunnelGroups.h"
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
    {"--add", ZandrelCommandLine::Command::Add, "SetTunnel"},
    {"--remove", ZandrelCommandLine::Command::Remove, "RemoveTunnel"},
    {"--import", ZandrelCommandLine::Command::Import, "ImportHosts"},
    {"--events", ZandrelCommandLine::Command::Events, "TunnelEvents"},
    {"--status", ZandrelCommandLine::Command::Status, "TunnelStatus"},
    {"--export", ZandrelCommandLine::Command::Export, "ExportTunnels"},
    {"--import-file", ZandrelCommandLine::Command::ImportFile, "ImportTunnels"},
    {"--open-file", ZandrelCommandLine::Command::OpenFile, "OpenTunnelFile"},
};

// TunnelStatus's keys in the order --status prints them.
constexpr const char* kStatusKeys[] = {"state",       "status",         "reason",        "command",
                                       "addresses",   "bytesSent",      "bytesReceived", "sendRate",
                                       "receiveRate", "connectedSince", "dropsToday",    "warnings"};

// A shell word for each argument, so that the printed command can be run as it stands.
QString shellWords(const QStringList& argv) {
    QStringList words;
    for (const QString& a : argv) {
        const bool plain = !a.isEmpty() && std::all_of(a.begin(), a.end(), [](QChar c) {
            return c.isLetterOrNumber() || QStringLiteral("@%+=:,./_-[]").contains(c);
        });
        words << (plain ? a : u'\'' + QString(a).replace(u'\'', QStringLiteral("'\\''")) + u'\'');
    }
    return words.join(u' ');
}

const Option* optionFor(ZandrelCommandLine::Command command) {
    for (const Option& o : kOptions)
        if (o.command == command) return &o;
    return nullptr;
}

void print(FILE* to, const QString& line) {
    std::fputs(qPrintable(line + u'\n'), to);
    std::fflush(to);
}

// Each field escaped, so that no name or server's words can add a line or a column.
QString field(const QString& s) { return QString::fromStdString(Log::escaped(s.toStdString())); }

// The call's error as one line, or empty on success.
QString failure(const QDBusMessage& reply) {
    if (reply.type() == QDBusMessage::ReplyMessage) return {};
    return reply.errorMessage().isEmpty() ? reply.errorName() : reply.errorMessage();
}

// The tunnel's group as TunnelStatus tells it ("" for none, or for a tunnel gone meanwhile).
QString groupOf(QDBusConnection& bus, const QDBusMessage& like, const QString& name) {
    QDBusMessage status =
        QDBusMessage::createMethodCall(like.service(), like.path(), like.interface(), QStringLiteral("TunnelStatus"));
    status << name;
    const QDBusMessage reply = bus.call(status, QDBus::Block, 10000);
    return qdbus_cast<QVariantMap>(reply.arguments().value(0)).value(QStringLiteral("group")).toString();
}

// --import-file's arguments: the file's text and what to do on a conflict.
QString importArguments(const QStringList& words, QList<QVariant>* args) {
    QStringList files = words;
    const bool replace = files.removeAll(QStringLiteral("--replace")) > 0;
    if (files.size() != 1) return QStringLiteral("--import-file needs one FILE (and --replace, if wanted)");
    QFile file(files.first());
    // A huge file is refused before it is read.
    if (!file.open(QIODevice::ReadOnly) || file.size() > qint64(TunnelFile::kMaxBytes) + 1)
        return file.isOpen() ? QStringLiteral("%1: larger than %2 KiB, more than any tunnel file")
                                   .arg(files.first())
                                   .arg(TunnelFile::kMaxBytes / 1024)
                             : QStringLiteral("%1: %2").arg(files.first(), file.errorString());
    *args = {QString::fromUtf8(file.read(qint64(TunnelFile::kMaxBytes) + 1)),
             replace ? QStringLiteral("replace") : QStringLiteral("keep")};
    return {};
}

// --add's arguments: NAME and its JSON settings, or the reason they cannot be read.
QString addArguments(const QStringList& words, QDBusConnection& bus, const QString& service, QList<QVariant>* args) {
    std::vector<std::string> plain;
    for (const QString& w : words) plain.push_back(w.toStdString());
    const TunnelArguments::Parsed parsed = TunnelArguments::parse(plain, QDir::currentPath().toStdString());
    if (!parsed.error.empty()) return QString::fromStdString(parsed.error);
    // SetTunnel changes a tunnel of that name; --add only ever makes one.
    QDBusMessage list = QDBusMessage::createMethodCall(service, QString::fromLatin1(ZandrelDBusService::kPath),
                                                       QString::fromLatin1(ZandrelDBusService::kInterface),
                                                       QStringLiteral("ListTunnels"));
    const QDBusReply<TunnelInfoList> tunnels = bus.call(list, QDBus::Block, 10000);
    for (const TunnelInfo& t : tunnels.value())
        if (t.name.toStdString() == parsed.name)
            return QStringLiteral("A tunnel named \"%1\" exists; zandrel --remove it first").arg(field(t.name));
    *args = {QString::fromStdString(parsed.name), QString::fromStdString(parsed.settings.toJson().dump())};
    return {};
}
}  // namespace

ZandrelCommandLine::Command ZandrelCommandLine::commandFor(const QString& option) {
    for (const Option& o : kOptions)
        if (option == QLatin1String(o.name)) return o.command;
    return Command::None;
}

bool ZandrelCommandLine::takesName(Command command) {
    return command == Command::Start || command == Command::Stop || command == Command::Remove ||
           command == Command::Events || command == Command::Status;
}

bool ZandrelCommandLine::takesRest(Command command) {
    return command == Command::Add || command == Command::Import || command == Command::Export ||
           command == Command::ImportFile || command == Command::OpenFile;
}

bool ZandrelCommandLine::isRunning(QDBusConnection bus) {
    return bus.isConnected() && bus.interface() &&
           bus.interface()->isServiceRegistered(QString::fromLatin1(ZandrelDBusService::kService)).value();
}

int ZandrelCommandLine::run(Command command, const QStringList& words, QDBusConnection bus, FILE* out, FILE* err) {
    const Option* option = optionFor(command);
    if (!option) return 2;
    // Before the bus is used at all: a reply of these types must never meet them unregistered.
    TunnelInfo::registerMetaType();
    qDBusRegisterMetaType<QMap<QString, QString>>();
    qDBusRegisterMetaType<QList<QVariantMap>>();
    const QString service = QString::fromLatin1(ZandrelDBusService::kService);
    if (!isRunning(bus)) {
        print(err, QStringLiteral("zandrel: no Zandrel runs in this session (start it, or run zandrel --headless)"));
        return 1;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(service, QString::fromLatin1(ZandrelDBusService::kPath),
                                                       QString::fromLatin1(ZandrelDBusService::kInterface),
                                                       QString::fromLatin1(option->method));
    int timeout = 10000;
    if (takesName(command)) {
        // "@work" is always the group "work": no tunnel's name begins with "@".
        const std::string group = TunnelGroups::fromReference(words.value(0).toStdString());
        if (!group.empty() && (command == Command::Start || command == Command::Stop)) {
            call = QDBusMessage::createMethodCall(
                service, call.path(), call.interface(),
                command == Command::Start ? QStringLiteral("StartGroup") : QStringLiteral("StopGroup"));
            call << QString::fromStdString(group);
        } else {
            call << words.value(0);
        }
    } else if (command == Command::Add) {
        QList<QVariant> args;
        if (const QString why = addArguments(words, bus, service, &args); !why.isEmpty()) {
            print(err, QStringLiteral("zandrel: ") + why);
            return 1;
        }
        call.setArguments(args);
    } else if (command == Command::Import) {
        call << words;
        timeout = INT_MAX;  // each host has its own time-out in Zandrel
    } else if (command == Command::Export) {
        call << words;
    } else if (command == Command::ImportFile) {
        QList<QVariant> args;
        if (const QString why = importArguments(words, &args); !why.isEmpty()) {
            print(err, QStringLiteral("zandrel: ") + why);
            return 1;
        }
        call.setArguments(args);
        timeout = 120000;  // ssh judges each option of the file
    } else if (command == Command::OpenFile) {
        call << QFileInfo(words.value(0)).absoluteFilePath();
    }
    const QDBusMessage reply = bus.call(call, QDBus::Block, timeout);
    if (const QString why = failure(reply); !why.isEmpty()) {
        // A file's problems come a line each.
        for (const QString& line : why.split(u'\n')) print(err, QStringLiteral("zandrel: ") + line);
        return 1;
    }
    if (command == Command::List) {
        // One line per tunnel, tab-separated for scripts: name, state, addresses, reason, group.
        const QDBusReply<TunnelInfoList> list(reply);
        for (const TunnelInfo& t : list.value())
            print(out, QStringList{field(t.name), field(t.status), field(t.addresses.join(QStringLiteral(", "))),
                                   field(t.lastError), field(groupOf(bus, call, t.name))}
                           .join(u'\t'));
    } else if (command == Command::Export) {
        std::fputs(reply.arguments().value(0).toString().toUtf8().constData(), out);
    } else if (command == Command::ImportFile) {
        for (const QString& line : reply.arguments().value(0).toStringList()) print(out, line);
    } else if (command == Command::Events) {
        // The journal keeps each text on one line already.
        for (const QString& event : reply.arguments().value(0).toStringList()) print(out, event);
    } else if (command == Command::Status) {
        // "key: value" lines; a list gives a line per item, none when it is empty.
        const QVariantMap status = qdbus_cast<QVariantMap>(reply.arguments().value(0));
        for (const char* key : kStatusKeys) {
            const QVariant value = status.value(QLatin1String(key));
            const QString prefix = QLatin1String(key) + QStringLiteral(": ");
            if (QLatin1String(key) == QLatin1String("command"))
                print(out, prefix + field(shellWords(value.toStringList())));
            else if (value.metaType() == QMetaType::fromType<QStringList>())
                for (const QString& item : value.toStringList()) print(out, prefix + field(item));
            else if (value.metaType() == QMetaType::fromType<double>())
                print(out, prefix + QString::number(value.toDouble(), 'f', 0));
            else
                print(out, prefix + field(value.toString()));
        }
        // One line per held port: where it listens, where it leads, what it carried.
        for (const QVariantMap& f : qdbus_cast<QList<QVariantMap>>(status.value(QStringLiteral("forwards")))) {
            auto number = [&f](const char* key) { return QString::number(f.value(QLatin1String(key)).toULongLong()); };
            print(out, QStringLiteral("forward: %1 → %2, bytesToTarget %3, bytesFromTarget %4, open %5, total %6, "
                                      "refused %7")
                           .arg(field(f.value(QStringLiteral("listen")).toString()),
                                field(f.value(QStringLiteral("target")).toString()), number("bytesToTarget"),
                                number("bytesFromTarget"), number("open"), number("total"), number("refused")));
        }
    } else if (command == Command::Import) {
        const QList<QVariant> results = reply.arguments();
        for (const QString& made : results.value(0).toStringList()) print(out, field(made));
        const auto refused = qdbus_cast<QMap<QString, QString>>(results.value(1));
        for (auto it = refused.begin(); it != refused.end(); ++it)
            print(err, QStringLiteral("zandrel: %1: %2").arg(field(it.key()), field(it.value())));
        return refused.isEmpty() ? 0 : 1;
    }
    return 0;
}
