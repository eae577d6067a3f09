// The tunnels window as a new user meets it: the first-start hint, a connected row's addresses,
// the row's context menu, the tray's tunnel items, closing without a notification area.
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QMainWindow>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <QTextDocument>

#include "GuiFixture.h"
#include "TrayIcon.h"
#include "TunnelLogWindow.h"
#include "TunnelsTableModel.h"
#include "TunnelsTableView.h"

namespace {

using M = TunnelsTableModel;

class TunnelRowsTest : public GuiFixture {};

TEST_F(TunnelRowsTest, FirstStartSaysHowToBegin) {
    launch();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(m_controller->window()));
    EXPECT_TRUE(m_controller->emptyHint()->isVisible());
    EXPECT_EQ(m_controller->addTunnelButton()->text(), "&Add a tunnel…");
    // The button opens the preferences with a new tunnel, which the window then lists.
    QTest::mouseClick(m_controller->addTunnelButton(), Qt::LeftButton);
    EXPECT_EQ(m_app->tunnels().size(), 1u);
    EXPECT_TRUE(waitUntil([&] { return !m_controller->emptyHint()->isVisible(); }));
}

TEST_F(TunnelRowsTest, ConnectedRowMenuAndTrayItems) {
    SshCommand::setSshProgram(script("ssh", "echo 'debug1: Entering interactive session.' >&2\nexec sleep 600"));
    const Value forwards = Value::List{
        Value::dictionary({{"port", "8143"}, {"host", "db.internal"}, {"hostport", "5432"}}),
        Value::dictionary({{"bind", "127.0.0.2"}, {"port", "8144"}, {"host", "cache"}, {"hostport", "6379"}})};
    store({{"tunnels", Value::List{tunnel("Idle"), tunnel("Db", true).with("tunnelsLocal", forwards)}}});
    launch();
    ASSERT_TRUE(waitUntil([&] { return cell(1, M::TextColumn, M::CodeRole) == 2; }));
    EXPECT_EQ(cell(1, M::TextColumn, M::LineRole), "localhost:8143 → db.internal:5432 +1 more");
    // The tooltip: the figures' line (none counted from a fake ssh), then where it listens.
    const auto tip = [&] {
        QTextDocument shown;
        shown.setHtml(cell(1, M::TextColumn, Qt::ToolTipRole).toString());
        return shown.toPlainText().replace(QChar::LineSeparator, u'\n');
    };
    EXPECT_TRUE(waitUntil([&] { return tip().startsWith("Connected for "); })) << tip().toStdString();
    EXPECT_TRUE(QRegularExpression("^Connected for \\d+ s · ↑ 0 B ↓ 0 B · ↑ 0 B/s ↓ 0 B/s\n"
                                   "localhost:8143 → db.internal:5432\n127.0.0.2:8144 → cache:6379$")
                    .match(tip())
                    .hasMatch())
        << tip().toStdString();
    EXPECT_EQ(cell(0, M::TextColumn, M::LineRole), "Idle");

    // The tray lists the tunnels, checked while wanted up, above its own items.
    const auto trayItems = m_controller->trayIcon()->menu()->actions();
    ASSERT_EQ(m_controller->tunnelItems().size(), 2);
    EXPECT_EQ(trayItems.indexOf(m_controller->tunnelItems()[1]), 1);
    EXPECT_FALSE(m_controller->tunnelItems()[0]->isChecked());
    EXPECT_TRUE(m_controller->tunnelItems()[1]->isChecked());

    auto menuTexts = [&](int row) {
        QMenu* menu = m_controller->rowMenu(row);
        QStringList texts;
        for (QAction* a : menu->actions())
            if (!a->isSeparator()) texts << a->text();
        return std::make_pair(menu, texts);
    };
    auto trigger = [](QMenu* menu, const QString& text) {
        for (QAction* a : menu->actions())
            if (a->text() == text) a->trigger();
        menu->close();
    };
    auto [running, texts] = menuTexts(1);
    EXPECT_EQ(texts, (QStringList{"S&top", "&Reconnect", "&Edit…", "&Details…", "Show &Log", "&Copy Command"}));
    trigger(running, "&Copy Command");
    EXPECT_TRUE(QApplication::clipboard()->text().startsWith("ssh "))
        << QApplication::clipboard()->text().toStdString();
    EXPECT_TRUE(QApplication::clipboard()->text().contains("-L 8143:db.internal:5432"));
    trigger(menuTexts(1).first, "Show &Log");
    TunnelLogWindow* log = nullptr;
    for (QWidget* w : QApplication::topLevelWidgets())
        if ((log = qobject_cast<TunnelLogWindow*>(w))) break;
    ASSERT_TRUE(log);
    EXPECT_TRUE(waitUntil([&] { return log->text()->toPlainText().contains("Entering interactive session."); }));
    trigger(menuTexts(1).first, "S&top");
    EXPECT_TRUE(waitUntil([&] { return !m_controller->tunnelItems()[1]->isChecked(); }));
    EXPECT_EQ(menuTexts(1).second.first(), "&Start");

    // A tray item starts its tunnel.
    m_controller->tunnelItems()[0]->trigger();
    EXPECT_TRUE(waitUntil([&] { return cell(0, M::TextColumn, M::CodeRole) == 2; }));
}

TEST_F(TunnelRowsTest, WithoutNotificationAreaClosingMinimizesAndKeepsThePlace) {
    TrayIcon::setAvailableForTesting(false);
    launch();
    QMainWindow* window = m_controller->window();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
    window->close();
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(window->isMinimized());
    m_controller->showWindow();
    EXPECT_FALSE(window->isMinimized());
}

}  // namespace
