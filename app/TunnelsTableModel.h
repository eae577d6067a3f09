#pragma once

#include <QAbstractTableModel>
#include <QSet>
#include <QString>
#include <QStringList>
#include <map>
#include <memory>
#include <unordered_set>
#include <vector>

#include "TunnelReport.h"
#include "TunnelStore.h"

// The tunnels table's data source: the ungrouped tunnels in list order, then a section row per
// group (which folds) followed by its tunnels, unless it is folded. The rows are a snapshot of that list taken at each
// reload, so that the preferences editor may change the list between two reloads without the view ever asking for a row
// that no longer exists. Each row's report is kept from the last refresh.
class TunnelsTableModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { IconColumn = 0, TextColumn = 1, ButtonColumn = 2, ColumnCount = 3 };
    enum Role {
        ImageNameRole = Qt::UserRole + 1,  // "icon": the state image; "button": the image
        AlternateImageNameRole,            // "button": the image while pressed
        NameRole,                          // "text": first line
        StatusRole,                        // "text": the tunnel's status text
        LineRole,                          // "text": second line: the status, or where a connected
                                           // tunnel listens ("a → b", "+N more")
        ErrorRole,                         // "text": third line, empty when none is shown
        WarningRole,                       // "text": the first warning, "⚠ …" ("+N more"), or empty
        RunningRole,
        CodeRole,
        GroupRowRole,  // true on a group's section row
        FoldedRole,    // a section row: whether its tunnels are hidden
        DimmedRole,    // a tunnel nobody wants up: drawn greyed
    };

    explicit TunnelsTableModel(QObject* parent = nullptr);

    // The list the rows come from (the application's, never copied); reloads.
    void setTunnels(const TunnelStore* tunnels);
    // Takes the list anew and tells the view: a reset when the row count changed, else a
    // change of every cell (which keeps the selection).
    void reload();
    // The row's tunnel; null for a group's section row.
    TunnelPtr tunnel(int row) const;
    // The row of that tunnel, or -1 (in a folded group, or gone).
    int rowOf(const Tunnel* tunnel) const;
    // The section row of that group, or -1.
    int sectionRow(const QString& group) const;
    // The group of a section row, or "" for a tunnel's row.
    QString groupAt(int row) const;
    // Every tunnel of the section row's group, in list order.
    TunnelList groupMembers(int row) const;
    // Folds or unfolds a group; the groups folded are kept by whoever owns the settings.
    void setFolded(const QString& group, bool folded);
    bool isFolded(const QString& group) const { return m_folded.contains(group); }
    QStringList foldedGroups() const;
    void setFoldedGroups(const QStringList& groups);
    // "2 of 3 up": the group's tunnels up and wanted.
    static QString countText(const TunnelList& members);
    // Reads the reports again (the traffic, the warnings) that the tooltips and warnings are
    // drawn from: of the tunnels in changed, or of all when it is null. Never done per paint.
    void refreshReports(const std::unordered_set<const void*>* changed = nullptr);

    // "icon", "text", "button", or empty.
    // Whether the row's button stops the tunnel: its ssh runs, or it waits in the pause before
    // the next run and has not been asked to stop. A tunnel whose ssh fails at once spends
    // nearly all its time in that pause, and its button must still stop it.
    static bool isOn(const Tunnel& tunnel);

    static QString columnIdentifier(int column);
    static int columnWithIdentifier(const QString& identifier);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    // A click on a row's button arrives as the value true for its "button" cell: stops a tunnel
    // that is on, starts one that is off, then reloads. On a section row the button stops every
    // tunnel of the group when any is on, else starts them all; its "icon" cell folds it.
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;

Q_SIGNALS:
    void foldedGroupsChanged();

private:
    // What a screen reader says of a cell: "Start db-tunnel" for the button, the name and status
    // for the text; the description holds the warnings and why the tunnel is down.
    QString accessibleText(const Tunnel& t, int column, int role, const TunnelReport* report) const;
    // The warnings, then why a tunnel that is not connected is down: for the tooltip and for
    // screen readers alike.
    static QStringList troubles(const Tunnel& t, const TunnelReport* report);

    QVariant sectionData(int row, int column, int role) const;

    // A tunnel's row has the tunnel; a section row has none, and its group.
    struct Row {
        TunnelPtr tunnel;
        QString group;
    };
    const TunnelStore* m_source = nullptr;
    std::vector<Row> m_rows;
    QSet<QString> m_folded;
    std::map<std::weak_ptr<const Tunnel>, TunnelReport, std::owner_less<>> m_reports;
};
