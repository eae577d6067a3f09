// zandrel --headless as a service on a machine with no display: against a real sshd on
// 127.0.0.1, with the agent's key, on a private session bus (dbus-run-session) inside the
// private mount and PID namespaces of isolated.sh.
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusInterface>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusReply>
#include <QDateTime>
#include <QProcess>
#include <QRegularExpression>
#include <filesystem>
#include <fstream>

#include "Defaults.h"
#include "EchoServer.h"
#include "GuiFixture.h"
#include "LoopbackPort.h"
#include "ProcessProbe.h"
#include "SshAgent.h"
#include "SshdFixture.h"
#include "StatusSignalRecorder.h"
#include "TempDir.h"
#include "Wait.h"

using namespace testsupport;

namespace {

std::string sshHome() { return std::string(std::getenv("HOME")) + "/.ssh"; }

bool privateSshHome() {
    struct statfs fs {};
    return statfs(sshHome().c_str(), &fs) == 0 && fs.f_type == TMPFS_MAGIC;
}

}  // namespace

TEST(HeadlessE2e, AutoConnectTunnelCarriesBytesSignalsItsStatusAndEndsWithSigtermKeepingItsJournal) {
    if (!privateSshHome()) GTEST_SKIP() << sshHome() << " is not a private tmpfs: run under tests/e2e/isolated.sh";
    int argc = 1;
    char arg0[] = "headless_e2e";
    char* argv[] = {arg0, nullptr};
    QCoreApplication app(argc, argv);
    ASSERT_TRUE(QDBusConnection::sessionBus().isConnected()) << "run under dbus-run-session";
    SshdFixture sshd;
    SshAgent agent;
    ASSERT_TRUE(sshd.start() && agent.start() && agent.addKey(sshd.clientKeyPath()) &&
                sshd.writeKnownHosts(sshHome() + "/known_hosts"))
        << sshd.error() << agent.error() << "\n"
        << sshd.log();
    EchoServer echo;
    ASSERT_TRUE(echo.start());
    const int port = LoopbackPort::pickFree();

    TempDir dir("zandrel-headless");
    mkdir(dir.file("zandrel").c_str(), 0700);
    const Value forward = Value::dictionary(
        {{"port", std::to_string(port)}, {"host", "127.0.0.1"}, {"hostport", std::to_string(echo.port())}});
    const Value tunnel = Value::dictionary({{"connName", "db"},
                                            {"connHost", "127.0.0.1"},
                                            {"connPort", std::to_string(sshd.port())},
                                            {"connUser", SshdFixture::userName()},
                                            {"connAuth", false},
                                            {"autoConnect", true},
                                            {"tunnelsLocal", Value::List{forward}}});
    ASSERT_TRUE(Defaults(dir.file("zandrel/defaults.json")).setObjectsForKeys({{"tunnels", Value::List{tunnel}}}));

    StatusSignalRecorder signals;
    ASSERT_TRUE(QDBusConnection::sessionBus().connect("org.zandrel.Zandrel", "/org/zandrel/Zandrel",
                                                      "org.zandrel.Zandrel", "StatusChanged", &signals,
                                                      SLOT(statusChanged(QString, QString, int))));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "ZANDREL_SSH_PROGRAM"}) env.remove(name);
    env.insert("XDG_CONFIG_HOME", QString::fromStdString(dir.path()));
    env.insert("XDG_STATE_HOME", QString::fromStdString(dir.file("state")));
    env.insert("SSH_AUTH_SOCK", QString::fromStdString(agent.socketPath()));
    QProcess headless;
    headless.setProcessEnvironment(env);
    headless.setProcessChannelMode(QProcess::ForwardedChannels);
    headless.start(ZANDREL_BINARY, {"--headless"});
    ASSERT_TRUE(headless.waitForStarted());

    const auto connected = [&] { return signals.received.contains({"db", "Connected", 2}); };
    ASSERT_TRUE(GuiFixture::waitUntil(connected, 15000)) << sshd.log();
    const std::string bytes = "headless \x01\xff";
    EXPECT_EQ(EchoServer::roundTrip(port, bytes, 5000), bytes);
    QString out;
    EXPECT_EQ(GuiFixture::runProgram(ZANDREL_BINARY, env, {"--list"}, &out), 0);
    EXPECT_EQ(out, QStringLiteral("db\tConnected\tlocalhost:%1 → 127.0.0.1:%2\t\t\n").arg(port).arg(echo.port()));
    // Its ssh runs below the service, and nowhere else.
    std::vector<pid_t> sshes;
    for (pid_t pid : ProcessProbe::descendantsOf(static_cast<pid_t>(headless.processId()))) {
        std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
        std::string name;
        if (std::getline(comm, name) && name == "ssh") sshes.push_back(pid);
    }
    ASSERT_EQ(sshes.size(), 1u);

    // The status as scripts read it, over D-Bus with its types and as key: value lines.
    QDBusInterface zandrel("org.zandrel.Zandrel", "/org/zandrel/Zandrel", "org.zandrel.Zandrel");
    ASSERT_TRUE(GuiFixture::waitUntil(
        [&] {
            const QDBusReply<QVariantMap> status = zandrel.call("TunnelStatus", "db");
            return status.value().value("bytesReceived").toULongLong() > 0;
        },
        5000));
    const QDBusReply<QVariantMap> status = zandrel.call("TunnelStatus", "db");
    const QVariantMap map = status.value();
    EXPECT_EQ(map.value("state").toString(), "connected");
    EXPECT_EQ(map.value("bytesSent").metaType(), QMetaType::fromType<qulonglong>());
    EXPECT_EQ(map.value("connectedSince").metaType(), QMetaType::fromType<qlonglong>());
    EXPECT_GT(map.value("connectedSince").toLongLong(), QDateTime::currentMSecsSinceEpoch() - 60000);
    EXPECT_EQ(map.value("command").toStringList().value(0), "/usr/bin/ssh");
    EXPECT_TRUE(map.value("warnings").toStringList().isEmpty());
    EXPECT_EQ(zandrel.call("TunnelStatus", "nobody").errorName(), "org.zandrel.Zandrel.Error.UnknownTunnel");
    EXPECT_EQ(GuiFixture::runProgram(ZANDREL_BINARY, env, {"--status", "db"}, &out), 0);
    const QStringList lines = out.split(u'\n', Qt::SkipEmptyParts);
    EXPECT_EQ(lines.value(0), "state: connected");
    EXPECT_TRUE(lines.contains(QStringLiteral("addresses: localhost:%1 → 127.0.0.1:%2").arg(port).arg(echo.port())))
        << out.toStdString();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const QString& l) {
        return l.startsWith("command: /usr/bin/ssh -N -v ") && l.contains("-o ControlMaster=no");
    })) << out.toStdString();

    headless.terminate();
    ASSERT_TRUE(headless.waitForFinished(8000));
    EXPECT_EQ(headless.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(headless.exitCode(), 0);
    EXPECT_FALSE(isAlive(sshes.front()));
    EXPECT_FALSE(LoopbackPort::isListening(port));

    // The next Zandrel tells what the last one did, in its own words and times.
    QProcess again;
    again.setProcessEnvironment(env);
    again.setProcessChannelMode(QProcess::ForwardedChannels);
    again.start(ZANDREL_BINARY, {"--headless"});
    ASSERT_TRUE(GuiFixture::waitUntil(
        [&] {
            return GuiFixture::runProgram(ZANDREL_BINARY, env, {"--events", "db"}, &out) == 0;
        },
        10000));
    const QStringList events = out.split(u'\n', Qt::SkipEmptyParts);
    const QRegularExpression stamped(QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}\t"));
    for (const QString& e : events) EXPECT_TRUE(stamped.match(e).hasMatch()) << e.toStdString();
    const int quit = events.indexOf(QRegularExpression(".*\tStopped: Zandrel quit"));
    ASSERT_GE(quit, 2) << out.toStdString();
    EXPECT_TRUE(events[0].contains("\tStarted ssh to ")) << out.toStdString();
    const int connectedAt = events.indexOf(QRegularExpression(".*\tConnected: localhost:\\d+ → 127\\.0\\.0\\.1:\\d+"));
    EXPECT_TRUE(connectedAt > 0 && connectedAt < quit) << out.toStdString();
    again.terminate();
    ASSERT_TRUE(again.waitForFinished(8000));
}

