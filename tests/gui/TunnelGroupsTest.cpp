// Groups in the tunnels window as a user with many tunnels meets them: sections with their
// counts, Start All from the section's button, folding by keyboard (kept), the tray's submenus,
// greyed forwards of a stopped row, ten rows of room; and a tunnel file opened from the desktop.
#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <fstream>

#include "GuiFixture.h"
#include "TrayIcon.h"
#include "TunnelFile.h"
#include "TunnelFileDialog.h"
#include "TunnelsItemDelegate.h"
#include "TunnelsTableModel.h"
#include "TunnelsTableView.h"

namespace {

using M = TunnelsTableModel;

class TunnelGroupsTest : public GuiFixture {
protected:
    Value member(const std::string& name, const std::string& group) const {
        return tunnel(name)
            .with("group", group)
            .with("tunnelsLocal",
                  Value::List{Value::dictionary({{"port", "8143"}, {"host", "db"}, {"hostport", "5432"}})});
    }
    QStringList rows() const {
        QStringList out;
        for (int r = 0; r < table()->model()->rowCount(); ++r)
            out << (cell(r, M::TextColumn, M::GroupRowRole).toBool() ? "[" : "") +
                       cell(r, M::TextColumn, M::NameRole).toString() + " " +
                       cell(r, M::TextColumn, M::LineRole).toString();
        return out;
    }
    void press(Qt::Key key) const { QTest::keyClick(table(), key); }
    // The import window that opening the file brought up.
    static TunnelFileDialog* importWindow() {
        TunnelFileDialog* dialog = nullptr;
        waitUntil([&] {
            for (QWidget* w : QApplication::topLevelWidgets())
                if (auto* d = qobject_cast<TunnelFileDialog*>(w); d && d->isVisible()) dialog = d;
            return dialog != nullptr;
        });
        return dialog;
    }
};

TEST_F(TunnelGroupsTest, SectionsCountStartFoldAndFillTheTray) {
    SshCommand::setSshProgram(script("ssh", "echo 'debug1: Entering interactive session.' >&2\nexec sleep 600"));
    store({{"tunnels", Value::List{member("w1", "work"), tunnel("solo"), member("l1", "lab"), member("w2", "work")}}});
    launch();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(m_controller->window()));
    // Ungrouped first; a stopped row tells its forwards, greyed.
    EXPECT_EQ(rows(), (QStringList{"solo Idle", "[work 2 stopped", "w1 Idle · localhost:8143 → db:5432",
                                   "w2 Idle · localhost:8143 → db:5432", "[lab 1 stopped",
                                   "l1 Idle · localhost:8143 → db:5432"}));
    EXPECT_TRUE(cell(2, M::TextColumn, M::DimmedRole).toBool());
    EXPECT_EQ(cell(1, M::ButtonColumn, Qt::AccessibleTextRole), "Start all in work");
    // Room for ten rows at the first start.
    EXPECT_GE(table()->viewport()->height(), 10 * table()->rowHeight());

    // The section's button starts the group; the section counts them up.
    QTest::mouseClick(table()->viewport(), Qt::LeftButton, {},
                      table()->visualRect(table()->model()->index(1, M::ButtonColumn)).center());
    ASSERT_TRUE(waitUntil([&] { return cell(1, M::TextColumn, M::LineRole) == "2 of 2 up"; }));
    EXPECT_EQ(cell(0, M::TextColumn, M::CodeRole), 0);
    EXPECT_EQ(cell(1, M::TextColumn, Qt::AccessibleTextRole), "Group work, 2 of 2 up");
    EXPECT_EQ(cell(1, M::ButtonColumn, Qt::AccessibleTextRole), "Stop all in work");

    // The tray: the ungrouped tunnel, then a submenu per group with Start All and Stop All.
    const QList<QAction*> tray = m_controller->trayIcon()->menu()->actions();
    ASSERT_GE(tray.size(), 3);
    EXPECT_EQ(tray[0]->text(), "solo");
    ASSERT_TRUE(tray[1]->menu());
    EXPECT_TRUE(waitUntil([&] { return tray[1]->text() == "work (2 of 2 up)"; })) << tray[1]->text().toStdString();
    QStringList items;
    for (QAction* a : tray[1]->menu()->actions()) items << (a->isSeparator() ? "-" : a->text());
    EXPECT_EQ(items, (QStringList{"&Start All", "S&top All", "-", "w1", "w2"}));
    tray[2]->menu()->actions()[0]->trigger();  // lab: Start All
    ASSERT_TRUE(waitUntil([&] { return cell(4, M::TextColumn, M::LineRole) == "1 of 1 up"; }));

