#include "ZandrelDBusService.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusReply>
#include <QTimer>

#include "ConnectionClock.h"
#include "DesktopFront.h"
#include "TunnelGroups.h"
#include "TunnelStatusFeed.h"
#include "ZandrelCore.h"
#include "zandreladaptor.h"

ZandrelDBusService::ZandrelDBusService(ZandrelCore& core, DesktopFront* front, QObject* parent)
    : QObject(parent), m_core(core), m_front(front), m_work(new BackgroundWork(this)) {
    // The adaptor's slot names the type by its alias.
    qRegisterMetaType<HostReasons>("HostReasons");
    qDBusRegisterMetaType<HostReasons>();
    qDBusRegisterMetaType<QList<QVariantMap>>();
    new ZandrelAdaptor(this);
    connect(&m_core.statusFeed(), &TunnelStatusFeed::tunnelStatusChanged, this, &ZandrelDBusService::StatusChanged);
}

ZandrelDBusService::~ZandrelDBusService() {
    m_clockThread.quit();
    m_clockThread.wait();
}

ZandrelDBusService::Registration ZandrelDBusService::registerOn(QDBusConnection bus, QString* error) {
    if (!bus.isConnected()) {
        if (error) *error = bus.lastError().message();
        return Registration::NoBus;
    }
    if (!m_clock) {
        // Before the name is claimed: every askpass program connects after that.
        m_clock = std::make_unique<ConnectionClock>(bus);
        m_clock->moveToThread(&m_clockThread);
        m_clockThread.start();
    }
    if (!bus.registerObject(QString::fromLatin1(kPath), this)) {
        if (error) *error = bus.lastError().message();
        return Registration::NoBus;
    }
    if (!bus.registerService(QString::fromLatin1(kService))) {
        bus.unregisterObject(QString::fromLatin1(kPath));
        if (error) *error = bus.lastError().message();
        // Someone holds the name: another Zandrel. Anything else is a bus problem.
        if (bus.interface() && bus.interface()->isServiceRegistered(QString::fromLatin1(kService)))
            return Registration::AlreadyRunning;
        return Registration::NoBus;
    }
    return Registration::Registered;
}

bool ZandrelDBusService::showRunningInstance(QDBusConnection bus, QString* error) {
    QDBusMessage call = QDBusMessage::createMethodCall(QString::fromLatin1(kService), QString::fromLatin1(kPath),
                                                       QString::fromLatin1(kInterface), QStringLiteral("ShowWindow"));
    const QDBusMessage reply = bus.call(call, QDBus::Block, 10000);
    if (reply.type() == QDBusMessage::ReplyMessage) return true;
    if (error) *error = reply.errorMessage().isEmpty() ? reply.errorName() : reply.errorMessage();
    return false;
}

QString ZandrelDBusService::Authenticate(const QString& query, const QString& tunnelName, const QString& fifo) {
    return AuthenticateKind(query, tunnelName, fifo, {});
}

QString ZandrelDBusService::AuthenticateKind(const QString& query, const QString& tunnelName, const QString& fifo,
                                             const QString& kind) {
    // The name is the caller's word; the tunnel is found from the caller's process instead.
    Q_UNUSED(tunnelName);
    QString error;
    pid_t caller = 0;
    std::int64_t connectedBy = 0;
    if (calledFromDBus()) {
        const QDBusReply<uint> pid = connection().interface()->servicePid(message().service());
        if (pid.isValid()) caller = static_cast<pid_t>(pid.value());
        if (m_clock) connectedBy = m_clock->appearedBy(message().service());
    }
    // Without a display (headless) only a remembered answer can be given; the bridge stops the
    // tunnel with its reason otherwise.
    if (m_core.authenticate(query, fifo, caller, connectedBy, &error, kind)) return QStringLiteral("OK");
    sendErrorReply(QString::fromLatin1(kErrorRefused), error.isEmpty() ? QStringLiteral("refused") : error);
    return {};
}

void ZandrelDBusService::Quit() {
    // The reply goes out first; the quit runs from the event loop, as the menu's does.
    QTimer::singleShot(0, &m_core, &ZandrelCore::terminate);
}

TunnelInfoList ZandrelDBusService::ListTunnels() {
    TunnelInfoList list;
    for (const TunnelPtr& t : m_core.tunnels().tunnels()) list.append(TunnelInfo::fromTunnel(*t));
    return list;
}

TunnelPtr ZandrelDBusService::tunnelNamed(const QString& name) {
    if (TunnelPtr t = m_core.tunnelNamed(name)) return t;
    sendErrorReply(QString::fromLatin1(kErrorUnknownTunnel), QStringLiteral("No tunnel is named \"%1\"").arg(name));
    return nullptr;
}

void ZandrelDBusService::StartTunnel(const QString& name) {
    if (TunnelPtr t = tunnelNamed(name)) t->run().start();
}

void ZandrelDBusService::StopTunnel(const QString& name) {
    if (TunnelPtr t = tunnelNamed(name)) t->run().stop(TunnelRun::StopBy::DBus);
}

