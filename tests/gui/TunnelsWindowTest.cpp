// The tunnels window on real widgets (offscreen), driven as a user would, over fake ssh programs.
#include <QAction>
#include <QApplication>
#include <QHeaderView>
#include <QMainWindow>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTextDocument>
#include <QTimer>
#include <atomic>
#include <thread>

#include "Bundle.h"
#include "GuiFixture.h"
#include "NotificationCenter.h"
#include "PreferencesController.h"
#include "RetryPause.h"
#include "TrayIcon.h"
#include "TunnelsItemDelegate.h"
#include "TunnelsTableModel.h"
#include "TunnelsTableView.h"
#include "Wait.h"

namespace {

using M = TunnelsTableModel;
using testsupport::isAlive;

// What a tooltip puts on screen: Qt renders it as rich text when it looks like markup.
QString tooltipShows(const QVariant& tip) {
    const QString text = tip.toString();
    if (!Qt::mightBeRichText(text)) return text;
    QTextDocument doc;
    doc.setHtml(text);
    return doc.toPlainText();
}

QString text(const char* key) { return QString::fromStdString(Bundle::main().localizedString(key)); }

// ssh that steps through its states when the test says so: launched, authenticated, connected.
const char* kSteppingSsh = R"(echo "debug1: Connecting to 127.0.0.1 [127.0.0.1] port 22." >&2
while [ ! -e "$DIR/auth" ]; do sleep 0.02; done
echo 'Authenticated to 127.0.0.1 ([127.0.0.1]:22) using "publickey".' >&2
while [ ! -e "$DIR/connect" ]; do sleep 0.02; done
echo "debug1: Entering interactive session." >&2
exec sleep 600)";

const char* kConnectingSsh = R"(echo "debug1: Entering interactive session." >&2
exec sleep 600)";

class TunnelsWindowTest : public GuiFixture {
protected:
    QPoint cellCenter(int row, int column) const {
        return table()->visualRect(table()->model()->index(row, column)).center();
    }
    void click(int row, int column) {
        QTest::mouseClick(table()->viewport(), Qt::LeftButton, {}, cellCenter(row, column));
    }
    void doubleClick(int row, int column) { doubleClickTable(cellCenter(row, column)); }
    TunnelPtr at(int row) const { return m_app->tunnels().at(static_cast<size_t>(row)); }
    // Whether a dark red pixel is painted in the row's text cell: the failure line.
    bool showsErrorLine(int row) const {
        const QImage image = table()->viewport()->grab().toImage();
        const QRect r = table()->visualRect(table()->model()->index(row, M::TextColumn));
        for (int y = r.top(); y <= r.bottom(); ++y)
            for (int x = r.left(); x <= r.right(); ++x) {
                const QColor c = image.pixelColor(x, y);
                if (c.red() > 110 && c.green() < 60 && c.blue() < 60) return true;
            }
        return false;
    }
};

