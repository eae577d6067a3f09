// The preferences window's start-at-login checkbox and its message for a save that failed.
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QAbstractItemView>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QTest>

#include "AutostartEntry.h"
#include "PrefsHarness.h"

class StartAtLoginTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void checkboxWritesAndRemovesTheAutostartEntry() {
        PrefsHarness h;
        h.open();
        auto* box = h.child<QCheckBox>("startAtLogin");
        QVERIFY(!box->isChecked());
        PrefsHarness::click(box);
        QFile entry(AutostartEntry::path());
        QVERIFY(entry.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(entry.readAll());
        QVERIFY(text.startsWith("[Desktop Entry]\n"));
        QVERIFY(text.contains("\nExec=" + QCoreApplication::applicationFilePath() + "\n"));
        // Read from the file, not remembered elsewhere.
        QVERIFY(h.storedValue("startAtLogin").isNone());
        PrefsHarness::click(box);
        QVERIFY(!QFile::exists(AutostartEntry::path()));
    }

    void failedSaveIsShownAndTheEditStays() {
        PrefsHarness h;
        h.tunnels.append(Tunnel::create("Db"));
        h.open();
        PrefsHarness::clickRow(h.child<QAbstractItemView>("tunnelsList"), 0);
        const QString dir = QFileInfo(QString::fromStdString(h.defaults->path())).path();
        QVERIFY(QDir().mkpath(dir));
        if (geteuid() == 0) {
            // Root writes through file modes: a read-only bind mount in a mount namespace of our own.
            QVERIFY(unshare(CLONE_NEWNS) == 0);
            QVERIFY(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0);
            QVERIFY(mount(qPrintable(dir), qPrintable(dir), nullptr, MS_BIND, nullptr) == 0);
            QVERIFY(mount(nullptr, qPrintable(dir), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0);
        } else {
            QVERIFY(chmod(qPrintable(dir), 0500) == 0);
        }
        auto* name = h.child<QLineEdit>("name");
        PrefsHarness::type(name, "Database", Qt::Key_Return);
        auto* problem = h.child<QLabel>("saveProblem");
        QTRY_VERIFY(problem->isVisibleTo(h.controller().window()));
        QVERIFY(problem->text().contains(QString::fromStdString(h.defaults->path())));
        QCOMPARE(name->text(), QStringLiteral("Database"));
        QCOMPARE(h.tunnels.at(0)->connName(), std::string("Database"));
        if (geteuid() == 0)
            QVERIFY(umount(qPrintable(dir)) == 0);
        else
            QVERIFY(chmod(qPrintable(dir), 0700) == 0);
    }
};

QTEST_MAIN(StartAtLoginTest)
#include "StartAtLoginTest.moc"
