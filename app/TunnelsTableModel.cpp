#include "TunnelsTableModel.h"

#include <QDateTime>
#include <QTextDocument>
#include <algorithm>

#include "BundleImage.h"
#include "EngineTexts.h"
#include "TrafficText.h"
#include "TunnelGroups.h"
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
    for (const Row& r : m_rows)
        if (r.tunnel && (!changed || changed->count(r.tunnel.get()))) m_reports[r.tunnel] = r.tunnel->run().report();
}

void TunnelsTableModel::reload() {
    const TunnelList all = m_source ? m_source->tunnels() : TunnelList{};
    std::vector<Row> rows;
    QString section;
    for (const TunnelPtr& t : TunnelGroups::shownOrder(all)) {
        const QString group = QString::fromStdString(TunnelGroups::groupOf(*t));
        if (group != section) rows.push_back({nullptr, section = group});
        if (group.isEmpty() || !m_folded.contains(group)) rows.push_back({t, group});
    }
    std::erase_if(m_reports, [](const auto& entry) { return entry.first.expired(); });
    for (const Row& r : rows)
        if (r.tunnel && !m_reports.count(r.tunnel)) m_reports[r.tunnel] = r.tunnel->run().report();
    const bool sameShape = std::equal(rows.begin(), rows.end(), m_rows.begin(), m_rows.end(),
                                      [](const Row& a, const Row& b) { return !a.tunnel == !b.tunnel; });
    if (!sameShape) {
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
    return m_rows[static_cast<size_t>(row)].tunnel;
}

int TunnelsTableModel::rowOf(const Tunnel* tunnel) const {
    for (size_t i = 0; i < m_rows.size(); ++i)
        if (m_rows[i].tunnel.get() == tunnel) return static_cast<int>(i);
    return -1;
}

int TunnelsTableModel::sectionRow(const QString& group) const {
    for (size_t i = 0; i < m_rows.size(); ++i)
        if (!m_rows[i].tunnel && m_rows[i].group == group) return static_cast<int>(i);
    return -1;
}

QString TunnelsTableModel::groupAt(int row) const {
    if (row < 0 || row >= rowCount() || m_rows[static_cast<size_t>(row)].tunnel) return {};
    return m_rows[static_cast<size_t>(row)].group;
}

TunnelList TunnelsTableModel::groupMembers(int row) const {
    const QString group = groupAt(row);
    if (group.isEmpty() || !m_source) return {};
    return TunnelGroups::members(m_source->tunnels(), group.toStdString());
}

void TunnelsTableModel::setFolded(const QString& group, bool folded) {
    if (folded == m_folded.contains(group)) return;
    folded ? (void)m_folded.insert(group) : (void)m_folded.remove(group);
    reload();
    Q_EMIT foldedGroupsChanged();
}

QStringList TunnelsTableModel::foldedGroups() const {
    QStringList out(m_folded.begin(), m_folded.end());
    out.sort();
    return out;
}

void TunnelsTableModel::setFoldedGroups(const QStringList& groups) {
    m_folded = QSet<QString>(groups.begin(), groups.end());
    reload();
}

QString TunnelsTableModel::countText(const TunnelList& members) {
    const TunnelGroups::Count c = TunnelGroups::count(members);
    if (c.wanted == 0) return tr("%1 stopped").arg(c.total);
    return tr("%1 of %2 up").arg(c.up).arg(c.wanted);
}

QVariant TunnelsTableModel::sectionData(int row, int column, int role) const {
    const QString group = groupAt(row);
    const TunnelList members = groupMembers(row);
    const bool anyOn = std::any_of(members.begin(), members.end(), [](const TunnelPtr& t) { return isOn(*t); });
    const bool folded = m_folded.contains(group);
    const QString id = columnIdentifier(column);
    switch (role) {
        case GroupRowRole:
            return true;
        case FoldedRole:
            return folded;
        case NameRole:
            return group;
        case LineRole:
        case StatusRole:
            return countText(members);
        case Qt::DisplayRole:
            return group + u'\n' + countText(members);
        case Qt::AccessibleTextRole:
            if (id == QLatin1String("button"))
                return anyOn ? tr("Stop all in %1").arg(group) : tr("Start all in %1").arg(group);
            if (id == QLatin1String("icon")) return folded ? tr("Unfold %1").arg(group) : tr("Fold %1").arg(group);
            return (folded ? tr("Group %1, %2, folded") : tr("Group %1, %2")).arg(group, countText(members));
        case Qt::AccessibleDescriptionRole:
            if (id == QLatin1String("button"))
                return anyOn ? tr("Stops every tunnel of the group") : tr("Starts every tunnel of the group");
            return tr("Space or Enter folds or unfolds the group; Left folds it, Right unfolds it.");
        case Qt::ToolTipRole: {
            QStringList lines;
            for (const TunnelPtr& t : members)
                lines << tr("%1: %2").arg(QString::fromStdString(t->connName()),
                                          EngineTexts::translated(t->run().status()));
            return Qt::convertFromPlainText(lines.join(u'\n'), Qt::WhiteSpaceNormal);
        }
        case ImageNameRole:
            return id == QLatin1String("button") ? QString::fromLatin1(anyOn ? "stop_n" : "start_n") : QVariant();
        case AlternateImageNameRole:
            return id == QLatin1String("button") ? QString::fromLatin1(anyOn ? "stop_p" : "start_p") : QVariant();
        case Qt::CheckStateRole:
            return id == QLatin1String("button") ? QVariant(anyOn ? Qt::Checked : Qt::Unchecked) : QVariant();
        default:
            return {};
    }
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
    if (index.column() < 0 || index.column() >= ColumnCount) return {};
    if (!groupAt(index.row()).isEmpty()) return sectionData(index.row(), index.column(), role);
    const TunnelPtr t = tunnel(index.row());
    if (!t) return {};
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
    if (role == DimmedRole) return !isOn(*t);
    if (role == GroupRowRole) return false;
    if (role == CodeRole) return t->run().code();

    if (id == QLatin1String("icon")) {
        if (role == ImageNameRole) return QString::fromStdString(t->run().icon());
        if (role == Qt::DecorationRole) return BundleImage::named(QString::fromStdString(t->run().icon()));
    } else if (id == QLatin1String("text")) {
        if (role == NameRole) return QString::fromStdString(t->connName());
        if (role == StatusRole) return EngineTexts::translated(t->run().status());
        if (role == LineRole) {
            // A stopped tunnel is told apart by its forwards, greyed; a ready one by its state and
            // ports; a wanted one by its state.
            const bool stopped = !isOn(*t);
            const bool ready = t->run().code() == 3;
            const QStringList addresses =
                t->run().isConnected() || stopped || ready ? TunnelInfo::listeningAddresses(*t) : QStringList();
            const QString status = EngineTexts::translated(t->run().status());
            if (addresses.isEmpty()) return status;
            const QString where = andMore(addresses.first(), addresses.size() - 1);
            return stopped || ready ? tr("%1 · %2").arg(status, where) : where;
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
    if (const QString group = groupAt(index.row()); !group.isEmpty()) {
        if (!value.toBool()) return false;
        if (columnIdentifier(index.column()) == QLatin1String("icon")) {
            setFolded(group, !isFolded(group));
            return true;
        }
        if (columnIdentifier(index.column()) != QLatin1String("button")) return false;
        const TunnelList members = groupMembers(index.row());
        const bool anyOn = std::any_of(members.begin(), members.end(), [](const TunnelPtr& t) { return isOn(*t); });
        for (const TunnelPtr& t : members) anyOn ? t->run().stop() : t->run().start();
        reload();
        return true;
    }
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
