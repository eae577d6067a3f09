#pragma once

#include <QByteArray>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QIcon>
#include <QList>
#include <QMetaType>
#include <QObject>
#include <QString>

class QMenu;
class TrayMenuExporter;

// A notification-area icon of Zandrel's own over the D-Bus StatusNotifierItem protocol
// (org.kde.StatusNotifierItem, as KDE, the AppIndicator hosts and Qt speak it), for a host whose
// watcher appears after start-up: Qt picks between that protocol and the X11 tray once per
// process, so QSystemTrayIcon never takes up a watcher that was not there at its start.
class StatusNotifierItem : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierItem")

public:
    // One image: width, height, ARGB32 pixels in network byte order.
    struct Pixmap {
        int width = 0;
        int height = 0;
        QByteArray argb;
    };
    using Pixmaps = QList<Pixmap>;
    struct ToolTip {
        QString iconName;
        Pixmaps icon;
        QString title;
        QString text;
    };

private:
    Q_PROPERTY(QString Category READ category)
    Q_PROPERTY(QString Id READ id)
    Q_PROPERTY(QString Title READ title)
    Q_PROPERTY(QString Status READ status)
    Q_PROPERTY(int WindowId READ windowId)
    Q_PROPERTY(bool ItemIsMenu READ itemIsMenu)
    Q_PROPERTY(QDBusObjectPath Menu READ menuPath)
    Q_PROPERTY(QString IconName READ iconName)
    Q_PROPERTY(StatusNotifierItem::Pixmaps IconPixmap READ iconPixmap)
    Q_PROPERTY(StatusNotifierItem::ToolTip ToolTip READ toolTip)

public:
    static constexpr const char* kWatcherService = "org.kde.StatusNotifierWatcher";
    static constexpr const char* kWatcherPath = "/StatusNotifierWatcher";
    static constexpr const char* kPath = "/StatusNotifierItem";

    // menu: exported for hosts that draw it, and shown where a host asks for a context menu
    // (not owned).
    explicit StatusNotifierItem(QMenu* menu, QObject* parent = nullptr);
    ~StatusNotifierItem() override;

    // Puts the item on bus under org.kde.StatusNotifierItem-PID-1 (once) and registers it with
    // the watcher (each time: a new watcher knows nothing of earlier items); false when the
    // object or the name cannot be had.
    bool registerOn(QDBusConnection bus);
    bool isRegistered() const { return m_bus.isConnected(); }
    // The service name the item holds.
    QString serviceName() const;

    void setIcon(const QIcon& icon);
    void setToolTip(const QString& text);

    QString category() const { return QStringLiteral("ApplicationStatus"); }
    QString id() const { return QStringLiteral("zandrel"); }
    QString title() const { return QStringLiteral("Zandrel"); }
    QString status() const { return QStringLiteral("Active"); }
    int windowId() const { return 0; }
    bool itemIsMenu() const { return false; }
    QDBusObjectPath menuPath() const;
    QString iconName() const { return {}; }
    Pixmaps iconPixmap() const { return m_pixmaps; }
    ToolTip toolTip() const;

public Q_SLOTS:
    Q_SCRIPTABLE void Activate(int x, int y);
    Q_SCRIPTABLE void SecondaryActivate(int x, int y);
    Q_SCRIPTABLE void ContextMenu(int x, int y);
    Q_SCRIPTABLE void Scroll(int delta, const QString& orientation);

Q_SIGNALS:
    Q_SCRIPTABLE void NewIcon();
    Q_SCRIPTABLE void NewToolTip();
    Q_SCRIPTABLE void NewStatus(const QString& status);
    // A primary click on the item.
    void activated();

private:
    QMenu* m_menu;
    TrayMenuExporter* m_exporter = nullptr;
    Pixmaps m_pixmaps;
    QString m_toolTip;
    QDBusConnection m_bus{QString()};
};

Q_DECLARE_METATYPE(StatusNotifierItem::Pixmap)
Q_DECLARE_METATYPE(StatusNotifierItem::ToolTip)

QDBusArgument& operator<<(QDBusArgument& arg, const StatusNotifierItem::Pixmap& pixmap);
const QDBusArgument& operator>>(const QDBusArgument& arg, StatusNotifierItem::Pixmap& pixmap);
QDBusArgument& operator<<(QDBusArgument& arg, const StatusNotifierItem::ToolTip& tip);
const QDBusArgument& operator>>(const QDBusArgument& arg, StatusNotifierItem::ToolTip& tip);
