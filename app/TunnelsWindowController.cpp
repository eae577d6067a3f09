#include "TunnelsWindowController.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QDBusConnection>
#include <QGuiApplication>
#include <QHeaderView>
#include <QMainWindow>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QStringList>
#include <QTextDocument>
#include <QVBoxLayout>
#include <unordered_set>

#include "Bundle.h"
#include "ChangeHop.h"
#include "DropNotifier.h"
#include "EngineTexts.h"
#include "Log.h"
#include "PasswordKeyring.h"
#include "PreferencesController.h"
#include "TrayIcon.h"
#include "TunnelDetailsWindow.h"
#include "TunnelGroups.h"
#include "TunnelLogWindow.h"
#include "TunnelsItemDelegate.h"
#include "TunnelsTableModel.h"
#include "TunnelsTableView.h"
#include "WindowingLimits.h"
#include "ZandrelApplication.h"
#include "ui_MainMenu.h"

namespace {
QString localized(const char* key) { return EngineTexts::translated(Bundle::main().localizedString(key)); }

// A tunnel's name as a menu item's text: its "&" is text, not a mnemonic.
QString menuText(const std::string& name) { return QString::fromStdString(name).replace(u'&', QStringLiteral("&&")); }

// One window of its kind per tunnel: made once, then brought forward.
template <class Window>
Window* raiseWindowOf(std::map<std::weak_ptr<const Tunnel>, QPointer<Window>, std::owner_less<>>& windows,
                      const TunnelPtr& tunnel, QWidget* parent) {
    std::erase_if(windows, [](const auto& entry) { return entry.first.expired() || !entry.second; });
    QPointer<Window>& window = windows[tunnel];
    if (!window) window = new Window(tunnel, parent);
    window->show();
    window->raise();
    window->activateWindow();
    return window;
}
}  // namespace

TunnelsWindowController::TunnelsWindowController(ZandrelApplication& app, QObject* parent)
    : QObject(parent),
      m_app(app),
      m_ui(std::make_unique<Ui::MainMenu>()),
      m_window(new QMainWindow),
      m_model(new TunnelsTableModel(this)),
      m_delegate(new TunnelsItemDelegate(this)),
      m_hop(std::make_shared<ChangeHop>()) {
    m_ui->setupUi(m_window);
    m_ui->tunnelsTable->setModel(m_model);
    m_frameTimer.setSingleShot(true);
    m_frameTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_frameTimer, &QTimer::timeout, this, &TunnelsWindowController::redraw);

    m_countdown.setInterval(1000);
    // The figures in the rows' tooltips age; nobody reads them while the window is hidden.
    m_reportTimer.setInterval(kReportRefreshMs);
    connect(&m_reportTimer, &QTimer::timeout, this, [this] {
        if (!m_window->isVisible() || m_window->isMinimized()) return;
        m_model->refreshReports();
        tunnelsTable()->viewport()->update();
    });
    m_reportTimer.start();

    connect(&m_countdown, &QTimer::timeout, this, [this] {
        if (m_tunnels)
            for (const TunnelPtr& t : m_tunnels->tunnels())
                if (t->run().state() == TunnelState::RetryWaiting) markChanged(t.get());
        redraw();
    });

    connect(showHideItem(), &QAction::triggered, this, &TunnelsWindowController::showHide);
    connect(reconnectAllItem(), &QAction::triggered, this, &TunnelsWindowController::reconnectAll);
    connect(preferencesItem(), &QAction::triggered, this, &TunnelsWindowController::openPreferences);
    connect(aboutItem(), &QAction::triggered, this, [this] { m_app.orderFrontStandardAboutPanel(); });
    connect(quitItem(), &QAction::triggered, &m_app, &ZandrelApplication::terminate);
    // Ctrl+Q and Ctrl+, from Preferences, the details and the log windows too.
    quitItem()->setShortcutContext(Qt::ApplicationShortcut);
    preferencesItem()->setShortcutContext(Qt::ApplicationShortcut);
    connect(&m_app, &QCoreApplication::aboutToQuit, this, &TunnelsWindowController::applicationWillTerminate);

    m_tray = new TrayIcon(
        {showHideItem(), reconnectAllItem(), preferencesItem(), nullptr, aboutItem(), nullptr, quitItem()}, this);
    connect(m_tray, &TrayIcon::activated, this, &TunnelsWindowController::showHide);
    connect(addTunnelButton(), &QPushButton::clicked, this, &TunnelsWindowController::addTunnel);
    // Over the table's stripes, in the middle of its empty area.
    emptyHint()->hide();
    auto* hintLayout = new QVBoxLayout(tunnelsTable()->viewport());
    hintLayout->addWidget(emptyHint());
    m_window->installEventFilter(this);
}

