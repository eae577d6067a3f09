// A tunnel's details window as the row menu and a double click on the name open it: one per
// tunnel, following a rename, closing with Escape and when the tunnel is deleted; and its graph.
#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPointer>
#include <QTest>

#include "GuiFixture.h"
#include "NotificationCenter.h"
#include "PreferencesController.h"
#include "RateGraph.h"
#include "TunnelDetailsWindow.h"
#include "TunnelsItemDelegate.h"
#include "TunnelsTableModel.h"
#include "TunnelsTableView.h"

namespace {

using M = TunnelsTableModel;

class TunnelDetailsTest : public GuiFixture {
protected:
    TunnelDetailsWindow* detailsFromMenu(int row) {
        QMenu* menu = m_controller->rowMenu(row);
        for (QAction* a : menu->actions())
            if (a->text() == "&Details…") a->trigger();
        menu->close();
        return detailsOf(row);
    }
    TunnelDetailsWindow* detailsOf(int row) const {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* d = qobject_cast<TunnelDetailsWindow*>(w);
                d && d->isVisible() && d->shows(*m_app->tunnels().at(row)))
                return d;
        return nullptr;
    }
    static int openDetails() {
        int n = 0;
        for (QWidget* w : QApplication::topLevelWidgets()) n += qobject_cast<TunnelDetailsWindow*>(w) && w->isVisible();
        return n;
    }
    QRect nameRect(int row) const {
        return TunnelsItemDelegate::nameRect(table(), table()->model()->index(row, M::TextColumn));
    }
};

TEST_F(TunnelDetailsTest, OneWindowPerTunnelFollowsItsNameAndClosesWhenItGoes) {
    SshCommand::setSshProgram(script("ssh", "echo 'debug1: Entering interactive session.' >&2\nexec sleep 600"));
    store({{"tunnels", Value::List{tunnel("Alpha", true), tunnel("Beta")}}});
    launch();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(m_controller->window()));
    ASSERT_TRUE(waitUntil([&] { return cell(0, M::TextColumn, M::CodeRole) == 2; }));

    QPointer<TunnelDetailsWindow> alpha = detailsFromMenu(0);
    ASSERT_TRUE(alpha);
    EXPECT_EQ(alpha->windowTitle(), "Details: Alpha");
    EXPECT_TRUE(alpha->stateLabel()->text().startsWith("Connected since")) << alpha->stateLabel()->text().toStdString();
    EXPECT_TRUE(alpha->commandText()->toPlainText().startsWith("ssh "))
        << alpha->commandText()->toPlainText().toStdString();
    EXPECT_TRUE(waitUntil([&] { return alpha->journalText()->toPlainText().contains("\tConnected"); }))
        << alpha->journalText()->toPlainText().toStdString();
    // Tab steps through what a keyboard can use: the command, its copy button, the graph (whose
    // description a screen reader tells), the journal, Close.
    QStringList chain;
    QWidget* w = alpha->commandText();
    for (int i = 0; i < 5; ++i, w = w->nextInFocusChain()) {
        while (!(w->focusPolicy() & Qt::TabFocus) || !w->isVisibleTo(alpha)) w = w->nextInFocusChain();
        chain << w->accessibleName();
    }
    EXPECT_EQ(chain, (QStringList{"ssh command", "Copy the ssh command", "Traffic graph", "Journal", "Close"}));
    // Asked again, from the menu or by a double click on the name: the same window comes forward.
    EXPECT_EQ(detailsFromMenu(0), alpha.data());
    doubleClickTable(nameRect(0).center());
    EXPECT_EQ(openDetails(), 1);
    EXPECT_EQ(pids("ssh").size(), 1u);  // the name's double click starts nothing

    // A double click beside the name still starts the tunnel; on Beta's name it opens Beta's.
    const QRect betaName = nameRect(1);
    doubleClickTable(QPoint(betaName.right() + 40, betaName.center().y()));
    EXPECT_TRUE(waitUntil([&] { return pids("ssh").size() == 2u; }));
    EXPECT_EQ(openDetails(), 1);
    doubleClickTable(betaName.center());
    ASSERT_TRUE(waitUntil([&] { return openDetails() == 2; }));
    QPointer<TunnelDetailsWindow> beta = detailsOf(1);
    ASSERT_TRUE(beta && beta != alpha);

    // Renamed in the preferences: the title follows.
    m_app->tunnels().at(0)->setValueForKey(Value("Gamma"), "connName");
    NotificationCenter::defaultCenter().post(PreferencesController::kPrefChanged, nullptr);
    EXPECT_TRUE(waitUntil([&] { return alpha->windowTitle() == "Details: Gamma"; }))
        << alpha->windowTitle().toStdString();

    // Escape closes; deleting the tunnel closes its window.
    QTest::keyClick(beta, Qt::Key_Escape);
    EXPECT_FALSE(beta && beta->isVisible());
    const TunnelPtr gone = m_app->tunnels().remove(0);
    gone->run().stop();
    EXPECT_TRUE(waitUntil([&] {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        return !alpha && !beta;
    }));
}

TEST_F(TunnelDetailsTest, GraphRatesSkipANewConnectionAndScaleToRoundFigures) {
    launch();
    RateGraph graph;
    // 1 KiB/s up, 10 KiB/s down, then a new connection whose counts start again from zero.
    std::vector<TrafficSample> samples;
    for (int i = 0; i < 5; ++i)
        samples.push_back({100'000 + i * 2000LL, 2048u * static_cast<unsigned>(i), 20480u * static_cast<unsigned>(i)});
    samples.push_back({110'000, 0, 0});
    samples.push_back({112'000, 2048, 30720});
    graph.setSamples(samples, 112'000);
    EXPECT_DOUBLE_EQ(graph.sendRate(), 1024);
    EXPECT_DOUBLE_EQ(graph.receiveRate(), 15360);
    EXPECT_DOUBLE_EQ(graph.scaleTop(), 20 * 1024);
    EXPECT_EQ(graph.accessibleDescription(),
              "Sending 1.0 KiB/s, receiving 15 KiB/s; over the last 5 minutes at most 20 KiB/s");
    graph.setSamples({}, 0);
    EXPECT_DOUBLE_EQ(graph.scaleTop(), 1024);
    EXPECT_EQ(graph.accessibleDescription(), "No traffic counted in the last 5 minutes");

    // At scale 2 the grid stays one crisp line: its pixels are the grid's colour or the base's.
    graph.setSamples(samples, 112'000);
    graph.resize(400, 200);
    QImage image(graph.size() * 2, QImage::Format_ARGB32);
    image.setDevicePixelRatio(2);
    graph.render(&image);
    // The time axis, right of the rate labels.
    const QRgb grid = graph.palette().color(QPalette::Mid).rgb();
    const QRgb base = graph.palette().color(QPalette::Base).rgb();
    const int axis = image.height() - 2 * (QFontMetrics(graph.font()).height() + 6) - 1;
    int gridPixels = 0, blurred = 0;
    for (int x = image.width() / 3; x < image.width() - 30; ++x)
        for (const int y : {axis - 1, axis, axis + 1, axis + 2}) {
            const QRgb c = image.pixel(x, y);
            gridPixels += c == grid;
            blurred += c != grid && c != base && qRed(c) == qGreen(c) && qGreen(c) == qBlue(c);
        }
    EXPECT_GT(gridPixels, 2 * (image.width() * 2 / 3 - 30) - 20);
    EXPECT_EQ(blurred, 0);
}

}  // namespace