TEST_F(TunnelsWindowTest, RowsImagesAndTextsFollowSshThroughItsStates) {
    SshCommand::setSshProgram(script("ssh", kSteppingSsh));
    store({{"tunnels", Value::List{tunnel("Office", true), tunnel("Home")}}});
    launch();
    ASSERT_EQ(table()->model()->rowCount(), 2);
    EXPECT_EQ(m_controller->numberOfTunnels(), 2);
    EXPECT_EQ(M::columnIdentifier(0), "icon");
    EXPECT_EQ(M::columnIdentifier(1), "text");
    EXPECT_EQ(M::columnIdentifier(2), "button");

    // Launched: the middle image, the connecting text, the stop button.
    EXPECT_TRUE(waitUntil([&] { return cell(0, M::IconColumn, M::ImageNameRole) == "middleState"; }));
    EXPECT_TRUE(waitUntil([&] { return cell(0, M::ButtonColumn, M::ImageNameRole) == "stop_n"; }));
    EXPECT_EQ(cell(0, M::ButtonColumn, M::AlternateImageNameRole), "stop_p");
    EXPECT_EQ(cell(0, M::TextColumn, Qt::DisplayRole).toString(), "Office\n" + text("S_CONNECTING"));
    // The idle tunnel: no status of its own reads the idle text.
    EXPECT_EQ(cell(1, M::TextColumn, M::StatusRole), text("S_IDLE"));
    EXPECT_EQ(cell(1, M::IconColumn, M::ImageNameRole), "offState");
    EXPECT_EQ(cell(1, M::ButtonColumn, M::ImageNameRole), "start_n");
    EXPECT_EQ(cell(1, M::ButtonColumn, M::AlternateImageNameRole), "start_p");
    // Wanted up but not connected yet: not all is well.
    EXPECT_EQ(m_controller->trayIcon()->state(), TrayIcon::State::Some);

    touch("auth");
    EXPECT_TRUE(waitUntil([&] { return cell(0, M::TextColumn, M::StatusRole) == text("S_AUTH"); }));
    touch("connect");
    EXPECT_TRUE(waitUntil([&] { return cell(0, M::IconColumn, M::ImageNameRole) == "onState"; }));
    EXPECT_EQ(cell(0, M::TextColumn, M::StatusRole), text("S_CONNECTED"));
    EXPECT_TRUE(waitUntil([&] { return m_controller->trayIcon()->state() == TrayIcon::State::All; }));

    // A second running tunnel that is not yet connected: some of them are.
    std::remove(file("auth").c_str());
    std::remove(file("connect").c_str());
    click(1, M::ButtonColumn);
    EXPECT_TRUE(waitUntil([&] { return m_controller->trayIcon()->state() == TrayIcon::State::Some; }));
    EXPECT_EQ(TrayIcon::imageName(TrayIcon::State::Some), std::string("middleState"));
}

TEST_F(TunnelsWindowTest, FailingTunnelShowsWhyInDarkRedAndAsTooltip) {
    SshCommand::setSshProgram(script("ssh",
                                     "echo 'ssh: connect to host 127.0.0.1 port 1: Connection refused' >&2\n"
                                     "exit 255"));
    store({{"tunnels", Value::List{tunnel("Broken", true), tunnel("Fine")}}});
    launch();
    const QString reason = "ssh: connect to host 127.0.0.1 port 1: Connection refused";
    ASSERT_TRUE(waitUntil([&] { return cell(0, M::TextColumn, M::ErrorRole) == reason; }));
    EXPECT_EQ(tooltipShows(cell(0, M::TextColumn, Qt::ToolTipRole)), reason);
    EXPECT_EQ(tooltipShows(cell(0, M::IconColumn, Qt::ToolTipRole)), reason);
    EXPECT_TRUE(showsErrorLine(0));
    EXPECT_FALSE(showsErrorLine(1));
    EXPECT_FALSE(cell(1, M::TextColumn, Qt::ToolTipRole).isValid());

    // Its ssh fails at once, so it spends nearly all its time in the pause before the next run:
    // the button still offers to stop it, and a click does.
    ASSERT_TRUE(QTest::qWaitForWindowExposed(m_controller->window()));
    EXPECT_EQ(cell(0, M::ButtonColumn, M::ImageNameRole), "stop_n");
    click(0, M::ButtonColumn);
    // The click may meet a run whose ssh is still exiting; the row follows once it has.
    EXPECT_TRUE(waitUntil([&] { return cell(0, M::ButtonColumn, M::ImageNameRole) == "start_n"; }));
    EXPECT_TRUE(waitUntil([&] { return !at(0)->run().isActive(); }, 3000));
    const size_t runs = pids("ssh").size();
    QTest::qWait(testsupport::pastTheRetryPauseMs());
    EXPECT_EQ(pids("ssh").size(), runs);
    EXPECT_EQ(cell(0, M::ButtonColumn, M::ImageNameRole), "start_n");

    // Once a run connects the reason is gone from the row.
    at(0)->run().start();
    SshCommand::setSshProgram(script("ssh2", kConnectingSsh));
    ASSERT_TRUE(waitUntil([&] { return cell(0, M::IconColumn, M::ImageNameRole) == "onState"; }, 8000));
    EXPECT_EQ(cell(0, M::TextColumn, M::ErrorRole), QString());
    EXPECT_FALSE(cell(0, M::TextColumn, Qt::ToolTipRole).isValid());
    EXPECT_TRUE(waitUntil([&] { return !showsErrorLine(0); }));
}