TunnelsWindowController::~TunnelsWindowController() {
    for (auto token : m_observers) NotificationCenter::defaultCenter().removeObserver(token);
    m_hop->detach();
    m_preferences.reset();  // its window is a child of the tunnels window
    delete m_tray;
    m_tray = nullptr;
    qDeleteAll(m_groupMenus);
    delete m_window;
}

TunnelsTableView* TunnelsWindowController::tunnelsTable() const { return m_ui->tunnelsTable; }
QAction* TunnelsWindowController::showHideItem() const { return m_ui->shMenu; }
QAction* TunnelsWindowController::preferencesItem() const { return m_ui->actionPreferences; }
QAction* TunnelsWindowController::reconnectAllItem() const { return m_ui->actionReconnectAll; }

void TunnelsWindowController::markChanged(const void* tunnel) { m_hop->mark(tunnel); }
QAction* TunnelsWindowController::aboutItem() const { return m_ui->actionAbout; }
QAction* TunnelsWindowController::quitItem() const { return m_ui->actionQuit; }

int TunnelsWindowController::numberOfTunnels() const { return m_tunnels ? static_cast<int>(m_tunnels->size()) : 0; }

std::string TunnelsWindowController::frameKey(const std::string& name) { return "windowFrame " + name; }

// Versions before 0.2 kept the frame under this key; it is read until the first save moves it.
std::string TunnelsWindowController::legacyFrameKey(const std::string& name) { return "NSWindow Frame " + name; }

