// The tunnels window follows the preferences: opened from its "Preferences…" item, every save
// that renames, adds or removes a tunnel shows in its rows.
#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QTableView>
#include <QTimer>

#include "GuiFixture.h"
#include "PrefsHarness.h"
#include "TunnelsTableModel.h"
#include "TunnelsTableView.h"

namespace {
class TunnelsWindowFollows : public GuiFixture {
protected:
    QStringList rows() const {
        QStringList names;
        for (int r = 0; r < table()->model()->rowCount(); ++r)
            names << cell(r, TunnelsTableModel::TextColumn, TunnelsTableModel::NameRole).toString();
        return names;
    }
    bool rowsBecome(const QStringList& expected) {
        return waitUntil([&] { return rows() == expected; }, 3000);
    }
};
}  // namespace

TEST_F(TunnelsWindowFollows, RenamedAddedAndRemovedTunnelsShowAfterEachSave) {
    store({{"tunnels", Value(Value::List{tunnel("alpha"), tunnel("beta")})}, {"openPalette", true}});
    launch();
    ASSERT_EQ(rows(), (QStringList{"alpha", "beta"}));

    m_controller->preferencesItem()->trigger();  // beside the tunnels window, not modal
    {
        QDialog* window = nullptr;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* d = qobject_cast<QDialog*>(w); d && d->isVisible() && d->findChild<QWidget*>("addHostButton"))
                window = d;
        ASSERT_TRUE(window);
        auto child = [&](const char* name) { return window->findChild<QWidget*>(QString::fromLatin1(name)); };
        auto* list = static_cast<QTableView*>(child("tunnelsList"));
        auto* name = static_cast<QLineEdit*>(child("name"));

        PrefsHarness::clickRow(list, 0);
        PrefsHarness::type(name, QStringLiteral("gamma"), Qt::Key_Return);
        EXPECT_TRUE(rowsBecome({"gamma", "beta"})) << rows().join(u',').toStdString();

        PrefsHarness::click(child("addHostButton"));
        PrefsHarness::type(name, QStringLiteral("delta"), Qt::Key_Return);
        EXPECT_TRUE(rowsBecome({"gamma", "beta", "delta"})) << rows().join(u',').toStdString();

        PrefsHarness::clickRow(list, 1);
        PrefsHarness::answerMessageBox(QStringLiteral("Delete"));
        PrefsHarness::click(child("delHostButton"));
        const quint64 redraws = m_controller->redrawCount();
        PrefsHarness::click(child("autoOpen"));  // a save
        EXPECT_TRUE(rowsBecome({"gamma", "delta"})) << rows().join(u',').toStdString();
        EXPECT_GT(m_controller->redrawCount(), redraws);
        window->close();
    }
    EXPECT_EQ(rows(), (QStringList{"gamma", "delta"}));
    const Value saved = stored("tunnels");
    ASSERT_EQ(saved.list().size(), 2u);
    EXPECT_EQ(saved.list()[0].get("connName"), Value("gamma"));
    EXPECT_EQ(saved.list()[1].get("connName"), Value("delta"));
    EXPECT_EQ(stored("openPalette"), Value(false));
}
