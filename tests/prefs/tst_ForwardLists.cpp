// The local and remote forward lists: the pending row, the shared add flag, editing in
// place, the checks on port and host cells, and what reaches the tunnel and the store.
#include <QLineEdit>
#include <QPushButton>
#include <QTableView>
#include <QTest>

#include "PrefsHarness.h"
#include "PrefsTableView.h"

class ForwardListsTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void addEditCommitOnSelectionChange();
    void cellChecks_data();
    void cellChecks();
    void deletePendingRowThenAddCommitsAtOnce();
    void pendingRowFollowsTheTunnel();
    void remoteListDeleteAndClose();
};

namespace {
const ForwardEntry kFirst{{"port", "1000"}, {"host", "one"}, {"hostport", "1001"}};
const ForwardEntry kSecond{{"port", "2000"}, {"host", "two"}};

TunnelPtr tunnelWithForwards(const std::string& name) {
    auto t = ROZUdivev::create(name);
    t->addLocalTunnel(kFirst);
    t->addRemoteTunnel(kSecond);
    return t;
}

ForwardList local(const TunnelPtr& t) { return t->tunnelsLocal() ? *t->tunnelsLocal() : ForwardList{}; }
ForwardList remote(const TunnelPtr& t) { return t->tunnelsRemote() ? *t->tunnelsRemote() : ForwardList{}; }

int selectedRow(QTableView* view) {
    const auto rows = view->selectionModel()->selectedRows();
    return rows.isEmpty() ? -1 : rows.first().row();
}

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

void ForwardListsTest::addEditCommitOnSelectionChange() {
    PrefsHarness h;
    h.tunnels = {tunnelWithForwards("a")};
    h.open();
    QVERIFY(h.runModal([&] {
        PrefsHarness::clickRow(h.child<QTableView>("tunnelsList"), 0);
        auto* view = h.child<PrefsTableView>("localList");
        QCOMPARE(view->model()->rowCount(), 1);
        PrefsHarness::click(h.child<QPushButton>("addLocalButton"));
        // One more row, empty, selected, its first cell being edited; the tunnel still unchanged.
        QCOMPARE(view->model()->rowCount(), 2);
        QCOMPARE(selectedRow(view), 1);
        QVERIFY(view->isEditing());
        QCOMPARE(view->currentIndex().column(), 0);
        QVERIFY(PrefsHarness::cellEditor(view));
        QVERIFY(PrefsHarness::cellEditor(view)->text().isEmpty());
        QCOMPARE(local(h.tunnels[0]), ForwardList{kFirst});

        QVERIFY(typeInCell(view, QStringLiteral("8143"), Qt::Key_Tab));
        QCOMPARE(view->currentIndex().column(), 1);
        QVERIFY(typeInCell(view, QStringLiteral("127.0.0.1"), Qt::Key_Tab));
        QVERIFY(typeInCell(view, QStringLiteral("22"), Qt::Key_Return));
        QVERIFY(!view->isEditing());
        QCOMPARE(PrefsHarness::cell(view, 1, 0), QStringLiteral("8143"));
        QCOMPARE(PrefsHarness::cell(view, 1, 1), QStringLiteral("127.0.0.1"));
        QCOMPARE(PrefsHarness::cell(view, 1, 2), QStringLiteral("22"));
        QCOMPARE(local(h.tunnels[0]), ForwardList{kFirst});
        QVERIFY(!h.child<QLineEdit>("commandLine")->text().contains(QStringLiteral("8143")));

        // Selecting another row of the list commits the new entry and saves.
        const int posts = h.posts();
        PrefsHarness::clickRow(view, 0);
        const ForwardEntry added{{"port", "8143"}, {"host", "127.0.0.1"}, {"hostport", "22"}};
        QCOMPARE(local(h.tunnels[0]), (ForwardList{kFirst, added}));
        QCOMPARE(view->model()->rowCount(), 2);
        QCOMPARE(h.posts(), posts + 2);  // before the change and after it
        QCOMPARE(h.storedTunnels(), h.expectedTunnels());
        QVERIFY(h.child<QLineEdit>("commandLine")
                    ->text()
                    .endsWith(QStringLiteral("-L 1000:one:1001 -L 8143:127.0.0.1:22 -R 2000:two:2000")));

        // An entry of the tunnel is edited in place, by double click.
        PrefsHarness::doubleClickCell(view, 0, 1);
        QVERIFY(view->isEditing());
        QVERIFY(typeInCell(view, QStringLiteral("elsewhere"), Qt::Key_Return));
        QCOMPARE(local(h.tunnels[0]).at(0).at("host"), std::string("elsewhere"));
        QCOMPARE(local(h.tunnels[0]).at(0).at("port"), std::string("1000"));
        QCOMPARE(local(h.tunnels[0]).at(1), added);
    }));
    QCOMPARE(h.storedTunnels(), h.expectedTunnels());
}

void ForwardListsTest::cellChecks_data() {
    QTest::addColumn<int>("column");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QString>("shown");  // the cell editor's text after the check
    QTest::newRow("empty port") << 0 << "" << false << "";
    QTest::newRow("letters") << 0 << "abc" << false << "";
    QTest::newRow("zero") << 0 << "0" << false << "";
    QTest::newRow("negative") << 0 << "-22" << false << "";
    QTest::newRow("65536") << 0 << "65536" << false << "";
    QTest::newRow("huge") << 0 << "99999999999999999999" << false << "";
    QTest::newRow("1") << 0 << "1" << true << "1";
    QTest::newRow("65535") << 0 << "65535" << true << "65535";
    QTest::newRow("22 then letters") << 0 << "22abc" << true << "22";
    QTest::newRow("blanks and sign") << 0 << "  +080" << true << "80";
    QTest::newRow("host port 0") << 2 << "x" << false << "";
    QTest::newRow("host port 443") << 2 << "443/tcp" << true << "443";
    QTest::newRow("empty host") << 1 << "" << false << "";
    QTest::newRow("host") << 1 << "db.internal" << true << "db.internal";
    QTest::newRow("blank host") << 1 << " " << true << " ";
}

void ForwardListsTest::cellChecks() {
    QFETCH(int, column);
    QFETCH(QString, typed);
    QFETCH(bool, accepted);
    QFETCH(QString, shown);
    PrefsHarness h;
    h.tunnels = {tunnelWithForwards("a")};
    h.tunnels[0]->addLocalTunnel(kSecond);
    const ForwardList before = local(h.tunnels[0]);
    h.open();
    QVERIFY(h.runModal([&] {
        PrefsHarness::clickRow(h.child<QTableView>("tunnelsList"), 0);
        auto* view = h.child<PrefsTableView>("localList");
        PrefsHarness::doubleClickCell(view, 0, column);
        QVERIFY(view->isEditing());
        QVERIFY(typeInCell(view, typed, Qt::Key_Return));
        const char* key = column == 0 ? "port" : column == 1 ? "host" : "hostport";
        if (accepted) {
            QVERIFY(!view->isEditing());
            QCOMPARE(PrefsHarness::cell(view, 0, column), shown);
            QCOMPARE(QString::fromStdString(local(h.tunnels[0]).at(0).at(key)), shown);
        } else {
            // Refused: still open in its cell, with the text the check left, and nothing stored.
            QVERIFY(view->isEditing());
            QCOMPARE(view->currentIndex(), view->model()->index(0, column));
            QCOMPARE(PrefsHarness::cellEditor(view)->text(), shown);
            // Neither Tab nor a click on the other row gets past it; the focus stays in the cell.
            const int posts = h.posts();
            QTest::keyClick(PrefsHarness::cellEditor(view), Qt::Key_Tab);
            PrefsHarness::clickRow(view, 1);
            QVERIFY(view->isEditing());
            QCOMPARE(view->currentIndex(), view->model()->index(0, column));
            QCOMPARE(view->selectionModel()->selectedRows().first().row(), 0);
            QTRY_VERIFY(PrefsHarness::cellEditor(view)->hasFocus());
            QCOMPARE(h.posts(), posts);
            QTest::keyClick(PrefsHarness::cellEditor(view), Qt::Key_Escape);
            QVERIFY(!view->isEditing());
            QCOMPARE(local(h.tunnels[0]), before);
        }
    }));
}

void ForwardListsTest::deletePendingRowThenAddCommitsAtOnce() {
    PrefsHarness h;
    h.tunnels = {tunnelWithForwards("a")};
    h.open();
    QVERIFY(h.runModal([&] {
        PrefsHarness::clickRow(h.child<QTableView>("tunnelsList"), 0);
        auto* view = h.child<PrefsTableView>("localList");
        PrefsHarness::click(h.child<QPushButton>("addLocalButton"));
        QTest::keyClick(PrefsHarness::cellEditor(view), Qt::Key_Escape);
        QCOMPARE(view->model()->rowCount(), 2);
        PrefsHarness::click(h.child<QPushButton>("delLocalButton"));
        QCOMPARE(view->model()->rowCount(), 1);
        QCOMPARE(local(h.tunnels[0]), ForwardList{kFirst});
        // Deleting with nothing selected does nothing.
        QCOMPARE(selectedRow(view), -1);
        PrefsHarness::click(h.child<QPushButton>("delLocalButton"));
        QCOMPARE(local(h.tunnels[0]), ForwardList{kFirst});

        // The add flag outlived the deleted row: the next add's own selection commits the empty
        // entry at once, and what is typed then goes straight into the tunnel's entry.
        PrefsHarness::click(h.child<QPushButton>("addLocalButton"));
        QCOMPARE(local(h.tunnels[0]), (ForwardList{kFirst, ForwardEntry{}}));
        QCOMPARE(view->model()->rowCount(), 2);
        QVERIFY(typeInCell(view, QStringLiteral("9000"), Qt::Key_Return));
        QCOMPARE(local(h.tunnels[0]), (ForwardList{kFirst, ForwardEntry{{"port", "9000"}}}));
        // A forward without host is kept but not handed to ssh.
        QVERIFY(!h.child<QLineEdit>("commandLine")->text().contains(QStringLiteral("9000")));
    }));
    QCOMPARE(h.storedTunnels(), h.expectedTunnels());
}

void ForwardListsTest::pendingRowFollowsTheTunnel() {
    PrefsHarness h;
    h.tunnels = {ROZUdivev::create("a"), tunnelWithForwards("b")};
    h.open();
    QVERIFY(h.runModal([&] {
        auto* tunnels = h.child<QTableView>("tunnelsList");
        auto* view = h.child<PrefsTableView>("localList");
        PrefsHarness::clickRow(tunnels, 0);
        PrefsHarness::click(h.child<QPushButton>("addLocalButton"));
        QVERIFY(typeInCell(view, QStringLiteral("7000"), Qt::Key_Tab));
        QVERIFY(typeInCell(view, QStringLiteral("seven"), Qt::Key_Return));
        // Another tunnel shows the pending row at the end of its own list.
        PrefsHarness::clickRow(tunnels, 1);
        QCOMPARE(view->model()->rowCount(), 2);
        QCOMPARE(PrefsHarness::cell(view, 1, 0), QStringLiteral("7000"));
        PrefsHarness::clickRow(view, 0);
        QCOMPARE(local(h.tunnels[1]), (ForwardList{kFirst, ForwardEntry{{"port", "7000"}, {"host", "seven"}}}));
        QCOMPARE(local(h.tunnels[0]), ForwardList{});
    }));
    QCOMPARE(h.storedTunnels(), h.expectedTunnels());
}

void ForwardListsTest::remoteListDeleteAndClose() {
    PrefsHarness h;
    h.tunnels = {tunnelWithForwards("a")};
    h.open();
    const ForwardEntry added{{"port", "6000"}, {"host", "::1"}};
    QVERIFY(h.runModal([&] {
        PrefsHarness::clickRow(h.child<QTableView>("tunnelsList"), 0);
        auto* view = h.child<PrefsTableView>("remoteList");
        PrefsHarness::click(h.child<QPushButton>("addRemoteButton"));
        QVERIFY(typeInCell(view, QStringLiteral("6000"), Qt::Key_Tab));
        QVERIFY(typeInCell(view, QStringLiteral("::1"), Qt::Key_Return));
        PrefsHarness::clickRow(view, 0);
        QCOMPARE(remote(h.tunnels[0]), (ForwardList{kSecond, added}));
        QVERIFY(
            h.child<QLineEdit>("commandLine")->text().endsWith(QStringLiteral("-R 2000:two:2000 -R 6000:[::1]:6000")));
        QCOMPARE(local(h.tunnels[0]), ForwardList{kFirst});  // the other list is its own
        // Delete the selected entry: gone from the tunnel, stored at the next save.
        const int posts = h.posts();
        PrefsHarness::click(h.child<QPushButton>("delRemoteButton"));
        QCOMPARE(remote(h.tunnels[0]), ForwardList{added});
        QCOMPARE(h.posts(), posts);

        // A pending local entry is no part of any save.
        auto* localView = h.child<PrefsTableView>("localList");
        PrefsHarness::click(h.child<QPushButton>("addLocalButton"));
        QVERIFY(typeInCell(localView, QStringLiteral("5000"), Qt::Key_Tab));
        QVERIFY(typeInCell(localView, QStringLiteral("five"), Qt::Key_Return));
        PrefsHarness::type(h.child<QLineEdit>("login"), QStringLiteral("u"), Qt::Key_Return);
        QCOMPARE(h.storedTunnels(), h.expectedTunnels());
        QCOMPARE(h.storedTunnels().list().at(0).get("tunnelsLocal").list().size(), size_t(1));
        // An accepted edit still open in a cell when the window closes is kept.
        PrefsHarness::doubleClickCell(view, 0, 2);
        QTest::keyClicks(PrefsHarness::cellEditor(view), QStringLiteral("2222"));
    }));
    QCOMPARE(local(h.tunnels[0]), ForwardList{kFirst});
    QCOMPARE(remote(h.tunnels[0]).at(0).at("hostport"), std::string("2222"));
    QCOMPARE(h.storedTunnels(), h.expectedTunnels());
}

QTEST_MAIN(ForwardListsTest)
#include "tst_ForwardLists.moc"
