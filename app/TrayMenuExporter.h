#pragma once

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusVariant>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QVariantMap>

class QAction;
class QMenu;

// The tray menu as a com.canonical.dbusmenu object, for notification-area hosts that draw the
// menu of a StatusNotifierItem themselves. A click in the host triggers the QAction itself, so the
// menu does what the window's and Qt's tray menus do; the host hears of every change.
class TrayMenuExporter : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.canonical.dbusmenu")
    Q_PROPERTY(uint Version READ version)
    Q_PROPERTY(QString TextDirection READ textDirection)
    Q_PROPERTY(QString Status READ status)

public:
    // One menu entry and, for the root, its children (each a Layout in a variant).
    struct Layout {
        int id = 0;
        QVariantMap properties;
        QVariantList children;
    };
    struct ItemProperties {
        int id = 0;
        QVariantMap properties;
    };
    using ItemPropertiesList = QList<ItemProperties>;
    // One entry of EventGroup, which newer hosts send instead of Event.
    struct MenuEvent {
        int id = 0;
        QString eventId;
        QDBusVariant data;
        uint timestamp = 0;
    };
    using MenuEventList = QList<MenuEvent>;

    static constexpr const char* kPath = "/MenuBar";

    explicit TrayMenuExporter(QMenu* menu, QObject* parent = nullptr);
    bool registerOn(QDBusConnection bus);

    uint version() const { return 3; }
    QString textDirection() const { return QStringLiteral("ltr"); }
    QString status() const { return QStringLiteral("normal"); }

    // "File &Open" -> "File _Open": dbusmenu marks the mnemonic with an underscore.
    static QString label(const QString& text);

public Q_SLOTS:
    Q_SCRIPTABLE uint GetLayout(int parentId, int recursionDepth, const QStringList& propertyNames,
                                TrayMenuExporter::Layout& layout);
    Q_SCRIPTABLE TrayMenuExporter::ItemPropertiesList GetGroupProperties(const QList<int>& ids,
                                                                         const QStringList& propertyNames);
    Q_SCRIPTABLE QDBusVariant GetProperty(int id, const QString& name);
    Q_SCRIPTABLE void Event(int id, const QString& eventId, const QDBusVariant& data, uint timestamp);
    Q_SCRIPTABLE QList<int> EventGroup(const TrayMenuExporter::MenuEventList& events);
    Q_SCRIPTABLE bool AboutToShow(int id);
    Q_SCRIPTABLE QList<int> AboutToShowGroup(const QList<int>& ids, QList<int>& idErrors);

Q_SIGNALS:
    // Any change, also of one item's text or check mark: hosts read the layout again.
    Q_SCRIPTABLE void LayoutUpdated(uint revision, int parent);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    int idOf(QAction* action);
    QAction* actionOf(int id) const;
    // The item with its submenu's items, depth levels down (-1: all).
    Layout layoutOf(QAction* action, int depth);
    static QVariantMap propertiesOf(const QAction* action);

    QPointer<QMenu> m_menu;
    QHash<QAction*, int> m_ids;
    int m_nextId = 1;
    uint m_revision = 1;
    bool m_updateQueued = false;
};

Q_DECLARE_METATYPE(TrayMenuExporter::Layout)
Q_DECLARE_METATYPE(TrayMenuExporter::ItemProperties)
Q_DECLARE_METATYPE(TrayMenuExporter::MenuEvent)

QDBusArgument& operator<<(QDBusArgument& arg, const TrayMenuExporter::Layout& layout);
const QDBusArgument& operator>>(const QDBusArgument& arg, TrayMenuExporter::Layout& layout);
QDBusArgument& operator<<(QDBusArgument& arg, const TrayMenuExporter::ItemProperties& item);
const QDBusArgument& operator>>(const QDBusArgument& arg, TrayMenuExporter::ItemProperties& item);
QDBusArgument& operator<<(QDBusArgument& arg, const TrayMenuExporter::MenuEvent& event);
const QDBusArgument& operator>>(const QDBusArgument& arg, TrayMenuExporter::MenuEvent& event);
