// The rules that keep secrets safe without any window or keyring daemon: an answer ssh refused is
// not offered again, and the process cannot be dumped or read while a secret may be in memory.
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include "CoreDumpShield.h"
#include "Defaults.h"
#include "PasswordKeyring.h"

class SecretsSafetyTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void refusedAnswerIsNotOfferedAgain();
    void shieldsKeepTheProcessUndumpable();
    void failedStoreSaysWhy();
};

void SecretsSafetyTest::refusedAnswerIsNotOfferedAgain() {
    QTemporaryDir dir;
    Defaults defaults(dir.filePath(QStringLiteral("defaults.json")).toStdString());
    const QString account = QStringLiteral("me@host"), password = QStringLiteral("me@host's password: "),
                  passphrase = QStringLiteral("Enter passphrase for key '/k': ");
    // The index of kept answers, as a store made it.
    QVERIFY(defaults.setObjectForKey(
        Value::dictionary(
            {{account.toStdString(), Value(Value::List{password.toStdString(), passphrase.toStdString()})}}),
        PasswordKeyring::kIndexKey));
    PasswordKeyring keyring(defaults);
    QVERIFY(keyring.canAnswer(account, password));
    keyring.markRefused(account, password);
    QVERIFY(!keyring.canAnswer(account, password));
    QVERIFY(keyring.canAnswer(account, passphrase));  // another question of the account stays
    QVERIFY(!keyring.canAnswer(QStringLiteral("other@host"), password));
}

void SecretsSafetyTest::shieldsKeepTheProcessUndumpable() {
    QVERIFY(CoreDumpShield::processDumpable());
    {
        CoreDumpShield question;
        QVERIFY(!CoreDumpShield::processDumpable());
        { CoreDumpShield answer; }
        QVERIFY(!CoreDumpShield::processDumpable());  // until the last shield goes
    }
    QVERIFY(CoreDumpShield::processDumpable());
}

// No keyring to reach: the store says why at once and keeps saying so; nothing enters the index.
void SecretsSafetyTest::failedStoreSaysWhy() {
    QTemporaryDir dir;
    qputenv("DBUS_SESSION_BUS_ADDRESS", QFile::encodeName("unix:path=" + dir.filePath(QStringLiteral("no-bus"))));
    Defaults defaults(dir.filePath(QStringLiteral("defaults.json")).toStdString());
    PasswordKeyring keyring(defaults);
    QString problem;
    bool done = false;
    keyring.store(QStringLiteral("me@host"), QStringLiteral("me@host's password: "), "hunter2",
                  [&](const QString& p) { problem = p, done = true; });
    QTRY_VERIFY_WITH_TIMEOUT(done, PasswordKeyring::kReadTimeoutMs + 2000);
    QVERIFY(!problem.isEmpty());
    QCOMPARE(keyring.storeProblem(), problem);
    QVERIFY(!keyring.hasAny(QStringLiteral("me@host")));
}

QTEST_GUILESS_MAIN(SecretsSafetyTest)
#include "SecretsSafetyTest.moc"