// A server's banner or any line of ssh is text: markup in it is shown, never rendered.
TEST_F(TunnelsWindowTest, ReasonWithMarkupShowsAsText) {
    const QString reason = R"(<h2 style="color:red">Your session expired: log in at <a href="x">here</a></h2>)";
    SshCommand::setSshProgram(script("ssh", "printf '%s\\n' '" + reason.toStdString() + "' >&2\nexit 255"));
    store({{"tunnels", Value::List{tunnel("Banner", true)}}});
    launch();
    ASSERT_TRUE(waitUntil([&] { return cell(0, M::TextColumn, M::ErrorRole) == reason; }));
    EXPECT_EQ(tooltipShows(cell(0, M::TextColumn, Qt::ToolTipRole)), reason);
    EXPECT_TRUE(waitUntil([&] { return tooltipShows(m_controller->trayIcon()->toolTip()).contains(reason); }));
}

TEST_F(TunnelsWindowTest, ButtonClickTogglesAndImagesFollow) {
    SshCommand::setSshProgram(script("ssh", kConnectingSsh));
    store({{"tunnels", Value::List{tunnel("A"), tunnel("B")}}});
    launch();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(m_controller->window()));

    click(1, M::ButtonColumn);
    ASSERT_TRUE(waitUntil([&] { return cell(1, M::ButtonColumn, M::ImageNameRole) == "stop_n"; }));
    EXPECT_TRUE(waitUntil([&] { return at(1)->run().isRunning(); }));
    EXPECT_FALSE(at(0)->run().isRunning());
    ASSERT_TRUE(waitUntil([&] { return pids("ssh").size() == 1; }));
    const int pid = pids("ssh")[0];

    click(1, M::ButtonColumn);
    ASSERT_TRUE(waitUntil([&] { return cell(1, M::ButtonColumn, M::ImageNameRole) == "start_n"; }));
    EXPECT_TRUE(waitUntil([&] { return !at(1)->run().isRunning(); }));
    EXPECT_EQ(cell(1, M::IconColumn, M::ImageNameRole), "offState");
    EXPECT_TRUE(waitUntil([&] { return !isAlive(pid); }));

    // Pressed, then released away from the button: it springs back and nothing starts.
    QTest::mousePress(table()->viewport(), Qt::LeftButton, {}, cellCenter(0, M::ButtonColumn));
    QTest::mouseRelease(table()->viewport(), Qt::LeftButton, {}, cellCenter(0, M::TextColumn));
    QTest::qWait(300);
    EXPECT_FALSE(at(0)->run().isRunning());
    EXPECT_FALSE(at(0)->run().isActive());
}

