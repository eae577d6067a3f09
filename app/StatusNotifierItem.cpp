#include "StatusNotifierItem.h"

#include <unistd.h>

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCall>
#include <QImage>
#include <QMenu>
#include <QtEndian>

#include "TrayMenuExporter.h"

QDBusArgument& operator<<(QDBusArgument& arg, const StatusNotifierItem::Pixmap& pixmap) {
    arg.beginStructure();
    arg << pixmap.width << pixmap.height << pixmap.argb;
    arg.endStructure();
    return arg;
}

const QDBusArgument& operator>>(const QDBusArgument& arg, StatusNotifierItem::Pixmap& pixmap) {
    arg.beginStructure();
    arg >> pixmap.width >> pixmap.height >> pixmap.argb;
    arg.endStructure();
    return arg;
}

QDBusArgument& operator<<(QDBusArgument& arg, const StatusNotifierItem::ToolTip& tip) {
    arg.beginStructure();
    arg << tip.iconName << tip.icon << tip.title << tip.text;
    arg.endStructure();
    return arg;
}

const QDBusArgument& operator>>(const QDBusArgument& arg, StatusNotifierItem::ToolTip& tip) {
    arg.beginStructure();
    arg >> tip.iconName >> tip.icon >> tip.title >> tip.text;
    arg.endStructure();
    return arg;
}

StatusNotifierItem::StatusNotifierItem(QMenu* menu, QObject* parent) : QObject(parent), m_menu(menu) {
    if (m_menu) m_exporter = new TrayMenuExporter(m_menu, this);
    qDBusRegisterMetaType<Pixmap>();
    qDBusRegisterMetaType<Pixmaps>();
    qDBusRegisterMetaType<ToolTip>();
}

StatusNotifierItem::~StatusNotifierItem() {
    if (!m_bus.isConnected()) return;
    m_bus.unregisterObject(QString::fromLatin1(kPath));
    if (m_exporter) m_bus.unregisterObject(QString::fromLatin1(TrayMenuExporter::kPath));
    m_bus.unregisterService(serviceName());
}

QDBusObjectPath StatusNotifierItem::menuPath() const {
    // Without a menu object hosts call ContextMenu instead.
    return QDBusObjectPath(m_exporter ? QString::fromLatin1(TrayMenuExporter::kPath) : QStringLiteral("/NO_DBUSMENU"));
}

QString StatusNotifierItem::serviceName() const {
    return QStringLiteral("org.kde.StatusNotifierItem-%1-1").arg(::getpid());
}

bool StatusNotifierItem::registerOn(QDBusConnection bus) {
    if (!m_bus.isConnected()) {
        if (!bus.registerObject(QString::fromLatin1(kPath), this,
                                QDBusConnection::ExportAllProperties | QDBusConnection::ExportScriptableSlots |
                                    QDBusConnection::ExportScriptableSignals))
            return false;
        // The menu object first: a host reads it as soon as it sees the name.
        if (m_exporter && !m_exporter->registerOn(bus)) {
            delete m_exporter;
            m_exporter = nullptr;
        }
        if (!bus.registerService(serviceName())) {
            bus.unregisterObject(QString::fromLatin1(kPath));
            if (m_exporter) bus.unregisterObject(QString::fromLatin1(TrayMenuExporter::kPath));
            return false;
        }
        m_bus = bus;
    }
    // Again after each new watcher: it knows only the items registered with it.
    QDBusMessage call = QDBusMessage::createMethodCall(
        QString::fromLatin1(kWatcherService), QString::fromLatin1(kWatcherPath), QString::fromLatin1(kWatcherService),
        QStringLiteral("RegisterStatusNotifierItem"));
    call << serviceName();
    // Not waited for: a watcher that hangs must not hold up the window.
    m_bus.asyncCall(call);
    return true;
}

void StatusNotifierItem::setIcon(const QIcon& icon) {
    m_pixmaps.clear();
    for (int size : {22, 44}) {
        const QImage image = icon.pixmap(size, size).toImage().convertToFormat(QImage::Format_ARGB32);
        if (image.isNull()) continue;
        Pixmap p{image.width(), image.height(), QByteArray(image.width() * image.height() * 4, Qt::Uninitialized)};
        auto* out = reinterpret_cast<quint32*>(p.argb.data());
        for (int y = 0; y < image.height(); ++y) {
            const auto* row = reinterpret_cast<const quint32*>(image.constScanLine(y));
            for (int x = 0; x < image.width(); ++x) *out++ = qToBigEndian(row[x]);
        }
        m_pixmaps.append(p);
    }
    Q_EMIT NewIcon();
}

void StatusNotifierItem::setToolTip(const QString& text) {
    if (text == m_toolTip) return;
    m_toolTip = text;
    Q_EMIT NewToolTip();
}

StatusNotifierItem::ToolTip StatusNotifierItem::toolTip() const { return {{}, {}, title(), m_toolTip}; }

void StatusNotifierItem::Activate(int, int) { Q_EMIT activated(); }

void StatusNotifierItem::SecondaryActivate(int, int) {}

void StatusNotifierItem::ContextMenu(int x, int y) {
    if (m_menu) m_menu->popup(QPoint(x, y));
}

void StatusNotifierItem::Scroll(int, const QString&) {}
