// The preferences window as a user drives it: tunnel list, form, options panel, cipher
// pop-up, and what every step leaves in the store.
#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QStackedWidget>
#include <QTableView>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "CipherList.h"
#include "ImportDialog.h"
#include "LinkLabel.h"
#include "PrefsHarness.h"
#include "PrefsTableView.h"
#include "ProcessProbe.h"

class PreferencesWindowTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void emptyListShowsEmptyPanel();
    void addTwiceThenCloseStoresDefaults();
    void everyControlEditsItsFieldAndSaves();
    void socksPortRefusesNonPorts();
    void selectionChangeSavesAndShowsOtherTunnel();
    void deleteShowsNextTunnelAndStoresAtOnce();
    void cipherPopUpKeepsUnknownCipher();
    void sshOptionsAndImportAskTheInstalledSsh();
    void importOpensAtOnceAndCancelStopsSsh();
    void quitWhileTypingKeepsTheTextButNothingSshRefuses();
    void aScriptsChangesShowAtOnce();
};

namespace {
TunnelPtr tunnelNamed(const std::string& name) {
    auto t = Tunnel::create(name);
    t->setValueForKey(Value("h-" + name), "connHost");
    return t;
}

bool previewIsRight(PrefsHarness& h) {
    auto* line = h.child<QLineEdit>("commandLine");
    TunnelPtr t = h.controller().currentTunnel();
    const QString expected =
        t ? QString::fromStdString(SshCommand::displayCommand(t->command().arguments())) : QString();
    if (line->text() != expected) {
        qWarning() << "preview" << line->text() << "expected" << expected;
        return false;
    }
    return !line->text().split(u' ').contains(QStringLiteral("-v"));
}

void writeFile(const QString& path, const QByteArray& text) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(text);
}

// Runs check on the import dialog once it is open, then closes it if check left it open.
void whenImportOpens(const std::function<void(ImportDialog*)>& check) {
    QTimer::singleShot(0, [check] {
        auto* dialog = qobject_cast<ImportDialog*>(QApplication::activeModalWidget());
        if (!dialog) return;
        check(dialog);
        if (dialog->isVisible()) dialog->reject();
    });
}
}  // namespace

void PreferencesWindowTest::emptyListShowsEmptyPanel() {
    PrefsHarness h;
    h.open();
    QVERIFY(h.runModal([&] {
        auto* stack = h.child<QStackedWidget>("formStack");
        auto* options = h.child<QPushButton>("options");
        auto* drawer = h.child<QWidget>("drawer");
        QCOMPARE(h.child<QTableView>("tunnelsList")->model()->rowCount(), 0);
        QCOMPARE(stack->currentWidget(), h.child<QWidget>("emptyView"));
        QVERIFY(h.child<QWidget>("emptyView")->isVisible());
        QVERIFY(!h.child<QWidget>("fullView")->isVisible());
        QCOMPARE(h.child<QTableView>("localList")->model()->rowCount(), 0);
        QCOMPARE(h.child<QTableView>("remoteList")->model()->rowCount(), 0);
        // The options toggle with no tunnel turns straight back off; the panel stays shut.
        const int width = h.controller().window()->width();
        PrefsHarness::click(options);
        QVERIFY(!options->isChecked());
        QVERIFY(drawer->isHidden());
        QCOMPARE(h.controller().window()->width(), width);
        // Deleting with nothing selected changes nothing.
        PrefsHarness::answerMessageBox(QStringLiteral("Delete"));
        PrefsHarness::click(h.child<QPushButton>("delHostButton"));
        QCOMPARE(h.posts(), 0);
        QCOMPARE(h.child<LinkLabel>("urlTextField")->url(), QStringLiteral("https://zandrel.org/"));
        // Nothing stored yet: start-up shows the tunnels window, so the box says so; a click stores it.
        auto* autoOpen = h.child<QCheckBox>("autoOpen");
        QVERIFY(autoOpen->isChecked());
        PrefsHarness::click(autoOpen);
        QCOMPARE(h.posts(), 1);
        QCOMPARE(h.storedValue("openPalette"), Value(false));
    }));
    QCOMPARE(h.posts(), 2);  // the close saves
    QCOMPARE(h.storedTunnels(), Value(Value::List{}));
    QCOMPARE(h.storedValue("openPalette"), Value(false));
}

