// A tunnel's details, row and tooltip while it carries bytes to a real sshd on loopback, inside
// isolated.sh (a private ~/.ssh) and, with ZANDREL_ISOLATED_NETWORK=1, a network namespace
// holding only loopback: the one place a forward may listen on 0.0.0.0.
#include <net/if.h>

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QTest>
#include <QTextDocument>

#include "EchoServer.h"
#include "GuiFixture.h"
#include "LoopbackPort.h"
#include "RateGraph.h"
#include "SshdFixture.h"
#include "TunnelDetailsWindow.h"
#include "TunnelsItemDelegate.h"
#include "TunnelsTableModel.h"
#include "TunnelsTableView.h"

namespace {

using M = TunnelsTableModel;
using namespace testsupport;

// No interface but loopback: listening on every address reaches nobody else.
bool onlyLoopback() {
    struct if_nameindex* names = if_nameindex();
    bool only = names != nullptr;
    for (struct if_nameindex* n = names; n && n->if_index != 0; ++n) only = only && std::string(n->if_name) == "lo";
    if (names) if_freenameindex(names);
    return only;
}

class TunnelDetailsE2e : public GuiFixture {
protected:
    void SetUp() override {
        GuiFixture::SetUp();
        ASSERT_TRUE(m_sshd.start()) << m_sshd.error() << m_sshd.log();
        // Only where ~/.ssh is a private tmpfs.
        if (!m_sshd.installClientKeyInHome()) GTEST_SKIP() << m_sshd.error() << ": run under tests/e2e/isolated.sh";
        ASSERT_TRUE(m_echo.start());
    }
    // An auto-connect tunnel to the sshd, forwarding port (on bind) to the echo server.
    Value sshdTunnel(const std::string& name, int port, const std::string& bind) const {
        Value forward = Value::dictionary(
            {{"port", std::to_string(port)}, {"host", "127.0.0.1"}, {"hostport", std::to_string(m_echo.port())}});
        if (!bind.empty()) forward = forward.with("bind", bind);
        return tunnel(name, true)
            .with("connPort", std::to_string(m_sshd.port()))
            .with("connUser", SshdFixture::userName())
            .with("tunnelsLocal", Value::List{forward});
    }
    TunnelDetailsWindow* openDetails(int row) {
        QMenu* menu = m_controller->rowMenu(row);
        for (QAction* a : menu->actions())
            if (a->text() == "&Details…") a->trigger();
        menu->close();
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* d = qobject_cast<TunnelDetailsWindow*>(w); d && d->isVisible()) return d;
        return nullptr;
    }
    QString tooltip(int row) const {
        QTextDocument shown;
        shown.setHtml(cell(row, M::TextColumn, Qt::ToolTipRole).toString());
        return shown.toPlainText().replace(QChar::LineSeparator, u'\n');
    }
    bool connected(int row) {
        return waitUntil([&] { return cell(row, M::TextColumn, M::CodeRole) == 2; }, 15000);
    }
    // Whether the row's text cell has amber pixels: its warning line.
    bool showsWarning(int row) const {
        const QImage image = table()->viewport()->grab().toImage();
        const QRect r = table()->visualRect(table()->model()->index(row, M::TextColumn));
        const QColor amber = TunnelsItemDelegate::warningColor();
        for (int y = r.top(); y <= r.bottom(); ++y)
            for (int x = r.left(); x <= r.right(); ++x) {
                const QColor c = image.pixelColor(x, y);
                if (std::abs(c.red() - amber.red()) < 30 && std::abs(c.green() - amber.green()) < 30 && c.blue() < 50)
                    return true;
            }
        return false;
    }

    SshdFixture m_sshd;
    EchoServer m_echo;
};

