#include "TrayMenuExporter.h"

#include <QAction>
#include <QActionEvent>
#include <QDBusMetaType>
#include <QMenu>
#include <QTimer>

QDBusArgument& operator<<(QDBusArgument& arg, const TrayMenuExporter::Layout& layout) {
    arg.beginStructure();
    arg << layout.id << layout.properties;
    arg.beginArray(qMetaTypeId<QDBusVariant>());
    for (const QVariant& child : layout.children) arg << QDBusVariant(child);
    arg.endArray();
    arg.endStructure();
    return arg;
}

const QDBusArgument& operator>>(const QDBusArgument& arg, TrayMenuExporter::Layout& layout) {
    arg.beginStructure();
    arg >> layout.id >> layout.properties;
    layout.children.clear();
    arg.beginArray();
    while (!arg.atEnd()) {
        QDBusVariant child;
        arg >> child;
        layout.children << child.variant();
    }
    arg.endArray();
    arg.endStructure();
    return arg;
}

QDBusArgument& operator<<(QDBusArgument& arg, const TrayMenuExporter::ItemProperties& item) {
    arg.beginStructure();
    arg << item.id << item.properties;
    arg.endStructure();
    return arg;
}

const QDBusArgument& operator>>(const QDBusArgument& arg, TrayMenuExporter::ItemProperties& item) {
    arg.beginStructure();
    arg >> item.id >> item.properties;
    arg.endStructure();
    return arg;
}

QDBusArgument& operator<<(QDBusArgument& arg, const TrayMenuExporter::MenuEvent& event) {
    arg.beginStructure();
    // An empty variant cannot be written (QtDBus finds the signature by writing a default one).
    arg << event.id << event.eventId << (event.data.variant().isValid() ? event.data : QDBusVariant(0))
        << event.timestamp;
    arg.endStructure();
    return arg;
}

const QDBusArgument& operator>>(const QDBusArgument& arg, TrayMenuExporter::MenuEvent& event) {
    arg.beginStructure();
    arg >> event.id >> event.eventId >> event.data >> event.timestamp;
    arg.endStructure();
    return arg;
}

TrayMenuExporter::TrayMenuExporter(QMenu* menu, QObject* parent) : QObject(parent), m_menu(menu) {
    qDBusRegisterMetaType<Layout>();
    qDBusRegisterMetaType<ItemProperties>();
    qDBusRegisterMetaType<ItemPropertiesList>();
    qDBusRegisterMetaType<MenuEvent>();
    qDBusRegisterMetaType<MenuEventList>();
    // QtDBus finds an input parameter's type by the name the slot spells it with.
    qRegisterMetaType<MenuEventList>("TrayMenuExporter::MenuEventList");
    m_menu->installEventFilter(this);
}

bool TrayMenuExporter::registerOn(QDBusConnection bus) {
    return bus.registerObject(QString::fromLatin1(kPath), this,
                              QDBusConnection::ExportAllProperties | QDBusConnection::ExportScriptableSlots |
                                  QDBusConnection::ExportScriptableSignals);
}

QString TrayMenuExporter::label(const QString& text) {
    QString out;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c == u'_') {
            out += QStringLiteral("__");
        } else if (c == u'&' && i + 1 < text.size()) {
            out += text[i + 1] == u'&' ? u'&' : u'_';
            if (text[i + 1] == u'&') ++i;
        } else {
            out += c;
        }
    }
    return out;
}

int TrayMenuExporter::idOf(QAction* action) {
    auto it = m_ids.find(action);
    if (it == m_ids.end()) it = m_ids.insert(action, m_nextId++);
    return *it;
}

QAction* TrayMenuExporter::actionOf(int id) const {
    if (!m_menu) return nullptr;
    // Depth first through the submenus (a group's tunnels).
    QList<QAction*> pending = m_menu->actions();
    while (!pending.isEmpty()) {
        QAction* a = pending.takeFirst();
        if (m_ids.value(a) == id) return a;
        if (a->menu()) pending << a->menu()->actions();
    }
    return nullptr;
}

