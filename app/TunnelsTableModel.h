#pragma once

#include <QAbstractTableModel>
#include <QString>
#include <map>
#include <memory>
#include <unordered_set>

#include "TunnelReport.h"
#include "TunnelStore.h"

// The tunnels table's data source: row i is tunnel i of the application's list, unsorted and
// unfiltered. The rows are a snapshot of that list taken at each reload, so that the
// preferences editor may change the list between two reloads without the view ever asking
// for a row that no longer exists. Each row's report is kept from the last refresh.
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
    };

    explicit TunnelsTableModel(QObject* parent = nullptr);

    // The list the rows come from (the application's, never copied); reloads.
    void setTunnels(const TunnelStore* tunnels);
    // Takes the list anew and tells the view: a reset when the row count changed, else a
    // change of every cell (which keeps the selection).
    void reload();
    TunnelPtr tunnel(int row) const;
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
    // that is on, starts one that is off, then reloads.
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;

private:
    // What a screen reader says of a cell: "Start db-tunnel" for the button, the name and status
    // for the text; the description holds the warnings and why the tunnel is down.
    QString accessibleText(const Tunnel& t, int column, int role, const TunnelReport* report) const;
    // The warnings, then why a tunnel that is not connected is down: for the tooltip and for
    // screen readers alike.
    static QStringList troubles(const Tunnel& t, const TunnelReport* report);

    const TunnelStore* m_source = nullptr;
    TunnelList m_rows;
    std::map<std::weak_ptr<const Tunnel>, TunnelReport, std::owner_less<>> m_reports;
};