void PreferencesWindowTest::addTwiceThenCloseStoresDefaults() {
    PrefsHarness h;
    h.open();
    QVERIFY(h.runModal([&] {
        auto* list = h.child<QTableView>("tunnelsList");
        auto* add = h.child<QPushButton>("addHostButton");
        PrefsHarness::click(add);
        PrefsHarness::click(add);
        QCOMPARE(list->model()->rowCount(), 2);
        QCOMPARE(PrefsHarness::cell(list, 0, 0), QStringLiteral("New Tunnel"));
        QCOMPARE(PrefsHarness::cell(list, 1, 0), QStringLiteral("New Tunnel 2"));  // names stay apart
        QCOMPARE(list->selectionModel()->selectedRows().size(), 1);
        QCOMPARE(list->selectionModel()->selectedRows().first().row(), 1);
        QCOMPARE(h.controller().currentTunnel(), h.tunnels.at(1));
        QCOMPARE(h.child<QStackedWidget>("formStack")->currentWidget(), h.child<QWidget>("fullView"));
        // The form shows a new tunnel's settings.
        QCOMPARE(h.child<QLineEdit>("name")->text(), QStringLiteral("New Tunnel 2"));
        QCOMPARE(h.child<QLineEdit>("SOCKS4Port")->text(), QStringLiteral("1080"));
        QCOMPARE(h.child<QComboBox>("cryptMethod")->currentText(), QStringLiteral("Automatic"));
        QVERIFY(h.child<QCheckBox>("handleAuthentication")->isChecked());
        QVERIFY(!h.child<QCheckBox>("autoConnect")->isChecked());
        QString forced;
        for (const auto& f : SshCommand::forcedOptions()) forced += QStringLiteral(" -o ") + QLatin1String(f.option);
        QCOMPARE(
            h.child<QLineEdit>("commandLine")->text(),
            QStringLiteral("ssh -N") + forced + QStringLiteral(" -o ServerAliveInterval=15 -o ServerAliveCountMax=3"));
        QCOMPARE(h.posts(), 2);  // each add is on disk at once
        QCOMPARE(h.storedTunnels(), Value(Value::List{Tunnel::create("New Tunnel")->dictionary(),
                                                      Tunnel::create("New Tunnel 2")->dictionary()}));
    }));
    QCOMPARE(h.posts(), 3);
    QCOMPARE(h.foreignPosts(), 0);
}

