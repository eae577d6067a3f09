// The zandrel binary as a black box on a private session bus (run under dbus-run-session):
// its D-Bus interface, the single instance, and the answers given without a display.
#include <sys/stat.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QDBusReply>
#include <QFile>
#include <QProcess>
#include <QTest>
#include <fstream>

#include "Defaults.h"
#include "GuiFixture.h"
#include "StatusSignalRecorder.h"
#include "TempDir.h"
#include "TunnelInfo.h"
#include "TunnelLog.h"
#include "Wait.h"

namespace {

const QString kService = "org.zandrel.Zandrel";
const QString kPath = "/org/zandrel/Zandrel";
const QString kInterface = "org.zandrel.Zandrel";

class BusEnvironment : public testing::Environment {
public:
    void SetUp() override {
        static int argc = 1;
        static char arg0[] = "gui_dbus_test";
        static char* argv[] = {arg0, nullptr};
        m_app = std::make_unique<QCoreApplication>(argc, argv);
        TunnelInfo::registerMetaType();
    }
    void TearDown() override { m_app.reset(); }

private:
    std::unique_ptr<QCoreApplication> m_app;
};
const auto* const kEnvironment = testing::AddGlobalTestEnvironment(new BusEnvironment);

class DBusTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(QDBusConnection::sessionBus().isConnected()) << "run under dbus-run-session";
        ASSERT_FALSE(serviceUp()) << "another Zandrel holds the name";
        m_dir = std::make_unique<testsupport::TempDir>("zandrel-dbus");
        mkdir(m_dir->file("config").c_str(), 0700);
        mkdir(m_dir->file("config/zandrel").c_str(), 0700);
        m_ssh = m_dir->file("ssh");
        std::ofstream(m_ssh) << "#!/bin/sh\n"
                             << kOptionCheck << "echo $$ >> '" << m_dir->file("ssh.pids") << "'\n"
                             << "echo 'debug1: Entering interactive session.' >&2\nexec sleep 600\n";
        chmod(m_ssh.c_str(), 0755);
    }
    // ssh's judgement of an option (ssh -F /dev/null -G ...) is the real ssh's.
    static constexpr const char* kOptionCheck = "[ \"$1\" = -F ] && exec /usr/bin/ssh \"$@\"\n";
    void TearDown() override {
        for (auto& p : m_processes) {
            if (p->state() != QProcess::NotRunning) {
                p->terminate();
                if (!p->waitForFinished(5000)) p->kill();
                p->waitForFinished(2000);
            }
        }
        m_processes.clear();
        GuiFixture::waitUntil([this] { return !serviceUp(); }, 3000);
    }

    void store(const Value::Dictionary& values) {
        Defaults defaults(m_dir->file("config/zandrel/defaults.json"));
        ASSERT_TRUE(defaults.setObjectsForKeys(values));
    }
    Value stored(const std::string& key) const {
        return Defaults(m_dir->file("config/zandrel/defaults.json")).objectForKey(key);
    }
    static Value tunnel(const std::string& name, bool autoConnect = false) {
        return Value::dictionary(
            {{"connName", name}, {"connHost", "127.0.0.1"}, {"connAuth", false}, {"autoConnect", autoConnect}});
    }
    std::vector<int> sshPids() const {
        std::vector<int> out;
        std::ifstream in(m_dir->file("ssh.pids"));
        for (int pid; in >> pid;) out.push_back(pid);
        return out;
    }

    QProcessEnvironment environment() const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_CONFIG_HOME", QString::fromStdString(m_dir->file("config")));
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("ZANDREL_SSH_PROGRAM", QString::fromStdString(m_ssh));
        return env;
    }
    QProcess* start(const QStringList& args = {}) {
        auto p = std::make_unique<QProcess>();
        p->setProcessEnvironment(environment());
        p->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        p->start(ZANDREL_BINARY, args);
        m_processes.push_back(std::move(p));
        return m_processes.back().get();
    }
    // The first instance, once it answers on the bus.
    QProcess* startInstance() {
        QProcess* p = start();
        const bool up = GuiFixture::waitUntil([&] { return serviceUp() && listTunnels().isValid(); }, 10000);
        EXPECT_TRUE(up) << "zandrel did not come up on the bus";
        return p;
    }
    static bool serviceUp() { return QDBusConnection::sessionBus().interface()->isServiceRegistered(kService).value(); }
    QDBusInterface& zandrel() {
        if (!m_iface)
            m_iface = std::make_unique<QDBusInterface>(kService, kPath, kInterface, QDBusConnection::sessionBus());
        return *m_iface;
    }
    QDBusReply<TunnelInfoList> listTunnels() { return zandrel().call("ListTunnels"); }
    TunnelInfoList tunnels() {
        QDBusReply<TunnelInfoList> reply = listTunnels();
        return reply.isValid() ? reply.value() : TunnelInfoList{};
    }
    static bool finishes(QProcess* p, int ms, int* exitCode) {
        const bool done = GuiFixture::waitUntil([p] { return p->state() == QProcess::NotRunning; }, ms);
        if (done && exitCode) *exitCode = p->exitStatus() == QProcess::NormalExit ? p->exitCode() : -1;
        return done;
    }

    std::unique_ptr<testsupport::TempDir> m_dir;
    std::string m_ssh;
    std::vector<std::unique_ptr<QProcess>> m_processes;
    std::unique_ptr<QDBusInterface> m_iface;
};

