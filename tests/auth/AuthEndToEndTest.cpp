// The askpass road end to end: a real ssh with connAuth on, askForPass.sh, the session bus, the
// application's D-Bus service in this process, the prompt windows (offscreen, clicked as a user
// would), and a real sshd on 127.0.0.1 asking for a throwaway account's password.
// Run as: tests/e2e/isolated.sh dbus-run-session -- auth_e2e_test (root: it adds a user).
#include <fcntl.h>
#include <qt6keychain/keychain.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QDBusConnection>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <tuple>
#include <utility>

#include "AuthenticationBridge.h"
#include "Bundle.h"
#include "ConfirmPrompt.h"
#include "DesktopStartup.h"
#include "EchoServer.h"
#include "GnomeKeyring.h"
#include "HostKeyPrompt.h"
#include "LabelledSecrets.h"
#include "LoopbackPort.h"
#include "NoticePrompt.h"
#include "PasswordKeyring.h"
#include "PasswordPrompt.h"
#include "ProcessProbe.h"
#include "ProcessStat.h"
#include "RetryPause.h"
#include "SshdFixture.h"
#include "Subprocess.h"
#include "TempDir.h"
#include "TestAccount.h"
#include "Tunnel.h"
#include "TunnelDriver.h"
#include "Wait.h"
#include "ZandrelApplication.h"
#include "ZandrelDBusService.h"

using namespace testsupport;

namespace {

const char* const kAskpass = "askForPass.sh";

QList<PromptWindow*> openPrompts() {
    QList<PromptWindow*> list;
    for (QWidget* w : QApplication::topLevelWidgets()) {
        auto* p = qobject_cast<PromptWindow*>(w);
        if (p && p->isVisible() && !p->answered()) list.append(p);
    }
    return list;
}

// waitUntil with the event loop running meanwhile, so that the D-Bus calls that open prompts
// are served.
bool waitServing(const std::function<bool()>& condition, int timeoutMs) {
    return waitUntil(condition, std::chrono::milliseconds(timeoutMs), [] { QTest::qWait(20); });
}

// The one open prompt of that kind, once it appears.
template <typename T>
T* waitForPrompt(int timeoutMs) {
    T* prompt = nullptr;
    waitServing(
        [&] {
            for (PromptWindow* w : openPrompts())
                if ((prompt = qobject_cast<T*>(w))) return true;
            return false;
        },
        timeoutMs);
    return prompt;
}

// The pause before a retry, scaled for one test.
struct RetryScale {
    explicit RetryScale(double scale) { RetryPolicy::setScale(scale); }
    ~RetryScale() { RetryPolicy::setScale(1); }
};

void typeText(QWidget* w, const QString& text) {
    for (QChar c : text) QTest::sendKeyEvent(QTest::Click, w, Qt::Key_unknown, QString(c), Qt::NoModifier);
}

bool noneLeft(const char* comm) { return ProcessProbe::childrenNamed(comm, false).empty(); }

// The askpass program and what it starts, none of which may outlive an answer or its ssh.
bool noAskpassLeft() { return noneLeft(kAskpass) && noneLeft("head") && noneLeft("dbus-send"); }

QStringList entries(const QString& dir) { return QDir(dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot); }

// The tunnel is up and no window asked anything on the way.
bool connectsWithoutAWindow(const TunnelPtr& tunnel, int timeoutMs) {
    bool asked = false;
    const bool ended = waitServing(
        [&] {
            asked = !openPrompts().isEmpty();
            return asked || tunnel->run().code() == 2;
        },
        timeoutMs);
    return ended && !asked;
}

void answer(PasswordPrompt* pass, const std::string& password, bool remember) {
    typeText(pass->passwordField(), QString::fromStdString(password));
    if (remember) {
        // On the box itself: the widget may be wider than its text.
        QTest::mouseClick(pass->rememberBox(), Qt::LeftButton, {}, QPoint(6, pass->rememberBox()->height() / 2));
        QVERIFY(pass->rememberBox()->isChecked());
    }
    QTest::mouseClick(pass->okButton(), Qt::LeftButton);
}

// A D-Bus method call's bytes (little-endian), string arguments only.
std::string busCall(uint32_t serial, const std::string& dest, const std::string& path, const std::string& member,
                    const std::vector<std::string>& args) {
    std::string m;
    auto pad = [&m](size_t n) { m.resize((m.size() + n - 1) / n * n, '\0'); };
    auto u32 = [&](uint32_t v) { pad(4), m.append(reinterpret_cast<const char*>(&v), 4); };
    auto str = [&](const std::string& v) { u32(v.size()), m.append(v + '\0'); };
    auto sig = [&](const std::string& v) { m += char(v.size()), m.append(v + '\0'); };
    for (const std::string& a : args) str(a);
    const std::string body = std::exchange(m, std::string("l\1\0\1", 4));
    u32(body.size()), u32(serial), u32(0);
    const size_t start = m.size();  // the fields, 8-aligned already
    const std::string iface = dest == "org.freedesktop.DBus" ? dest : std::string(ZandrelDBusService::kInterface);
    for (auto [code, type, value] : {std::tuple{1, "o", path}, {2, "s", iface}, {3, "s", member}, {6, "s", dest}}) {
        pad(8), m += char(code), sig(type), str(value);
    }
    if (!args.empty()) pad(8), m += char(8), sig("g"), sig(std::string(args.size(), 's'));
    const uint32_t length = m.size() - start;
    m.replace(12, 4, reinterpret_cast<const char*>(&length), 4);
    pad(8);
    return m + body;
}

// A process that connects to the session bus and exits, leaving its connection to a child, which
// calls Authenticate when `go` is written: 'A' (accepted), 'R' (refused) or '-' goes to `result`.
pid_t connectAndLeave(const std::string& fifo, int go, int result) {
    const pid_t first = fork();
    if (first != 0) return first;
    std::string address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    sockaddr_un sa{AF_UNIX, {}};
    const bool abstract = address.starts_with("unix:abstract=");
    address = address.substr(address.find('=') + 1), address = address.substr(0, address.find(','));
    if (address.size() + abstract >= sizeof sa.sun_path) _exit(1);
    std::memcpy(sa.sun_path + abstract, address.data(), address.size());
    const int bus = socket(AF_UNIX, SOCK_STREAM, 0);
    if (connect(bus, reinterpret_cast<sockaddr*>(&sa), offsetof(sockaddr_un, sun_path) + abstract + address.size()))
        _exit(1);
    std::string auth = std::string(1, '\0') + "AUTH EXTERNAL ";
    for (char c : std::to_string(getuid())) auth.append({'3', c});  // the uid in hex digits
    char buf[4096];
    if (write(bus, auth.data(), auth.size()) < 0 || write(bus, "\r\n", 2) < 0 || read(bus, buf, sizeof buf) <= 0)
        _exit(1);
    const std::string hello = "BEGIN\r\n" + busCall(1, "org.freedesktop.DBus", "/org/freedesktop/DBus", "Hello", {});
    if (write(bus, hello.data(), hello.size()) < 0) _exit(1);
    if (const pid_t child = fork(); child != 0) _exit(write(result, &child, sizeof child) < 0);
    std::string got;
    const std::string refused = ZandrelDBusService::kErrorRefused, ok("\2\0\0\0OK\0", 7);
    if (read(go, buf, 1) == 1) {
        const std::string call = busCall(2, ZandrelDBusService::kService, ZandrelDBusService::kPath, "Authenticate",
                                         {"Password: ", "t", fifo});
        for (ssize_t n = write(bus, call.data(), call.size());
             n > 0 && got.find(".Error.") == std::string::npos && got.find(ok) == std::string::npos;)
            if ((n = read(bus, buf, sizeof buf)) > 0) got.append(buf, n);
    }
    const char* verdict = got.find(ok) != std::string::npos ? "A" : got.find(refused) != std::string::npos ? "R" : "-";
    _exit(write(result, verdict, 1) < 0);
}

}  // namespace

