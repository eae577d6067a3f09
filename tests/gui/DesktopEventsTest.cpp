// Network back, resume and desktop notifications, with a fake NetworkManager and logind on a
// private system bus and a fake notification server on the private session bus (the test runs
// under dbus-run-session).
#include <sys/stat.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QMainWindow>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>
#include <fstream>

#include "Bundle.h"
#include "Defaults.h"
#include "PreferencesController.h"
#include "StatusNotifierItem.h"
#include "SystemEventsWatcher.h"
#include "TempDir.h"
#include "TrayIcon.h"
#include "TrayMenuExporter.h"
#include "Tunnel.h"
#include "TunnelDriver.h"
#include "TunnelsWindowController.h"
#include "ZandrelApplication.h"

// Stands in for the desktop's notification server: records every Notify call.
class FakeNotifications : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    struct Call {
        uint replaces;
        QString summary;
        QString body;
    };
    QList<Call> calls;

public Q_SLOTS:
    uint Notify(const QString&, uint replaces, const QString&, const QString& summary, const QString& body,
                const QStringList&, const QVariantMap&, int) {
        calls.append({replaces, summary, body});
        return replaces ? replaces : static_cast<uint>(100 + calls.size());
    }
};

// Stands in for a panel's StatusNotifierWatcher that starts after Zandrel.
class FakeWatcher : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
public:
    QStringList items;
public Q_SLOTS:
    void RegisterStatusNotifierItem(const QString& service) { items << service; }
};

class DesktopEventsTest : public QObject {
    Q_OBJECT
public:
    DesktopEventsTest(ZandrelApplication& app, const QString& systemBus, testsupport::TempDir& dir)
        : m_app(app), m_systemBus(systemBus), m_dir(dir) {}

private Q_SLOTS:
    void init() {
        // Connects, then waits for $DIR/drop to say the server went away.
        const std::string path = m_dir.file("ssh");
        std::ofstream(path) << "#!/bin/sh\necho $$ >> '" << m_dir.file("runs") << "'\n"
                            << "echo 'debug1: Entering interactive session.' >&2\n"
                            << "while [ ! -e '" << m_dir.file("drop") << "' ]; do sleep 0.02; done\n"
                            << "rm -f '" << m_dir.file("drop") << "'\n"
                            << "echo 'Connection to h closed by remote host.' >&2\nsleep 5\n";
        chmod(path.c_str(), 0755);
        std::remove(m_dir.file("runs").c_str());
        SshCommand::setSshProgram(path);
        TunnelDriver::setShutdown(false);
        QVERIFY(m_app.defaults().setObjectForKey(Value(true), PreferencesController::kNotifyDrops));
        m_controller = std::make_unique<TunnelsWindowController>(m_app);
        m_controller->setUpWindowAndTunnels();
        tunnel()->run().start();
        QTRY_COMPARE(tunnel()->run().code(), 2);
        // Drawn once: the drop notifier counts drops from what it first sees, so a drop must come later.
        QTRY_VERIFY(m_controller->trayIcon()->state() == TrayIcon::State::All);
    }
    void cleanup() {
        tunnel()->run().stop();
        QVERIFY(TunnelDriver::waitUntilIdle(std::chrono::seconds(5)));
        m_controller.reset();
    }

    void networkBackAndResumeStartAFreshSsh() {
        QDBusConnection fakes = QDBusConnection::connectToBus(m_systemBus, QStringLiteral("fakes"));
        QVERIFY(fakes.registerService(QStringLiteral("org.freedesktop.NetworkManager")));
        QVERIFY(fakes.registerService(QStringLiteral("org.freedesktop.login1")));
        auto emitSignal = [&](const char* path, const char* iface, const char* name, const QVariant& arg) {
            QDBusMessage m = QDBusMessage::createSignal(QString::fromLatin1(path), QString::fromLatin1(iface),
                                                        QString::fromLatin1(name));
            m << arg;
            QVERIFY(fakes.send(m));
        };
        auto nm = [&](uint state) {
            emitSignal("/org/freedesktop/NetworkManager", "org.freedesktop.NetworkManager", "StateChanged",
                       QVariant::fromValue(state));
        };
        auto sleep = [&](bool start) {
            emitSignal("/org/freedesktop/login1", "org.freedesktop.login1.Manager", "PrepareForSleep", start);
        };
        struct Step {
            std::function<void()> event;
            int runsAfter;  // ssh runs so far once the event has been handled
        };
        const Step steps[] = {
            {[&] { nm(20); }, 1},                // going down: nothing to do yet
            {[&] { nm(70); }, 2},                // full connectivity again
            {[&] { nm(70); }, 2},                // no change
            {[&] { sleep(true); }, 2}, {[&] { sleep(false); }, 3},  // resumed
        };
        for (const Step& step : steps) {
            step.event();
            QTest::qWait(400);  // a fresh ssh starts at once, without the pause
            QCOMPARE(runs(), step.runsAfter);
            QTRY_COMPARE(tunnel()->run().code(), 2);
        }
        fakes.unregisterService(QStringLiteral("org.freedesktop.NetworkManager"));
        fakes.unregisterService(QStringLiteral("org.freedesktop.login1"));
        QDBusConnection::disconnectFromBus(QStringLiteral("fakes"));
    }

