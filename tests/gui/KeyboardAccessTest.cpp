// The tunnels window driven by the keyboard alone, and what a screen reader is told of it.
#include <QAccessible>
#include <QApplication>
#include <QMainWindow>
#include <QMenu>
#include <QTest>

#include "GuiFixture.h"
#include "TunnelsTableModel.h"
#include "TunnelsTableView.h"

namespace {

using M = TunnelsTableModel;

class KeyboardAccessTest : public GuiFixture {
protected:
    void SetUp() override {
        GuiFixture::SetUp();
        SshCommand::setSshProgram(script("ssh", "echo 'debug1: Entering interactive session.' >&2\nexec sleep 600"));
        store({{"tunnels", Value::List{tunnel("db-tunnel"), tunnel("web"), tunnel("R&D")}}});
        launch();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(m_controller->window()));
        m_controller->window()->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(m_controller->window()));
    }
    TunnelsTableView* table() { return m_controller->tunnelsTable(); }
    int currentRow() { return table()->currentIndex().row(); }
    QAccessibleInterface* cellOf(int row, int column) {
        return QAccessible::queryAccessibleInterface(table())->tableInterface()->cellAt(row, column);
    }
};

TEST_F(KeyboardAccessTest, ArrowsHomeEndSpaceEnterAndTheMenuKeys) {
    // The window opens with the keyboard in the list, on the first tunnel.
    EXPECT_EQ(QApplication::focusWidget(), table());
    EXPECT_EQ(currentRow(), 0);

    const struct {
        int key;
        Qt::KeyboardModifiers mods;
        int row;
    } moves[] = {
        {Qt::Key_Down, {}, 1}, {Qt::Key_End, {}, 2},  {Qt::Key_Right, {}, 2}, {Qt::Key_Home, {}, 0},
        {Qt::Key_Left, {}, 0}, {Qt::Key_Down, {}, 1}, {Qt::Key_Up, {}, 0},    {Qt::Key_Tab, {}, 0},
    };
    for (const auto& m : moves) {
        QTest::keyClick(table(), static_cast<Qt::Key>(m.key), m.mods);
        EXPECT_EQ(currentRow(), m.row) << QKeySequence(m.key).toString().toStdString();
    }
    EXPECT_EQ(table()->currentIndex().column(), M::TextColumn);

    // Space starts the tunnel that has the keyboard, Enter stops it.
    QTest::keyClick(table(), Qt::Key_Down);
    QTest::keyClick(table(), Qt::Key_Space);
    const TunnelPtr web = m_app->tunnels().tunnels()[1];
    EXPECT_TRUE(web->run().isWanted());
    EXPECT_TRUE(waitUntil([&] { return web->run().isConnected(); }));
    QTest::keyClick(table(), Qt::Key_Return);
    EXPECT_FALSE(web->run().isWanted());

    // Shift+F10 and the Menu key (its context menu event) open the row's menu, once.
    QTest::keyClick(table(), Qt::Key_F10, Qt::ShiftModifier);
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    ASSERT_TRUE(menu);
    EXPECT_EQ(menu->actions().first()->text(), "&Start");
    menu->close();
    QContextMenuEvent menuKey(QContextMenuEvent::Keyboard, QPoint(1, 1), table()->mapToGlobal(QPoint(1, 1)));
    QApplication::sendEvent(table(), &menuKey);
    QApplication::sendEvent(table(), &menuKey);
    menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    ASSERT_TRUE(menu);
    int menus = 0;
    for (QWidget* w : QApplication::topLevelWidgets()) menus += qobject_cast<QMenu*>(w) && w->isVisible();
    EXPECT_EQ(menus, 1);
    // The mnemonic picks an item from the menu.
    QTest::keyClick(menu, Qt::Key_S);
    EXPECT_TRUE(web->run().isWanted());
    EXPECT_TRUE(waitUntil([&] { return !QApplication::activePopupWidget(); }));

    // A name's "&" stays text in the tray.
    EXPECT_EQ(m_controller->tunnelItems()[2]->text(), "R&&D");
}

// What is announced of a change is heard over AT-SPI (tests/a11y): Qt sends no events where no
// screen reader could listen, as here.
TEST_F(KeyboardAccessTest, CellsAreNamedAfterWhatTheyDo) {
    EXPECT_EQ(QAccessible::queryAccessibleInterface(table())->text(QAccessible::Name), "Tunnels");
    EXPECT_EQ(cellOf(0, M::ButtonColumn)->text(QAccessible::Name), "Start db-tunnel");
    EXPECT_EQ(cellOf(0, M::TextColumn)->text(QAccessible::Name), "db-tunnel, Idle");
    EXPECT_FALSE(cellOf(0, M::ButtonColumn)->state().checked);

    const TunnelPtr db = m_app->tunnels().tunnels()[0];
    db->run().start();
    ASSERT_TRUE(waitUntil([&] { return cellOf(0, M::TextColumn)->text(QAccessible::Name) == "db-tunnel, Connected"; }));
    EXPECT_EQ(cellOf(0, M::ButtonColumn)->text(QAccessible::Name), "Stop db-tunnel");
    EXPECT_TRUE(cellOf(0, M::ButtonColumn)->state().checked);
}

}  // namespace