TEST_F(DBusTest, ListStartStopInListOrderWithStatusSignals) {
    store({{"tunnels", Value::List{tunnel("A", true), tunnel("B"), tunnel("A")}}});
    startInstance();
    StatusSignalRecorder recorder;
    ASSERT_TRUE(QDBusConnection::sessionBus().connect(kService, kPath, kInterface, "StatusChanged", &recorder,
                                                      SLOT(statusChanged(QString, QString, int))));

    ASSERT_TRUE(GuiFixture::waitUntil([&] { return tunnels().value(0).code == 2; }));
    TunnelInfoList list = tunnels();
    ASSERT_EQ(list.size(), 3);
    EXPECT_EQ(list[0].name, "A");
    EXPECT_EQ(list[0].status, "Connected");
    EXPECT_TRUE(list[0].running);
    EXPECT_EQ(list[1].name, "B");
    EXPECT_EQ(list[1].status, "Idle");
    EXPECT_EQ(list[1].code, 0);
    EXPECT_FALSE(list[1].running);
    EXPECT_EQ(list[1].lastError, "");
    EXPECT_EQ(list[2].name, "A");
    EXPECT_FALSE(list[2].running);

    QDBusMessage reply = zandrel().call("StartTunnel", "B");
    EXPECT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
    ASSERT_TRUE(GuiFixture::waitUntil([&] { return tunnels().value(1).code == 2; }));
    EXPECT_TRUE(tunnels().value(1).running);
    EXPECT_TRUE(GuiFixture::waitUntil(
        [&] { return recorder.received.contains(std::make_tuple(QString("B"), QString("Connected"), 2)); }));

    // The first tunnel of that name stops; the second "A" was never running and stays so.
    reply = zandrel().call("StopTunnel", "A");
    EXPECT_EQ(reply.type(), QDBusMessage::ReplyMessage);
    ASSERT_TRUE(GuiFixture::waitUntil([&] { return !tunnels().value(0).running; }));
    EXPECT_EQ(tunnels().value(0).code, 0);
    EXPECT_FALSE(tunnels().value(2).running);
    EXPECT_TRUE(GuiFixture::waitUntil(
        [&] { return recorder.received.contains(std::make_tuple(QString("A"), QString("Idle"), 0)); }));
    // Starting a running tunnel again changes nothing.
    const size_t launches = sshPids().size();
    zandrel().call("StartTunnel", "B");
    QTest::qWait(300);
    EXPECT_EQ(sshPids().size(), launches);

    reply = zandrel().call("StartTunnel", "Nope");
    EXPECT_EQ(reply.type(), QDBusMessage::ErrorMessage);
    EXPECT_EQ(reply.errorName(), "org.zandrel.Zandrel.Error.UnknownTunnel");
    reply = zandrel().call("StopTunnel", "");
    EXPECT_EQ(reply.errorName(), "org.zandrel.Zandrel.Error.UnknownTunnel");
    // The askpass question without a pipe is refused with a reason.
    reply = zandrel().call("Authenticate", "Password:", "A", "");
    EXPECT_EQ(reply.type(), QDBusMessage::ErrorMessage);
    EXPECT_EQ(reply.errorName(), "org.zandrel.Zandrel.Error.Refused");
    EXPECT_FALSE(reply.errorMessage().isEmpty());
}