    void aDropAndTheReconnectionAreOneNotification() {
        FakeNotifications server;
        QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("notify"));
        QVERIFY(bus.registerObject(QStringLiteral("/org/freedesktop/Notifications"), &server,
                                   QDBusConnection::ExportAllSlots));
        QVERIFY(bus.registerService(QStringLiteral("org.freedesktop.Notifications")));

        std::ofstream(m_dir.file("drop")).put('\n');
        QTRY_COMPARE(server.calls.size(), 1);
        QCOMPARE(server.calls[0].summary, QStringLiteral("Office disconnected"));
        QCOMPARE(server.calls[0].body, QStringLiteral("Connection to h closed by remote host."));
        QCOMPARE(server.calls[0].replaces, 0u);
        QTRY_COMPARE_WITH_TIMEOUT(server.calls.size(), 2, 5000);
        QCOMPARE(server.calls[1].summary, QStringLiteral("Office reconnected"));
        QCOMPARE(server.calls[1].replaces, 101u);  // the same notification, replaced

        // Switched off, a stop, and a Reconnect All: nothing is shown.
        QVERIFY(m_app.defaults().setObjectForKey(Value(false), PreferencesController::kNotifyDrops));
        std::ofstream(m_dir.file("drop")).put('\n');
        QTRY_COMPARE_WITH_TIMEOUT(runs(), 3, 5000);
        QVERIFY(m_app.defaults().setObjectForKey(Value(true), PreferencesController::kNotifyDrops));
        QTRY_COMPARE(tunnel()->run().code(), 2);
        m_controller->reconnectAll();
        QTRY_COMPARE(runs(), 4);
        QTRY_COMPARE(tunnel()->run().code(), 2);
        QTest::qWait(300);
        QCOMPARE(server.calls.size(), 2);
        bus.unregisterService(QStringLiteral("org.freedesktop.Notifications"));
        QDBusConnection::disconnectFromBus(QStringLiteral("notify"));
    }

    void lateStatusNotifierWatcherGetsAnItemOfOurOwn() {
        // Offscreen, Qt's own icon has no notification area, as on a desktop whose panel is late.
        QVERIFY(!m_controller->trayIcon()->isShown());
        FakeWatcher watcher;
        QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("panel"));
        QVERIFY(
            bus.registerObject(QStringLiteral("/StatusNotifierWatcher"), &watcher, QDBusConnection::ExportAllSlots));
        QVERIFY(bus.registerService(QStringLiteral("org.kde.StatusNotifierWatcher")));
        QTRY_COMPARE_WITH_TIMEOUT(watcher.items.size(), 1, 5000);
        QVERIFY(m_controller->trayIcon()->isShown());

        const QString item = watcher.items[0];
        auto get = [&](const char* name) {
            QDBusMessage m = QDBusMessage::createMethodCall(item, QStringLiteral("/StatusNotifierItem"),
                                                            QStringLiteral("org.freedesktop.DBus.Properties"),
                                                            QStringLiteral("Get"));
            m << QStringLiteral("org.kde.StatusNotifierItem") << QString::fromLatin1(name);
            // The item lives in this thread: wait with the event loop running.
            const QDBusMessage reply = bus.call(m, QDBus::BlockWithGui, 5000);
            return reply.arguments().value(0).value<QDBusVariant>().variant();
        };
        QCOMPARE(get("Title").toString(), QStringLiteral("Zandrel"));
        auto pixmaps = [&] { return qdbus_cast<StatusNotifierItem::Pixmaps>(get("IconPixmap")); };
        const StatusNotifierItem::Pixmaps connected = pixmaps();
        QVERIFY(!connected.isEmpty());
        QCOMPARE(connected[0].argb.size(), connected[0].width * connected[0].height * 4);
        const auto tip = qdbus_cast<StatusNotifierItem::ToolTip>(get("ToolTip"));
        QVERIFY2(tip.text.contains(QStringLiteral("1 of 1 tunnels connected")), qPrintable(tip.text));

        // The host draws the tray menu itself: the tunnel checked, and a click runs the item.
        QDBusMessage layoutCall = QDBusMessage::createMethodCall(
            item, QStringLiteral("/MenuBar"), QStringLiteral("com.canonical.dbusmenu"), QStringLiteral("GetLayout"));
        layoutCall << 0 << -1 << QStringList();
        const QDBusMessage layoutReply = bus.call(layoutCall, QDBus::BlockWithGui, 5000);
        QCOMPARE(layoutReply.type(), QDBusMessage::ReplyMessage);
        const auto layout = qdbus_cast<TrayMenuExporter::Layout>(layoutReply.arguments().value(1));
        QMap<QString, TrayMenuExporter::Layout> items;
        for (const QVariant& child : layout.children) {
            const auto entry = qdbus_cast<TrayMenuExporter::Layout>(child);
            items.insert(entry.properties.value("label").toString(), entry);
        }
        QCOMPARE(items.value("Office").properties.value("toggle-state").toInt(), 1);
        QVERIFY2(items.contains("Reconnect _All") && items.contains("_Quit"), qPrintable(items.keys().join(", ")));
        // A group is a submenu of its own items and tunnels.
        QStringList lab;
        for (const QVariant& child : items.value("lab (1 stopped)").children)
            lab << qdbus_cast<TrayMenuExporter::Layout>(child).properties.value("label").toString();
        QCOMPARE(lab, (QStringList{"_Start All", "S_top All", QString(), "Lab"}));
        QDBusMessage click = QDBusMessage::createMethodCall(
            item, QStringLiteral("/MenuBar"), QStringLiteral("com.canonical.dbusmenu"), QStringLiteral("EventGroup"));
        click << QVariant::fromValue(TrayMenuExporter::MenuEventList{
            {items.value("Reconnect _All").id, QStringLiteral("clicked"), QDBusVariant(0), 0u}});
        const QDBusMessage clicked = bus.call(click, QDBus::BlockWithGui, 5000);
        QVERIFY2(clicked.type() == QDBusMessage::ReplyMessage, qPrintable(clicked.errorMessage()));
        QTRY_COMPARE(runs(), 2);
        QTRY_COMPARE(tunnel()->run().code(), 2);

        // A click shows or hides the window; a lost connection changes the image.
        const bool visible = m_controller->window()->isVisible();
        QDBusMessage activate =
            QDBusMessage::createMethodCall(item, QStringLiteral("/StatusNotifierItem"),
                                           QStringLiteral("org.kde.StatusNotifierItem"), QStringLiteral("Activate"));
        activate << 0 << 0;
        QCOMPARE(bus.call(activate, QDBus::BlockWithGui, 5000).type(), QDBusMessage::ReplyMessage);
        QTRY_COMPARE(m_controller->window()->isVisible(), !visible);
        tunnel()->run().stop();
        QTRY_VERIFY(pixmaps().value(0).argb != connected[0].argb);

        // The panel goes: nothing shows the item any more, and closing the window minimizes it.
        bus.unregisterService(QStringLiteral("org.kde.StatusNotifierWatcher"));
        QTRY_VERIFY(!m_controller->trayIcon()->isShown());
        QDBusConnection::disconnectFromBus(QStringLiteral("panel"));
    }