class AuthEndToEndTest : public QObject {
    Q_OBJECT
public:
    explicit AuthEndToEndTest(ZandrelApplication& app) : m_app(app) {}

private Q_SLOTS:
    void initTestCase() {
        QVERIFY2(m_account.create(), m_account.error().c_str());
        m_sshdOptions.pubkeyAuthentication = false;
        m_sshdOptions.passwordAuthentication = true;
        m_sshd = std::make_unique<SshdFixture>(m_sshdOptions);
        QVERIFY2(m_sshd->start(), (m_sshd->error() + "\n" + m_sshd->log()).c_str());
        QVERIFY(m_echo.start());
        QVERIFY2(GnomeKeyring::available(), "gnome-keyring-daemon is missing (scripts/setup.sh installs it)");
        QVERIFY2(m_keyring.start(), m_keyring.error().c_str());
        const std::string home = QDir::homePath().toStdString();
        m_knownHosts = home + "/.ssh/known_hosts";
        QVERIFY2(QFileInfo(QString::fromStdString(home + "/.ssh")).isDir(), "no ~/.ssh");
        m_askpass = Bundle::main().pathForResource("askForPass", "sh");
        QVERIFY2(!m_askpass.empty(), "askForPass.sh is missing from the build's resources");
    }

    void cleanup() {
        for (const TunnelPtr& t : m_app.tunnels().tunnels()) t->run().stop();
        SshCommand::setSshProgram("/usr/bin/ssh");
        for (PromptWindow* w : openPrompts()) {
            w->setFifo(QString());
            w->setTunnel(nullptr);
            w->close();
        }
        QVERIFY(TunnelDriver::waitUntilIdle(std::chrono::seconds(5)));
        QTRY_VERIFY_WITH_TIMEOUT(noneLeft("ssh") && noAskpassLeft(), 5000);
    }