TEST_F(TunnelsWindowTest, DoubleClickStartsButNeverStops) {
    SshCommand::setSshProgram(script("ssh", kConnectingSsh));
    store({{"tunnels", Value::List{tunnel("A", true), tunnel("B")}}});
    launch();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(m_controller->window()));
    ASSERT_TRUE(waitUntil([&] { return cell(0, M::IconColumn, M::ImageNameRole) == "onState"; }));

    doubleClick(0, M::TextColumn);
    QTest::qWait(400);
    EXPECT_TRUE(table()->selectionModel()->isRowSelected(0, {}));
    EXPECT_TRUE(at(0)->run().isRunning());
    EXPECT_EQ(at(0)->run().code(), 2);
    EXPECT_EQ(pids("ssh").size(), 1u);  // neither stopped nor started again
    EXPECT_FALSE(at(1)->run().isRunning());

    doubleClick(1, M::TextColumn);
    EXPECT_TRUE(waitUntil([&] { return cell(1, M::IconColumn, M::ImageNameRole) == "onState"; }));
    EXPECT_EQ(pids("ssh").size(), 2u);

    // No row under the pointer: nothing to start.
    at(1)->run().stop();
    ASSERT_TRUE(waitUntil([&] { return !at(1)->run().isActive(); }));
    table()->clearSelection();
    m_controller->doubleAction(QModelIndex());
    QTest::qWait(200);
    EXPECT_FALSE(at(1)->run().isActive());

    // A double click on B's button while A is selected: B's button acts once, A is left alone,
    // and the button springs back.
    at(0)->run().stop();
    ASSERT_TRUE(waitUntil([&] { return !at(0)->run().isActive(); }));
    table()->selectRow(0);
    doubleClick(1, M::ButtonColumn);
    EXPECT_TRUE(waitUntil([&] { return cell(1, M::IconColumn, M::ImageNameRole) == "onState"; }));
    QTest::qWait(200);
    EXPECT_FALSE(at(0)->run().isActive());
    EXPECT_TRUE(at(1)->run().isRunning());
    auto* delegate = static_cast<TunnelsItemDelegate*>(table()->itemDelegate());
    EXPECT_FALSE(delegate->isPressed());
    // Pressed, then released outside the window: nothing fires, nothing stays drawn pressed.
    QTest::mousePress(table()->viewport(), Qt::LeftButton, {}, cellCenter(1, M::ButtonColumn));
    EXPECT_TRUE(delegate->isPressed());
    QTest::mouseRelease(table()->viewport(), Qt::LeftButton, {}, QPoint(-50, -50));
    EXPECT_FALSE(delegate->isPressed());
    EXPECT_TRUE(at(1)->run().isRunning());
}

TEST_F(TunnelsWindowTest, StartUpShowsWindowUnlessStoredOtherwise) {
    // First launch: no "openPalette" stored. The auto-connect tunnel is connecting before the
    // window is first shown, and the show/hide item says it will hide.
    SshCommand::setSshProgram(script("ssh", kConnectingSsh));
    store({{"tunnels", Value::List{tunnel("Auto", true)}}});
    launch(false);
    struct ShowProbe : QObject {
        ZandrelApplication* app;
        bool sawShow = false, tunnelStartedFirst = false;
        bool eventFilter(QObject*, QEvent* e) override {
            if (e->type() == QEvent::Show && !sawShow) {
                sawShow = true;
                tunnelStartedFirst = app->tunnelsLoaded() && app->tunnels().at(0)->run().isActive();
            }
            return false;
        }
    } probe;
    probe.app = m_app.get();
    m_controller->window()->installEventFilter(&probe);
    EXPECT_FALSE(m_controller->window()->isVisible());  // the layout loads hidden
    EXPECT_TRUE(table()->selectionActive());            // as made from the layout
    m_controller->setUpWindowAndTunnels();
    EXPECT_TRUE(probe.sawShow);
    EXPECT_TRUE(probe.tunnelStartedFirst);
    EXPECT_TRUE(m_controller->window()->isVisible());
    EXPECT_EQ(m_controller->showHideItem()->text(), text("SHMENU_HIDE"));
    EXPECT_EQ(m_controller->showHideItem()->text(), "Hide Tunnels");
    // The tray menu holds the same items as the window's menu.
    const auto trayItems = m_controller->trayIcon()->menu()->actions();
    EXPECT_TRUE(trayItems.contains(m_controller->showHideItem()));
    EXPECT_TRUE(trayItems.contains(m_controller->preferencesItem()));
    EXPECT_TRUE(trayItems.contains(m_controller->aboutItem()));
    EXPECT_TRUE(trayItems.contains(m_controller->quitItem()));
    EXPECT_EQ(m_controller->preferencesItem()->text(), "&Preferences…");

    // The window's close control hides it; the item still says hide, and choosing it shows.
    m_controller->window()->close();
    EXPECT_FALSE(m_controller->window()->isVisible());
    EXPECT_EQ(m_controller->showHideItem()->text(), text("SHMENU_HIDE"));
    m_controller->showHideItem()->trigger();
    EXPECT_TRUE(m_controller->window()->isVisible());
    m_controller->showHideItem()->trigger();
    EXPECT_FALSE(m_controller->window()->isVisible());
    EXPECT_EQ(m_controller->showHideItem()->text(), text("SHMENU_SHOW"));
}