TEST_F(DBusTest, QuitStopsEveryTunnelAndEndsTheProcess) {
    store({{"tunnels", Value::List{tunnel("A", true), tunnel("B", true)}}});
    QProcess* p = startInstance();
    ASSERT_TRUE(GuiFixture::waitUntil([&] {
        const auto l = tunnels();
        return l.size() == 2 && l[0].code == 2 && l[1].code == 2;
    }));
    const auto pids = sshPids();
    ASSERT_EQ(pids.size(), 2u);

    const QDBusMessage reply = zandrel().call("Quit");
    EXPECT_EQ(reply.type(), QDBusMessage::ReplyMessage);
    int code = -1;
    ASSERT_TRUE(finishes(p, 8000, &code));
    EXPECT_EQ(code, 0);
    for (int pid : pids) EXPECT_FALSE(testsupport::isAlive(pid)) << pid;
    EXPECT_EQ(stored("openPalette").dump(), "true");
    EXPECT_TRUE(stored("windowFrame tunnelsWindow").isText());
    EXPECT_FALSE(serviceUp());
}

TEST_F(DBusTest, TerminationSignalQuitsAsTheMenuDoes) {
    store({{"tunnels", Value::List{tunnel("A", true)}}});
    QProcess* p = startInstance();
    ASSERT_TRUE(GuiFixture::waitUntil([&] { return tunnels().value(0).code == 2; }));
    const auto pids = sshPids();
    ASSERT_EQ(pids.size(), 1u);
    // A logout's SIGTERM: the quit steps run as for the menu's Quit, and the exit is clean.
    p->terminate();
    int code = -1;
    ASSERT_TRUE(finishes(p, 8000, &code));
    EXPECT_EQ(code, 0);
    EXPECT_FALSE(testsupport::isAlive(pids[0]));
    EXPECT_EQ(stored("openPalette").dump(), "true");
    EXPECT_TRUE(stored("windowFrame tunnelsWindow").isText());
}

TEST_F(DBusTest, SecondLaunchShowsTheRunningWindowAndExitsZero) {
    store({{"tunnels", Value::List{tunnel("A", true)}}, {"openPalette", false}});
    QProcess* first = startInstance();
    ASSERT_TRUE(GuiFixture::waitUntil([&] { return tunnels().value(0).code == 2; }));

    QProcess* second = start();
    int code = -1;
    ASSERT_TRUE(finishes(second, 10000, &code));
    EXPECT_EQ(code, 0);
    EXPECT_EQ(sshPids().size(), 1u);  // the second one started no tunnel of its own
    EXPECT_EQ(first->state(), QProcess::Running);

    // The first shows its window now: quitting stores it as visible.
    zandrel().call("Quit");
    ASSERT_TRUE(finishes(first, 8000, &code));
    EXPECT_EQ(stored("openPalette").dump(), "true");
}

TEST_F(DBusTest, VersionAndHelpNeedNoDisplay) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) env.remove(name);
    env.insert("XDG_CONFIG_HOME", QString::fromStdString(m_dir->file("config")));
    auto run = [&](const QStringList& args, QString* out, QString* err) {
        return GuiFixture::runProgram(ZANDREL_BINARY, env, args, out, err);
    };
    QString out, err;
    EXPECT_EQ(run({"--version"}, &out, &err), 0);
    EXPECT_TRUE(out.startsWith("zandrel 0.") || out.startsWith("zandrel ")) << out.toStdString();
    EXPECT_TRUE(out.contains("(build ")) << out.toStdString();
    EXPECT_EQ(run({"--help"}, &out, &err), 0);
    EXPECT_TRUE(out.startsWith("Usage: zandrel")) << out.toStdString();
    EXPECT_EQ(run({"--frobnicate"}, &out, &err), 2);
    EXPECT_TRUE(err.contains("unknown option --frobnicate"));
    EXPECT_FALSE(serviceUp());
}