    // askForPass.sh on its own, with the real bridge behind the bus: the answer reaches its
    // standard output byte for byte, its private pipe is gone afterwards, and it says so with
    // its exit status when Zandrel or the bus cannot be reached.
    void askpassAlone() {
        TempDir tmp("zandrel-askpass-tmp");
        const QString tmpDir = QString::fromStdString(tmp.path());
        Subprocess::Options env;
        env.setEnv = {"TMPDIR=" + tmp.path(), "TUNNEL_NAME=nobody's"};
        env.unsetEnv = {"XDG_RUNTIME_DIR"};
        TempDir bin("zandrel-askpass-ssh");
        const std::string out = bin.file("answer");
        TunnelPtr tunnel = standInSshTunnel("stand-in", bin, tmp.path(), out);
        auto* pass = waitForPrompt<PasswordPrompt>(10000);
        QVERIFY(pass);
        QCOMPARE(pass->windowTitle(), QStringLiteral("stand-in"));
        QCOMPARE(pass->caption(), QStringLiteral("Password for test: "));

        // While it waits: a directory of its own, mode 0700, with the pipe inside.
        const QStringList made = entries(tmpDir);
        QCOMPARE(made.size(), 1);
        const QString privateDir = tmpDir + "/" + made.first();
        struct stat st {};
        QVERIFY(::stat(QFile::encodeName(privateDir).constData(), &st) == 0);
        QCOMPARE(st.st_mode & 07777, 0700u);
        QCOMPARE(pass->fifo(), privateDir + "/answer");
        QVERIFY(::stat(QFile::encodeName(pass->fifo()).constData(), &st) == 0);
        QVERIFY(S_ISFIFO(st.st_mode));

        const QString password = QString::fromUtf8(" pä$s 'w\"ord\\ €  ");
        typeText(pass->passwordField(), password);
        QTest::mouseClick(pass->okButton(), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(QByteArray::fromStdString(readFile(out + ".status")), QByteArray("0\n"), 5000);
        QCOMPARE(QByteArray::fromStdString(readFile(out)), password.toUtf8());
        QVERIFY(entries(tmpDir).isEmpty());
        tunnel->run().stop();

        // No bus, or nobody on it by Zandrel's name: an error status, no answer, nothing left.
        for (const std::string& bus : {std::string("DBUS_SESSION_BUS_ADDRESS="),
                                       std::string("DBUS_SESSION_BUS_ADDRESS=unix:path=") + tmp.path() + "/none"}) {
            Subprocess::Options noBus = env;
            noBus.setEnv.push_back(bus);
            Subprocess p;
            QVERIFY(p.start({m_askpass, "Password: "}, noBus));
            QTRY_VERIFY_WITH_TIMEOUT(p.wait(10), 20000);
            QVERIFY2(p.exitCode() != 0, bus.c_str());
            QVERIFY(openPrompts().isEmpty());
            QVERIFY(entries(tmpDir).isEmpty());
        }
        QDBusConnection bus = QDBusConnection::sessionBus();
        QVERIFY(bus.unregisterService(ZandrelDBusService::kService));
        Subprocess noZandrel;
        QVERIFY(noZandrel.start({m_askpass, "Password: "}, env));
        QTRY_VERIFY_WITH_TIMEOUT(noZandrel.wait(10), 20000);
        QVERIFY(bus.registerService(ZandrelDBusService::kService));
        QVERIFY(noZandrel.exitCode() != 0);
        QVERIFY(noZandrel.output().find("cannot be reached") != std::string::npos);
        QVERIFY(entries(tmpDir).isEmpty());
    }

    // The ssh that asked is killed on its own (its group spared): the askpass program notices
    // and ends, with its reader, though nobody answers.
    void askpassEndsWithItsSsh() {
        // No next run while this one is watched: its own askpass would make a folder of its own.
        const RetryScale slowRetry(30);
        TempDir tmp("zandrel-askpass-tmp");
        TempDir bin("zandrel-askpass-ssh");
        TunnelPtr tunnel = standInSshTunnel("t", bin, tmp.path(), bin.file("answer"));
        QPointer<PasswordPrompt> pass = waitForPrompt<PasswordPrompt>(10000);
        QVERIFY(pass);
        const auto askpass = ProcessProbe::childrenNamed(kAskpass, false);
        QCOMPARE(askpass.size(), size_t(1));
        // Waiting, it starts nothing: its reader is all it has.
        QTRY_COMPARE(ProcessProbe::descendantsOf(askpass.front()).size(), size_t(1));
        const auto waiting = ProcessProbe::descendantsOf(askpass.front());
        QTest::qWait(1500);
        QCOMPARE(ProcessProbe::descendantsOf(askpass.front()), waiting);
        QVERIFY(::kill(tunnel->run().sshPid(), SIGKILL) == 0);
        QElapsedTimer clock;
        clock.start();
        // The run is over: its window goes by itself, and no answer can reach a later run.
        QTRY_VERIFY_WITH_TIMEOUT(!pass, 2000);
        tunnel->run().stop();
        QTRY_VERIFY_WITH_TIMEOUT(noAskpassLeft(), 5000);
        qInfo("the askpass program ended %lld ms after its ssh", static_cast<long long>(clock.elapsed()));
        QTRY_VERIFY2_WITH_TIMEOUT(entries(QString::fromStdString(tmp.path())).isEmpty(),
                                  qPrintable(entries(QString::fromStdString(tmp.path())).join(u' ')), 5000);
    }

    // ssh's other uses of its askpass, run as ssh runs them: a confirmation says yes only when
    // Yes is clicked (ssh takes empty output for yes too), and a notice, which has no answer,
    // goes with the askpass program once ssh ends it with SIGTERM.
    void confirmAndNotice_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("click");
        QTest::addColumn<QByteArray>("output");
        QTest::addColumn<QByteArray>("status");
        QTest::newRow("confirm yes") << QString("confirm") << QString("yes") << QByteArray("yes\n")
                                     << QByteArray("0\n");
        QTest::newRow("confirm no") << QString("confirm") << QString("no") << QByteArray() << QByteArray("1\n");
        QTest::newRow("confirm closed") << QString("confirm") << QString("escape") << QByteArray() << QByteArray("1\n");
        QTest::newRow("notice ended by ssh") << QString("none") << QString() << QByteArray() << QByteArray("143\n");
    }
    void confirmAndNotice() {
        QFETCH(QString, kind);
        QFETCH(QString, click);
        QFETCH(QByteArray, output);
        QFETCH(QByteArray, status);
        const RetryScale slowRetry(30);
        TempDir tmp("zandrel-askpass-tmp");
        TempDir bin("zandrel-askpass-ssh");
        const std::string out = bin.file("answer");
        const std::string words = "Confirm user presence for key ED25519-SK SHA256:x";
        TunnelPtr tunnel = standInSshTunnel("other", bin, tmp.path(), out, kind.toStdString(), words);
        QPointer<PromptWindow> w = waitForPrompt<PromptWindow>(10000);
        QVERIFY(w);
        QCOMPARE(w->caption(), QString::fromStdString(words));
        if (auto* c = qobject_cast<ConfirmPrompt*>(w.data())) {
            if (click == "escape")
                QTest::keyClick(c, Qt::Key_Escape);
            else
                QTest::mouseClick(click == "yes" ? c->yesButton() : c->noButton(), Qt::LeftButton);
        } else {
            QVERIFY(qobject_cast<NoticePrompt*>(w.data()) && !w->findChild<QLineEdit*>());
            QVERIFY(::kill(std::stoi(readFile(out + ".pid")), SIGTERM) == 0);
        }
        QTRY_COMPARE_WITH_TIMEOUT(QByteArray::fromStdString(readFile(out + ".status")), status, 5000);
        QCOMPARE(QByteArray::fromStdString(readFile(out)), output);
        QTRY_VERIFY_WITH_TIMEOUT(!w, 2000);
        QVERIFY(entries(QString::fromStdString(tmp.path())).isEmpty());
        tunnel->run().stop();
    }

