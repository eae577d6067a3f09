#pragma once

#include <QAbstractTableModel>
#include <cstdint>

#include "TunnelStore.h"

// The tunnel list of the preferences window: one row per tunnel of the application's list,
// one column ("tunnelName") showing its name. Names change through the form, not here.
class TunnelListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    static constexpr const char* kColumn = "tunnelName";

    TunnelListModel(TunnelStore& tunnels, QObject* parent = nullptr);
    ~TunnelListModel() override;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    void append(TunnelPtr tunnel);
    void remove(int row);
    // The name of that row changed.
    void refreshRow(int row);

private:
    TunnelStore& m_tunnels;
    // A change of the list from elsewhere (a script over D-Bus) resets the rows; ours are told
    // row by row.
    bool m_changing = false;
    std::uint64_t m_observer = 0;
};