// Whatever keeps the desktop part from opening a display, the tunnels run as with --headless,
// and the first line says why, in Qt's words where Qt gave any.
TEST_F(DBusTest, WithoutADisplayThatOpensTheTunnelsRunHeadlessAndTheLogSaysWhy) {
    store({{"tunnels", Value::List{tunnel("A", true)}}});
    // An X display that no server holds here.
    int unused = 150;
    while (QFile::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(unused)) ||
           QFile::exists(QStringLiteral("/tmp/.X%1-lock").arg(unused)))
        ++unused;
    const QString noServer = QStringLiteral(":%1").arg(unused);
    const struct {
        QStringList set;
        QString why;
    } cases[] = {
        {{}, "neither DISPLAY nor WAYLAND_DISPLAY is set"},
        {{"DISPLAY=" + noServer}, "could not connect to display " + noServer},
        {{"QT_QPA_PLATFORM=wayland", "WAYLAND_DISPLAY=zandrel-no-compositor"}, "Failed to create wl_display"},
        {{"QT_QPA_PLATFORM=zandrel-missing"}, "Could not find the Qt platform plugin \"zandrel-missing\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.set.join(' ').toStdString());
        QProcessEnvironment env = environment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) env.remove(name);
        for (const QString& v : c.set) env.insert(v.section(u'=', 0, 0), v.section(u'=', 1));
        m_processes.push_back(std::make_unique<QProcess>());
        QProcess& zandrel = *m_processes.back();
        zandrel.setProcessEnvironment(env);
        zandrel.start(ZANDREL_BINARY, QStringList{});
        const size_t before = sshPids().size();
        QString err;
        ASSERT_TRUE(GuiFixture::waitUntil(
            [&] {
                err += QString::fromLocal8Bit(zandrel.readAllStandardError());
                return err.contains("Running without a display: 1 tunnels, D-Bus org.zandrel.Zandrel") &&
                       tunnels().value(0).code == 2;
            },
            10000))
            << err.toStdString();
        ASSERT_EQ(sshPids().size(), before + 1);
        const QString why = err.section("No display could be opened (", 1).section(u'\n', 0, 0);
        EXPECT_TRUE(why.contains(c.why)) << err.toStdString();
        zandrel.terminate();
        int code = -1;
        ASSERT_TRUE(finishes(&zandrel, 8000, &code));
        EXPECT_EQ(code, 0);
        EXPECT_FALSE(testsupport::isAlive(sshPids().back()));
        ASSERT_TRUE(GuiFixture::waitUntil([] { return !serviceUp(); }, 3000));
    }
}