    // Left on the section folds it, Right unfolds; the fold is kept in the settings.
    table()->setFocus();
    table()->setCurrentIndex(table()->model()->index(1, M::TextColumn));
    press(Qt::Key_Left);
    EXPECT_EQ(rows().size(), 4);
    EXPECT_EQ(stored(TunnelsWindowController::kFoldedGroups), Value(Value::List{"work"}));
    EXPECT_EQ(cell(1, M::TextColumn, Qt::AccessibleTextRole), "Group work, 2 of 2 up, folded");
    press(Qt::Key_Down);
    press(Qt::Key_Space);  // Space on the lab section folds it too
    EXPECT_EQ(rows(), (QStringList{"solo Idle", "[work 2 of 2 up", "[lab 1 of 1 up"}));
    press(Qt::Key_Up);
    press(Qt::Key_Right);
    EXPECT_EQ(rows().size(), 5);
    EXPECT_EQ(stored(TunnelsWindowController::kFoldedGroups), Value(Value::List{"lab"}));
}

TEST_F(TunnelGroupsTest, PreferencesOffersTheGroupsThereAreAndTakesATypedOne) {
    store({{"tunnels", Value::List{member("w1", "work"), tunnel("solo")}}});
    launch();
    m_controller->editTunnel(1);
    QComboBox* group = nullptr;
    ASSERT_TRUE(waitUntil([&] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* box = w->findChild<QComboBox*>("group"); box && box->isVisible()) group = box;
        return group != nullptr;
    }));
    EXPECT_EQ(group->findText("work"), 1);
    EXPECT_EQ(group->currentText(), "");
    group->window()->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(group->window()));
    QLineEdit* typed = group->lineEdit();
    QTest::mouseClick(typed, Qt::LeftButton, {}, typed->rect().center());
    QTest::keyClicks(typed, "home lab ");
    QTest::keyClick(typed, Qt::Key_Tab);
    // Trimmed, and on disk.
    EXPECT_TRUE(waitUntil([&] {
        return stored("tunnels").list().size() == 2 && [&] {
            const Value tunnels = stored("tunnels");
            return tunnels.list()[1].get("group") == Value("home lab");
        }();
    }));
}

TEST_F(TunnelGroupsTest, OpenedTunnelFileShowsConflictsSideBySideAndKeepsBoth) {
    store({{"tunnels", Value::List{tunnel("db").with("connHost", "mine.lan")}}});
    launch();
    const std::string path = file("team.zandrel-tunnels");
    std::ofstream(path) << TunnelFile::write({Tunnel::tunnelFromDictionary(tunnel("db").with("connHost", "theirs")),
                                              Tunnel::tunnelFromDictionary(tunnel("web"))},
                                             "/nowhere");
    m_controller->openTunnelFile(path);
    TunnelFileDialog* dialog = importWindow();
    ASSERT_TRUE(dialog);
    QTableWidget* rowsShown = dialog->table();
    ASSERT_EQ(rowsShown->rowCount(), 2);
    EXPECT_TRUE(rowsShown->item(0, 1)->text().startsWith("mine.lan"));
    EXPECT_TRUE(rowsShown->item(0, 2)->text().startsWith("theirs"));
    EXPECT_EQ(rowsShown->item(1, 3)->text(), "Added");
    auto* choice = qobject_cast<QComboBox*>(rowsShown->cellWidget(0, 3));
    ASSERT_TRUE(choice);
    EXPECT_EQ(choice->currentText(), "Keep yours");  // nothing of the user's changes unasked
    choice->setCurrentIndex(choice->findText("Keep both"));
    QTest::mouseClick(dialog->importButton(), Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return stored("tunnels").list().size() == 3; }));
    EXPECT_EQ(stored("tunnels").list()[0].get("connHost"), Value("mine.lan"));
    EXPECT_EQ(stored("tunnels").list()[1].get("connName"), Value("db (2)"));
}

TEST_F(TunnelGroupsTest, FileWithProblemsImportsOnlyWhenTheValidAreTakenKnowingly) {
    launch();
    const std::string path = file("bad.zandrel-tunnels");
    std::ofstream(path) << R"({"format": "zandrel-tunnels", "version": 1, "tunnels": [)"
                        << R"({"connName": "ok"}, {"connName": "p", "socks4p": 0}]})";
    m_controller->openTunnelFile(path);
    TunnelFileDialog* dialog = importWindow();
    ASSERT_TRUE(dialog);
    EXPECT_EQ(dialog->problems()->toPlainText(), "Tunnel \"p\": \"socks4p\" must be a port number from 1 to 65535");
    EXPECT_FALSE(dialog->importButton()->isEnabled());
    dialog->importValid()->click();
    ASSERT_TRUE(dialog->importButton()->isEnabled());
    QTest::mouseClick(dialog->importButton(), Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return stored("tunnels").list().size() == 1; }));
    EXPECT_EQ(m_app->tunnels().at(0)->connName(), "ok");
}

}  // namespace