void PreferencesWindowTest::everyControlEditsItsFieldAndSaves() {
    PrefsHarness h;
    h.tunnels.append(tunnelNamed("first"));
    h.tunnels.at(h.tunnels.size() - 1)->addLocalTunnel({{"port", "8143"}, {"host", "127.0.0.1"}, {"hostport", "22"}});
    h.tunnels.append(tunnelNamed("second"));
    h.open();
    QVERIFY(h.runModal([&] {
        auto* list = h.child<QTableView>("tunnelsList");
        PrefsHarness::clickRow(list, 0);
        QCOMPARE(h.controller().currentTunnel(), h.tunnels.at(0));
        QCOMPARE(h.posts(), 1);  // the click saved before it moved the selection
        QVERIFY(previewIsRight(h));
        QVERIFY(h.child<QLineEdit>("commandLine")->text().contains(QStringLiteral("-L 8143:127.0.0.1:22")));
        PrefsHarness::click(h.child<QPushButton>("options"));
        QVERIFY(h.child<QWidget>("drawer")->isVisible());
        const TunnelPtr t = h.tunnels.at(0);
        int posts = h.posts();
        // After each change: the field holds the value, the store holds every tunnel, one notification.
        auto changed = [&](const char* key, const Value& expected) {
            if (t->valueForKey(key) != expected) {
                qWarning() << key << QString::fromStdString(t->valueForKey(key).dump());
                return false;
            }
            if (h.storedTunnels() != h.expectedTunnels() || h.posts() != posts + 1 || h.foreignPosts() != 0)
                return false;
            posts = h.posts();
            return previewIsRight(h);
        };
        PrefsHarness::type(h.child<QLineEdit>("name"), QStringLiteral("Work"), Qt::Key_Return);
        QVERIFY(changed("connName", Value("Work")));
        QCOMPARE(PrefsHarness::cell(list, 0, 0), QStringLiteral("Work"));
        PrefsHarness::type(h.child<QLineEdit>("login"), QStringLiteral("alice"), Qt::Key_Return);
        QVERIFY(changed("connUser", Value("alice")));
        PrefsHarness::type(h.child<QLineEdit>("host"), QStringLiteral("127.0.0.1"), Qt::Key_Tab);
        QVERIFY(changed("connHost", Value("127.0.0.1")));
        PrefsHarness::type(h.child<QLineEdit>("port"), QStringLiteral("2222"), Qt::Key_Return);
        QVERIFY(changed("connPort", Value("2222")));
        QVERIFY(h.child<QLineEdit>("commandLine")->text().contains(QStringLiteral(" -p 2222 ")));

        const std::pair<const char*, const char*> boxes[] = {
            {"autoConnect", "autoConnect"}, {"handleAuthentication", "connAuth"}, {"compress", "compression"},
            {"allowLAN", "connRemote"},     {"enableSOCKS4", "socks4"},           {"onDemand", "onDemand"}};
        for (const auto& [box, key] : boxes) {
            const bool before = t->valueForKey(key).boolValue();
            PrefsHarness::click(h.child<QCheckBox>(box));
            QVERIFY2(changed(key, Value(!before)), box);
        }
        const QString preview = h.child<QLineEdit>("commandLine")->text();
        QVERIFY(preview.contains(QStringLiteral(" -g -C ")));
        QVERIFY(preview.contains(QStringLiteral("-D 1080 alice@127.0.0.1")));

        PrefsHarness::type(h.child<QLineEdit>("SOCKS4Port"), QStringLiteral(" +1081"), Qt::Key_Return);
        QCOMPARE(h.child<QLineEdit>("SOCKS4Port")->text(), QStringLiteral("1081"));
        QVERIFY(changed("socks4p", Value(1081)));
        PrefsHarness::type(h.child<QLineEdit>("SOCKS4Bind"), QStringLiteral("::1"), Qt::Key_Return);
        QVERIFY(changed("socks4b", Value("::1")));
        QVERIFY(h.child<QLineEdit>("commandLine")->text().contains(QStringLiteral("-D [::1]:1081 ")));
        PrefsHarness::type(h.child<QLineEdit>("identityFile"), QStringLiteral("/keys/work"), Qt::Key_Return);
        QVERIFY(changed("identityFile", Value("/keys/work")));
        // A malformed jump host is refused in place, with why; a good one is stored.
        auto* jump = h.child<QLineEdit>("jumpHosts");
        PrefsHarness::type(jump, QStringLiteral("bastion:99999"), Qt::Key_Return);
        QVERIFY(jump->hasFocus());
        QVERIFY(h.child<QLabel>("formMessage")->text().startsWith(QStringLiteral("Port must be a number")));
        QVERIFY(t->valueForKey("jumpHosts").isNone());
        PrefsHarness::type(jump, QStringLiteral("u@bastion:2222"), Qt::Key_Return);
        QVERIFY(changed("jumpHosts", Value("u@bastion:2222")));
        QVERIFY(h.child<QLabel>("formMessage")->isHidden());
        auto* keepAlive = h.child<QSpinBox>("keepAlive");
        QCOMPARE(keepAlive->value(), 15);
        keepAlive->setValue(0);
        QVERIFY(changed("keepAlive", Value(0)));
        QVERIFY(!h.child<QLineEdit>("commandLine")->text().contains(QStringLiteral("ServerAlive")));
        // The quiet time, for a tunnel that starts when used (turned on above): 10 by default, 0 never.
        auto* idle = h.child<QSpinBox>("idleMinutes");
        QVERIFY(idle->isEnabled());
        QCOMPARE(idle->value(), 10);
        idle->setValue(0);
        QVERIFY(changed("idleMinutes", Value(0)));
        QCOMPARE(idle->text(), QStringLiteral("Never"));

        auto* cipher = h.child<QComboBox>("cryptMethod");
        auto choose = [&](const QString& title) {
            const int index = cipher->findText(title);
            if (index < 0) return false;
            PrefsHarness::click(cipher);
            QAbstractItemView* popup = cipher->view();
            if (!QTest::qWaitFor([&] { return popup->isVisible(); })) return false;
            // Up and down move in the open list without choosing; Return chooses once.
            while (popup->currentIndex().row() != index)
                QTest::keyClick(popup, popup->currentIndex().row() < index ? Qt::Key_Down : Qt::Key_Up);
            QTest::keyClick(popup, Qt::Key_Return);
            return QTest::qWaitFor([&] { return !popup->isVisible(); }) && cipher->currentIndex() == index;
        };
        QVERIFY(choose(QStringLiteral("aes256-ctr")));
        QVERIFY(changed("encryption", Value("aes256-ctr")));
        QVERIFY(h.child<QLineEdit>("commandLine")->text().contains(QStringLiteral("-c aes256-ctr")));
        QVERIFY(choose(QStringLiteral("Automatic")));
        QVERIFY(changed("encryption", Value("")));
        QVERIFY(!h.child<QLineEdit>("commandLine")->text().contains(QStringLiteral("-c")));

        // The protocol-1 box says why it will not connect, and shows only where it is on.
        QVERIFY(h.child<QCheckBox>("forcev1")->toolTip().contains(QStringLiteral("refuses protocol 1")));
        QVERIFY(h.child<QCheckBox>("forcev1")->isHidden());
        // The other tunnel was never touched.
        QCOMPARE(h.tunnels.at(1)->dictionary(), tunnelNamed("second")->dictionary());
    }));
}