    // Any program of the session may call Authenticate with a real tunnel's name and a pipe of
    // its own: refused, and no window.
    void strangerIsRefused() {
        QVERIFY(m_sshd->writeKnownHosts(m_knownHosts));
        TunnelPtr tunnel = addTunnel("target");
        tunnel->run().start();
        QVERIFY2(waitForPrompt<PasswordPrompt>(20000), m_sshd->log().c_str());
        TempDir tmp("zandrel-stranger");
        const std::string fifo = tmp.file("answer");
        QVERIFY(::mkfifo(fifo.c_str(), 0600) == 0);
        Subprocess stranger;
        QVERIFY(stranger.start({"dbus-send", "--session", "--print-reply", "--dest=org.zandrel.Zandrel",
                                "/org/zandrel/Zandrel", "org.zandrel.Zandrel.Authenticate",
                                "string:Password: ", "string:target", "string:" + fifo}));
        QTRY_VERIFY_WITH_TIMEOUT(stranger.wait(10), 10000);
        QVERIFY(stranger.exitCode() != 0);
        QVERIFY2(stranger.output().find(ZandrelDBusService::kErrorRefused) != std::string::npos,
                 stranger.output().c_str());
        QCOMPARE(openPrompts().size(), 1);
    }

    // "no" to an unknown host key: ssh gives up, the tunnel starts again and asks again.
    void refusedHostKeyRetries() {
        const RetryScale quickRetry(0.1);  // a retry, were there one, would come within the wait below
        std::ofstream(m_knownHosts, std::ios::trunc).close();
        TunnelPtr tunnel = addTunnel("refusing");
        tunnel->run().start();
        QPointer<HostKeyPrompt> yn = waitForPrompt<HostKeyPrompt>(20000);
        QVERIFY2(yn, m_sshd->log().c_str());
        QCOMPARE(yn->windowTitle(), QStringLiteral("refusing"));
        QVERIFY2(yn->caption().contains(" (yes/no/[fingerprint])? "), qPrintable(yn->caption()));
        QVERIFY(yn->caption().contains(QString::number(m_sshd->port())));
        QVERIFY2(yn->heading().contains(QString::number(m_sshd->port())), qPrintable(yn->heading()));
        QVERIFY2(yn->heading().contains("SHA256:"), qPrintable(yn->heading()));
        QTest::mouseClick(yn->noButton(), Qt::LeftButton);
        QTRY_VERIFY(!yn);

        // "no" never connects: the tunnel stops and says why, and nothing asks again.
        QTRY_VERIFY_WITH_TIMEOUT(!tunnel->run().isActive(), 5000);
        QCOMPARE(tunnel->run().lastError(), std::string(HostKeyPrompt::kRefusedReason));
        QTest::qWait(pastTheRetryPauseMs());
        QVERIFY(openPrompts().isEmpty());
        QVERIFY(noneLeft("ssh"));
        QCOMPARE(readFile(m_knownHosts), std::string());

        // Stopped while its question is open: the window goes with its run.
        tunnel->run().start();
        QPointer<HostKeyPrompt> again = waitForPrompt<HostKeyPrompt>(20000);
        QVERIFY(again);
        tunnel->run().stop();
        QTRY_VERIFY_WITH_TIMEOUT(!again, 2000);
        QTRY_VERIFY_WITH_TIMEOUT(noneLeft("ssh") && noAskpassLeft(), 5000);
    }