TEST(HeadlessE2e, ImportReadsTheUsersSshConfigOffTheMainThreadOneTunnelPerHostLine) {
    if (!privateSshHome()) GTEST_SKIP() << sshHome() << " is not a private tmpfs: run under tests/e2e/isolated.sh";
    int argc = 1;
    char arg0[] = "headless_e2e";
    char* argv[] = {arg0, nullptr};
    QCoreApplication app(argc, argv);
    qDBusRegisterMetaType<QMap<QString, QString>>();
    std::ofstream(sshHome() + "/config")
        << "Host web1 web1.lan\n  HostName 127.0.0.1\n  LocalForward 8080 localhost:80\n"
        << "Host slow\n  HostName 127.0.0.2\n"
        << "Match originalhost slow exec \"sleep 2\"\n  User nobody\n"
        << "Host *.example !bad\n  User x\n";
    TempDir dir("zandrel-import");
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) env.remove(name);
    env.insert("XDG_CONFIG_HOME", QString::fromStdString(dir.path()));
    QProcess headless;
    headless.setProcessEnvironment(env);
    headless.setProcessChannelMode(QProcess::ForwardedChannels);
    headless.start(ZANDREL_BINARY, {"--headless"});
    QDBusInterface zandrel("org.zandrel.Zandrel", "/org/zandrel/Zandrel", "org.zandrel.Zandrel");
    ASSERT_TRUE(
        GuiFixture::waitUntil([&] { return zandrel.call("ListTunnels").type() == QDBusMessage::ReplyMessage; }, 10000));

    // The slow host holds the import for seconds; every other call is answered meanwhile.
    QDBusPendingReply<QStringList, QMap<QString, QString>> import = zandrel.asyncCall("ImportHosts", QStringList{});
    const QDBusMessage list = zandrel.call("ListTunnels");
    EXPECT_EQ(list.type(), QDBusMessage::ReplyMessage);
    EXPECT_FALSE(import.isFinished());
    import.waitForFinished();
    ASSERT_FALSE(import.isError()) << import.error().message().toStdString();
    EXPECT_EQ(import.argumentAt<0>(), (QStringList{"web1", "slow"}));
    EXPECT_TRUE(import.argumentAt<1>().isEmpty());
    const Value stored = Defaults(dir.file("zandrel/defaults.json")).objectForKey("tunnels");
    ASSERT_EQ(stored.list().size(), 2u);
    EXPECT_EQ(stored.list()[0].get("connHost"), Value("web1"));
    EXPECT_EQ(stored.list()[0].get("tunnelsLocal").list().size(), 1u);

    import = zandrel.asyncCall("ImportHosts", QStringList{"web1", "nothere"});
    import.waitForFinished();
    EXPECT_TRUE(import.argumentAt<0>().isEmpty());
    const auto refused = import.argumentAt<1>();
    EXPECT_EQ(refused.value("web1"), "the tunnel \"web1\" uses it already");
    EXPECT_TRUE(refused.value("nothere").startsWith("no Host line of ")) << refused.value("nothere").toStdString();

    headless.terminate();
    ASSERT_TRUE(headless.waitForFinished(8000));
    EXPECT_EQ(headless.exitCode(), 0);
}

