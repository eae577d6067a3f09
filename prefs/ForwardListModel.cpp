#include "ForwardListModel.h"

#include <QApplication>
#include <QStyle>
#include <string_view>

ForwardListModel::ForwardListModel(Side side, std::function<TunnelPtr()> currentTunnel, QObject* parent)
    : QAbstractTableModel(parent), m_side(side), m_currentTunnel(std::move(currentTunnel)) {}

std::shared_ptr<const ForwardList> ForwardListModel::list(const TunnelPtr& tunnel) const {
    if (!tunnel) return nullptr;
    return m_side == Side::Local ? tunnel->tunnelsLocal() : tunnel->tunnelsRemote();
}

int ForwardListModel::entryCount() const {
    auto l = list(m_currentTunnel());
    return l ? static_cast<int>(l->size()) : 0;
}

int ForwardListModel::rowCount(const QModelIndex& parent) const {
    if (parent.isValid()) return 0;
    const TunnelPtr tunnel = m_currentTunnel();
    if (!tunnel) return 0;
    auto l = list(tunnel);
    return (l ? static_cast<int>(l->size()) : 0) + (m_pending ? 1 : 0);
}

int ForwardListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(kColumns.size());
}

int ForwardListModel::column(const char* key) {
    for (size_t i = 0; i < kColumns.size(); ++i)
        if (std::string_view(kColumns[i]) == key) return static_cast<int>(i);
    return -1;
}

bool ForwardListModel::isIncomplete(const ForwardEntry& e) {
    auto filled = [&e](const char* k) {
        auto it = e.find(k);
        return it != e.end() && !it->second.empty();
    };
    return !filled("port") || !filled("host");
}

QVariant ForwardListModel::data(const QModelIndex& index, int role) const {
    if (role == Qt::DecorationRole || role == Qt::ToolTipRole) {
        const TunnelPtr tunnel = m_currentTunnel();
        auto l = list(tunnel);
        if (!l || index.row() < 0 || index.row() >= static_cast<int>(l->size())) return {};
        if (!isIncomplete((*l)[static_cast<size_t>(index.row())])) return {};
        if (role == Qt::ToolTipRole) return tr("Needs a port and a host: left out of the command");
        if (index.column() != 0) return {};
        return QApplication::style()->standardIcon(QStyle::SP_MessageBoxWarning);
    }
    if (role != Qt::DisplayRole && role != Qt::EditRole) return {};
    if (!index.isValid() || index.column() < 0 || index.column() >= columnCount()) return {};
    const TunnelPtr tunnel = m_currentTunnel();
    if (!tunnel) return {};
    auto l = list(tunnel);
    const int n = l ? static_cast<int>(l->size()) : 0;
    const ForwardEntry* entry = nullptr;
    if (index.row() == n && m_pending)
        entry = &*m_pending;
    else if (index.row() >= 0 && index.row() < n)
        entry = &(*l)[static_cast<size_t>(index.row())];
    if (!entry) return {};
    auto it = entry->find(kColumns[static_cast<size_t>(index.column())]);
    return it == entry->end() ? QString() : QString::fromStdString(it->second);
}

QVariant ForwardListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || section < 0 || section >= columnCount()) return {};
    if (role == Qt::UserRole) return QString(kColumns[static_cast<size_t>(section)]);
    if (role != Qt::DisplayRole) return {};
    switch (section) {
        case 0:
            return tr("Bind address");
        case 1:
            return m_side == Side::Local ? tr("Local port") : tr("Server port");
        case 2:
            return tr("Host");
        default:
            return tr("Host port");
    }
}

Qt::ItemFlags ForwardListModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsEditable;
}

bool ForwardListModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (role != Qt::EditRole || !index.isValid() || index.column() >= columnCount()) return false;
    const TunnelPtr tunnel = m_currentTunnel();
    if (!tunnel) return false;
    const std::string key = kColumns[static_cast<size_t>(index.column())];
    const std::string text = value.toString().toStdString();
    if (m_pending) {
        (*m_pending)[key] = text;
        const int row = rowCount() - 1;
        Q_EMIT dataChanged(this->index(row, 0), this->index(row, columnCount() - 1));
        // Complete: kept at once, so nothing typed depends on how the window is left.
        if (!isIncomplete(*m_pending) && commitPending()) Q_EMIT pendingCommitted();
        return true;
    }
    if (index.row() >= entryCount()) return false;
    if (m_side == Side::Local)
        tunnel->setLocalValueOfTunnelForKey(text, index.row(), key);
    else
        tunnel->setRemoteValueOfTunnelForKey(text, index.row(), key);
    Q_EMIT dataChanged(index, index);
    Q_EMIT entryEdited();
    return true;
}

void ForwardListModel::makePending() {
    beginResetModel();
    m_pending = ForwardEntry{};
    endResetModel();
}

void ForwardListModel::dropPending() {
    beginResetModel();
    m_pending.reset();
    endResetModel();
}

bool ForwardListModel::commitPending() {
    const TunnelPtr tunnel = m_currentTunnel();
    if (!tunnel || !m_pending) return false;
    // The pending row becomes the tunnel's last entry: same row, same cells.
    if (m_side == Side::Local)
        tunnel->addLocalTunnel(*m_pending);
    else
        tunnel->addRemoteTunnel(*m_pending);
    m_pending.reset();
    const int row = rowCount() - 1;
    Q_EMIT dataChanged(index(row, 0), index(row, columnCount() - 1));
    return true;
}

void ForwardListModel::removeEntry(int row) {
    const TunnelPtr tunnel = m_currentTunnel();
    if (!tunnel || row < 0 || row >= entryCount()) return;
    beginResetModel();
    if (m_side == Side::Local)
        tunnel->removeLocal(row);
    else
        tunnel->removeRemote(row);
    endResetModel();
}

void ForwardListModel::reload() {
    beginResetModel();
    endResetModel();
}