private:
    TunnelPtr tunnel() const { return m_app.tunnels().at(0); }
    int runs() const {
        std::ifstream in(m_dir.file("runs"));
        int n = 0;
        for (std::string line; std::getline(in, line);) ++n;
        return n;
    }

    ZandrelApplication& m_app;
    QString m_systemBus;
    testsupport::TempDir& m_dir;
    std::unique_ptr<TunnelsWindowController> m_controller;
};

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    testsupport::TempDir dir("zandrel-desktop-events");
    setenv("XDG_CONFIG_HOME", dir.path().c_str(), 1);
    setenv("XDG_STATE_HOME", (dir.path() + "/state").c_str(), 1);  // tunnel journals
    Bundle::main().setResourceDir(ZANDREL_TEST_RESOURCES);

    // A private bus stands in for the system bus.
    QProcess daemon;
    daemon.start(QStringLiteral("dbus-daemon"),
                 {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
    if (!daemon.waitForReadyRead(5000)) {
        std::fprintf(stderr, "cannot start dbus-daemon\n");
        return 1;
    }
    const QString systemBus = QString::fromUtf8(daemon.readLine()).trimmed();
    setenv("DBUS_SYSTEM_BUS_ADDRESS", systemBus.toUtf8().constData(), 1);

    {
        Defaults defaults(dir.file("defaults.json"));
        if (!defaults.setObjectForKey(
                Value(Value::List{Value::dictionary({{"connName", "Office"}, {"connHost", "h"}, {"connAuth", false}}),
                                  Value::dictionary({{"connName", "Lab"}, {"connHost", "h"}, {"group", "lab"}})}),
                "tunnels"))
            return 1;
    }
    ZandrelApplication app(argc, argv, dir.file("defaults.json"));
    DesktopEventsTest test(app, systemBus, dir);
    const int rc = QTest::qExec(&test, argc, argv);
    TunnelDriver::setShutdown(true);
    const bool ended = TunnelDriver::waitUntilIdle(std::chrono::seconds(5));
    daemon.terminate();
    daemon.waitForFinished(3000);
    return ended ? rc : 1;
}

#include "DesktopEventsTest.moc"
