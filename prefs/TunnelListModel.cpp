#include "TunnelListModel.h"

#include "NotificationCenter.h"

TunnelListModel::TunnelListModel(TunnelStore& tunnels, QObject* parent)
    : QAbstractTableModel(parent), m_tunnels(tunnels) {
    // Changes come on the main thread (Preferences, D-Bus), where this model lives.
    m_observer = NotificationCenter::defaultCenter().addObserver(TunnelStore::kListChanged, &m_tunnels,
                                                                 [this](const Notification&) {
                                                                     if (m_changing) return;
                                                                     beginResetModel();
                                                                     endResetModel();
                                                                 });
}

TunnelListModel::~TunnelListModel() { NotificationCenter::defaultCenter().removeObserver(m_observer); }

int TunnelListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_tunnels.size());
}

int TunnelListModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : 1; }

QVariant TunnelListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount() || index.column() != 0) return {};
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole) return {};
    return QString::fromStdString(m_tunnels.at(static_cast<size_t>(index.row()))->connName());
}

QVariant TunnelListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation == Qt::Horizontal && section == 0 && role == Qt::DisplayRole) return tr("Tunnels");
    if (orientation == Qt::Horizontal && section == 0 && role == Qt::UserRole) return QString(kColumn);
    return {};
}

void TunnelListModel::append(TunnelPtr tunnel) {
    const int row = rowCount();
    beginInsertRows({}, row, row);
    m_changing = true;
    m_tunnels.append(std::move(tunnel));
    m_changing = false;
    endInsertRows();
}

void TunnelListModel::remove(int row) {
    if (row < 0 || row >= rowCount()) return;
    beginRemoveRows({}, row, row);
    m_changing = true;
    m_tunnels.remove(static_cast<size_t>(row));
    m_changing = false;
    endRemoveRows();
}

void TunnelListModel::refreshRow(int row) {
    if (row < 0 || row >= rowCount()) return;
    Q_EMIT dataChanged(index(row, 0), index(row, 0), {Qt::DisplayRole, Qt::ToolTipRole});
}