TunnelList ZandrelDBusService::groupNamed(const QString& group) {
    TunnelList members = TunnelGroups::members(m_core.tunnels().tunnels(), group.toStdString());
    if (members.empty() || group.isEmpty())
        sendErrorReply(QString::fromLatin1(kErrorUnknownGroup),
                       QStringLiteral("No tunnel is in a group \"%1\"").arg(group));
    return group.isEmpty() ? TunnelList{} : members;
}

void ZandrelDBusService::StartGroup(const QString& group) {
    for (const TunnelPtr& t : groupNamed(group)) t->run().start();
}

void ZandrelDBusService::StopGroup(const QString& group) {
    for (const TunnelPtr& t : groupNamed(group)) t->run().stop(TunnelRun::StopBy::DBus);
}

void ZandrelDBusService::ShowWindow() {
    if (m_front)
        m_front->showWindow();
    else
        sendErrorReply(QString::fromLatin1(kErrorNoDisplay), QStringLiteral("Zandrel runs without a display"));
}

void ZandrelDBusService::ReconnectAll() { m_core.reconnectAll(); }

QStringList ZandrelDBusService::TunnelLog(const QString& name) {
    QStringList lines;
    if (TunnelPtr t = tunnelNamed(name))
        for (const std::string& line : t->run().log().lines()) lines << QString::fromStdString(line);
    return lines;
}

QStringList ZandrelDBusService::TunnelEvents(const QString& name) {
    QStringList events;
    if (TunnelPtr t = tunnelNamed(name))
        if (TunnelJournal* journal = t->journal())
            for (const JournalEvent& e : journal->events()) events << QString::fromStdString(e.formatted());
    return events;
}

QVariantMap ZandrelDBusService::TunnelStatus(const QString& name) {
    QVariantMap status;
    const TunnelPtr t = tunnelNamed(name);
    if (!t) return status;
    const TunnelReport r = t->run().report();
    auto list = [](const std::vector<std::string>& items) {
        QStringList out;
        for (const std::string& i : items) out << QString::fromStdString(i);
        return out;
    };
    status[QStringLiteral("state")] = QString::fromStdString(r.state);
    status[QStringLiteral("status")] = QString::fromStdString(r.status);
    status[QStringLiteral("reason")] = QString::fromStdString(r.reason);
    status[QStringLiteral("command")] = list(r.command);
    status[QStringLiteral("addresses")] = list(r.addresses);
    status[QStringLiteral("bytesSent")] = QVariant::fromValue<qulonglong>(r.bytesSent);
    status[QStringLiteral("bytesReceived")] = QVariant::fromValue<qulonglong>(r.bytesReceived);
    status[QStringLiteral("sendRate")] = r.sendRate;
    status[QStringLiteral("receiveRate")] = r.receiveRate;
    status[QStringLiteral("connectedSince")] = QVariant::fromValue<qlonglong>(r.connectedSinceMs);
    status[QStringLiteral("dropsToday")] = QVariant::fromValue<uint>(r.dropsToday);
    status[QStringLiteral("warnings")] = list(r.warnings);
    status[QStringLiteral("group")] = QString::fromStdString(TunnelGroups::groupOf(*t));
    QList<QVariantMap> forwards;
    for (const ForwardStats& f : r.forwards)
        forwards << QVariantMap{{QStringLiteral("listen"), QString::fromStdString(f.listen)},
                                {QStringLiteral("target"), QString::fromStdString(f.target)},
                                {QStringLiteral("bytesToTarget"), QVariant::fromValue<qulonglong>(f.bytesToTarget)},
                                {QStringLiteral("bytesFromTarget"), QVariant::fromValue<qulonglong>(f.bytesFromTarget)},
                                {QStringLiteral("open"), QVariant::fromValue<uint>(f.open)},
                                {QStringLiteral("total"), QVariant::fromValue<uint>(f.total)},
                                {QStringLiteral("refused"), QVariant::fromValue<uint>(f.refused)}};
    status[QStringLiteral("forwards")] = QVariant::fromValue(forwards);
    return status;
}

namespace {
const char* errorName(TunnelChanges::Outcome::Kind kind) {
    switch (kind) {
        case TunnelChanges::Outcome::Kind::UnknownTunnel:
            return ZandrelDBusService::kErrorUnknownTunnel;
        case TunnelChanges::Outcome::Kind::NotSaved:
            return ZandrelDBusService::kErrorNotSaved;
        default:
            return ZandrelDBusService::kErrorInvalid;
    }
}
}  // namespace

void ZandrelDBusService::sendOutcomeError(const TunnelChanges::Outcome& outcome) {
    sendErrorReply(QString::fromLatin1(errorName(outcome.kind)), QString::fromStdString(outcome.why));
}

TunnelChanges& ZandrelDBusService::changes() {
    if (!m_changes) m_changes = std::make_unique<TunnelChanges>(m_core.tunnels(), m_core.defaults(), m_core.keyring());
    return *m_changes;
}

void ZandrelDBusService::reply(QDBusConnection bus, const QDBusMessage& call, const TunnelChanges::Outcome& outcome) {
    bus.send(outcome.ok() ? call.createReply()
                          : call.createErrorReply(QString::fromLatin1(errorName(outcome.kind)),
                                                  QString::fromStdString(outcome.why)));
}

