// Deleting a tunnel in the preferences stops its ssh for good: while ssh runs, and in the
// pause after an exit when the engine is about to start it again.
#include <QFile>
#include <QPushButton>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>

#include "PrefsHarness.h"
#include "TunnelDriver.h"
#include "Wait.h"

class TunnelDeletionTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void deletingStopsForGood_data();
    void deletingStopsForGood();
};

void TunnelDeletionTest::deletingStopsForGood_data() {
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("running");  // deleted while ssh runs, or in the pause after its exit
    QTest::newRow("while ssh runs") << QByteArray("exec sleep 30") << true;
    QTest::newRow("in the pause after an exit") << QByteArray("exit 255") << false;
}

void TunnelDeletionTest::deletingStopsForGood() {
    QFETCH(QByteArray, body);
    QFETCH(bool, running);
    QTemporaryDir dir;
    const QString runsFile = dir.filePath(QStringLiteral("runs"));
    QFile ssh(dir.filePath(QStringLiteral("ssh")));
    QVERIFY(ssh.open(QIODevice::WriteOnly));
    ssh.write("#!/bin/sh\necho $$ >> '" + runsFile.toLocal8Bit() + "'\n" + body + "\n");
    ssh.close();
    ssh.setPermissions(QFile::ReadOwner | QFile::ExeOwner);
    auto runs = [&] {
        QFile f(runsFile);
        QList<qint64> pids;
        if (f.open(QIODevice::ReadOnly))
            for (const QByteArray& line : f.readAll().split('\n'))
                if (!line.trimmed().isEmpty()) pids << line.trimmed().toLongLong();
        return pids;
    };
    const std::string oldProgram = SshCommand::sshProgram();
    SshCommand::setSshProgram(ssh.fileName().toStdString());

    PrefsHarness h;
    h.tunnels.reset({Tunnel::create("doomed")});
    h.tunnels.at(0)->setValueForKey(Value("h"), "connHost");
    std::weak_ptr<Tunnel> tunnel = h.tunnels.at(0);
    h.tunnels.at(0)->run().start();
    QTRY_COMPARE(runs().size(), 1);
    if (running)
        QTRY_VERIFY(tunnel.lock()->run().isRunning() && testsupport::isAlive(runs().first()));
    else  // ssh has exited; the engine waits its second before the next start
        QTRY_VERIFY(!tunnel.lock()->run().isRunning() && tunnel.lock()->run().isActive());

    h.open();
    QVERIFY(h.runModal([&] {
        PrefsHarness::clickRow(h.child<QTableView>("tunnelsList"), 0);
        PrefsHarness::answerMessageBox(QStringLiteral("Delete"));
        PrefsHarness::click(h.child<QPushButton>("delHostButton"));
        QCOMPARE(h.child<QTableView>("tunnelsList")->model()->rowCount(), 0);
    }));
    QTRY_VERIFY(!testsupport::isAlive(runs().first()));
    // Gone with its thread: the engine holds a tunnel while a run or a retry of it is due, so
    // once it is gone no new ssh can follow, and none came.
    QTRY_VERIFY(tunnel.expired());
    QCOMPARE(runs().size(), 1);
    QCOMPARE(h.storedTunnels(), Value(Value::List{}));
    SshCommand::setSshProgram(oldProgram);
    QVERIFY(TunnelDriver::waitUntilIdle(std::chrono::seconds(5)));
}

QTEST_MAIN(TunnelDeletionTest)
#include "tst_TunnelDeletion.moc"
