#include "TrayIcon.h"

#include <QAction>
#include <QDBusConnection>
#include <QDBusServiceWatcher>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTimer>

#include "BundleImage.h"
#include "StatusNotifierItem.h"
#include "WindowingLimits.h"

TrayIcon::TrayIcon(const QList<QAction*>& actions, QObject* parent) : QObject(parent), m_menu(new QMenu) {
    for (QAction* a : actions) {
        if (a)
            m_menu->addAction(a);
        else
            m_menu->addSeparator();
    }
    m_icon = new QSystemTrayIcon(BundleImage::named(imageName(m_state)), this);
    m_icon->setContextMenu(m_menu);
    m_icon->setToolTip(QStringLiteral("Zandrel"));
    connect(m_icon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger) Q_EMIT activated();
    });
    // Panels that start late register the StatusNotifierWatcher then.
    auto* watcher = new QDBusServiceWatcher(
        QString::fromLatin1(StatusNotifierItem::kWatcherService), QDBusConnection::sessionBus(),
        QDBusServiceWatcher::WatchForRegistration | QDBusServiceWatcher::WatchForUnregistration, this);
    connect(watcher, &QDBusServiceWatcher::serviceRegistered, this, [this] {
        m_watcherUp = true;
        // The watcher answers the icon's registration only once it is on the bus.
        QTimer::singleShot(500, this, &TrayIcon::retryShow);
    });
    connect(watcher, &QDBusServiceWatcher::serviceUnregistered, this, [this] {
        m_watcherUp = false;
        // Our own item has nobody to show it: Qt's icon may still find an X11 tray.
        if (m_item && m_wanted && !WindowingLimits::onWayland()) m_icon->show();
    });
}

namespace {
std::optional<bool> g_availableForTesting;
}

bool TrayIcon::isAvailable() { return g_availableForTesting.value_or(QSystemTrayIcon::isSystemTrayAvailable()); }

void TrayIcon::setAvailableForTesting(std::optional<bool> available) { g_availableForTesting = available; }

void TrayIcon::retryShow() {
    if (!m_wanted) return;
    if (isAvailable()) {
        // Hidden and shown again, Qt's icon registers with the new notification area.
        m_icon->hide();
        m_icon->show();
        return;
    }
    // Qt settled on the X11 tray at start-up and will not speak to this watcher.
    if (!m_item) {
        m_item = new StatusNotifierItem(m_menu, this);
        connect(m_item, &StatusNotifierItem::activated, this, &TrayIcon::activated);
        m_item->setIcon(BundleImage::named(imageName(m_state)));
        m_item->setToolTip(m_icon->toolTip());
    }
    // One icon only: Qt's would also dock into an X11 tray that the same panel starts later.
    if (m_item->registerOn(QDBusConnection::sessionBus())) m_icon->hide();
}

void TrayIcon::setTunnelItems(const QList<QAction*>& items) {
    if (!m_tunnelsEnd) {
        QAction* first = m_menu->actions().value(0);
        m_tunnelsEnd = new QAction(m_menu);
        m_tunnelsEnd->setSeparator(true);
        m_menu->insertAction(first, m_tunnelsEnd);
    }
    for (QAction* a : m_menu->actions()) {
        if (a == m_tunnelsEnd) break;
        m_menu->removeAction(a);
    }
    m_menu->insertActions(m_tunnelsEnd, items);
    m_tunnelsEnd->setVisible(!items.isEmpty());
}

TrayIcon::~TrayIcon() {
    delete m_icon;
    delete m_menu;
}

bool TrayIcon::show() {
    m_wanted = true;
    // Visible even without a notification area: Qt embeds it into an X11 tray that appears later.
    // Wayland has none (Qt's fallback would only warn): a StatusNotifierWatcher that appears
    // later gets Zandrel's own item.
    const bool available = isAvailable();
    if (available || !WindowingLimits::onWayland()) m_icon->show();
    return available;
}

bool TrayIcon::isShown() const {
    return (m_icon && m_icon->isVisible() && isAvailable()) || (m_item && m_item->isRegistered() && m_watcherUp);
}

TrayIcon::State TrayIcon::stateFor(int wanted, int connected) {
    if (wanted <= 0) return State::None;
    return connected >= wanted ? State::All : State::Some;
}

QString TrayIcon::toolTip() const { return m_icon ? m_icon->toolTip() : QString(); }

void TrayIcon::setState(State state, const QString& toolTip) {
    if (toolTip != m_icon->toolTip()) m_icon->setToolTip(toolTip);
    if (m_item) m_item->setToolTip(toolTip);
    if (state == m_state) return;
    m_state = state;
    m_icon->setIcon(BundleImage::named(imageName(state)));
    if (m_item) m_item->setIcon(BundleImage::named(imageName(state)));
}

const char* TrayIcon::imageName(State state) {
    switch (state) {
        case State::Some:
            return "middleState";
        case State::All:
            return "onState";
        case State::None:
            break;
    }
    return "offState";
}