TEST(HeadlessE2e, ATunnelAddedToStartWhenUsedHoldsItsPortCountsItsBytesAndLeavesNothingWhenKilled) {
    if (!privateSshHome()) GTEST_SKIP() << sshHome() << " is not a private tmpfs: run under tests/e2e/isolated.sh";
    int argc = 1;
    char arg0[] = "headless_e2e";
    char* argv[] = {arg0, nullptr};
    QCoreApplication app(argc, argv);
    qDBusRegisterMetaType<QList<QVariantMap>>();
    SshdFixture sshd;
    SshAgent agent;
    ASSERT_TRUE(sshd.start() && agent.start() && agent.addKey(sshd.clientKeyPath()) &&
                sshd.writeKnownHosts(sshHome() + "/known_hosts"))
        << sshd.error() << agent.error();
    EchoServer echo;
    ASSERT_TRUE(echo.start());
    const int port = LoopbackPort::pickFree();
    TempDir dir("zandrel-held");
    TempDir runtime("zandrel-runtime");
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "ZANDREL_SSH_PROGRAM"}) env.remove(name);
    env.insert("XDG_CONFIG_HOME", QString::fromStdString(dir.path()));
    env.insert("XDG_STATE_HOME", QString::fromStdString(dir.file("state")));
    env.insert("XDG_RUNTIME_DIR", QString::fromStdString(runtime.path()));
    env.insert("SSH_AUTH_SOCK", QString::fromStdString(agent.socketPath()));
    QString out, ignored;
    const auto startService = [&](QProcess& p) {
        p.setProcessEnvironment(env);
        p.setProcessChannelMode(QProcess::ForwardedChannels);
        p.start(ZANDREL_BINARY, {"--headless"});
        return p.waitForStarted() &&
               GuiFixture::waitUntil(
                   [&] { return GuiFixture::runProgram(ZANDREL_BINARY, env, {"--list"}, &ignored) == 0; }, 10000);
    };
    QProcess headless;
    ASSERT_TRUE(startService(headless));
    const QString server =
        QStringLiteral("%1@127.0.0.1:%2").arg(QString::fromStdString(SshdFixture::userName())).arg(sshd.port());
    const QString forward = QStringLiteral("%1:127.0.0.1:%2").arg(port).arg(echo.port());
    ASSERT_EQ(
        GuiFixture::runProgram(ZANDREL_BINARY, env, {"--add", "held", server, "-L", forward, "--on-demand"}, &out), 0);
    ASSERT_EQ(GuiFixture::runProgram(ZANDREL_BINARY, env, {"--start", "held"}, &out), 0);
    ASSERT_TRUE(GuiFixture::waitUntil(
        [&] {
            GuiFixture::runProgram(ZANDREL_BINARY, env, {"--list"}, &out);
            return out.startsWith("held\tReady: starts when used\t");
        },
        5000))
        << out.toStdString();
    EXPECT_TRUE(ProcessProbe::descendantsOf(static_cast<pid_t>(headless.processId())).empty());
    QDBusInterface zandrel("org.zandrel.Zandrel", "/org/zandrel/Zandrel", "org.zandrel.Zandrel");

    const std::string bytes(100000, '\x42');
    ASSERT_EQ(EchoServer::roundTrip(port, bytes, 15000), bytes);
    ASSERT_TRUE(GuiFixture::waitUntil(
        [&] {
            const QDBusReply<QVariantMap> status = zandrel.call("TunnelStatus", "held");
            const auto forwards = qdbus_cast<QList<QVariantMap>>(status.value().value("forwards"));
            return !forwards.isEmpty() && forwards[0].value("open").toUInt() == 0;
        },
        5000));
    const QDBusReply<QVariantMap> status = zandrel.call("TunnelStatus", "held");
    const auto forwards = qdbus_cast<QList<QVariantMap>>(status.value().value("forwards"));
    ASSERT_EQ(forwards.size(), 1);
    EXPECT_EQ(forwards[0].value("listen").toString(), QStringLiteral("localhost:%1").arg(port));
    EXPECT_EQ(forwards[0].value("bytesToTarget").toULongLong(), bytes.size());
    EXPECT_EQ(forwards[0].value("bytesFromTarget").toULongLong(), bytes.size());
    EXPECT_EQ(forwards[0].value("total").toUInt(), 1u);
    EXPECT_EQ(forwards[0].value("bytesToTarget").metaType(), QMetaType::fromType<qulonglong>());
    EXPECT_EQ(GuiFixture::runProgram(ZANDREL_BINARY, env, {"--status", "held"}, &out), 0);
    EXPECT_TRUE(out.contains(QStringLiteral("forward: localhost:%1 → 127.0.0.1:%2, bytesToTarget 100000, "
                                            "bytesFromTarget 100000, open 0, total 1, refused 0\n")
                                 .arg(port)
                                 .arg(echo.port())))
        << out.toStdString();

    // Killed: the kernel closes the port, ssh follows its parent; the next start clears the socket folder.
    const auto sshes = ProcessProbe::descendantsOf(static_cast<pid_t>(headless.processId()));
    ASSERT_EQ(sshes.size(), 1u);
    headless.kill();
    ASSERT_TRUE(headless.waitForFinished(5000));
    EXPECT_TRUE(waitUntil([&] { return !isAlive(sshes.front()); }, std::chrono::seconds(3)));
    EXPECT_FALSE(LoopbackPort::isListening(port));
    const std::string folder = runtime.file("zandrel");
    QProcess again;
    ASSERT_TRUE(startService(again));
    ASSERT_EQ(GuiFixture::runProgram(ZANDREL_BINARY, env, {"--start", "held"}, &out), 0);
    ASSERT_EQ(EchoServer::roundTrip(port, "again", 15000), "again");
    size_t folders = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        ++folders;
        EXPECT_EQ(entry.path().filename().string(), "held-" + std::to_string(again.processId()));
    }
    EXPECT_EQ(folders, 1u);
    // SIGTERM: no listener, no ssh, no socket file.
    again.terminate();
    ASSERT_TRUE(again.waitForFinished(8000));
    EXPECT_EQ(again.exitCode(), 0);
    EXPECT_FALSE(LoopbackPort::isListening(port));
    EXPECT_TRUE(std::filesystem::is_empty(folder));
}