TEST_F(TunnelsWindowTest, StoredNoStartsHiddenAndTheItemShowsIt) {
    store({{"openPalette", false}, {"NSWindow Frame tunnelsWindow", "40 50 333 222"}});
    launch();
    EXPECT_FALSE(m_controller->window()->isVisible());
    EXPECT_EQ(m_controller->showHideItem()->text(), text("SHMENU_SHOW"));
    EXPECT_EQ(table()->model()->rowCount(), 0);
    m_controller->showHideItem()->trigger();
    EXPECT_TRUE(m_controller->window()->isVisible());
    EXPECT_EQ(m_controller->showHideItem()->text(), text("SHMENU_HIDE"));
    // The frame saved at the last quit, under the key older versions used; a quit moves it.
    EXPECT_EQ(m_controller->window()->geometry(), QRect(40, 50, 333, 222));
    quitThroughMenu();
    EXPECT_EQ(stored("windowFrame tunnelsWindow").text(), "40 50 333 222");
    EXPECT_TRUE(stored("NSWindow Frame tunnelsWindow").isNone());
}

TEST_F(TunnelsWindowTest, QuitWithWindowHiddenStoresNoAndStopsEveryTunnel) {
    SshCommand::setSshProgram(script("ssh", kConnectingSsh));
    store({{"tunnels", Value::List{tunnel("A", true), tunnel("Idle"), tunnel("B", true)}}, {"openPalette", true}});
    launch();
    ASSERT_TRUE(waitUntil([&] { return at(0)->run().code() == 2 && at(2)->run().code() == 2; }));
    const auto running = pids("ssh");
    ASSERT_EQ(running.size(), 2u);
    m_controller->window()->setGeometry(10, 20, 310, 210);
    m_controller->showHideItem()->trigger();
    ASSERT_FALSE(m_controller->window()->isVisible());

    quitThroughMenu();
    EXPECT_EQ(stored("openPalette").dump(), "false");
    EXPECT_EQ(stored("windowFrame tunnelsWindow").text(), "10 20 310 210");
    for (const auto& t : m_app->tunnels().tunnels()) {
        EXPECT_FALSE(t->run().isRunning());
        EXPECT_FALSE(t->run().isActive());  // the quit waited for them
    }
    for (int pid : running) EXPECT_TRUE(waitUntil([&] { return !isAlive(pid); }, 2000)) << pid;
    // The tunnel list itself is not written at quit.
    EXPECT_EQ(stored("tunnels").list().size(), 3u);
    QTest::qWait(testsupport::pastTheRetryPauseMs());  // past the restart pause: nothing started again
    EXPECT_EQ(pids("ssh").size(), 2u);
}

TEST_F(TunnelsWindowTest, QuitWithEmptyListStillStoresFrameAndVisibility) {
    launch();
    quitThroughMenu();
    EXPECT_EQ(stored("openPalette").dump(), "true");
    EXPECT_TRUE(stored("windowFrame tunnelsWindow").isText());
}

TEST_F(TunnelsWindowTest, BurstOfNotificationsCostsAtMostOneRedrawPerFrame) {
    store({{"tunnels", Value::List{tunnel("A")}}});
    launch();
    const quint64 before = m_controller->redrawCount();
    std::atomic<bool> done{false};
    std::atomic<long> posted{0};
    const int dummy = 0;
    QElapsedTimer clock;
    clock.start();
    std::thread poster([&] {
        while (clock.elapsed() < 400) {
            NotificationCenter::defaultCenter().post(Tunnel::kStatusChanged, &dummy);
            ++posted;
        }
        done = true;
    });
    waitUntil([&] { return done.load(); }, 5000);
    poster.join();
    QTest::qWait(50);
    const qint64 elapsed = clock.elapsed();
    const quint64 redraws = m_controller->redrawCount() - before;
    EXPECT_GT(posted.load(), 10000);
    EXPECT_GE(redraws, 1u);
    EXPECT_LE(redraws, static_cast<quint64>(elapsed * 1'000'000 / TunnelsWindowController::kFrameNs + 2))
        << posted.load() << " posts";
}