TEST_F(TunnelDetailsE2e, ConnectedTunnelShowsItsBytesCommandJournalAndOneLineTooltip) {
    const int port = LoopbackPort::pickFree();
    store({{"tunnels", Value::List{sshdTunnel("Echo", port, "")}}});
    launch();
    ASSERT_TRUE(connected(0)) << m_sshd.log();
    ASSERT_EQ(EchoServer::roundTrip(port, std::string(300000, 'x'), 5000).size(), 300000u);

    TunnelDetailsWindow* details = openDetails(0);
    ASSERT_TRUE(details);
    EXPECT_TRUE(details->stateLabel()->text().startsWith("Connected since"))
        << details->stateLabel()->text().toStdString();
    const QString forward = QStringLiteral("-L %1:127.0.0.1:%2").arg(port).arg(m_echo.port());
    EXPECT_TRUE(details->commandText()->toPlainText().startsWith("ssh "))
        << details->commandText()->toPlainText().toStdString();
    EXPECT_TRUE(details->commandText()->toPlainText().contains(forward));
    // The kernel's counts of the connection to the server: the bytes went both ways.
    EXPECT_TRUE(waitUntil([&] {
        const QString t = details->trafficLabel()->text();
        return t.contains(QRegularExpression("↑ (29\\d|3\\d\\d) KiB sent, ↓ (29\\d|3\\d\\d) KiB received"));
    })) << details->trafficLabel()->text().toStdString();
    const QString journal = details->journalText()->toPlainText();
    EXPECT_TRUE(journal.contains("\tStarted ssh to " + QString::fromStdString(SshdFixture::userName()) +
                                 "@127.0.0.1:" + QString::number(m_sshd.port())))
        << journal.toStdString();
    EXPECT_TRUE(
        journal.contains(QStringLiteral("\tConnected: localhost:%1 → 127.0.0.1:%2").arg(port).arg(m_echo.port())))
        << journal.toStdString();
    // The graph has counted the bytes once two samples are in.
    EXPECT_TRUE(waitUntil([&] { return details->graph()->accessibleDescription().startsWith("Sending"); }, 8000))
        << details->graph()->accessibleDescription().toStdString();

    // The row's tooltip: the one line of figures, then where it listens; no warning in the row.
    EXPECT_TRUE(waitUntil([&] {
        return tooltip(0).contains(
            QRegularExpression("^Connected for \\d+ s · ↑ \\d+ KiB ↓ \\d+ KiB · ↑ .+/s ↓ .+/s\n"));
    })) << tooltip(0).toStdString();
    EXPECT_TRUE(tooltip(0).endsWith(QStringLiteral("localhost:%1 → 127.0.0.1:%2").arg(port).arg(m_echo.port())));
    EXPECT_EQ(cell(0, M::TextColumn, M::WarningRole), "");
    EXPECT_FALSE(showsWarning(0));
}

TEST_F(TunnelDetailsE2e, ForwardOpenToTheNetworkIsMarkedInItsRowTooltipAndDetails) {
    if (!onlyLoopback())
        GTEST_SKIP()
            << "not in a network namespace of its own (ZANDREL_ISOLATED_NETWORK=1 isolated.sh): 0.0.0.0 stays unbound";
    const int open = LoopbackPort::pickFree();
    const int closed = LoopbackPort::pickFree();
    store({{"tunnels", Value::List{sshdTunnel("Open", open, "0.0.0.0"), sshdTunnel("Closed", closed, "")}}});
    launch();
    ASSERT_TRUE(connected(0) && connected(1)) << m_sshd.log();
    const QString warning = QStringLiteral("Open to the network on 0.0.0.0:%1").arg(open);
    EXPECT_TRUE(waitUntil([&] { return cell(0, M::TextColumn, M::WarningRole) == "⚠ " + warning; }))
        << cell(0, M::TextColumn, M::WarningRole).toString().toStdString();
    EXPECT_TRUE(waitUntil([&] { return showsWarning(0); }));
    EXPECT_FALSE(showsWarning(1));
    EXPECT_TRUE(tooltip(0).contains("⚠ " + warning)) << tooltip(0).toStdString();
    EXPECT_FALSE(tooltip(1).contains("⚠"));

    TunnelDetailsWindow* details = openDetails(0);
    ASSERT_TRUE(details);
    QStringList shown;
    for (QLabel* label : details->warningsBox()->findChildren<QLabel*>()) shown << label->text();
    EXPECT_TRUE(shown.contains(warning)) << shown.join(u'|').toStdString();
}

}  // namespace