void PreferencesWindowTest::socksPortRefusesNonPorts() {
    PrefsHarness h;
    h.tunnels.append(tunnelNamed("a"));
    h.open();
    QVERIFY(h.runModal([&] {
        PrefsHarness::clickRow(h.child<QTableView>("tunnelsList"), 0);
        PrefsHarness::click(h.child<QPushButton>("options"));
        auto* field = h.child<QLineEdit>("SOCKS4Port");
        const int posts = h.posts();
        for (const char* text : {"abc", "0", "65536"}) {
            PrefsHarness::type(field, QString::fromLatin1(text), Qt::Key_Return);
            // Kept as typed, with the reason beside it.
            QCOMPARE(field->text(), QString::fromLatin1(text));
            QCOMPARE(h.child<QLabel>("drawerMessage")->text(), QStringLiteral("Port must be a number from 1 to 65535"));
            QVERIFY2(field->hasFocus(), text);
            QCOMPARE(h.tunnels.at(0)->valueForKey("socks4p"), Value(1080));
            QCOMPARE(h.posts(), posts);
        }
        // Leaving the field by the mouse is refused too; the focus comes back.
        PrefsHarness::type(field, QStringLiteral("x"), 0);
        PrefsHarness::click(h.child<QLineEdit>("login"));
        QCOMPARE(field->text(), QStringLiteral("x"));
        QTRY_VERIFY(field->hasFocus());
        QCOMPARE(h.posts(), posts);
        PrefsHarness::type(field, QStringLiteral(" 65535"), Qt::Key_Tab);
        QCOMPARE(field->text(), QStringLiteral("65535"));
        QVERIFY(h.child<QLabel>("drawerMessage")->isHidden());
        QCOMPARE(h.tunnels.at(0)->valueForKey("socks4p"), Value(65535));
        QCOMPARE(h.storedTunnels(), h.expectedTunnels());
    }));
}

void PreferencesWindowTest::selectionChangeSavesAndShowsOtherTunnel() {
    PrefsHarness h;
    h.tunnels.reset({tunnelNamed("a"), tunnelNamed("b")});
    h.tunnels.at(1)->setValueForKey(Value("bob"), "connUser");
    h.open();
    QVERIFY(h.runModal([&] {
        auto* list = h.child<QTableView>("tunnelsList");
        PrefsHarness::clickRow(list, 0);
        // Typed but not ended: the click on the other row ends it, for the tunnel it was typed for.
        PrefsHarness::type(h.child<QLineEdit>("login"), QStringLiteral("ann"), 0);
        PrefsHarness::clickRow(list, 1);
        QCOMPARE(h.tunnels.at(0)->valueForKey("connUser"), Value("ann"));
        QCOMPARE(h.tunnels.at(1)->valueForKey("connUser"), Value("bob"));
        QCOMPARE(h.child<QLineEdit>("login")->text(), QStringLiteral("bob"));
        QCOMPARE(h.child<QLineEdit>("name")->text(), QStringLiteral("b"));
        QCOMPARE(h.storedTunnels(), h.expectedTunnels());
        // Clicking below the rows leaves nothing selected: the empty panel, options off.
        PrefsHarness::click(h.child<QPushButton>("options"));
        QVERIFY(h.child<QWidget>("drawer")->isVisible());
        PrefsHarness::clickBelowRows(list);
        QVERIFY(!h.controller().currentTunnel());
        QCOMPARE(h.child<QStackedWidget>("formStack")->currentWidget(), h.child<QWidget>("emptyView"));
        QVERIFY(!h.child<QPushButton>("options")->isChecked());
        QVERIFY(h.child<QWidget>("drawer")->isHidden());
        // And back: the form in the same place, loaded from the tunnel.
        PrefsHarness::clickRow(list, 0);
        QVERIFY(h.child<QWidget>("fullView")->isVisible());
        QCOMPARE(h.child<QLineEdit>("login")->text(), QStringLiteral("ann"));
        // Closing while a field is being typed in keeps what was typed.
        PrefsHarness::type(h.child<QLineEdit>("name"), QStringLiteral("typed, not ended"), 0);
    }));
    QCOMPARE(h.tunnels.at(0)->valueForKey("connName"), Value("typed, not ended"));
    QCOMPARE(h.storedTunnels(), h.expectedTunnels());
}