TEST_F(TunnelsWindowTest, PreferenceChangesRedrawTheRows) {
    store({{"tunnels", Value::List{tunnel("Old name")}}});
    launch();
    // An edit of the live list, as the preferences editor makes it, then its notification.
    at(0)->setValueForKey(Value("New name"), "connName");
    m_app->tunnels().append(Tunnel::create("Added"));
    const int editor = 0;
    NotificationCenter::defaultCenter().post(PreferencesController::kPrefChanged, &editor);
    ASSERT_TRUE(waitUntil([&] { return table()->model()->rowCount() == 2; }));
    EXPECT_EQ(cell(0, M::TextColumn, M::NameRole), "New name");
    EXPECT_EQ(cell(1, M::TextColumn, M::NameRole), "Added");
    m_app->tunnels().remove(0);
    NotificationCenter::defaultCenter().post(PreferencesController::kPrefChanged, &editor);
    ASSERT_TRUE(waitUntil([&] { return table()->model()->rowCount() == 1; }));
    EXPECT_EQ(cell(0, M::TextColumn, M::NameRole), "Added");
    m_app->tunnels().append(Tunnel::create("From D-Bus"));  // the list's own notice is enough
    ASSERT_TRUE(waitUntil([&] { return table()->model()->rowCount() == 2; }));
}

TEST_F(TunnelsWindowTest, PreferencesItemOpensOneEditorBesideTheWindowOnTheSameList) {
    launch();
    auto preferences = [] {
        int n = 0;
        QDialog* found = nullptr;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* d = qobject_cast<QDialog*>(w); d && d->isVisible() && d->findChild<QPushButton*>("addHostButton"))
                found = d, ++n;
        return std::make_pair(found, n);
    };
    m_controller->preferencesItem()->trigger();  // returns at once: nothing waits for the editor
    m_controller->preferencesItem()->trigger();  // the same window again, in front
    auto [editor, count] = preferences();
    ASSERT_TRUE(editor);
    EXPECT_EQ(count, 1);
    EXPECT_FALSE(editor->isModal());
    editor->findChild<QPushButton*>("addHostButton")->click();  // saved as it is made
    EXPECT_EQ(m_app->tunnels().size(), 1u);
    EXPECT_EQ(stored("tunnels").list().size(), 1u);
    editor->close();
    ASSERT_TRUE(waitUntil([&] { return table()->model()->rowCount() == 1 && !preferences().first; }));
}

// ---- the stripes ----

class StripesTest : public TunnelsWindowTest {
protected:
    static constexpr QRgb kBlue = 0xffedf3fe;  // 0.929, 0.953, 0.996
    static constexpr QRgb kWhite = 0xffffffff;
    QRgb at(const QImage& image, int row, int dy = 2) const {
        return image.pixel(2, row * table()->rowHeight() + dy) | 0xff000000;
    }
};

TEST_F(StripesTest, RowsAlternateAndGoOnBelowTheLastRow) {
    store({{"tunnels", Value::List{tunnel("A"), tunnel("B")}}});
    launch();
    m_controller->window()->resize(300, 400);
    const QImage image = table()->viewport()->grab().toImage();
    const int rows = image.height() / table()->rowHeight();
    ASSERT_GE(rows, 5);
    EXPECT_EQ(TunnelsTableView::evenRowColor().rgb(), kBlue);
    EXPECT_EQ(at(image, 0), kBlue);
    EXPECT_EQ(at(image, 1), kWhite);
    EXPECT_EQ(at(image, 2), kBlue);  // below the last row
    EXPECT_EQ(at(image, 3), kWhite);
    EXPECT_EQ(at(image, 4), kBlue);
    // With no vertical spacing the bands tile: the last line of row 0 and the first of row 1.
    EXPECT_EQ(at(image, 0, table()->rowHeight() - 1), kBlue);
    EXPECT_EQ(at(image, 1, 0), kWhite);
    // Across the whole width, behind the cells.
    EXPECT_EQ(image.pixel(image.width() - 1, 1) | 0xff000000, kBlue);
}