void ZandrelDBusService::SetTunnel(const QString& name, const QString& json) {
    Value edits;
    TunnelChanges::Outcome outcome = TunnelChanges::parse(json.toStdString(), &edits);
    if (outcome.ok()) outcome = changes().check(name.toStdString(), edits);
    if (!outcome.ok()) return sendOutcomeError(outcome);
    if (!edits.has("sshOptions")) {
        if (outcome = changes().set(name.toStdString(), edits); !outcome.ok()) sendOutcomeError(outcome);
        return;
    }
    // ssh judges the options; other calls are answered meanwhile.
    setDelayedReply(true);
    const QDBusMessage call = message();
    const QDBusConnection bus = connection();
    m_work->run([this, call, bus, name, edits](const std::atomic<bool>&) -> BackgroundWork::Finish {
        const TunnelChanges::Outcome judged = TunnelChanges::checkWithSsh(edits);
        return [this, call, bus, name, edits, judged] {
            reply(bus, call, judged.ok() ? changes().set(name.toStdString(), edits) : judged);
        };
    });
}

void ZandrelDBusService::RemoveTunnel(const QString& name) {
    if (const TunnelChanges::Outcome outcome = changes().remove(name.toStdString()); !outcome.ok())
        sendOutcomeError(outcome);
}

QStringList ZandrelDBusService::ImportHosts(const QStringList& hosts, HostReasons&) {
    std::vector<std::string> asked;
    for (const QString& h : hosts) asked.push_back(h.toStdString());
    auto refused = std::make_shared<TunnelChanges::Refusals>();
    const std::vector<std::string> toResolve = changes().hostsToImport(asked, refused.get());
    setDelayedReply(true);
    const QDBusMessage call = message();
    const QDBusConnection bus = connection();
    m_work->run([this, call, bus, toResolve, refused](const std::atomic<bool>& cancel) -> BackgroundWork::Finish {
        auto resolved = std::make_shared<SshConfig::ResolveOutcome>();
        if (!toResolve.empty()) *resolved = SshConfig::resolveAll(toResolve, {}, &cancel, {});
        return [this, call, bus, resolved, refused] {
            std::vector<std::string> made;
            const TunnelChanges::Outcome saved = changes().addImported(resolved->hosts, &made);
            if (!saved.ok()) return reply(bus, call, saved);
            QStringList names;
            for (const std::string& n : made) names << QString::fromStdString(n);
            HostReasons reasons;
            for (const auto& [host, why] : *refused)
                reasons.insert(QString::fromStdString(host), QString::fromStdString(why));
            for (const auto& [host, why] : resolved->refused)
                reasons.insert(QString::fromStdString(host), QString::fromStdString(why));
            QDBusConnection(bus).send(call.createReply({names, QVariant::fromValue(reasons)}));
        };
    });
    return {};
}

QString ZandrelDBusService::ExportTunnels(const QStringList& names) {
    std::vector<std::string> words;
    for (const QString& n : names) words.push_back(n.toStdString());
    std::string file;
    if (const TunnelChanges::Outcome outcome = changes().exportTunnels(words, &file); !outcome.ok())
        sendOutcomeError(outcome);
    return QString::fromStdString(file);
}

QStringList ZandrelDBusService::ImportTunnels(const QString& json, const QString& onConflict) {
    TunnelFile::Choice choice{};
    if (!TunnelFile::choiceFrom(onConflict.toStdString(), &choice)) {
        sendErrorReply(QString::fromLatin1(kErrorInvalid), QStringLiteral("onConflict must be keep, replace or both"));
        return {};
    }
    auto contents = std::make_shared<TunnelFile::Contents>(TunnelFile::read(json.toStdString()));
    setDelayedReply(true);
    const QDBusMessage call = message();
    const QDBusConnection bus = connection();
    // ssh judges every option of the file, off the main thread, before anything changes.
    m_work->run([this, call, bus, contents, choice](const std::atomic<bool>&) -> BackgroundWork::Finish {
        for (TunnelFile::Entry& e : contents->tunnels)
            if (e.problems.empty())
                if (const TunnelChanges::Outcome judged = TunnelChanges::checkWithSsh(e.tunnel); !judged.ok())
                    e.problems.push_back("Tunnel \"" + e.name + "\": " + judged.why);
        return [this, call, bus, contents, choice] {
            std::vector<std::string> lines;
            const TunnelChanges::Outcome outcome = changes().importTunnels(*contents, choice, &lines);
            if (!outcome.ok()) return reply(bus, call, outcome);
            QStringList done;
            for (const std::string& l : lines) done << QString::fromStdString(l);
            QDBusConnection(bus).send(call.createReply(QVariant(done)));
        };
    });
    return {};
}

void ZandrelDBusService::OpenTunnelFile(const QString& path) {
    if (m_front)
        m_front->openTunnelFile(path.toStdString());
    else
        sendErrorReply(QString::fromLatin1(kErrorNoDisplay), QStringLiteral("Zandrel runs without a display"));
}