TEST_F(DBusTest, HeadlessInstanceAnswersTheCommandLineAndQuitsOnSigterm) {
    // Burst floods the log (20 times what it keeps, within the room of ssh's pipe: beyond it, lines
    // are dropped rather than ssh made to wait); Asks puts a question to the askpass program, which
    // nobody can answer.
    std::ofstream(m_ssh) << "#!/bin/sh\necho $$ >> '" << m_dir->file("ssh.pids") << "'\n"
                         << "case $TUNNEL_NAME in\n"
                         << "Burst) seq 20000 | sed 's/^/debug1: line /' >&2 ;;\n"
                         << "Asks) \"$SSH_ASKPASS\" 'Password:'; sleep 5; exit 255 ;;\n"
                         << "esac\necho 'debug1: Entering interactive session.' >&2\nexec sleep 600\n";
    const Value withForwards = tunnel("A", true).with(
        "tunnelsLocal",
        Value::List{Value::dictionary({{"port", "8143"}, {"host", "db.internal"}, {"hostport", "5432"}}),
                    Value::dictionary({{"bind", "::1"}, {"port", "8144"}, {"host", "h"}})});
    const Value asks = tunnel("Asks", true).with("connAuth", true);
    store({{"tunnels", Value::List{withForwards, tunnel("B"), tunnel("Burst", true), asks}}});

    QProcessEnvironment env = environment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) env.remove(name);
    auto run = [&](const QStringList& args, QString* out, QString* err) {
        return GuiFixture::runProgram(ZANDREL_BINARY, env, args, out, err);
    };
    QString out, err;
    EXPECT_EQ(run({"--list"}, &out, &err), 1);
    EXPECT_TRUE(err.startsWith("zandrel: no Zandrel runs")) << err.toStdString();

    m_processes.push_back(std::make_unique<QProcess>());
    QProcess* headless = m_processes.back().get();
    headless->setProcessEnvironment(env);
    headless->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    headless->start(ZANDREL_BINARY, {"--headless"});
    ASSERT_TRUE(GuiFixture::waitUntil(
        [&] {
            const auto l = tunnels();
            return l.size() == 4 && l[0].code == 2 && l[2].code == 2 && !l[3].lastError.isEmpty();
        },
        15000));
    EXPECT_TRUE(tunnels()[3].lastError.contains("Password needed: no display to ask on"))
        << tunnels()[3].lastError.toStdString();

    // The burst is kept to its last lines within the log's bytes (its time stamps aside), the
    // start pushed out.
    const QDBusReply<QStringList> log = zandrel().call("TunnelLog", "Burst");
    ASSERT_TRUE(log.isValid());
    qsizetype bytes = 0;
    for (const QString& line : log.value()) bytes += line.toUtf8().size();
    EXPECT_GT(log.value().size(), 100);
    EXPECT_LT(bytes, 2 * qsizetype(TunnelLog::kBytes));
    EXPECT_FALSE(log.value().join('\n').contains("debug1: line 1\n"));
    EXPECT_TRUE(log.value().last().endsWith("debug1: Entering interactive session."));

    const struct {
        QStringList args;
        int code;
        QString out, err;
    } cases[] = {
        {{"--list"}, 0, "A\tConnected\tlocalhost:8143 → db.internal:5432, [::1]:8144 → h:8144\t\t\n", ""},
        {{"--start", "B"}, 0, "", ""},
        {{"--stop", "A"}, 0, "", ""},
        {{"--start", "Nope"}, 1, "", "zandrel: No tunnel is named \"Nope\"\n"},
        {{"--show"}, 1, "", "zandrel: Zandrel runs without a display\n"},
        {{"--reconnect-all"}, 0, "", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(run(c.args, &out, &err), c.code) << c.args.join(' ').toStdString();
        EXPECT_EQ(out.left(c.out.size()).toStdString(), c.out.toStdString());
        EXPECT_EQ(err.toStdString(), c.err.toStdString());
    }
    EXPECT_TRUE(GuiFixture::waitUntil([&] { return tunnels()[1].code == 2 && !tunnels()[0].running; }));

    const auto pids = sshPids();
    headless->terminate();
    int code = -1;
    ASSERT_TRUE(finishes(headless, 8000, &code));
    EXPECT_EQ(code, 0);
    for (int pid : pids) EXPECT_FALSE(testsupport::isAlive(pid)) << pid;
}