TEST_F(StripesTest, PartialRedrawPaintsOnlyTheDamagedAreaWithItsRowsColours) {
    launch();
    m_controller->window()->resize(300, 400);
    const int h = table()->rowHeight();
    QImage image(table()->viewport()->size(), QImage::Format_ARGB32);
    image.fill(Qt::magenta);
    {
        QPainter p(&image);
        // Its top inside row 1, its bottom inside row 2.
        table()->paintStripes(p, QRect(10, h + 5, 50, h));
    }
    const QRgb magenta = QColor(Qt::magenta).rgb();
    EXPECT_EQ(image.pixel(20, h + 5), kWhite);
    EXPECT_EQ(image.pixel(20, 2 * h + 2), kBlue);
    EXPECT_EQ(image.pixel(20, h + 4), magenta);
    EXPECT_EQ(image.pixel(9, h + 10), magenta);
    EXPECT_EQ(image.pixel(60, h + 10), magenta);
    EXPECT_EQ(image.pixel(20, 2 * h + 5), magenta);

    // A vertical spacing leaves the strips between the bands to the background.
    table()->setIntercellSpacing(QSize(0, 4));
    // The rows keep their height; the pitch grows by the spacing.
    const int stride = table()->rowHeight() + 4;
    EXPECT_EQ(stride, h + 4);
    image.fill(Qt::magenta);
    {
        QPainter p(&image);
        table()->paintStripes(p, image.rect());
    }
    EXPECT_EQ(image.pixel(5, 0), kBlue);
    EXPECT_EQ(image.pixel(5, stride - 4), magenta);
    EXPECT_EQ(image.pixel(5, stride), kWhite);
    EXPECT_EQ(image.pixel(5, 2 * stride + 1), kBlue);
}

TEST_F(StripesTest, ScrolledTableKeepsColoursOnTheirRows) {
    std::vector<Value> many;
    for (int i = 0; i < 40; ++i) {
        const std::string number = std::to_string(i);  // named: GCC 12 -O3 misreports "T" + a temporary
        many.push_back(tunnel("T" + number));
    }
    store({{"tunnels", Value::List(many)}});
    launch();
    m_controller->window()->resize(300, 300);
    table()->scrollTo(table()->model()->index(1, 0), QAbstractItemView::PositionAtTop);
    ASSERT_EQ(table()->rowAt(2), 1);
    const QImage image = table()->viewport()->grab().toImage();
    EXPECT_EQ(at(image, 0), kWhite);  // row 1 at the top
    EXPECT_EQ(at(image, 1), kBlue);
}

TEST_F(StripesTest, SelectionDisplayCanBeSwitchedOff) {
    store({{"tunnels", Value::List{tunnel("A"), tunnel("B")}}});
    launch();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(m_controller->window()));
    // Made in code it starts off; start-up switches the layout's table off.
    TunnelsTableView made;
    EXPECT_FALSE(made.selectionActive());
    EXPECT_FALSE(table()->selectionActive());

    const QImage unselected = table()->viewport()->grab().toImage();
    table()->selectRow(0);
    ASSERT_TRUE(table()->selectionModel()->isRowSelected(0, {}));
    const QImage selectedOff = table()->viewport()->grab().toImage();
    EXPECT_EQ(selectedOff, unselected);

    table()->setSelectionActive(true);
    const QImage selectedOn = table()->viewport()->grab().toImage();
    EXPECT_NE(selectedOn, unselected);
    EXPECT_NE(at(selectedOn, 0), kBlue);  // the standard highlight over the stripe
    EXPECT_EQ(at(selectedOn, 1), kWhite);
}

}  // namespace
