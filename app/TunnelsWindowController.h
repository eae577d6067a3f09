#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QRect>
#include <QString>
#include <QTimer>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <unordered_set>

#include "DesktopFront.h"
#include "NotificationCenter.h"
#include "TunnelStore.h"

class ChangeHop;
class ZandrelApplication;
class PreferencesController;
class DropNotifier;
class QAction;
class QMainWindow;
class QMenu;
class QMessageBox;
class QModelIndex;
class QPushButton;
class TunnelDetailsWindow;
class TunnelLogWindow;
class TunnelsItemDelegate;
class TunnelsTableModel;
class TunnelsTableView;
class TrayIcon;
namespace Ui {
class MainMenu;
}

// The tunnels window controller: one row per tunnel with its state image, name and status,
// and a start/stop button; the show/hide, preferences, About and quit items in the window's
// menu and the notification-area menu; the redraw on status and preference changes; and the
// quit steps.
class TunnelsWindowController : public QObject, public DesktopFront {
    Q_OBJECT
public:
    // Redraws are coalesced to at most one per display frame (60 a second).
    static constexpr qint64 kFrameNs = 16'666'667;
    static constexpr const char* kFrameName = "tunnelsWindow";
    // The groups whose sections are folded (a list of names).
    static constexpr const char* kFoldedGroups = "foldedGroups";

    // Loads the window from its layout, hidden; setUpWindowAndTunnels does the start-up.
    explicit TunnelsWindowController(ZandrelApplication& app, QObject* parent = nullptr);
    ~TunnelsWindowController() override;

    // The start-up steps: the table's cells, the tunnel list (which starts the auto-connect
    // tunnels), the observers, the window frame, and showing the window unless "openPalette"
    // says no.
    void setUpWindowAndTunnels() override;

    int numberOfTunnels() const;
    QMainWindow* window() const { return m_window; }
    TunnelsTableView* tunnelsTable() const;
    TunnelsTableModel* model() const { return m_model; }
    QAction* showHideItem() const;
    QAction* preferencesItem() const;
    QAction* reconnectAllItem() const;
    QAction* aboutItem() const;
    QAction* quitItem() const;
    TrayIcon* trayIcon() const { return m_tray; }
    // The first-start hint shown instead of an empty table, and its "Add a tunnel…" button.
    QWidget* emptyHint() const;
    QPushButton* addTunnelButton() const;
    // A row's context menu: Start or Stop, Reconnect, Edit…, Details…, Show Log, Copy Command. The caller
    // pops it up; it deletes itself once closed.
    QMenu* rowMenu(int row);
    // The tray menu's item per tunnel (a group's in the group's submenu), checked while the tunnel is wanted up.
    const QList<QAction*>& tunnelItems() const { return m_tunnelItems; }
    // The notice shown at start-up when the store was moved aside, or null.
    QMessageBox* storeNotice() const;
    // The tunnel's log window, made or raised.
    TunnelLogWindow* showLog(const TunnelPtr& tunnel);
    // The tunnel's details window, made or raised; it follows renames and closes when the
    // tunnel is deleted.
    TunnelDetailsWindow* showDetails(const TunnelPtr& tunnel);
    // How often the rows' tooltips and warnings are counted anew while the window is visible.
    static constexpr int kReportRefreshMs = 2000;
    // Redraws done so far (each one a reload of every row).
    quint64 redrawCount() const { return m_redrawCount; }

    // The Defaults key the frame of a named window is kept under.
    static std::string frameKey(const std::string& name);
    static std::string legacyFrameKey(const std::string& name);

public Q_SLOTS:
    // A double click starts the clicked row's tunnel; it never stops one. On the row's button
    // the button's own click has acted already; on the tunnel's name it opens its details.
    void doubleAction(const QModelIndex& index);
    void openPreferences();
    // The preferences window with that row's tunnel selected, or with a new tunnel.
    void editTunnel(int row);
    void addTunnel();
    // Hides a visible window, shows a hidden one; the item's title says what it will do next.
    void showHide();
    // Shows the window and brings it to the front (a second launch, D-Bus ShowWindow).
    void showWindow() override;
    // The window, and Preferences with the import of that tunnel file.
    void openTunnelFile(const std::string& path) override;
    // Every running or waiting tunnel starts a fresh ssh now (menu, D-Bus, network back, resume).
    void reconnectAll();
    // The quit steps: stop every tunnel in list order, let the engine start no other ssh,
    // save the frame, store the window's visibility as "openPalette", wait for every ssh to end.
    void applicationWillTerminate();

Q_SIGNALS:
    void redrawn();

protected:
    // Closing the window without a notification area minimizes it, so it cannot get lost; its
    // place and size are kept across hiding.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Runs the preferences window, with prepare called on its controller first.
    // Opens the preferences window (or brings it forward) after prepare has set it up.
    void runPreferences(const std::function<void(PreferencesController&)>& prepare);
    void closePreferences();
    void updateTunnelItems();
    // Folds or unfolds a group's section, the keyboard staying on it.
    void fold(const QString& group, bool folded);
    // Start All and Stop All of a group.
    void addGroupItems(QMenu* menu, const QString& group);
    // The window's first size: ten rows tall.
    void fitTenRows();
    void showStoreNotice();
    void showHintIfEmpty();
    void scheduleRedraw();
    void redraw();
    void updateTrayState();
    void updateDetailsWindows(const std::unordered_set<const void*>& changed);
    // Start or stop, as the row's button does.
    void toggle(const TunnelPtr& t);
    // The keyboard starts in the list (on its current row), or on "Add a tunnel…" when empty.
    void focusTunnels();
    // Gives the table a current row again after a reset took it.
    void keepCurrentRow(const Tunnel* was, int wasRow);
    void announceChanges(const std::unordered_set<const void*>& changed);
    void markChanged(const void* tunnel);
    void saveFrame();
    void restoreFrame();
    // The frame kept in the settings, when it reads as one.
    std::optional<QRect> storedFrame() const;

    ZandrelApplication& m_app;
    std::unique_ptr<Ui::MainMenu> m_ui;
    QMainWindow* m_window;
    TunnelsTableModel* m_model;
    TunnelsItemDelegate* m_delegate;
    TrayIcon* m_tray = nullptr;
    DropNotifier* m_notifier = nullptr;
    TunnelStore* m_tunnels = nullptr;
    std::unique_ptr<PreferencesController> m_preferences;
    QList<QAction*> m_tunnelItems;
    QList<QMenu*> m_groupMenus;  // the tray's submenu per group
    QStringList m_trayShape;     // each tunnel's group and name when the tray menu was made
    QByteArray m_hiddenGeometry;
    QPointer<QMessageBox> m_storeNotice;
    template <class Window>
    using WindowsOfTunnels = std::map<std::weak_ptr<const Tunnel>, QPointer<Window>, std::owner_less<>>;
    WindowsOfTunnels<TunnelLogWindow> m_logWindows;
    WindowsOfTunnels<TunnelDetailsWindow> m_detailsWindows;
    QPointer<QMenu> m_openRowMenu;
    // Each row's state and wish when screen readers were last told (state, wanted).
    std::map<std::weak_ptr<const Tunnel>, std::pair<int, bool>, std::owner_less<>> m_announced;
    bool m_terminated = false;

    std::shared_ptr<ChangeHop> m_hop;
    std::vector<NotificationCenter::Token> m_observers;
    QTimer m_frameTimer;
    QTimer m_countdown;
    QTimer m_reportTimer;
    QElapsedTimer m_sinceRedraw;
    quint64 m_redrawCount = 0;
};