TrayMenuExporter::Layout TrayMenuExporter::layoutOf(QAction* action, int depth) {
    Layout layout{idOf(action), propertiesOf(action), {}};
    if (QMenu* sub = action->menu()) {
        layout.properties.insert(QStringLiteral("children-display"), QStringLiteral("submenu"));
        // Its items change too; the layout follows them.
        sub->removeEventFilter(this);
        sub->installEventFilter(this);
        if (depth != 0)
            for (QAction* a : sub->actions()) layout.children << QVariant::fromValue(layoutOf(a, depth - 1));
    }
    return layout;
}

QVariantMap TrayMenuExporter::propertiesOf(const QAction* action) {
    if (action->isSeparator())
        return {{QStringLiteral("type"), QStringLiteral("separator")},
                {QStringLiteral("visible"), action->isVisible()}};
    QVariantMap p{{QStringLiteral("label"), label(action->text())},
                  {QStringLiteral("enabled"), action->isEnabled()},
                  {QStringLiteral("visible"), action->isVisible()}};
    if (action->isCheckable()) {
        p.insert(QStringLiteral("toggle-type"), QStringLiteral("checkmark"));
        p.insert(QStringLiteral("toggle-state"), action->isChecked() ? 1 : 0);
    }
    return p;
}

uint TrayMenuExporter::GetLayout(int parentId, int recursionDepth, const QStringList&, Layout& layout) {
    // The root's children are the items; a group's item holds its tunnels.
    if (parentId != 0) {
        QAction* a = actionOf(parentId);
        layout = a ? layoutOf(a, recursionDepth < 0 ? -1 : recursionDepth) : Layout{parentId, {}, {}};
        return m_revision;
    }
    layout = Layout{0, {}, {}};
    layout.properties.insert(QStringLiteral("children-display"), QStringLiteral("submenu"));
    if (recursionDepth == 0 || !m_menu) return m_revision;
    for (QAction* a : m_menu->actions())
        layout.children << QVariant::fromValue(layoutOf(a, recursionDepth < 0 ? -1 : recursionDepth - 1));
    return m_revision;
}

TrayMenuExporter::ItemPropertiesList TrayMenuExporter::GetGroupProperties(const QList<int>& ids, const QStringList&) {
    ItemPropertiesList out;
    for (int id : ids)
        if (QAction* a = actionOf(id)) out.append({id, propertiesOf(a)});
    return out;
}

QDBusVariant TrayMenuExporter::GetProperty(int id, const QString& name) {
    QAction* a = actionOf(id);
    return QDBusVariant(a ? propertiesOf(a).value(name) : QVariant());
}

void TrayMenuExporter::Event(int id, const QString& eventId, const QDBusVariant&, uint) {
    if (eventId != QLatin1String("clicked")) return;
    // From the event loop, as a click in a menu would: the action may quit or open a window.
    if (QPointer<QAction> a = actionOf(id))
        QTimer::singleShot(0, this, [a] {
            if (a && a->isEnabled()) a->trigger();
        });
}

QList<int> TrayMenuExporter::EventGroup(const MenuEventList& events) {
    QList<int> unknown;
    for (const MenuEvent& e : events) {
        if (actionOf(e.id))
            Event(e.id, e.eventId, e.data, e.timestamp);
        else
            unknown << e.id;
    }
    return unknown;
}

bool TrayMenuExporter::AboutToShow(int) { return false; }

QList<int> TrayMenuExporter::AboutToShowGroup(const QList<int>&, QList<int>& idErrors) {
    // The layout is always current: no entry needs an update.
    idErrors.clear();
    return {};
}

bool TrayMenuExporter::eventFilter(QObject* watched, QEvent* event) {
    const auto type = event->type();
    if ((watched == m_menu || qobject_cast<QMenu*>(watched)) &&
        (type == QEvent::ActionAdded || type == QEvent::ActionRemoved || type == QEvent::ActionChanged)) {
        if (type == QEvent::ActionRemoved) m_ids.remove(static_cast<QActionEvent*>(event)->action());
        if (!m_updateQueued) {
            m_updateQueued = true;
            QTimer::singleShot(0, this, [this] {
                m_updateQueued = false;
                Q_EMIT LayoutUpdated(++m_revision, 0);
            });
        }
    }
    return QObject::eventFilter(watched, event);
}