    // "yes", then the password: connected, and the forward carries bytes.
    void passwordConnects() {
        std::ofstream(m_knownHosts, std::ios::trunc).close();
        const int localPort = LoopbackPort::pickFree();
        QVERIFY(localPort > 0);
        TunnelPtr tunnel = addTunnel("work", localPort);
        tunnel->run().start();
        QPointer<HostKeyPrompt> yn = waitForPrompt<HostKeyPrompt>(20000);
        QVERIFY2(yn, m_sshd->log().c_str());
        QTest::mouseClick(yn->yesButton(), Qt::LeftButton);

        QPointer<PasswordPrompt> pass = waitForPrompt<PasswordPrompt>(20000);
        QVERIFY2(pass, m_sshd->log().c_str());
        QCOMPARE(pass->windowTitle(), QStringLiteral("work"));
        QVERIFY2(pass->caption().contains(QString::fromStdString(m_account.name())), qPrintable(pass->caption()));
        QCOMPARE(pass->passwordField()->echoMode(), QLineEdit::Password);
        QVERIFY(readFile(m_knownHosts).find(m_sshd->hostKeyLine()) != std::string::npos);
        typeText(pass->passwordField(), QString::fromStdString(m_account.password()));
        QTest::mouseClick(pass->okButton(), Qt::LeftButton);

        const std::string connected = Bundle::main().localizedString("S_CONNECTED");
        QTRY_VERIFY2_WITH_TIMEOUT(tunnel->run().code() == 2 && tunnel->run().status() == connected,
                                  m_sshd->log().c_str(), 30000);
        QCOMPARE(EchoServer::roundTrip(localPort, "through the tunnel", 5000), std::string("through the tunnel"));
        QVERIFY(openPrompts().isEmpty());
        QVERIFY(noAskpassLeft());
        // The journal names the key that was let in.
        const auto events = tunnel->journal()->events();
        QVERIFY(std::any_of(events.begin(), events.end(), [](const JournalEvent& e) {
            return e.text.starts_with("Host key accepted: ") && e.text.find(" SHA256:") != std::string::npos;
        }));
        tunnel->run().stop();
    }