void TunnelsWindowController::setUpWindowAndTunnels() {
    // The cells: one delegate draws the state image, the text and the image button.
    TunnelsTableView* table = tunnelsTable();
    table->setItemDelegate(m_delegate);
    table->setSelectionActive(false);
    table->setRowHeight(TunnelsItemDelegate::rowHeight(table->font()));
    QHeaderView* header = table->horizontalHeader();
    header->setMinimumSectionSize(1);
    header->setSectionResizeMode(TunnelsTableModel::IconColumn, QHeaderView::Fixed);
    header->setSectionResizeMode(TunnelsTableModel::TextColumn, QHeaderView::Stretch);
    header->setSectionResizeMode(TunnelsTableModel::ButtonColumn, QHeaderView::Fixed);
    header->resizeSection(TunnelsTableModel::IconColumn, 36);
    header->resizeSection(TunnelsTableModel::ButtonColumn, 36);
    connect(table, &QAbstractItemView::doubleClicked, this, [this, table](const QModelIndex& index) {
        const bool onName = index.column() == TunnelsTableModel::TextColumn &&
                            TunnelsItemDelegate::nameRect(table, index).contains(table->doubleClickPos());
        if (TunnelPtr t = m_model->tunnel(index.row()); t && onName)
            showDetails(t);
        else if (const QString group = m_model->groupAt(index.row());
                 !group.isEmpty() && index.column() == TunnelsTableModel::TextColumn)
            fold(group, !m_model->isFolded(group));
        else
            doubleAction(index);
    });
    connect(table, &TunnelsTableView::mouseReleased, m_delegate, &TunnelsItemDelegate::releasePressed);
    connect(table, &TunnelsTableView::rowMenuRequested, this, [this, table](int row, QPoint pos) {
        // The Menu key may arrive twice (its key and its context menu event): one menu.
        if (m_openRowMenu && m_openRowMenu->isVisible()) return;
        m_openRowMenu = rowMenu(row);
        m_openRowMenu->popup(table->viewport()->mapToGlobal(pos));
    });
    connect(table, &TunnelsTableView::rowToggleRequested, this, [this](int row) {
        if (TunnelPtr t = m_model->tunnel(row))
            toggle(t);
        else if (const QString group = m_model->groupAt(row); !group.isEmpty())
            fold(group, !m_model->isFolded(group));
    });
    connect(table, &TunnelsTableView::rowFoldRequested, this, [this](int row, bool fold) {
        if (const QString group = m_model->groupAt(row); !group.isEmpty()) this->fold(group, fold);
    });
    connect(m_model, &TunnelsTableModel::foldedGroupsChanged, this, [this] {
        Value::List folded;
        for (const QString& g : m_model->foldedGroups()) folded.emplace_back(g.toStdString());
        if (!m_app.defaults().setObjectForKey(Value(folded), kFoldedGroups))
            Log::line("Which groups are folded was not saved.");
        redraw();
    });
    table->setAccessibleName(tr("Tunnels"));
    table->setAccessibleDescription(
        tr("Space or Enter starts or stops the selected tunnel, or folds a group; the Menu key opens its menu."));
    addTunnelButton()->setAccessibleName(tr("Add a tunnel"));

    // The first request for the list: the tunnels are made and the auto-connect ones start.
    m_tunnels = &m_app.tunnels();
    QStringList folded;
    for (const Value& g : m_app.defaults().objectForKey(kFoldedGroups).list())
        folded << QString::fromStdString(g.text());
    m_model->setFoldedGroups(folded);
    m_model->setTunnels(m_tunnels);
    showHintIfEmpty();
    updateTunnelItems();
    announceChanges({});  // what screen readers are told of next is measured from here

    // Status notices arrive on the engine's loop thread; a change of the list or of the preferences
    // only asks for a redraw.
    m_hop->attach(this, [this] { scheduleRedraw(); });
    auto& center = NotificationCenter::defaultCenter();
    m_observers.push_back(center.addObserver(Tunnel::kStatusChanged, nullptr,
                                             [hop = m_hop](const Notification& n) { hop->notify(n.object); }));
    m_observers.push_back(center.addObserver(PreferencesController::kPrefChanged, nullptr,
                                             [hop = m_hop](const Notification&) { hop->notify(nullptr); }));
    m_observers.push_back(center.addObserver(TunnelStore::kListChanged, m_tunnels,
                                             [hop = m_hop](const Notification&) { hop->notify(nullptr); }));

    m_app.core().watchSystemEvents();
    m_notifier = new DropNotifier(
        QDBusConnection::sessionBus(),
        [this] {
            const Value v = m_app.defaults().objectForKey(PreferencesController::kNotifyDrops);
            return v.isNone() || v.boolValue();
        },
        this);

    fitTenRows();
    restoreFrame();

    const Value open = m_app.defaults().objectForKey("openPalette");
    if (open.isNone() || open.boolValue()) {
        m_window->show();
        m_window->raise();
        m_window->activateWindow();
        focusTunnels();
        showHideItem()->setText(localized("SHMENU_HIDE"));
    } else {
        showHideItem()->setText(localized("SHMENU_SHOW"));
    }

    showStoreNotice();
    const bool trayShown = m_tray->show();
    updateTrayState();
    if (!trayShown && !m_window->isVisible())
        Log::line(
            "The tunnels window starts hidden and the desktop has no notification area: "
            "start zandrel again to show it.");
    m_sinceRedraw.start();
}

void TunnelsWindowController::toggle(const TunnelPtr& t) {
    t->run().isWanted() ? t->run().stop() : t->run().start();
    redraw();
}

void TunnelsWindowController::focusTunnels() {
    keepCurrentRow(nullptr, 0);
    if (m_model->rowCount() > 0)
        tunnelsTable()->setFocus(Qt::ActiveWindowFocusReason);
    else
        addTunnelButton()->setFocus(Qt::ActiveWindowFocusReason);
}

void TunnelsWindowController::keepCurrentRow(const Tunnel* was, int wasRow) {
    TunnelsTableView* table = tunnelsTable();
    if (table->currentIndex().isValid() || m_model->rowCount() == 0) return;
    // After a reset: the same tunnel where it went, else the row that took its place.
    int row = was ? m_model->rowOf(was) : -1;
    if (row < 0 || row >= m_model->rowCount()) row = std::clamp(wasRow, 0, m_model->rowCount() - 1);
    table->selectionModel()->setCurrentIndex(m_model->index(row, TunnelsTableModel::TextColumn),
                                             QItemSelectionModel::NoUpdate);
}

void TunnelsWindowController::doubleAction(const QModelIndex& index) {
    if (!index.isValid() || index.column() == TunnelsTableModel::ButtonColumn) return;
    if (TunnelPtr t = m_model->tunnel(index.row())) t->run().start();
}

