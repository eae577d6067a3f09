// The local and remote forward lists: the pending row, editing in place, the checks on the
// cells with their reasons, and what reaches the tunnel and the store.
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableView>
#include <QTest>

#include "ForwardListModel.h"
#include "PrefsHarness.h"
#include "PrefsTableView.h"

class ForwardListsTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void aCompleteRowIsKeptAsSoonAsItsEditEnds();
    void cellChecks_data();
    void cellChecks();
    void aRowTypedInPartIsKeptWithAWarning();
    void remoteListDeleteAndClose();
};

namespace {
const ForwardEntry kFirst{{"port", "1000"}, {"host", "one"}, {"hostport", "1001"}};
const ForwardEntry kSecond{{"port", "2000"}, {"host", "two"}};

TunnelPtr tunnelWithForwards(const std::string& name) {
    auto t = Tunnel::create(name);
    t->addLocalTunnel(kFirst);
    t->addRemoteTunnel(kSecond);
    return t;
}

ForwardList local(const TunnelPtr& t) { return t->tunnelsLocal() ? *t->tunnelsLocal() : ForwardList{}; }
ForwardList remote(const TunnelPtr& t) { return t->tunnelsRemote() ? *t->tunnelsRemote() : ForwardList{}; }

// Types into the cell editor that is open and ends with the key.
bool typeInCell(QTableView* view, const QString& text, Qt::Key end) {
    QLineEdit* editor = PrefsHarness::cellEditor(view);
    if (!editor) return false;
    QTest::keyClick(editor, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(editor, Qt::Key_Backspace);
    QTest::keyClicks(editor, text);
    QTest::keyClick(editor, end);
    QCoreApplication::processEvents();  // a Return is committed from the event loop
    return true;
}
}  // namespace

void ForwardListsTest::aCompleteRowIsKeptAsSoonAsItsEditEnds() {
    PrefsHarness h;
    h.tunnels.reset({tunnelWithForwards("a")});
    h.open();
    const ForwardEntry added{{"port", "8143"}, {"host", "127.0.0.1"}, {"hostport", "22"}};
    QVERIFY(h.runModal([&] {
        PrefsHarness::clickRow(h.child<QTableView>("tunnelsList"), 0);
        auto* view = h.child<PrefsTableView>("localList");
        PrefsHarness::click(h.child<QPushButton>("addLocalButton"));
        QCOMPARE(view->model()->rowCount(), 2);
        // Typing starts at the port; the bind address before it is optional.
        QVERIFY(view->isEditing());
        QCOMPARE(view->currentIndex().column(), 1);
        QVERIFY(typeInCell(view, QStringLiteral("8143"), Qt::Key_Tab));
        QCOMPARE(local(h.tunnels.at(0)), ForwardList{kFirst});  // no host yet
        QVERIFY(typeInCell(view, QStringLiteral("127.0.0.1"), Qt::Key_Tab));
        // Port and host: the row is the tunnel's now, and in the command.
        QCOMPARE(local(h.tunnels.at(0)).size(), size_t(2));
        QVERIFY(h.child<QLineEdit>("commandLine")->text().contains(QStringLiteral("-L 8143:127.0.0.1:8143")));
        QVERIFY(typeInCell(view, QStringLiteral("22"), Qt::Key_Return));
        QCOMPARE(local(h.tunnels.at(0)), (ForwardList{kFirst, added}));
        // The window closed at once after the Enter keeps it.
    }));
    QCOMPARE(local(h.tunnels.at(0)), (ForwardList{kFirst, added}));
    QCOMPARE(h.storedTunnels(), h.expectedTunnels());
}

void ForwardListsTest::cellChecks_data() {
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QString>("shown");  // the cell's text after the check
    const QString port = QStringLiteral("Port must be a number from 1 to 65535");
    QTest::newRow("empty port") << "port"
                                << "" << false << "";
    QTest::newRow("letters") << "port"
                             << "abc" << false << "abc";
    QTest::newRow("zero") << "port"
                          << "0" << false << "0";
    QTest::newRow("negative") << "port"
                              << "-22" << false << "-22";
    QTest::newRow("70000") << "port"
                           << "70000" << false << "70000";
    QTest::newRow("huge") << "port"
                          << "99999999999999999999" << false << "99999999999999999999";
    QTest::newRow("22 then letters") << "port"
                                     << "22abc" << false << "22abc";
    QTest::newRow("1") << "port"
                       << "1" << true << "1";
    QTest::newRow("65535") << "port"
                           << "65535" << true << "65535";
    QTest::newRow("blanks and sign") << "port"
                                     << "  +080" << true << "80";
    QTest::newRow("host port letters") << "hostport"
                                       << "x" << false << "x";
    QTest::newRow("host port empty") << "hostport"
                                     << "" << true << "";
    QTest::newRow("host port 443") << "hostport"
                                   << "443" << true << "443";
    QTest::newRow("empty host") << "host"
                                << "" << false << "";
    QTest::newRow("host") << "host"
                          << "db.internal" << true << "db.internal";
    QTest::newRow("bind") << "bind"
                          << "127.0.0.3" << true << "127.0.0.3";
    QTest::newRow("bind of two words") << "bind"
                                       << "a b" << false << "a b";
}

void ForwardListsTest::cellChecks() {
    QFETCH(QString, key);
    QFETCH(QString, typed);
    QFETCH(bool, accepted);
    QFETCH(QString, shown);
    PrefsHarness h;
    h.tunnels.reset({tunnelWithForwards("a")});
    h.tunnels.at(0)->addLocalTunnel(kSecond);
    const ForwardList before = local(h.tunnels.at(0));
    const int column = ForwardListModel::column(key.toLatin1().constData());
    h.open();
    QVERIFY(h.runModal([&] {
        PrefsHarness::clickRow(h.child<QTableView>("tunnelsList"), 0);
        auto* view = h.child<PrefsTableView>("localList");
        auto* message = h.child<QLabel>("localMessage");
        PrefsHarness::doubleClickCell(view, 0, column);
        QVERIFY(view->isEditing());
        QVERIFY(typeInCell(view, typed, Qt::Key_Return));
        if (accepted) {
            QVERIFY(!view->isEditing());
            QCOMPARE(PrefsHarness::cell(view, 0, column), shown);
            QCOMPARE(QString::fromStdString(local(h.tunnels.at(0)).at(0).at(key.toStdString())), shown);
            QVERIFY(message->isHidden());
        } else {
            // Refused: still open in its cell with what was typed, the reason under the list.
            QVERIFY(view->isEditing());
            QCOMPARE(view->currentIndex(), view->model()->index(0, column));
            QCOMPARE(PrefsHarness::cellEditor(view)->text(), shown);
            QVERIFY(!message->isHidden());
            QVERIFY(!message->text().isEmpty());
            if (key == u"port") QCOMPARE(message->text(), QStringLiteral("Port must be a number from 1 to 65535"));
            // Neither Tab nor a click on the other row gets past it; the focus stays in the cell.
            const int posts = h.posts();
            QTest::keyClick(PrefsHarness::cellEditor(view), Qt::Key_Tab);
            PrefsHarness::clickRow(view, 1);
            QVERIFY(view->isEditing());
            QCOMPARE(view->currentIndex(), view->model()->index(0, column));
            QTRY_VERIFY(PrefsHarness::cellEditor(view)->hasFocus());
            QCOMPARE(h.posts(), posts);
            QTest::keyClick(PrefsHarness::cellEditor(view), Qt::Key_Escape);
            QVERIFY(!view->isEditing());
            QCOMPARE(local(h.tunnels.at(0)), before);
        }
    }));
}

void ForwardListsTest::aRowTypedInPartIsKeptWithAWarning() {
    PrefsHarness h;
    h.tunnels.reset({tunnelWithForwards("a"), Tunnel::create("b")});
    h.open();
    QVERIFY(h.runModal([&] {
        auto* tunnels = h.child<QTableView>("tunnelsList");
        auto* view = h.child<PrefsTableView>("localList");
        PrefsHarness::clickRow(tunnels, 0);
        // An added row left untouched goes; the delete button takes a pending row too.
        PrefsHarness::click(h.child<QPushButton>("addLocalButton"));
        QTest::keyClick(PrefsHarness::cellEditor(view), Qt::Key_Escape);
        PrefsHarness::click(h.child<QPushButton>("delLocalButton"));
        QCOMPARE(view->model()->rowCount(), 1);
        // A port alone: pending until the tunnel changes, then the tunnel's, with a warning.
        PrefsHarness::click(h.child<QPushButton>("addLocalButton"));
        QVERIFY(typeInCell(view, QStringLiteral("9000"), Qt::Key_Return));
        QCOMPARE(local(h.tunnels.at(0)), ForwardList{kFirst});
        PrefsHarness::clickRow(tunnels, 1);
        QCOMPARE(local(h.tunnels.at(0)), (ForwardList{kFirst, ForwardEntry{{"port", "9000"}}}));
        QCOMPARE(local(h.tunnels.at(1)), ForwardList{});
        PrefsHarness::clickRow(tunnels, 0);
        const QModelIndex partial = view->model()->index(1, 0);
        QVERIFY(!partial.data(Qt::DecorationRole).isNull());
        QCOMPARE(partial.data(Qt::ToolTipRole).toString(),
                 QStringLiteral("Needs a port and a host: left out of the command"));
        QVERIFY(view->model()->index(0, 0).data(Qt::DecorationRole).isNull());
        QVERIFY(!h.child<QLineEdit>("commandLine")->text().contains(QStringLiteral("9000")));
        // Typed on the second tunnel and left in part when the window closes: kept too.
        PrefsHarness::clickRow(tunnels, 1);
        PrefsHarness::click(h.child<QPushButton>("addLocalButton"));
        QVERIFY(typeInCell(view, QStringLiteral("db"), Qt::Key_Tab));
    }));
    QCOMPARE(local(h.tunnels.at(1)), ForwardList{});  // "db" went into the port cell and was refused
    QCOMPARE(h.storedTunnels(), h.expectedTunnels());
}

void ForwardListsTest::remoteListDeleteAndClose() {
    PrefsHarness h;
    h.tunnels.reset({tunnelWithForwards("a")});
    h.open();
    const ForwardEntry added{{"port", "6000"}, {"host", "::1"}};
    QVERIFY(h.runModal([&] {
        PrefsHarness::clickRow(h.child<QTableView>("tunnelsList"), 0);
        auto* view = h.child<PrefsTableView>("remoteList");
        PrefsHarness::click(h.child<QPushButton>("addRemoteButton"));
        QVERIFY(typeInCell(view, QStringLiteral("6000"), Qt::Key_Tab));
        QVERIFY(typeInCell(view, QStringLiteral("::1"), Qt::Key_Return));
        QCOMPARE(remote(h.tunnels.at(0)), (ForwardList{kSecond, added}));
        QVERIFY(
            h.child<QLineEdit>("commandLine")->text().endsWith(QStringLiteral("-R 2000:two:2000 -R 6000:[::1]:6000")));
        QCOMPARE(local(h.tunnels.at(0)), ForwardList{kFirst});  // the other list is its own
        // Delete the selected entry: gone from the tunnel, stored at the next save.
        PrefsHarness::clickRow(view, 0);
        const int posts = h.posts();
        PrefsHarness::click(h.child<QPushButton>("delRemoteButton"));
        QCOMPARE(remote(h.tunnels.at(0)), ForwardList{added});
        QCOMPARE(h.posts(), posts);
        // A bind address on its own column.
        PrefsHarness::doubleClickCell(view, 0, 0);
        QVERIFY(typeInCell(view, QStringLiteral("::1"), Qt::Key_Return));
        QVERIFY(h.child<QLineEdit>("commandLine")->text().endsWith(QStringLiteral("-R [::1]:6000:[::1]:6000")));
        // An accepted edit still open in a cell when the window closes is kept.
        PrefsHarness::doubleClickCell(view, 0, 3);
        QTest::keyClicks(PrefsHarness::cellEditor(view), QStringLiteral("2222"));
    }));
    QCOMPARE(local(h.tunnels.at(0)), ForwardList{kFirst});
    QCOMPARE(remote(h.tunnels.at(0)).at(0).at("hostport"), std::string("2222"));
    QCOMPARE(remote(h.tunnels.at(0)).at(0).at("bind"), std::string("::1"));
    QCOMPARE(h.storedTunnels(), h.expectedTunnels());
}

QTEST_MAIN(ForwardListsTest)
#include "tst_ForwardLists.moc"