    // A wrong password is asked again by the same ssh; Cancel then stops the tunnel for good and
    // leaves no process behind.
    void wrongPasswordThenCancel() {
        const RetryScale quickRetry(0.1);  // a retry, were there one, would come within the wait below
        QVERIFY(m_sshd->writeKnownHosts(m_knownHosts));
        TunnelPtr tunnel = addTunnel("mistyped");
        tunnel->run().start();
        QPointer<PasswordPrompt> pass = waitForPrompt<PasswordPrompt>(20000);
        QVERIFY2(pass, m_sshd->log().c_str());
        const auto sshBefore = ProcessProbe::childrenNamed("ssh", false);
        QCOMPARE(sshBefore.size(), size_t(1));
        typeText(pass->passwordField(), "certainly wrong");
        QTest::mouseClick(pass->okButton(), Qt::LeftButton);
        QTRY_VERIFY(!pass);

        QPointer<PasswordPrompt> again = waitForPrompt<PasswordPrompt>(20000);
        QVERIFY2(again, m_sshd->log().c_str());
        QCOMPARE(ProcessProbe::childrenNamed("ssh", false), sshBefore);
        QCOMPARE(again->note(), QString(AuthenticationBridge::kTypedRefused));
        QVERIFY(tunnel->run().code() != 2);

        QTest::mouseClick(again->cancelButton(), Qt::LeftButton);
        QTRY_VERIFY(!again);
        QTRY_VERIFY_WITH_TIMEOUT(!tunnel->run().isRunning() && noneLeft("ssh") && noAskpassLeft(), 5000);
        QTRY_VERIFY_WITH_TIMEOUT(!tunnel->run().isActive(), 5000);
        QTest::qWait(pastTheRetryPauseMs());  // past the restart pause: nothing starts again
        QVERIFY(!tunnel->run().isRunning());
        QVERIFY(noneLeft("ssh"));
        QVERIFY(openPrompts().isEmpty());
        QCOMPARE(tunnel->run().lastError(), std::string(PasswordPrompt::kNoPasswordReason));
    }

    // Typed once with "Remember": back after a drop and in a tunnel to the same account with no
    // window; a changed server password, or a locked keyring, brings the window back; "Forget" too.
    void rememberedPassword() {
        QVERIFY(m_sshd->writeKnownHosts(m_knownHosts));
        const int localPort = LoopbackPort::pickFree();
        TunnelPtr tunnel = addTunnel("kept", localPort);
        tunnel->run().start();
        QPointer<PasswordPrompt> pass = waitForPrompt<PasswordPrompt>(20000);
        QVERIFY2(pass, m_sshd->log().c_str());
        QVERIFY(pass->rememberBox()->isVisible() && !pass->rememberBox()->isChecked());
        QVERIFY(pass->note().isEmpty());
        const QString question = pass->caption();
        answer(pass, m_account.password(), true);
        QTRY_VERIFY_WITH_TIMEOUT(tunnel->run().code() == 2, 30000);
        const QString account = PasswordKeyring::accountOf(*tunnel);
        QTRY_VERIFY(m_app.keyring().hasAny(account));
        QCOMPARE(LabelledSecrets::labelOf(account, question), "Zandrel: kept (" + account + ")");
        const std::string stored = readFile(m_app.defaults().path());
        QVERIFY(stored.find(m_account.password()) == std::string::npos);

        // The server drops the session.
        for (pid_t p : ProcessProbe::descendantsOf(m_sshd->pid())) ::kill(p, SIGTERM);
        QTRY_VERIFY_WITH_TIMEOUT(tunnel->run().drops() == 1, 10000);
        QVERIFY2(connectsWithoutAWindow(tunnel, 30000), tunnel->run().lastError().c_str());
        QCOMPARE(EchoServer::roundTrip(localPort, "again", 5000), std::string("again"));
        TunnelPtr twin = addTunnel("another name, same account");
        twin->run().start();
        QVERIFY(connectsWithoutAWindow(twin, 30000));
        twin->run().stop();

        QVERIFY(m_account.changePassword());
        tunnel->run().reconnect();
        pass = waitForPrompt<PasswordPrompt>(30000);
        QVERIFY(pass);
        QCOMPARE(pass->note(), QString(AuthenticationBridge::kRememberedRefused));
        answer(pass, m_account.password(), true);
        QTRY_VERIFY_WITH_TIMEOUT(tunnel->run().code() == 2, 30000);

        // Kept by QtKeychain, as before libsecret: still answers.
        m_app.keyring().forget(account);
        auto* old = new QKeychain::WritePasswordJob(PasswordKeyring::kService);
        old->setKey(account + u'\n' + question);
        old->setTextData(QString::fromStdString(m_account.password()));
        QSignalSpy written(old, &QKeychain::Job::finished);
        old->start();
        QVERIFY(written.wait(10000) && old->error() == QKeychain::NoError);
        QVERIFY(m_app.defaults().setObjectForKey(
            Value::dictionary({{account.toStdString(), Value(Value::List{question.toStdString()})}}),
            PasswordKeyring::kIndexKey));
        tunnel->run().reconnect();
        QVERIFY(connectsWithoutAWindow(tunnel, 30000));

        QVERIFY2(m_keyring.lock(), m_keyring.error().c_str());
        tunnel->run().reconnect();
        pass = waitForPrompt<PasswordPrompt>(PasswordKeyring::kReadTimeoutMs + 10000);
        QVERIFY(pass);
        QVERIFY(pass->note().isEmpty());
        // Kept in a locked keyring: the user is told so, and the next window says why.
        answer(pass, m_account.password(), true);
        QTRY_VERIFY_WITH_TIMEOUT(tunnel->run().code() == 2, 30000);
        QPointer<NoticePrompt> told = waitForPrompt<NoticePrompt>(PasswordKeyring::kReadTimeoutMs + 10000);
        QVERIFY(told);
        QVERIFY2(told->caption().contains(account), qPrintable(told->caption()));
        QTest::keyClick(told, Qt::Key_Escape);
        QTRY_VERIFY(!told);

        m_app.keyring().forget(account);
        QVERIFY(!m_app.keyring().hasAny(account));
        tunnel->run().reconnect();
        pass = waitForPrompt<PasswordPrompt>(30000);
        QVERIFY(pass);
        QVERIFY(pass->note().isEmpty());
        QVERIFY(!pass->rememberBox()->isEnabled());
        QVERIFY(pass->rememberBox()->toolTip().contains(m_app.keyring().storeProblem()));
        QTest::mouseClick(pass->cancelButton(), Qt::LeftButton);
    }