void TunnelsWindowController::openPreferences() {
    runPreferences([](PreferencesController&) {});
}

void TunnelsWindowController::editTunnel(int row) {
    runPreferences([row](PreferencesController& controller) {
        // The list's own selection, as a click would make it, so the form follows.
        auto* list = controller.window()->findChild<QAbstractItemView*>(QStringLiteral("tunnelsList"));
        if (!list || row < 0 || row >= list->model()->rowCount()) return;
        list->selectionModel()->setCurrentIndex(list->model()->index(row, 0),
                                                QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    });
}

void TunnelsWindowController::addTunnel() {
    runPreferences([](PreferencesController& controller) { controller.addHost(); });
}

void TunnelsWindowController::runPreferences(const std::function<void(PreferencesController&)>& prepare) {
    // One window, not modal: a question from a tunnel meanwhile can be answered at once.
    if (!m_preferences) {
        m_preferences = std::make_unique<PreferencesController>(m_tunnels ? *m_tunnels : m_app.tunnels(),
                                                                m_app.defaults(), m_window);
        PasswordKeyring& keyring = m_app.keyring();
        m_preferences->setPasswordHooks(
            {[&keyring](const Tunnel& t) { return keyring.hasAny(PasswordKeyring::accountOf(t)); },
             [&keyring](const Tunnel& t) { keyring.forget(PasswordKeyring::accountOf(t)); },
             [&keyring](const Tunnel& gone, const TunnelList& remaining) { keyring.forgetUnshared(gone, remaining); }});
        connect(m_preferences->window(), &QDialog::finished, this, [this] {
            // Not within the window's own signal.
            QTimer::singleShot(0, this, [this] {
                m_preferences.reset();
                redraw();
            });
        });
    }
    prepare(*m_preferences);
    m_preferences->show();
}

void TunnelsWindowController::closePreferences() {
    if (m_preferences) m_preferences->window()->close();
    m_preferences.reset();
}

QWidget* TunnelsWindowController::emptyHint() const { return m_ui->emptyHint; }
QPushButton* TunnelsWindowController::addTunnelButton() const { return m_ui->addTunnelButton; }
QMessageBox* TunnelsWindowController::storeNotice() const { return m_storeNotice; }

QMenu* TunnelsWindowController::rowMenu(int row) {
    auto* menu = new QMenu(m_window);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    if (const QString group = m_model->groupAt(row); !group.isEmpty()) {
        addGroupItems(menu, group);
        menu->addSeparator();
        menu->addAction(m_model->isFolded(group) ? tr("&Unfold") : tr("&Fold"), menu,
                        [this, group] { fold(group, !m_model->isFolded(group)); });
        return menu;
    }
    const TunnelPtr t = m_model->tunnel(row);
    if (!t) return menu;
    const std::weak_ptr<Tunnel> weak = t;
    auto act = [menu, weak](const QString& text, auto&& action) {
        return menu->addAction(text, menu, [weak, action] {
            if (TunnelPtr t = weak.lock()) action(t);
        });
    };
    const bool wanted = t->run().isWanted();
    act(wanted ? tr("S&top") : tr("&Start"), [this, wanted](const TunnelPtr& t) {
        if (t->run().isWanted() == wanted) toggle(t);
    });
    act(tr("&Reconnect"), [](const TunnelPtr& t) { t->run().reconnect(); })->setEnabled(wanted);
    menu->addSeparator();
    act(tr("&Edit…"), [this](const TunnelPtr& t) {
        // The row may have moved while the menu was open.
        if (const int row = m_tunnels->indexOf(t.get()); row >= 0) editTunnel(row);
    });
    act(tr("&Details…"), [this](const TunnelPtr& t) { showDetails(t); });
    act(tr("Show &Log"), [this](const TunnelPtr& t) { showLog(t); });
    act(tr("&Copy Command"), [](const TunnelPtr& t) {
        QApplication::clipboard()->setText(
            QString::fromStdString(SshCommand::displayCommand(t->command().arguments())));
    });
    return menu;
}

TunnelLogWindow* TunnelsWindowController::showLog(const TunnelPtr& tunnel) {
    return raiseWindowOf(m_logWindows, tunnel, m_window);
}

TunnelDetailsWindow* TunnelsWindowController::showDetails(const TunnelPtr& tunnel) {
    return raiseWindowOf(m_detailsWindows, tunnel, m_window);
}

void TunnelsWindowController::updateDetailsWindows(const std::unordered_set<const void*>& changed) {
    for (auto& [weak, window] : m_detailsWindows) {
        if (!window) continue;
        const auto t = weak.lock();
        if (!t || !m_tunnels || m_tunnels->indexOf(t.get()) < 0)
            window->close();
        else if (changed.count(t.get()))
            window->statusChanged();
        else
            window->followName();
    }
}

void TunnelsWindowController::fold(const QString& group, bool folded) {
    m_model->setFolded(group, folded);
    // The keyboard stays on the section it folded.
    if (const int row = m_model->sectionRow(group); row >= 0)
        tunnelsTable()->selectionModel()->setCurrentIndex(m_model->index(row, TunnelsTableModel::TextColumn),
                                                          QItemSelectionModel::NoUpdate);
}

void TunnelsWindowController::addGroupItems(QMenu* menu, const QString& group) {
    auto each = [this, group](bool start) {
        if (!m_tunnels) return;
        for (const TunnelPtr& t : TunnelGroups::members(m_tunnels->tunnels(), group.toStdString()))
            start ? t->run().start() : t->run().stop();
        redraw();
    };
    menu->addAction(tr("&Start All"), this, [each] { each(true); });
    menu->addAction(tr("S&top All"), this, [each] { each(false); });
}

void TunnelsWindowController::updateTunnelItems() {
    const TunnelList list = m_tunnels ? TunnelGroups::shownOrder(m_tunnels->tunnels()) : TunnelList{};
    // The menu is made anew when a name or a group changed; else only its checks and counts.
    QStringList shape;
    for (const TunnelPtr& t : list)
        shape << QString::fromStdString(TunnelGroups::groupOf(*t)) + u'\n' + QString::fromStdString(t->connName());
    if (shape != m_trayShape) {
        m_trayShape = shape;
        qDeleteAll(m_groupMenus);
        m_groupMenus.clear();
        qDeleteAll(m_tunnelItems);
        m_tunnelItems.clear();
        QList<QAction*> items;
        for (const TunnelPtr& t : list) {
            auto* item = new QAction(menuText(t->connName()), this);
            item->setCheckable(true);
            const std::weak_ptr<Tunnel> weak = t;
            connect(item, &QAction::triggered, this, [this, weak](bool on) {
                if (TunnelPtr t = weak.lock()) on ? t->run().start() : t->run().stop();
                redraw();
            });
            m_tunnelItems << item;
            const QString group = QString::fromStdString(TunnelGroups::groupOf(*t));
            if (group.isEmpty()) {
                items << item;
                continue;
            }
            // A submenu per group: its Start All and Stop All, then its tunnels.
            if (m_groupMenus.isEmpty() || m_groupMenus.last()->property("group").toString() != group) {
                auto* sub = new QMenu;
                sub->setProperty("group", group);
                addGroupItems(sub, group);
                sub->addSeparator();
                m_groupMenus << sub;
                items << sub->menuAction();
            }
            m_groupMenus.last()->addAction(item);
        }
        m_tray->setTunnelItems(items);
    }
    for (size_t i = 0; i < list.size(); ++i) m_tunnelItems[static_cast<int>(i)]->setChecked(list[i]->run().isWanted());
    for (QMenu* sub : m_groupMenus) {
        const QString group = sub->property("group").toString();
        const QString title = tr("%1 (%2)").arg(
            group, TunnelsTableModel::countText(TunnelGroups::members(m_tunnels->tunnels(), group.toStdString())));
        if (sub->title() != menuText(title.toStdString())) sub->setTitle(menuText(title.toStdString()));
    }
}

void TunnelsWindowController::openTunnelFile(const std::string& path) {
    showWindow();
    const QString file = QString::fromStdString(path);
    runPreferences([file](PreferencesController& controller) { controller.importTunnelFile(file); });
}

void TunnelsWindowController::fitTenRows() {
    // Ten rows, whatever the font, unless the screen is smaller; a stored size wins after this.
    TunnelsTableView* table = tunnelsTable();
    // The window is not laid out before it shows: what its layout adds around the table is
    // told by the size hints.
    const int chrome = m_window->sizeHint().height() - table->sizeHint().height();
    const int pitch = table->rowHeight() + table->intercellSpacing().height();
    int height = chrome + 10 * pitch + 2 * table->frameWidth();
    if (const QScreen* screen = m_window->screen())
        height = std::min(height, screen->availableGeometry().height() * 9 / 10);
    m_window->resize(m_window->width(), std::max(height, m_window->height()));
}

void TunnelsWindowController::showHintIfEmpty() { emptyHint()->setVisible(m_model->rowCount() == 0); }

void TunnelsWindowController::showStoreNotice() {
    const std::string aside = m_app.defaults().movedAsidePath();
    if (aside.empty()) return;
    m_storeNotice = new QMessageBox(QMessageBox::Warning, tr("Zandrel"),
                                    tr("Zandrel could not read its settings and starts with an empty tunnel list. "
                                       "The unreadable file was kept as:\n%1")
                                        .arg(QString::fromStdString(aside)),
                                    QMessageBox::Ok, m_window);
    m_storeNotice->setAttribute(Qt::WA_DeleteOnClose);
    m_storeNotice->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_storeNotice->open();
}

bool TunnelsWindowController::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_window) {
        if (event->type() == QEvent::Close && !m_tray->isShown()) {
            event->ignore();
            m_window->showMinimized();
            return true;
        }
        // X11 window managers place a window anew when it is shown again.
        if (event->type() == QEvent::Hide && !m_window->isMinimized()) {
            m_hiddenGeometry = m_window->saveGeometry();
            // The size the user gave it is kept from here on, not only at a quit.
            if (!m_terminated) saveFrame();
        }
    }
    return QObject::eventFilter(watched, event);
}

