#pragma once

#include <QTimer>
#include <QWidget>
#include <memory>
#include <vector>

#include "Tunnel.h"
#include "TunnelReport.h"

class QLabel;
class QPlainTextEdit;
class QPushButton;
class QVBoxLayout;
class RateGraph;

// "Details": one tunnel's state and since when, status and reason, the ssh command that runs,
// its addresses, traffic and rates with a graph of the last minutes, its warnings and its
// journal. It holds the tunnel weakly; the tunnels window closes it when the tunnel goes.
class TunnelDetailsWindow : public QWidget {
    Q_OBJECT
public:
    // How often a visible window counts the traffic anew.
    static constexpr int kRefreshMs = 1000;

    explicit TunnelDetailsWindow(const TunnelPtr& tunnel, QWidget* parent = nullptr);

    bool shows(const Tunnel& tunnel) const { return m_tunnel.lock().get() == &tunnel; }
    // The tunnel's status changed: its report and its journal are read again.
    void statusChanged();
    // Its report is read again.
    void refresh();
    // The title follows a rename.
    void followName();

    QLabel* stateLabel() const { return m_state; }
    QLabel* trafficLabel() const { return m_traffic; }
    QLabel* rateLabel() const { return m_rates; }
    QLabel* forwardsLabel() const { return m_forwards; }
    QPlainTextEdit* commandText() const { return m_command; }
    QPlainTextEdit* journalText() const { return m_journal; }
    QWidget* warningsBox() const { return m_warnings; }
    RateGraph* graph() const { return m_graph; }

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void reloadJournal();
    void showWarnings(const std::vector<std::string>& warnings);

    std::weak_ptr<Tunnel> m_tunnel;
    QLabel* m_state;
    QLabel* m_status;
    QLabel* m_reason;
    QPlainTextEdit* m_command;
    QPushButton* m_copy;
    QLabel* m_addresses;
    QLabel* m_traffic;
    QLabel* m_rates;
    QLabel* m_drops;
    QLabel* m_forwards;  // per held port: what it carried
    QLabel* m_forwardsTitle = nullptr;
    QWidget* m_warnings;
    QVBoxLayout* m_warningLines;
    std::vector<std::string> m_shownWarnings;
    RateGraph* m_graph;
    QPlainTextEdit* m_journal;
    QPushButton* m_close;
    QTimer m_timer;
};