    // The bus names the pid that connected; that pid may belong to a later process by the time it
    // calls. A connection left to a child, whose maker's pid went to a process below a tunnel's
    // ssh (ns_last_pid, in this test's own pid namespace), is refused.
    void reusedPidIsRefused() {
        std::ofstream lastPid("/proc/sys/kernel/ns_last_pid");
        if (!lastPid) QSKIP("needs root in a pid namespace of its own to choose the next pid");
        TempDir bin("zandrel-reuse");
        const std::string trigger = bin.file("fork"), forked = bin.file("forked"), fifo = bin.file("answer");
        QVERIFY(::mkfifo(trigger.c_str(), 0600) == 0 && ::mkfifo(fifo.c_str(), 0600) == 0);
        writeFile(bin.file("ssh"),
                  "#!/bin/sh\nwhile read x <'" + trigger + "'; do sleep 1000 & echo $! >'" + forked + "'; done\n",
                  0700);
        SshCommand::setSshProgram(bin.file("ssh"));
        TunnelPtr tunnel = addTunnel("reused");
        tunnel->run().start();
        QTRY_VERIFY(tunnel->run().sshPid() > 0);
        int go[2], result[2];
        QVERIFY(::pipe(go) == 0 && ::pipe(result) == 0);
        const pid_t maker = connectAndLeave(fifo, go[0], result[1]);
        pid_t caller = 0;
        QVERIFY(::waitpid(maker, nullptr, 0) == maker && ::read(result[0], &caller, sizeof caller) > 0);
        lastPid << maker - 1 << std::flush;
        std::ofstream(trigger) << "\n";
        QTRY_VERIFY(!readFile(forked).empty());
        const bool taken = std::stoi(readFile(forked)) == maker;
        QVERIFY(!taken || ::write(go[1], "x", 1) == 1);
        ::fcntl(result[0], F_SETFL, O_NONBLOCK);
        char verdict = 0;
        waitServing([&] { return ::read(result[0], &verdict, 1) == 1; }, 10000);
        for (int fd : {go[0], go[1], result[0], result[1]}) ::close(fd);
        QVERIFY(::waitpid(caller, nullptr, 0) == caller);
        if (!taken) QSKIP("another process took the freed pid first");
        QCOMPARE(ProcessStat::of(maker).parent, tunnel->run().sshPid());  // still below ssh when refused
        QCOMPARE(verdict, 'R');
        QVERIFY(openPrompts().isEmpty());
    }

    // A jump host of unknown key asks through its own ssh (ssh -W, below the tunnel's) in ssh's
    // words, which name it; "yes" and a password for each hop connect, though both ask alike.
    void jumpHostAsks() {
        SshdFixture bastion(m_sshdOptions);
        QVERIFY2(bastion.start(), (bastion.error() + "\n" + bastion.log()).c_str());
        QVERIFY(m_sshd->writeKnownHosts(m_knownHosts));
        TunnelPtr tunnel = addTunnel("jumping");
        tunnel->setValueForKey(Value(m_account.name() + "@127.0.0.1:" + std::to_string(bastion.port())), "jumpHosts");
        tunnel->run().start();
        QPointer<HostKeyPrompt> yn = waitForPrompt<HostKeyPrompt>(20000);
        QVERIFY2(yn, bastion.log().c_str());
        QVERIFY2(yn->caption().contains(QString("[127.0.0.1]:%1").arg(bastion.port())), qPrintable(yn->caption()));
        QTest::mouseClick(yn->yesButton(), Qt::LeftButton);
        for (int hop = 0; hop < 2; ++hop) {
            QPointer<PasswordPrompt> pass = waitForPrompt<PasswordPrompt>(20000);
            QVERIFY2(pass, (bastion.log() + m_sshd->log()).c_str());
            QVERIFY(pass->note().isEmpty());
            answer(pass, m_account.password(), false);
            QTRY_VERIFY(!pass);
        }
        QTRY_VERIFY2_WITH_TIMEOUT(tunnel->run().code() == 2, tunnel->run().lastError().c_str(), 30000);
    }

