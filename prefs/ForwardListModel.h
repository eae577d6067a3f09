#pragma once

#include <QAbstractTableModel>
#include <array>
#include <functional>
#include <optional>

#include "Tunnel.h"

// One forward list of the current tunnel ("tunnelsLocal" or "tunnelsRemote"), plus the list's
// pending entry: a new forward that belongs to no tunnel until it is committed, shown as the
// last row of whichever tunnel is current. Columns "bind", "port", "host", "hostport". The
// pending entry joins the tunnel as soon as an edit leaves it with a port and a host.
class ForwardListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum class Side { Local, Remote };
    static constexpr std::array<const char*, 4> kColumns{"bind", "port", "host", "hostport"};
    static int column(const char* key);
    // A stored entry without its port or host: ssh would refuse it, so the command leaves it out.
    static bool isIncomplete(const ForwardEntry& entry);

    ForwardListModel(Side side, std::function<TunnelPtr()> currentTunnel, QObject* parent = nullptr);

    Side side() const { return m_side; }

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    // A cell edit: into the pending entry while there is one (whichever row was edited),
    // otherwise into the tunnel's entry at that row.
    bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;

    // Entries of the current tunnel (0 without one).
    int entryCount() const;
    bool hasPending() const { return m_pending.has_value(); }
    const std::optional<ForwardEntry>& pending() const { return m_pending; }
    // A new, empty pending entry in place of any earlier one.
    void makePending();
    void dropPending();
    // Appends the pending entry to the current tunnel and lets go of it; false without both.
    bool commitPending();
    void removeEntry(int row);
    // Everything may have changed (another tunnel, an add or a delete).
    void reload();

Q_SIGNALS:
    // The pending entry became the tunnel's (complete after an edit).
    void pendingCommitted();
    // A cell of one of the tunnel's entries was edited.
    void entryEdited();

private:
    std::shared_ptr<const ForwardList> list(const TunnelPtr& tunnel) const;

    Side m_side;
    std::function<TunnelPtr()> m_currentTunnel;
    std::optional<ForwardEntry> m_pending;
};
