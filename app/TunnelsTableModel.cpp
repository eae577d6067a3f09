#include "TunnelsTableModel.h"

#include <QDateTime>
#include <QTextDocument>

#include "BundleImage.h"
#include "EngineTexts.h"
#include "TrafficText.h"
#include "TunnelInfo.h"

namespace {
const char* const kIdentifiers[] = {"icon", "text", "button"};

QString andMore(const QString& first, qsizetype others) {
    return others == 0 ? first : TunnelsTableModel::tr("%1 +%2 more").arg(first).arg(others);
}
}  // namespace

TunnelsTableModel::TunnelsTableModel(QObject* parent) : QAbstractTableModel(parent) {}

void TunnelsTableModel::setTunnels(const TunnelStore* tunnels) {
    m_source = tunnels;
    reload();
}

void TunnelsTableModel::refreshReports(const std::unordered_set<const void*>* changed) {
    for (const TunnelPtr& t : m_rows)
        if (!changed || changed->count(t.get())) m_reports[t] = t->run().report();
}

void TunnelsTableModel::reload() {
    TunnelList rows = m_source ? m_source->tunnels() : TunnelList{};
    std::erase_if(m_reports, [](const auto& entry) { return entry.first.expired(); });
    for (const TunnelPtr& t : rows)
        if (!m_reports.count(t)) m_reports[t] = t->run().report();
    if (rows.size() != m_rows.size()) {
        beginResetModel();
        m_rows = std::move(rows);
        endResetModel();
        return;
    }
    m_rows = std::move(rows);
    if (!m_rows.empty()) Q_EMIT dataChanged(index(0, 0), index(rowCount() - 1, ColumnCount - 1));
}

TunnelPtr TunnelsTableModel::tunnel(int row) const {
    if (row < 0 || row >= rowCount()) return nullptr;
    return m_rows[static_cast<size_t>(row)];
}

bool TunnelsTableModel::isOn(const Tunnel& tunnel) { return tunnel.run().isWanted(); }

QString TunnelsTableModel::columnIdentifier(int column) {
    if (column < 0 || column >= ColumnCount) return {};
    return QString::fromLatin1(kIdentifiers[column]);
}

int TunnelsTableModel::columnWithIdentifier(const QString& identifier) {
    for (int c = 0; c < ColumnCount; ++c)
        if (identifier == QLatin1String(kIdentifiers[c])) return c;
    return -1;
}

int TunnelsTableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int TunnelsTableModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : ColumnCount; }

QVariant TunnelsTableModel::data(const QModelIndex& index, int role) const {
    const TunnelPtr t = tunnel(index.row());
    if (!t || index.column() < 0 || index.column() >= ColumnCount) return {};
    const QString id = columnIdentifier(index.column());

    const auto cached = m_reports.find(t);
    const TunnelReport* report = cached == m_reports.end() ? nullptr : &cached->second;
    if (role == Qt::ToolTipRole) {
        // One line of figures, where a connected tunnel listens, its warnings, why it is down.
        QStringList lines;
        if (report)
            if (const QString summary = TrafficText::summary(*report, QDateTime::currentMSecsSinceEpoch());
                !summary.isEmpty())
                lines << summary;
        if (t->run().isUp()) lines << TunnelInfo::listeningAddresses(*t);
        lines << troubles(*t, report);
        if (lines.isEmpty()) return {};
        // ssh's words (a server's banner among them) are text: a tooltip would take markup
        // as rich text.
        return Qt::convertFromPlainText(lines.join(u'\n'), Qt::WhiteSpaceNormal);
    }
    if (role == ErrorRole) return t->run().isConnected() ? QString() : EngineTexts::translated(t->run().lastError());
    if (role == WarningRole) {
        if (!report || report->warnings.empty()) return QString();
        return andMore(TrafficText::warning(report->warnings.front()),
                       static_cast<qsizetype>(report->warnings.size()) - 1);
    }
    if (role == Qt::AccessibleTextRole || role == Qt::AccessibleDescriptionRole)
        return accessibleText(*t, index.column(), role, report);
    if (role == RunningRole) return t->run().isRunning();
    if (role == CodeRole) return t->run().code();

    if (id == QLatin1String("icon")) {
        if (role == ImageNameRole) return QString::fromStdString(t->run().icon());
        if (role == Qt::DecorationRole) return BundleImage::named(QString::fromStdString(t->run().icon()));
    } else if (id == QLatin1String("text")) {
        if (role == NameRole) return QString::fromStdString(t->connName());
        if (role == StatusRole) return EngineTexts::translated(t->run().status());
        if (role == LineRole) {
            const QStringList addresses = t->run().isUp() ? TunnelInfo::listeningAddresses(*t) : QStringList();
            if (addresses.isEmpty()) return EngineTexts::translated(t->run().status());
            return andMore(addresses.first(), addresses.size() - 1);
        }
        if (role == Qt::DisplayRole)
            return QString::fromStdString(t->connName()) + u'\n' + EngineTexts::translated(t->run().status());
    } else if (id == QLatin1String("button")) {
        const bool running = isOn(*t);
        if (role == ImageNameRole) return QString::fromLatin1(running ? "stop_n" : "start_n");
        if (role == AlternateImageNameRole) return QString::fromLatin1(running ? "stop_p" : "start_p");
        // Read by screen readers as the button's pressed state; the delegate draws no box.
        if (role == Qt::CheckStateRole) return running ? Qt::Checked : Qt::Unchecked;
    }
    return {};
}

QString TunnelsTableModel::accessibleText(const Tunnel& t, int column, int role, const TunnelReport* report) const {
    const QString name = QString::fromStdString(t.connName());
    const QString status = EngineTexts::translated(t.run().status());
    const QString id = columnIdentifier(column);
    if (role == Qt::AccessibleTextRole) {
        if (id == QLatin1String("button")) return isOn(t) ? tr("Stop %1").arg(name) : tr("Start %1").arg(name);
        if (id == QLatin1String("icon")) return status;
        return tr("%1, %2").arg(name, status);
    }
    if (id == QLatin1String("button"))
        return isOn(t) ? tr("Stops the tunnel and keeps it stopped") : tr("Starts the tunnel and keeps it up");
    if (id != QLatin1String("text")) return {};
    return troubles(t, report).join(u'\n');
}

QStringList TunnelsTableModel::troubles(const Tunnel& t, const TunnelReport* report) {
    QStringList lines;
    if (report)
        for (const std::string& w : report->warnings) lines << TrafficText::warning(w);
    if (const QString error = EngineTexts::translated(t.run().lastError()); !t.run().isConnected() && !error.isEmpty())
        lines << error;
    return lines;
}

QVariant TunnelsTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation == Qt::Horizontal && role == Qt::UserRole) return columnIdentifier(section);
    return QAbstractTableModel::headerData(section, orientation, role);
}

Qt::ItemFlags TunnelsTableModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable;
}

bool TunnelsTableModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    Q_UNUSED(role);
    const TunnelPtr t = tunnel(index.row());
    if (!t) return false;
    if (columnIdentifier(index.column()) == QLatin1String("button") && value.toBool()) {
        if (isOn(*t))
            t->run().stop();
        else
            t->run().start();
    }
    reload();
    return true;
}