void PreferencesWindowTest::deleteShowsNextTunnelAndStoresAtOnce() {
    PrefsHarness h;
    h.tunnels.reset({tunnelNamed("a"), tunnelNamed("b"), tunnelNamed("c")});
    h.open();
    const TunnelPtr c = h.tunnels.at(2);
    QVERIFY(h.runModal([&] {
        auto* list = h.child<QTableView>("tunnelsList");
        PrefsHarness::clickRow(list, 1);
        const int posts = h.posts();
        PrefsHarness::answerMessageBox(QStringLiteral("Delete"));
        PrefsHarness::click(h.child<QPushButton>("delHostButton"));
        QCOMPARE(list->model()->rowCount(), 2);
        QCOMPARE(h.posts(), posts + 1);  // on disk at once: a quit now loses nothing
        QCOMPARE(h.storedTunnels(), Value(Value::List{tunnelNamed("a")->dictionary(), tunnelNamed("c")->dictionary()}));
        // The row that moved up is the one shown; an edit now goes to it, with its own values.
        QCOMPARE(h.controller().currentTunnel(), c);
        QCOMPARE(h.child<QLineEdit>("name")->text(), QStringLiteral("c"));
        QCOMPARE(h.child<QLineEdit>("host")->text(), QStringLiteral("h-c"));
        // Deleting the last one leaves the one above selected.
        PrefsHarness::answerMessageBox(QStringLiteral("Delete"));
        PrefsHarness::click(h.child<QPushButton>("delHostButton"));
        QCOMPARE(h.controller().currentTunnel(), h.tunnels.at(0));
        QCOMPARE(h.child<QLineEdit>("name")->text(), QStringLiteral("a"));
    }));
    QCOMPARE(h.tunnels.size(), size_t(1));
    QCOMPARE(h.storedTunnels(), Value(Value::List{tunnelNamed("a")->dictionary()}));
}