    void cleanupTestCase() {
        for (const TunnelPtr& t : m_app.tunnels().tunnels()) t->run().stop();
        const bool ended = TunnelDriver::waitUntilIdle(std::chrono::seconds(5));
        m_app.tunnels().load(Value());
        QVERIFY(ended);
    }

private:
    // A tunnel whose "ssh" asks one question through Zandrel's askpass program, as ssh does, and
    // keeps the answer and the program's exit status in `answerFile` (".status").
    // kind goes into SSH_ASKPASS_PROMPT; the program's pid is in ".pid".
    TunnelPtr standInSshTunnel(const std::string& name, const TempDir& bin, const std::string& tmp,
                               const std::string& answerFile, const std::string& kind = {},
                               const std::string& query = "Password for test: ") {
        const std::string ssh = bin.file("ssh");
        writeFile(ssh,
                  "#!/bin/sh\nunset XDG_RUNTIME_DIR\nexport TMPDIR='" + tmp + "'\nSSH_ASKPASS_PROMPT='" + kind +
                      "' \"$SSH_ASKPASS\" '" + query + "' >'" + answerFile + "' &\necho $! >'" + answerFile +
                      ".pid'\nwait $!\necho $? >'" + answerFile + ".status'\nexec sleep 1000\n",
                  0700);
        SshCommand::setSshProgram(ssh);
        TunnelPtr t = addTunnel(name);
        t->run().start();
        return t;
    }

    TunnelPtr addTunnel(const std::string& name, int localPort = 0) {
        TunnelPtr t = Tunnel::create(name);
        t->setValueForKey(Value("127.0.0.1"), "connHost");
        t->setValueForKey(Value(std::to_string(m_sshd->port())), "connPort");
        t->setValueForKey(Value(m_account.name()), "connUser");
        t->setValueForKey(Value(true), "connAuth");
        if (localPort > 0)
            t->setValueForKey(Value(Value::List{Value::dictionary({{"port", std::to_string(localPort)},
                                                                   {"host", "127.0.0.1"},
                                                                   {"hostport", std::to_string(m_echo.port())}})}),
                              "tunnelsLocal");
        m_app.tunnels().append(t);
        return t;
    }

    ZandrelApplication& m_app;
    TestAccount m_account;
    SshdOptions m_sshdOptions;
    std::unique_ptr<SshdFixture> m_sshd;
    EchoServer m_echo;
    std::string m_knownHosts;
    std::string m_askpass;
    GnomeKeyring m_keyring;
};

int main(int argc, char** argv) {
    if (!TestAccount::supported()) {
        std::fputs("auth_e2e_test: needs root to add a test account; skipping\n", stderr);
        return 77;
    }
    if (!std::getenv("DBUS_SESSION_BUS_ADDRESS")) {
        std::fputs("auth_e2e_test: no session bus; run it under dbus-run-session\n", stderr);
        return 1;
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    TempDir config("zandrel-auth-config");
    setenv("XDG_CONFIG_HOME", config.path().c_str(), 1);
    setenv("XDG_STATE_HOME", (config.path() + "/state").c_str(), 1);  // tunnel journals
    // An askpass program whose ssh is gone becomes ours, so that none escapes the counting.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    Bundle::main().setResourceDir(ZANDREL_TEST_RESOURCES);

    int rc;
    {
        ZandrelApplication app(argc, argv, config.file("defaults.json"));
        DesktopStartup startup(app);
        if (startup.start(QDBusConnection::sessionBus()) != ZandrelStartup::Result::Started) {
            std::fprintf(stderr, "auth_e2e_test: cannot offer %s on the session bus: %s\n",
                         ZandrelDBusService::kService, qPrintable(startup.error()));
            return 1;
        }
        AuthEndToEndTest test(app);
        rc = QTest::qExec(&test, argc, argv);
        TunnelDriver::setShutdown(true);
        if (!TunnelDriver::waitUntilIdle(std::chrono::seconds(5))) {
            std::fputs("auth_e2e_test: an ssh outlived the tests\n", stderr);
            rc = rc ? rc : 1;
        }
    }
    return rc;
}

#include "AuthEndToEndTest.moc"
