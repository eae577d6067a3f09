// The three item models under Qt's model tester while the list and the forwards change as the
// windows change them: every signal, row count and index must stay consistent.
#include <QAbstractItemModelTester>
#include <QSignalSpy>
#include <QTest>

#include "Bundle.h"
#include "ForwardListModel.h"
#include "Tunnel.h"
#include "TunnelListModel.h"
#include "TunnelsTableModel.h"

class ItemModelsTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { Bundle::main().setResourceDir(ZANDREL_TEST_RESOURCES); }
    void modelsStayConsistent();
};

void ItemModelsTest::modelsStayConsistent() {
    TunnelStore tunnels;
    tunnels.append(Tunnel::tunnelWithName("a"));
    tunnels.append(Tunnel::tunnelWithName("b"));
    tunnels.at(0)->addLocalTunnel({{"port", "8143"}, {"host", "127.0.0.1"}, {"hostport", "22"}});
    TunnelPtr current = tunnels.at(0);

    TunnelsTableModel table;
    TunnelListModel list(tunnels);
    ForwardListModel local(ForwardListModel::Side::Local, [&current] { return current; });
    ForwardListModel remote(ForwardListModel::Side::Remote, [&current] { return current; });
    const auto mode = QAbstractItemModelTester::FailureReportingMode::QtTest;
    QAbstractItemModelTester tableTester(&table, mode), listTester(&list, mode), localTester(&local, mode),
        remoteTester(&remote, mode);

    table.setTunnels(&tunnels);
    QCOMPARE(table.rowCount(), 2);
    QSignalSpy inserted(&list, &QAbstractItemModel::rowsInserted);
    list.append(Tunnel::tunnelWithName("c"));
    QCOMPARE(inserted.count(), 1);
    table.reload();
    QCOMPARE(table.rowCount(), 3);
    list.refreshRow(2);
    list.remove(0);
    table.reload();
    QCOMPARE(table.rowCount(), 2);

    QCOMPARE(local.rowCount(), 1);
    local.makePending();
    QVERIFY(local.setData(local.index(1, 0), QStringLiteral("8080")));
    QVERIFY(local.commitPending());
    QCOMPARE(current->tunnelsLocal()->size(), size_t(2));
    local.removeEntry(0);
    current = tunnels.at(0);  // another tunnel shown
    local.reload();
    remote.reload();
    QTRY_COMPARE(local.rowCount(), 0);
}

QTEST_MAIN(ItemModelsTest)
#include "ItemModelsTest.moc"