void PreferencesWindowTest::cipherPopUpKeepsUnknownCipher() {
    QProcess ssh;
    ssh.start(QStringLiteral("/usr/bin/ssh"), {QStringLiteral("-Q"), QStringLiteral("cipher")});
    QVERIFY(ssh.waitForFinished());
    const QStringList offered = QString::fromLocal8Bit(ssh.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
    QVERIFY(!offered.isEmpty());

    PrefsHarness h;
    h.tunnels.reset({tunnelNamed("old"), tunnelNamed("new")});
    h.tunnels.at(0)->setValueForKey(Value("3des"), "encryption");
    h.tunnels.at(1)->setValueForKey(Value("aes128-ctr"), "encryption");
    h.open();
    QVERIFY(h.runModal([&] {
        auto* box = h.child<QComboBox>("cryptMethod");
        auto items = [box] {
            QStringList all;
            for (int i = 0; i < box->count(); ++i) all << box->itemText(i);
            return all;
        };
        QTRY_COMPARE(items(), QStringList{QStringLiteral("Automatic")} + offered);

        auto* list = h.child<QTableView>("tunnelsList");
        PrefsHarness::clickRow(list, 0);
        QCOMPARE(box->count(), offered.size() + 2);
        QCOMPARE(box->currentText(), QStringLiteral("3des"));
        PrefsHarness::clickRow(list, 1);
        QCOMPARE(box->count(), offered.size() + 1);
        QCOMPARE(box->currentText(), QStringLiteral("aes128-ctr"));
        PrefsHarness::clickRow(list, 0);
        QCOMPARE(box->currentText(), QStringLiteral("3des"));
    }));
    QCOMPARE(h.storedTunnels().list().at(0).get("encryption"), Value("3des"));
    QCOMPARE(h.storedTunnels().list().at(1).get("encryption"), Value("aes128-ctr"));

    // An ssh that cannot be asked, or answers something else: OpenSSH 9's list stands in.
    QTemporaryDir dir;
    const QString liar = dir.filePath(QStringLiteral("ssh"));
    QFile f(liar);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("#!/bin/sh\necho \"usage: ssh [-46AaCf...]\"\n");
    f.close();
    f.setPermissions(QFile::ReadOwner | QFile::ExeOwner);
    for (const QString& program : {dir.filePath(QStringLiteral("missing")), liar}) {
        CipherList list(program);
        QSignalSpy ready(&list, &CipherList::ready);
        list.fetch();
        QVERIFY(ready.wait());
        QCOMPARE(list.ciphers(), CipherList::builtIn());
        QVERIFY(list.isFallback());
    }
}

void PreferencesWindowTest::sshOptionsAndImportAskTheInstalledSsh() {
    QTemporaryDir dir;
    const QString config = dir.filePath(QStringLiteral("config"));
    writeFile(dir.filePath(QStringLiteral("extra")), "Host included\n  HostName 10.0.0.9\n");
    writeFile(config, "Include " + dir.filePath(QStringLiteral("extra")).toLocal8Bit() +
                          "\nHost web-*\n  User x\nHost db\n  HostName 10.0.0.5\n  LocalForward 5432 localhost:5432\n");
    PrefsHarness h;
    h.tunnels.append(tunnelNamed("a"));
    h.tunnels.at(0)->setValueForKey(Value("db"), "connHost");
    h.open();
    h.controller().setImportConfigPath(config.toStdString());
    QVERIFY(h.runModal([&] {
        PrefsHarness::clickRow(h.child<QTableView>("tunnelsList"), 0);
        PrefsHarness::click(h.child<QPushButton>("options"));
        auto* options = h.child<QPlainTextEdit>("sshOptions");
        options->setFocus();
        QTest::keyClicks(options, QStringLiteral("Bogus=1"));
        QTest::keyClick(options, Qt::Key_Tab);
        // ssh answers on a thread of its own; the refused line keeps the focus and is not stored.
        QTRY_COMPARE(h.child<QLabel>("drawerMessage")->text(),
                     QStringLiteral("Bogus=1: Bad configuration option: bogus"));
        QTRY_VERIFY(options->hasFocus());
        QVERIFY(h.tunnels.at(0)->valueForKey("sshOptions").isNone());
        options->selectAll();
        QTest::keyClicks(options, QStringLiteral("Compression=yes"));
        QTest::keyClick(options, Qt::Key_Tab);
        QTRY_COMPARE(h.tunnels.at(0)->valueForKey("sshOptions"), Value(Value::List{"Compression=yes"}));
        QVERIFY(h.child<QLabel>("drawerMessage")->isHidden());

        // Import: the included host and db (already a tunnel's host, so left unchecked by default).
        whenImportOpens([](ImportDialog* dialog) {
            QTRY_VERIFY(!dialog->isReading());
            auto* table = dialog->table();
            QCOMPARE(table->rowCount(), 2);
            QCOMPARE(table->item(1, 0)->text(), QStringLiteral("db (has a tunnel)"));
            QCOMPARE(table->item(1, 4)->text(), QStringLiteral("-L 5432 → localhost:5432"));
            table->item(1, 0)->setCheckState(Qt::Checked);
            dialog->accept();
        });
        PrefsHarness::click(h.child<QPushButton>("importButton"));
        QCOMPARE(h.tunnels.size(), size_t(3));
        QCOMPARE(h.tunnels.at(1)->connName() + " " + h.tunnels.at(2)->connName(), std::string("included db"));
        QCOMPARE(h.tunnels.at(2)->valueForKey("connHost"), Value("db"));
        QCOMPARE(h.tunnels.at(2)->tunnelsLocal()->size(), size_t(1));
        QCOMPARE(h.storedTunnels(), h.expectedTunnels());
    }));
}

void PreferencesWindowTest::importOpensAtOnceAndCancelStopsSsh() {
    QTemporaryDir dir;
    const QString config = dir.filePath(QStringLiteral("config"));
    writeFile(config, "Host quick\n  HostName 10.0.0.1\nHost slow\nMatch host slow exec \"sleep 3\"\n");
    PrefsHarness h;
    h.open();
    h.controller().setImportConfigPath(config.toStdString());
    QVERIFY(h.runModal([&] {
        QElapsedTimer clock;
        clock.start();
        qint64 opened = -1, ticked = -1, cancelled = -1;
        whenImportOpens([&](ImportDialog* dialog) {
            opened = clock.elapsed();
            QTimer::singleShot(200, [&] { ticked = clock.elapsed(); });
            QTRY_COMPARE(dialog->table()->rowCount(), 1);  // quick, while slow still runs
            QTRY_VERIFY(ticked >= 0);
            QVERIFY(dialog->isReading());
            QCOMPARE(dialog->progress()->text(), QStringLiteral("Reading host 2 of 2…"));
            cancelled = clock.elapsed();
            PrefsHarness::click(dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Cancel));
        });
        PrefsHarness::click(h.child<QPushButton>("importButton"));
        qInfo() << "opened after" << opened << "ms, 200 ms timer at" << ticked << "ms, closed"
                << clock.elapsed() - cancelled << "ms after Cancel";
        QVERIFY(opened >= 0 && opened < 500);
        QVERIFY(ticked < opened + 400);
        QVERIFY(cancelled >= 0 && clock.elapsed() - cancelled < 500);
        QVERIFY(testsupport::ProcessProbe::childrenNamed("ssh").empty());
        QCOMPARE(h.tunnels.size(), size_t(0));
    }));
}