TEST_F(DBusTest, ScriptsChangeTheListByTheRulesOfPreferencesAndEachChangeIsOnDiskAtOnce) {
    store({{"tunnels", Value::List{tunnel("A", true)}}, {"newerVersionKey", "kept"}});
    QProcessEnvironment env = environment();
    env.remove("QT_QPA_PLATFORM");
    m_processes.push_back(std::make_unique<QProcess>());
    QProcess* headless = m_processes.back().get();
    headless->setProcessEnvironment(env);
    headless->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    headless->start(ZANDREL_BINARY, {"--headless"});
    ASSERT_TRUE(GuiFixture::waitUntil([&] { return tunnels().value(0).code == 2; }, 10000));
    auto run = [&](const QStringList& args, QString* err) {
        QString out;
        return GuiFixture::runProgram(ZANDREL_BINARY, env, args, &out, err);
    };
    auto storedNames = [&] {
        std::vector<std::string> names;
        const Value all = stored("tunnels");
        for (const Value& t : all.list()) names.push_back(t.get("connName").text());
        return names;
    };

    const struct {
        QStringList args;
        int code;
        QString err;
    } cases[] = {
        {{"--add", "db", "me@[::1]:2222", "-L", "8080:[::1]:80", "-L", "127.0.0.1:8081:h:5432", "-D", "1080", "--auto"},
         0,
         ""},
        {{"--add", "db", "h"}, 1, "zandrel: A tunnel named \"db\" exists; zandrel --remove it first\n"},
        {{"--add", "p", "h:99999"}, 1, "zandrel: \"connPort\" must be a port number from 1 to 65535\n"},
        {{"--add", "o", "h", "-o", "NoSuchOption=1"},
         1,
         "zandrel: \"NoSuchOption=1\": Bad configuration option: nosuchoption\n"},
        {{"--add", "o", "h", "-o", "ControlPersist=yes"}, 1, ""},
        {{"--add", "@team", "h"}, 1, "zandrel: A name may not begin with \"@\", which names groups\n"},
        {{"--add", "x", "h", "-L", "8080"}, 1, "zandrel: -L wants [BIND:]PORT:HOST:HOSTPORT, not \"8080\"\n"},
        {{"--remove", "nope"}, 1, "zandrel: No tunnel is named \"nope\"\n"},
    };
    QString err;
    for (const auto& c : cases) {
        EXPECT_EQ(run(c.args, &err), c.code) << c.args.join(' ').toStdString();
        if (!c.err.isEmpty()) {
            EXPECT_EQ(err.toStdString(), c.err.toStdString());
        }
        if (c.code == 1) {
            EXPECT_EQ(err.count(u'\n'), 1) << err.toStdString();
        }
    }
    ASSERT_EQ(storedNames(), (std::vector<std::string>{"A", "db"}));
    const Value db = stored("tunnels").list()[1];
    EXPECT_EQ(db.get("connHost"), Value("::1"));
    EXPECT_EQ(db.get("connPort"), Value("2222"));
    EXPECT_EQ(db.get("socks4p"), Value(1080));
    EXPECT_EQ(db.get("tunnelsLocal").list().size(), 2u);
    EXPECT_EQ(stored("newerVersionKey"), Value("kept"));

    // A value that cannot stand changes nothing and says which key.
    const struct {
        QString json;
        QString why;
    } bad[] = {{"[1]", "one JSON object"},
               {R"({"keepAlive": "soon"})", "\"keepAlive\" must be a whole number"},
               {R"({"idleMinutes": -5})", "\"idleMinutes\" must be from 0 (never) to 10080 minutes"},
               {R"({"onDemand": [true]})", "\"onDemand\" must be true or false"},
               {R"({"tunnelsLocal": [{"port": "80"}]})", "forward 1: \"host\" must not be empty"},
               {R"({"connName": "db"})", "Another tunnel is named \"db\""},
               {R"({"status": "Connected"})", "\"status\" is not a tunnel setting"}};
    const Value before = stored("tunnels");
    for (const auto& b : bad) {
        const QDBusMessage reply = zandrel().call("SetTunnel", "A", b.json);
        EXPECT_EQ(reply.errorName(), "org.zandrel.Zandrel.Error.Invalid") << b.json.toStdString();
        EXPECT_TRUE(reply.errorMessage().contains(b.why)) << reply.errorMessage().toStdString();
    }
    EXPECT_EQ(stored("tunnels"), before);

    // A change that reaches ssh starts it again once; a new name leaves it running.
    const size_t launches = sshPids().size();
    QDBusMessage reply = zandrel().call("SetTunnel", "A", R"({"connName": "A2"})");
    ASSERT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
    EXPECT_EQ(storedNames(), (std::vector<std::string>{"A2", "db"}));
    reply = zandrel().call("SetTunnel", "A2", R"({"keepAlive": "30", "sshOptions": ["ServerAliveCountMax=5"]})");
    ASSERT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
    EXPECT_EQ(stored("tunnels").list()[0].get("keepAlive"), Value(30));
    ASSERT_TRUE(GuiFixture::waitUntil([&] { return sshPids().size() == launches + 1 && tunnels()[0].code == 2; }));

    // Removing a running tunnel ends its ssh; the file no longer has it when the call returns.
    const int running = sshPids().back();
    EXPECT_EQ(run({"--remove", "A2"}, &err), 0) << err.toStdString();
    EXPECT_EQ(storedNames(), (std::vector<std::string>{"db"}));
    EXPECT_TRUE(GuiFixture::waitUntil([&] { return !testsupport::isAlive(running); }, 5000));
    EXPECT_EQ(tunnels().size(), 1);
}

}  // namespace

