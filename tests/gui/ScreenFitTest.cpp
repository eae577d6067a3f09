// Every window on the screen this run is given (a 1366x768 laptop, or 1920x1080 at scale 2:
// 960x540 to lay out in): within the free area, its last controls reachable.
#include <QApplication>
#include <QMainWindow>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>

#include "BundleImage.h"
#include "GuiFixture.h"
#include "HostKeyPrompt.h"
#include "PasswordPrompt.h"
#include "ScreenFit.h"
#include "TunnelDetailsWindow.h"
#include "TunnelLogWindow.h"

namespace {

class ScreenFitTest : public GuiFixture {
protected:
    // Shown, the window leaves room for its title bar, and the widget is inside it or inside a
    // scroll area that can bring it in.
    void expectFits(QWidget* window, const char* what, QWidget* last = nullptr) {
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window)) << what;
        const QRect area = window->screen()->availableGeometry();
        EXPECT_LE(window->width(), area.width()) << what;
        EXPECT_LE(window->height() + ScreenFit::kTitleRoom, area.height())
            << what << ": " << window->height() << " of " << area.height();
        EXPECT_LE(window->minimumSizeHint().height() + ScreenFit::kTitleRoom, area.height()) << what;
        if (!last) return;
        QRect visible = window->rect();
        for (QWidget* w = last->parentWidget(); w && w != window; w = w->parentWidget())
            if (auto* scroll = qobject_cast<QScrollArea*>(w)) {
                // The last controls: at the end of the scroll (a line edit would only show its cursor).
                scroll->verticalScrollBar()->setValue(scroll->verticalScrollBar()->maximum());
                QApplication::processEvents();
                visible &= QRect(scroll->viewport()->mapTo(window, QPoint(0, 0)), scroll->viewport()->size());
            }
        const QRect shown(last->mapTo(window, QPoint(0, 0)), last->size());
        EXPECT_TRUE(visible.contains(shown)) << what << ": " << last->objectName().toStdString();
    }
};

TEST_F(ScreenFitTest, EveryWindowFitsTheScreen) {
    const Value forwards =
        Value::List{Value::dictionary({{"port", "8143"}, {"host", "db.internal"}, {"hostport", "5432"}}),
                    Value::dictionary({{"port", "8144"}, {"host", "cache.internal"}, {"hostport", "6379"}}),
                    Value::dictionary({{"port", "8145"}, {"host", "search.internal"}, {"hostport", "9200"}})};
    store({{"tunnels", Value::List{tunnel("db-tunnel").with("tunnelsLocal", forwards).with("tunnelsRemote", forwards),
                                   tunnel("web")}}});
    launch();
    expectFits(m_controller->window(), "tunnels window");

    m_controller->editTunnel(0);
    QDialog* prefs = nullptr;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->objectName() == "Preferences") prefs = qobject_cast<QDialog*>(w);
    ASSERT_TRUE(prefs);
    auto* options = prefs->findChild<QPushButton*>("options");
    ASSERT_TRUE(options);
    expectFits(prefs, "Preferences", prefs->findChild<QWidget*>("commandLine"));
    expectFits(prefs, "Preferences: its list's buttons", prefs->findChild<QWidget*>("importButton"));
    options->click();
    expectFits(prefs, "Preferences with its options", prefs->findChild<QWidget*>("sshOptions"));

    const TunnelPtr db = m_app->tunnels().tunnels()[0];
    expectFits(m_controller->showDetails(db), "details", nullptr);
    expectFits(m_controller->showLog(db), "log");
    m_app->orderFrontStandardAboutPanel(m_controller->window());
    expectFits(m_app->aboutPanel(), "About");
    PasswordPrompt password;
    password.setACaption("me@db.example.org's password:");
    expectFits(&password, "password prompt");
    HostKeyPrompt hostKey;
    hostKey.setACaption(
        "The authenticity of host '[127.0.0.1]:2222 ([127.0.0.1]:2222)' can't be established.\n"
        "ED25519 key fingerprint is SHA256:Xw9dE0xJtqpI1bqXN0bqj1v3E6nNcE0hAbGR6JvT2xQ.\n"
        "This key is not known by any other names.\nAre you sure you want to continue connecting "
        "(yes/no/[fingerprint])?");
    expectFits(&hostKey, "host key prompt");

    // The images are drawn from their vectors at the screen's scale, not blown up.
    const qreal scale = m_controller->window()->devicePixelRatioF();
    const QPixmap image = BundleImage::named("onState").pixmap(QSize(24, 24), scale);
    EXPECT_EQ(image.width(), qRound(24 * scale));
}

}  // namespace