QTEST_MAIN(PreferencesWindowTest)
#include "tst_PreferencesWindow.moc"

void PreferencesWindowTest::quitWhileTypingKeepsTheTextButNothingSshRefuses() {
    for (const bool refused : {false, true}) {
        PrefsHarness h;
        h.tunnels.append(tunnelNamed("a"));
        h.open();
        auto typeThenQuit = [&] {
            QVERIFY(QTest::qWaitForWindowActive(h.controller().window()));
            PrefsHarness::clickRow(h.child<QTableView>("tunnelsList"), 0);
            PrefsHarness::click(h.child<QPushButton>("options"));
            auto* options = h.child<QPlainTextEdit>("sshOptions");
            options->setFocus();
            QTest::keyClicks(options, refused ? QStringLiteral("Bogus=1") : QStringLiteral("Compression=yes"));
            // A quit (the menu's, D-Bus, SIGTERM) ends the loop while the edit is still open.
            QCoreApplication::exit(0);
        };
        // As in the program: the window runs inside the application's loop, which the quit ends.
        QTimer::singleShot(0, [&] {
            QTimer::singleShot(0, h.controller().window(), typeThenQuit);
            h.controller().exec();
        });
        QCoreApplication::exec();
        const Value options = h.storedTunnels().list().at(0).get("sshOptions");
        QCOMPARE(options, refused ? Value() : Value(Value::List{"Compression=yes"}));
    }
}

void PreferencesWindowTest::aScriptsChangesShowAtOnce() {
    PrefsHarness h;
    for (const char* name : {"a", "b", "c"}) h.tunnels.append(tunnelNamed(name));
    h.open();
    QVERIFY(h.runModal([&] {
        auto* list = h.child<QTableView>("tunnelsList");
        PrefsHarness::clickRow(list, 1);
        // As SetTunnel and RemoveTunnel change the list while the window is open.
        h.tunnels.insert(0, tunnelNamed("new"));
        QCOMPARE(list->model()->rowCount(), 4);
        QCOMPARE(h.controller().currentTunnel()->connName(), std::string("b"));
        QCOMPARE(h.child<QLineEdit>("name")->text(), QStringLiteral("b"));
        h.tunnels.remove(2);
        QCOMPARE(list->model()->rowCount(), 3);
        QCOMPARE(h.controller().currentTunnel()->connName(), std::string("c"));
        QCOMPARE(h.child<QLineEdit>("name")->text(), QStringLiteral("c"));
    }));
}