TEST_F(DBusTest, ExportedTunnelsImportIntoAnotherHomeByEachChoiceAndABadFileChangesNothing) {
    // One home writes its "work" group; nobody's password or keyring item goes with it.
    store({{"tunnels", Value::List{tunnel("db").with("group", "work").with("connPort", "2201"),
                                   tunnel("web").with("group", "work"), tunnel("private")}}});
    startInstance();
    QString file, out, err;
    ASSERT_EQ(GuiFixture::runProgram(ZANDREL_BINARY, environment(), {"--export", "@work"}, &file, &err), 0)
        << err.toStdString();
    EXPECT_EQ(GuiFixture::runProgram(ZANDREL_BINARY, environment(), {"--export", "nope"}, &out, &err), 1);
    const std::string path = m_dir->file("team.zandrel-tunnels");
    std::ofstream(path) << file.toStdString();
    // A file manager's "zandrel FILE" hands the file to the running Zandrel's import.
    EXPECT_EQ(GuiFixture::runProgram(ZANDREL_BINARY, environment(), {QString::fromStdString(path)}, &out, &err), 0)
        << err.toStdString();
    zandrel().call("Quit");
    ASSERT_TRUE(GuiFixture::waitUntil([] { return !serviceUp(); }, 8000));

    // Another home with a "db" of its own.
    const struct {
        QStringList how;
        QStringList lines;
        std::vector<std::string> names;
        std::string dbPort;
    } cases[] = {
        {{"--import-file", QString::fromStdString(path)},
         {"\"db\": yours kept, the file's differs", "\"web\": added"},
         {"db", "web"},
         "22"},
        {{"--import-file", QString::fromStdString(path), "--replace"},
         {"\"db\": replaced by the file's", "\"web\": added"},
         {"db", "web"},
         "2201"},
        {{"both"},
         {"\"db\": yours kept, the file's added as \"db (2)\"", "\"web\": added"},
         {"db", "db (2)", "web"},
         "22"},
    };
    for (const auto& c : cases) {
        store({{"tunnels", Value::List{tunnel("db").with("connPort", "22")}}});
        startInstance();
        QStringList lines;
        if (c.how.first() == "both") {
            const QDBusReply<QStringList> done = zandrel().call("ImportTunnels", file, "both");
            ASSERT_TRUE(done.isValid()) << done.error().message().toStdString();
            lines = done.value();
        } else {
            ASSERT_EQ(GuiFixture::runProgram(ZANDREL_BINARY, environment(), c.how, &out, &err), 0) << err.toStdString();
            lines = out.split(u'\n', Qt::SkipEmptyParts);
        }
        EXPECT_EQ(lines, c.lines);
        std::vector<std::string> names;
        const Value after = stored("tunnels");
        for (const Value& t : after.list()) names.push_back(t.get("connName").text());
        ASSERT_EQ(names, c.names);
        EXPECT_EQ(stored("tunnels").list()[0].get("connPort").text(), c.dbPort);
        EXPECT_EQ(stored("tunnels").list()[1].get("group"), Value("work"));
        // A bad file: what is wrong and where, a line each, and the list as it was.
        const Value before = stored("tunnels");
        std::ofstream(m_dir->file("bad")) << R"({"format": "zandrel-tunnels", "version": 1, "tunnels": [)"
                                          << R"({"connName": "x", "connPort": "http"}, {"connName": "y"}]})";
        EXPECT_EQ(GuiFixture::runProgram(ZANDREL_BINARY, environment(),
                                         {"--import-file", QString::fromStdString(m_dir->file("bad"))}, &out, &err),
                  1);
        EXPECT_EQ(err, "zandrel: Tunnel \"x\": \"connPort\" must be a port number from 1 to 65535\n");
        EXPECT_EQ(stored("tunnels"), before);
        zandrel().call("Quit");
        ASSERT_TRUE(GuiFixture::waitUntil([] { return !serviceUp(); }, 8000));
    }
}
