#pragma once

#include <QList>
#include <QObject>
#include <QPointer>
#include <optional>

class QAction;
class QMenu;
class QSystemTrayIcon;
class StatusNotifierItem;

// The notification-area icon: its image tells at a glance whether the tunnels the user wants up
// are all connected, some are failing or retrying, or none is wanted; its menu holds the
// window's own items. It only reports
// intentions; the tunnels window controller acts on them. Where the desktop has no
// notification area (or on the offscreen platform) the menu still exists but is not shown.
class TrayIcon : public QObject {
    Q_OBJECT
public:
    enum class State { None, Some, All };

    explicit TrayIcon(const QList<QAction*>& actions, QObject* parent = nullptr);
    ~TrayIcon() override;

    // Shows the icon when the desktop has a notification area; false otherwise. A notification
    // area that appears later (a panel started after Zandrel) is taken up when it appears: an
    // X11 tray by Qt itself, a D-Bus StatusNotifierWatcher by Zandrel's own item when Qt's icon
    // cannot reach it.
    bool show();
    bool isShown() const;
    // The item that serves a StatusNotifierWatcher which appeared after start-up, or null.
    StatusNotifierItem* lateItem() const { return m_item; }
    QMenu* menu() const { return m_menu; }
    // Whether the desktop has a notification area now.
    static bool isAvailable();
    // Tests on the offscreen platform decide it (nullopt: ask the desktop).
    static void setAvailableForTesting(std::optional<bool> available);
    // Items listed above the menu's own, replacing those set before (not owned).
    void setTunnelItems(const QList<QAction*>& items);

    // None: no tunnel is wanted up; All: every wanted one is connected; Some: the others.
    static State stateFor(int wanted, int connected);
    void setState(State state, const QString& toolTip);
    State state() const { return m_state; }
    QString toolTip() const;
    // "offState", "middleState" or "onState".
    static const char* imageName(State state);

Q_SIGNALS:
    // A left click on the icon.
    void activated();

private:
    void retryShow();

    QMenu* m_menu;
    QAction* m_tunnelsEnd = nullptr;  // the separator under the tunnel items
    bool m_wanted = false;            // show() was asked for
    QPointer<QSystemTrayIcon> m_icon;
    StatusNotifierItem* m_item = nullptr;
    bool m_watcherUp = false;
    State m_state = State::None;
};
