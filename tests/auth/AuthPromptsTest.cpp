// The prompt windows on real widgets (offscreen), answering into real named pipes.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <atomic>
#include <csignal>
#include <mutex>
#include <thread>

#include "AuthenticationBridge.h"
#include "FifoAnswer.h"
#include "HostKeyPrompt.h"
#include "Log.h"
#include "PasswordKeyring.h"
#include "PasswordPrompt.h"
#include "PromptWindows.h"
#include "RetryPause.h"
#include "Tunnel.h"

namespace {

// Reads a named pipe the way askForPass.sh does: a blocking open, then everything until the
// writer closes.
class PipeReader {
public:
    explicit PipeReader(const QString& path) : m_path(QFile::encodeName(path)) {
        m_thread = std::thread([this] {
            const int fd = ::open(m_path.constData(), O_RDONLY | O_CLOEXEC);
            if (fd < 0) return;
            char buf[256];
            for (;;) {
                const ssize_t n = ::read(fd, buf, sizeof buf);
                if (n > 0) {
                    std::lock_guard lock(m_mutex);
                    m_bytes.append(buf, n);
                    continue;
                }
                if (n < 0 && errno == EINTR) continue;
                break;
            }
            ::close(fd);
            m_eof = true;
        });
    }
    ~PipeReader() {
        if (!m_eof) {
            // Unblock the open (or the read) so that the thread can be joined.
            const int fd = ::open(m_path.constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd >= 0) ::close(fd);
        }
        m_thread.join();
    }
    bool sawEof() const { return m_eof; }
    QByteArray bytes() const {
        std::lock_guard lock(m_mutex);
        return m_bytes;
    }

private:
    QByteArray m_path;
    std::thread m_thread;
    mutable std::mutex m_mutex;
    QByteArray m_bytes;
    std::atomic<bool> m_eof{false};
};

// Holds a pipe open for reading without waiting, to tell afterwards whether any writer ever
// opened it: Linux reports a hang-up only once a writer has come and gone.
class PipeWatcher {
public:
    explicit PipeWatcher(const QString& path) {
        m_fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    }
    ~PipeWatcher() {
        if (m_fd >= 0) ::close(m_fd);
    }
    bool isOpen() const { return m_fd >= 0; }
    bool writerCame() const {
        pollfd p{m_fd, POLLIN, 0};
        return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLIN | POLLHUP));
    }
    int fd() const { return m_fd; }

private:
    int m_fd = -1;
};

// Types as a keyboard would, also characters beyond Latin-1 (which keyClicks refuses).
void typeText(QWidget* w, const QString& text) {
    for (QChar c : text) QTest::sendKeyEvent(QTest::Click, w, Qt::Key_unknown, QString(c), Qt::NoModifier);
}

QList<PromptWindow*> openPrompts() {
    QList<PromptWindow*> list;
    for (QWidget* w : QApplication::topLevelWidgets()) {
        auto* p = qobject_cast<PromptWindow*>(w);
        if (p && p->isVisible()) list.append(p);
    }
    return list;
}

template <typename T>
T* onlyPrompt() {
    const auto list = openPrompts();
    if (list.size() != 1) return nullptr;
    return qobject_cast<T*>(list.first());
}

QString makeFifo(const QTemporaryDir& dir, const QString& name = QStringLiteral("answer")) {
    const QString path = dir.filePath(name);
    if (::mkfifo(QFile::encodeName(path).constData(), 0600) != 0) return {};
    return path;
}

// A tunnel whose "ssh" only sleeps, so it runs until stopped.
TunnelPtr sleepingTunnel(const QTemporaryDir& dir, const std::string& name) {
    const QString program = dir.filePath(QStringLiteral("fake-ssh"));
    QFile f(program);
    if (!f.exists()) {
        f.open(QIODevice::WriteOnly);
        f.write("#!/bin/sh\nexec sleep 60\n");
        f.close();
        f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    }
    SshCommand::setSshProgram(program.toStdString());
    auto t = Tunnel::create(name);
    t->setValueForKey(Value(true), "connAuth");
    t->setValueForKey(Value("127.0.0.1"), "connHost");
    return t;
}

}  // namespace

class AuthPromptsTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init() {
        m_log.clear();
        Log::setSink([this](const std::string& l) {
            std::lock_guard lock(m_logMutex);
            m_log.push_back(l);
        });
    }
    void cleanup() {
        for (PromptWindow* w : openPrompts()) {
            w->setFifo(QString());  // nothing to answer into any more
            w->close();
        }
        QTRY_VERIFY(openPrompts().isEmpty());
        Log::setSink({});
    }

    void promptChoice_data() {
        QTest::addColumn<QString>("query");
        QTest::addColumn<bool>("yesNo");
        QTest::newRow("password") << "zdrt1234@127.0.0.1's password: " << false;
        QTest::newRow("old host-key question")
            << "The authenticity of host 'h (1.2.3.4)' can't be established.\n"
               "RSA key fingerprint is 9a:..:01.\nAre you sure you want to continue connecting (yes/no)? "
            << true;
        QTest::newRow("today's host-key question")
            << "The authenticity of host '[127.0.0.1]:2222 ([127.0.0.1]:2222)' can't be established.\n"
               "ED25519 key fingerprint is SHA256:abc.\nThis key is not known by any other names.\n"
               "Are you sure you want to continue connecting (yes/no/[fingerprint])? "
            << true;
        QTest::newRow("no blank after the question mark") << "continue connecting (yes/no)?" << false;
        QTest::newRow("no blank before the parenthesis") << "continue connecting(yes/no)? " << false;
        QTest::newRow("key passphrase") << "Enter passphrase for key '/root/.ssh/id_ed25519': " << false;
        QTest::newRow("fingerprint form without blank after") << "connecting (yes/no/[fingerprint])?" << false;
    }
    void promptChoice() {
        QFETCH(QString, query);
        QFETCH(bool, yesNo);
        QCOMPARE(AuthenticationBridge::isYesNoQuestion(query), yesNo);
    }

    // ssh's hint as the askpass passes it on; a hint unknown here is asked as a question. Only
    // passwords and passphrases may be kept: no one-time code, PIN or notice.
    void kindsAndKeeping_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("kind");
        QTest::addColumn<bool>("storable");
        using K = AuthenticationBridge::Kind;
        QTest::newRow("no hint") << "" << int(K::Question) << false;
        QTest::newRow("notice") << "none" << int(K::Notice) << false;
        QTest::newRow("confirm") << "confirm" << int(K::Confirm) << false;
        QTest::newRow("unknown hint") << "Confirm" << int(K::Question) << false;
        QTest::newRow("password") << "u@h's password: " << int(K::Question) << true;
        QTest::newRow("passphrase") << "Enter passphrase for key 'k': " << int(K::Question) << true;
        QTest::newRow("verification code") << "Verification code: " << int(K::Question) << false;
        QTest::newRow("one-time password") << "One-time password (OATH) for `u': " << int(K::Question) << false;
        QTest::newRow("touch notice") << "Confirm user presence for key ED25519-SK SHA256:x" << int(K::Question)
                                      << false;
        QTest::newRow("security key PIN") << "Enter PIN for ED25519-SK key k: " << int(K::Question) << false;
    }
    void kindsAndKeeping() {
        QFETCH(QString, text);
        QFETCH(int, kind);
        QFETCH(bool, storable);
        QCOMPARE(int(AuthenticationBridge::kindOf(text)), kind);
        QCOMPARE(PasswordKeyring::isStorable(text), storable);
    }

    // The window the bridge opens: titled, centred, not modal, pointing at the first tunnel of
    // the name; a second question gets a window of its own.
    void bridgeOpensWindows() {
        QTemporaryDir dir;
        auto first = Tunnel::create("work");
        auto second = Tunnel::create("work");
        auto other = Tunnel::create("home");
        const TunnelList tunnels{other, first, second};
        const QString fifo1 = makeFifo(dir, "a");
        const QString fifo2 = makeFifo(dir, "b");

        QString error;
        QVERIFY(PromptWindows::authenticate(tunnels, "work's password: ", "work", fifo1, &error));
        auto* pass = onlyPrompt<PasswordPrompt>();
        QVERIFY(pass);
        QVERIFY(pass->isVisible());
        QVERIFY(!pass->isModal());
        QCOMPARE(pass->windowTitle(), QStringLiteral("work"));
        QCOMPARE(pass->caption(), QStringLiteral("work's password: "));
        QCOMPARE(pass->fifo(), fifo1);
        QCOMPARE(pass->tunnel(), first);
        QCOMPARE(pass->passwordField()->echoMode(), QLineEdit::Password);
        const QPoint centre = pass->screen()->availableGeometry().center();
        QVERIFY2((pass->geometry().center() - centre).manhattanLength() <= 4, "the window is not centred");

        QVERIFY(PromptWindows::authenticate(tunnels, "sure (yes/no)? ", "home", fifo2, &error));
        QCOMPARE(openPrompts().size(), 2);
        HostKeyPrompt* yn = nullptr;
        for (PromptWindow* w : openPrompts())
            if (auto* y = qobject_cast<HostKeyPrompt*>(w)) yn = y;
        QVERIFY(yn);
        QCOMPARE(yn->windowTitle(), QStringLiteral("home"));
        QCOMPARE(yn->tunnel(), other);

        // Answering one leaves the other open.
        PipeReader reader(fifo2);
        QTest::mouseClick(yn->yesButton(), Qt::LeftButton);
        QTRY_VERIFY(reader.sawEof());
        QCOMPARE(reader.bytes(), QByteArray("yes"));
        QCOMPARE(openPrompts().size(), 1);
        QVERIFY(pass->isVisible());
    }

    // A name that matches no tunnel still asks, under the name given; an empty query or pipe
    // path is refused without a window.
    void bridgeEdgeCases() {
        QTemporaryDir dir;
        const QString fifo = makeFifo(dir);
        const TunnelList tunnels{Tunnel::create("work")};
        QString error;

        QVERIFY(!PromptWindows::authenticate(tunnels, "", "work", fifo, &error));
        QVERIFY(!error.isEmpty());
        error.clear();
        QVERIFY(!PromptWindows::authenticate(tunnels, "password: ", "work", "", &error));
        QVERIFY(!error.isEmpty());
        QCoreApplication::processEvents();
        QVERIFY(openPrompts().isEmpty());

        QVERIFY(PromptWindows::authenticate(tunnels, "password: ", "renamed", fifo, &error));
        auto* pass = onlyPrompt<PasswordPrompt>();
        QVERIFY(pass);
        QCOMPARE(pass->windowTitle(), QStringLiteral("renamed"));
        QVERIFY(!pass->tunnel());
        PipeWatcher watcher(fifo);
        QVERIFY(watcher.isOpen());
        QTest::mouseClick(pass->cancelButton(), Qt::LeftButton);
        QTRY_VERIFY(openPrompts().isEmpty());
        QVERIFY(!watcher.writerCame());
    }

    // Exactly the answer's bytes, no line end, then end of file; the window closes and the
    // typed password is gone from the field.
    void answerBytes_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("yes") << "yes" << QString() << QByteArray("yes");
        QTest::newRow("no") << "no" << QString() << QByteArray("no");
        QTest::newRow("password") << "ok"
                                  << "s3cret pass" << QByteArray("s3cret pass");
        QTest::newRow("empty password") << "ok" << QString() << QByteArray();
        const QString nonAscii = QString::fromUtf8("pässwörd€ß");
        QTest::newRow("utf-8 password") << "ok" << nonAscii << nonAscii.toUtf8();
    }
    void answerBytes() {
        QFETCH(QString, kind);
        QFETCH(QString, typed);
        QFETCH(QByteArray, expected);

        QTemporaryDir dir;
        const QString fifo = makeFifo(dir);
        const QString query = kind == "ok" ? QStringLiteral("password: ") : QStringLiteral("connect (yes/no)? ");
        QString error;
        QVERIFY(PromptWindows::authenticate({}, query, "t", fifo, &error));
        PipeReader reader(fifo);
        QPointer<PromptWindow> window = openPrompts().value(0);
        QVERIFY(window);
        if (kind == "ok") {
            auto* pass = qobject_cast<PasswordPrompt*>(window.data());
            typeText(pass->passwordField(), typed);
            QCOMPARE(pass->passwordField()->text(), typed);
            QLineEdit* field = pass->passwordField();
            QTest::mouseClick(pass->okButton(), Qt::LeftButton);
            if (window) QVERIFY(field->text().isEmpty());
        } else {
            auto* yn = qobject_cast<HostKeyPrompt*>(window.data());
            QTest::mouseClick(kind == "yes" ? yn->yesButton() : yn->noButton(), Qt::LeftButton);
        }
        QTRY_VERIFY(reader.sawEof());
        QCOMPARE(reader.bytes(), expected);
        QTRY_VERIFY(!window);  // closed and deleted
    }

    // Cancel stops the tunnel for good, saying why, and never opens the pipe; closing the window counts as
    // Cancel, and closing a yes/no window as "no".
    void cancelStopsTunnel() {
        QTemporaryDir dir;
        auto tunnel = sleepingTunnel(dir, "busy");
        tunnel->run().start();
        QTRY_VERIFY(tunnel->run().isRunning());
        const QString fifo = makeFifo(dir);
        PipeWatcher watcher(fifo);
        QString error;
        QVERIFY(PromptWindows::authenticate({tunnel}, "password: ", "busy", fifo, &error));
        auto* pass = onlyPrompt<PasswordPrompt>();
        QVERIFY(pass);
        QTest::keyClicks(pass->passwordField(), "not sent");
        QTest::mouseClick(pass->cancelButton(), Qt::LeftButton);
        QTRY_VERIFY(openPrompts().isEmpty());
        QTRY_VERIFY(!tunnel->run().isRunning());
        QTRY_VERIFY_WITH_TIMEOUT(!tunnel->run().isActive(), 5000);
        QCOMPARE(tunnel->run().lastError(), std::string(PasswordPrompt::kNoPasswordReason));
        QTest::qWait(testsupport::pastTheRetryPauseMs());  // past the restart pause: nothing starts again
        QVERIFY(!tunnel->run().isRunning());
        QVERIFY(!tunnel->run().isActive());
        QVERIFY(!watcher.writerCame());

        // The window's close button (or Escape) on a password prompt: the same as Cancel.
        tunnel->run().start();
        QTRY_VERIFY(tunnel->run().isRunning());
        QVERIFY(PromptWindows::authenticate({tunnel}, "password: ", "busy", fifo, &error));
        pass = onlyPrompt<PasswordPrompt>();
        QVERIFY(pass);
        QTest::keyClick(pass, Qt::Key_Escape);
        QTRY_VERIFY(openPrompts().isEmpty());
        QTRY_VERIFY(!tunnel->run().isRunning());
        QTRY_VERIFY_WITH_TIMEOUT(!tunnel->run().isActive(), 5000);
        QVERIFY(!watcher.writerCame());

        // A yes/no prompt closed so answers "no", which can never connect: the tunnel stops and says why.
        tunnel->run().start();
        QTRY_VERIFY(tunnel->run().isRunning());
        const QString ynFifo = makeFifo(dir, "yn");
        QVERIFY(PromptWindows::authenticate({tunnel}, "go on (yes/no)? ", "busy", ynFifo, &error));
        auto* yn = onlyPrompt<HostKeyPrompt>();
        QVERIFY(yn);
        PipeReader reader(ynFifo);
        yn->close();
        QTRY_VERIFY(reader.sawEof());
        QCOMPARE(reader.bytes(), QByteArray("no"));
        QTRY_VERIFY_WITH_TIMEOUT(!tunnel->run().isActive(), 5000);
        QCOMPARE(tunnel->run().lastError(), std::string(HostKeyPrompt::kRefusedReason));
    }

    // Whatever is at the path, the GUI never waits and a password never lands anywhere but in
    // a named pipe of this user that someone reads.
    void unsafePaths_data() {
        QTest::addColumn<QString>("what");
        QTest::newRow("regular file") << "file";
        QTest::newRow("link to a pipe") << "link";
        QTest::newRow("pipe of another user") << "foreign";
        QTest::newRow("missing") << "missing";
        QTest::newRow("reader gone") << "gone";
        QTest::newRow("full pipe") << "full";
    }
    void unsafePaths() {
        QFETCH(QString, what);
        QTemporaryDir dir;
        QString path = dir.filePath("answer");
        const QByteArray native = QFile::encodeName(path);
        const QByteArray original("original contents\n");
        std::unique_ptr<PipeWatcher> watcher;
        int fillFd = -1;
        struct stat before {};

        if (what == "file") {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(original);
            f.close();
            QVERIFY(::stat(native.constData(), &before) == 0);
            QTest::qWait(20);  // a write would move the time stamp
        } else if (what == "link" || what == "foreign" || what == "gone" || what == "full") {
            const QString target = makeFifo(dir, "real");
            QVERIFY(!target.isEmpty());
            watcher = std::make_unique<PipeWatcher>(target);
            if (what == "link") {
                QVERIFY(::symlink(QFile::encodeName(target).constData(), native.constData()) == 0);
            } else {
                path = target;
                if (what == "foreign") {
                    if (::geteuid() != 0) QSKIP("needs root to give a pipe to another user");
                    QVERIFY(::chown(QFile::encodeName(target).constData(), 65534, 65534) == 0);
                }
                if (what == "gone") watcher.reset();
                if (what == "full") {
                    // A reader that does not read, and a pipe that holds no more.
                    fillFd = ::open(QFile::encodeName(target).constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
                    QVERIFY(fillFd >= 0);
                    const QByteArray junk(4096, 'x');
                    while (::write(fillFd, junk.constData(), junk.size()) > 0) {
                    }
                    QCOMPARE(errno, EAGAIN);
                }
            }
        }

        QString error;
        QVERIFY(PromptWindows::authenticate({}, "password: ", "t", path, &error));
        auto* pass = onlyPrompt<PasswordPrompt>();
        QVERIFY(pass);
        QTest::keyClicks(pass->passwordField(), "hunter2");
        QElapsedTimer clock;
        clock.start();
        QTest::mouseClick(pass->okButton(), Qt::LeftButton);
        QVERIFY2(clock.elapsed() < 200, "answering blocked the GUI");
        QTRY_VERIFY(openPrompts().isEmpty());

        // Wait until the answer has been given up (after the patience for a late reader).
        QTRY_VERIFY_WITH_TIMEOUT(logHas("no answer given through"), 5000);
        if (what == "file") {
            QFile f(path);
            QVERIFY(f.open(QIODevice::ReadOnly));
            QCOMPARE(f.readAll(), original);
            struct stat after {};
            QVERIFY(::stat(native.constData(), &after) == 0);
            QCOMPARE(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
            QCOMPARE(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
        }
        if (what == "link" || what == "foreign") QVERIFY(!watcher->writerCame());
        if (what == "full") {
            // Only the filler's bytes are in the pipe; the password is not.
            QByteArray all;
            char buf[4096];
            ssize_t n;
            while ((n = ::read(watcher->fd(), buf, sizeof buf)) > 0) all.append(buf, n);
            QVERIFY(!all.contains("hunter2"));
            QVERIFY(all.count('x') == all.size());
            ::close(fillFd);
        }
        QVERIFY(!logHas("hunter2"));
    }

    // A reader that closes its end while the answer is being written raises SIGPIPE, which by
    // default ends the program; the writer takes it back. Repeated, since the closing races
    // with the write.
    void readerClosingDuringWrite() {
        QTemporaryDir dir;
        const QString fifo = makeFifo(dir);
        const QByteArray native = QFile::encodeName(fifo);
        auto old = std::signal(SIGPIPE, SIG_DFL);
        int written = 0, failed = 0;
        for (int i = 0; i < 300; ++i) {
            std::thread closer([&native] {
                const int fd = ::open(native.constData(), O_RDONLY | O_CLOEXEC);
                if (fd >= 0) ::close(fd);
            });
            FifoAnswer::Result r;
            while ((r = FifoAnswer::write(fifo, QByteArray(512, 'p'))) == FifoAnswer::Result::NoReader)
                std::this_thread::yield();
            closer.join();
            (r == FifoAnswer::Result::Written ? written : failed)++;
        }
        std::signal(SIGPIPE, old);
        qInfo("%d answers written before the reader closed, %d met a closed reader", written, failed);
        QCOMPARE(written + failed, 300);
    }

private:
    bool logHas(const std::string& text) {
        std::lock_guard lock(m_logMutex);
        for (const auto& l : m_log)
            if (l.find(text) != std::string::npos) return true;
        return false;
    }

    std::mutex m_logMutex;
    std::vector<std::string> m_log;
};

QTEST_MAIN(AuthPromptsTest)
#include "AuthPromptsTest.moc"