void TunnelsWindowController::showHide() {
    if (m_window->isVisible() && !m_window->isMinimized()) {
        m_window->close();
        showHideItem()->setText(localized("SHMENU_SHOW"));
    } else {
        showWindow();
    }
}

void TunnelsWindowController::showWindow() {
    if (!m_window->isVisible() && !m_hiddenGeometry.isEmpty()) m_window->restoreGeometry(m_hiddenGeometry);
    m_window->setWindowState(m_window->windowState() & ~Qt::WindowMinimized);
    m_window->show();
    m_window->raise();
    m_window->activateWindow();
    focusTunnels();
    showHideItem()->setText(localized("SHMENU_HIDE"));
}

void TunnelsWindowController::scheduleRedraw() {
    if (m_frameTimer.isActive()) return;
    const qint64 since = m_sinceRedraw.isValid() ? m_sinceRedraw.nsecsElapsed() : kFrameNs;
    if (since >= kFrameNs)
        redraw();
    else
        m_frameTimer.start(static_cast<int>((kFrameNs - since + 999'999) / 1'000'000));
}

void TunnelsWindowController::redraw() {
    m_frameTimer.stop();
    const std::unordered_set<const void*> changed = m_hop->take();
    m_sinceRedraw.restart();
    m_model->refreshReports(&changed);
    const QModelIndex current = tunnelsTable()->currentIndex();
    const TunnelPtr wasCurrent = m_model->tunnel(current.row());
    m_model->reload();
    keepCurrentRow(wasCurrent.get(), current.row());
    announceChanges(changed);
    updateDetailsWindows(changed);
    showHintIfEmpty();
    tunnelsTable()->viewport()->update();
    updateTrayState();
    updateTunnelItems();

    if (m_tunnels && m_notifier)
        for (const TunnelPtr& t : m_tunnels->tunnels())
            if (changed.count(t.get())) m_notifier->update(t);
    ++m_redrawCount;
    Q_EMIT redrawn();
}

void TunnelsWindowController::announceChanges(const std::unordered_set<const void*>& changed) {
    std::erase_if(m_announced, [](const auto& entry) { return entry.first.expired(); });
    for (int row = 0; row < m_model->rowCount(); ++row) {
        const TunnelPtr t = m_model->tunnel(row);
        if (!t) continue;
        // A countdown's every second is no news; a new state or a new wish is.
        const std::pair<int, bool> now{static_cast<int>(t->run().state()), t->run().isWanted()};
        auto [it, fresh] = m_announced.try_emplace(t, now);
        if (fresh || it->second == now || !changed.count(t.get())) continue;
        it->second = now;
        tunnelsTable()->announceRowChanged(row);
    }
}

void TunnelsWindowController::updateTrayState() {
    int wanted = 0;
    int connected = 0;
    bool waiting = false;
    QStringList failing;
    if (m_tunnels) {
        for (const TunnelPtr& t : m_tunnels->tunnels()) {
            if (!t->run().isWanted()) continue;
            ++wanted;
            if (TunnelGroups::isUp(*t)) {
                ++connected;
                continue;
            }
            waiting = waiting || t->run().state() == TunnelState::RetryWaiting;
            const QString name = QString::fromStdString(t->connName());
            const QString status = EngineTexts::translated(t->run().status());
            const std::string why = t->run().lastError();
            failing << (why.empty() ? tr("%1: %2").arg(name, status)
                                    : tr("%1: %2 (%3)").arg(name, status, EngineTexts::translated(why)));
        }
    }
    QString tip = wanted == 0 ? tr("Zandrel: no tunnel running")
                              : tr("Zandrel: %1 of %2 tunnels connected").arg(connected).arg(wanted);
    for (const QString& line : failing) tip += u'\n' + line;
    // Reasons are ssh's text; tray hosts take markup in a tooltip.
    m_tray->setState(TrayIcon::stateFor(wanted, connected), Qt::convertFromPlainText(tip, Qt::WhiteSpaceNormal));
    // "Retrying in N s" counts down while a tunnel waits.
    if (waiting && !m_countdown.isActive())
        m_countdown.start();
    else if (!waiting)
        m_countdown.stop();
}

void TunnelsWindowController::reconnectAll() { m_app.core().reconnectAll(); }

void TunnelsWindowController::saveFrame() {
    QRect g = m_window->geometry();
    // A compositor that places windows itself tells no position: the one kept stays.
    if (WindowingLimits::onWayland())
        if (const std::optional<QRect> kept = storedFrame()) g.moveTopLeft(kept->topLeft());
    const std::string frame =
        QStringLiteral("%1 %2 %3 %4").arg(g.x()).arg(g.y()).arg(g.width()).arg(g.height()).toStdString();
    Defaults& defaults = m_app.defaults();
    if (!defaults.setObjectForKey(Value(frame), frameKey(kFrameName)))
        Log::line("The tunnels window's position was not saved.");
    else if (!defaults.objectForKey(legacyFrameKey(kFrameName)).isNone() &&
             !defaults.removeObjectForKey(legacyFrameKey(kFrameName)))
        Log::line("The tunnels window's position is kept twice (the old key could not be removed).");
}

std::optional<QRect> TunnelsWindowController::storedFrame() const {
    Value stored = m_app.defaults().objectForKey(frameKey(kFrameName));
    if (stored.isNone()) stored = m_app.defaults().objectForKey(legacyFrameKey(kFrameName));
    const QStringList parts = QString::fromStdString(stored.text()).split(u' ', Qt::SkipEmptyParts);
    if (parts.size() != 4) return std::nullopt;
    int v[4];
    for (int i = 0; i < 4; ++i) {
        bool ok = false;
        v[i] = parts[i].toInt(&ok);
        if (!ok) return std::nullopt;
    }
    const QRect frame(v[0], v[1], v[2], v[3]);
    if (frame.width() <= 0 || frame.height() <= 0 || frame.width() > 32767 || frame.height() > 32767)
        return std::nullopt;
    return frame;
}

void TunnelsWindowController::restoreFrame() {
    const std::optional<QRect> kept = storedFrame();
    if (!kept) return;
    const QRect frame = *kept;
    // A frame from a screen that is gone keeps its size but not its place; so does every frame
    // where the compositor places windows.
    bool onScreen = false;
    for (const QScreen* screen : QGuiApplication::screens())
        if (screen->availableGeometry().intersects(frame)) onScreen = true;
    if (onScreen && !WindowingLimits::onWayland())
        m_window->setGeometry(frame);
    else
        m_window->resize(frame.size());
}

void TunnelsWindowController::applicationWillTerminate() {
    if (m_terminated) return;
    m_terminated = true;
    closePreferences();  // what is typed there is saved too
    m_app.core().stopAllTunnels();
    saveFrame();
    if (!m_app.defaults().setObjectForKey(Value(m_window->isVisible()), "openPalette"))
        Log::line("Whether the tunnels window opens at start-up was not saved.");
    m_app.core().waitForRuns();
}
