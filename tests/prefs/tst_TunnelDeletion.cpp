// Deleting a tunnel in the preferences stops its ssh for good: while ssh runs, and in the
// pause after an exit when the launch thread is about to start it again.
#include <csignal>
#include <sys/types.h>

#include <QFile>
#include <QPushButton>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>

#include "PrefsHarness.h"

class TunnelDeletionTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void deletingARunningTunnelLeavesNoSsh();
    void deletingInThePauseStopsTheRestart();

private:
    // A stand-in for ssh that notes each start; body is the rest of the script.
    void writeSsh(const char* body);
    QList<pid_t> runs() const;
    static bool alive(pid_t pid);
    void deleteOnlyTunnel(PrefsHarness& h);

    QTemporaryDir m_dir;
    std::string m_oldProgram;
};

void TunnelDeletionTest::init() { m_oldProgram = ROZUdivev::sshProgram(); }

void TunnelDeletionTest::cleanup() {
    ROZUdivev::setSshProgram(m_oldProgram);
    QFile::remove(m_dir.filePath(QStringLiteral("runs")));
    QVERIFY(ROZUdivev::waitForLaunchThreads(std::chrono::seconds(5)));
}

void TunnelDeletionTest::writeSsh(const char* body) {
    const QString path = m_dir.filePath(QStringLiteral("ssh"));
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write("#!/bin/sh\necho $$ >> '" + m_dir.filePath(QStringLiteral("runs")).toLocal8Bit() + "'\n" + body + "\n");
    f.close();
    f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    ROZUdivev::setSshProgram(path.toStdString());
}

QList<pid_t> TunnelDeletionTest::runs() const {
    QFile f(m_dir.filePath(QStringLiteral("runs")));
    QList<pid_t> pids;
    if (!f.open(QIODevice::ReadOnly)) return pids;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (!line.trimmed().isEmpty()) pids << static_cast<pid_t>(line.trimmed().toInt());
    return pids;
}

bool TunnelDeletionTest::alive(pid_t pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly)) return false;
    const QByteArray s = stat.readAll();
    const qsizetype close = s.lastIndexOf(')');
    return close > 0 && s.size() > close + 2 && s.at(close + 2) != 'Z';
}

void TunnelDeletionTest::deleteOnlyTunnel(PrefsHarness& h) {
    h.open();
    QVERIFY(h.runModal([&] {
        PrefsHarness::clickRow(h.child<QTableView>("tunnelsList"), 0);
        PrefsHarness::click(h.child<QPushButton>("delHostButton"));
        QCOMPARE(h.child<QTableView>("tunnelsList")->model()->rowCount(), 0);
    }));
}

void TunnelDeletionTest::deletingARunningTunnelLeavesNoSsh() {
    writeSsh("exec sleep 30");
    PrefsHarness h;
    h.tunnels = {ROZUdivev::create("running")};
    std::weak_ptr<ROZUdivev> tunnel = h.tunnels[0];
    h.tunnels[0]->startTunnel();
    QTRY_COMPARE(runs().size(), 1);
    QTRY_VERIFY(tunnel.lock()->isRunning());
    const pid_t ssh = runs().first();
    QVERIFY(alive(ssh));

    deleteOnlyTunnel(h);
    QTRY_VERIFY(!alive(ssh));
    // Longer than the pause after an exit: no new ssh, and the tunnel is gone with its thread.
    QTest::qWait(2500);
    QCOMPARE(runs().size(), 1);
    QTRY_VERIFY(tunnel.expired());
    QCOMPARE(h.storedTunnels(), Value(Value::List{}));
}

void TunnelDeletionTest::deletingInThePauseStopsTheRestart() {
    writeSsh("exit 255");
    PrefsHarness h;
    h.tunnels = {ROZUdivev::create("failing")};
    std::weak_ptr<ROZUdivev> tunnel = h.tunnels[0];
    h.tunnels[0]->startTunnel();
    // ssh has exited and the launch thread waits its second before the next start.
    QTRY_COMPARE(runs().size(), 1);
    QTRY_VERIFY(!tunnel.lock()->isRunning() && tunnel.lock()->hasLaunchThread());

    deleteOnlyTunnel(h);
    QTest::qWait(2500);
    QCOMPARE(runs().size(), 1);
    for (pid_t pid : runs()) QVERIFY(!alive(pid));
    QTRY_VERIFY(tunnel.expired());
}

QTEST_MAIN(TunnelDeletionTest)
#include "tst_TunnelDeletion.moc"
