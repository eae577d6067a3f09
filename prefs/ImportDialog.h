#pragma once

#include <QDialog>
#include <atomic>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "SshConfig.h"

class QLabel;
class QProgressBar;
class QPushButton;
class QTableWidget;

// Lists the concrete hosts of the user's ssh config, each as ssh resolves it, for the user to
// choose the ones that become tunnels. Hosts already used by a tunnel are marked; hosts ssh
// refuses are shown greyed with its reason. ssh runs on a worker thread, so the dialog opens at
// once and fills as the hosts come; closing it stops the ssh still running.
class ImportDialog : public QDialog {
    Q_OBJECT
public:
    // usedHosts: the hosts of the existing tunnels.
    ImportDialog(const std::string& configPath, const std::set<std::string>& usedHosts, QWidget* parent = nullptr);
    ~ImportDialog() override;

    QTableWidget* table() const { return m_table; }
    QLabel* note() const { return m_note; }
    QProgressBar* progress() const { return m_progress; }
    bool isReading() const { return m_worker.joinable() && !m_finished; }
    // The checked hosts, in the config's order.
    std::vector<SshConfig::Host> chosen() const;

    void done(int result) override;

private:
    void showProgress(size_t done, size_t total);
    void add(const SshConfig::Resolution& answer);
    void fitColumns();
    void finish();
    void stop();

    struct Row {
        size_t index;  // in the config
        std::optional<SshConfig::Host> host;
    };
    std::vector<Row> m_rows;  // the table's, in the config's order
    std::set<std::string> m_usedHosts;
    QString m_path;
    size_t m_refused = 0;
    bool m_finished = false;
    QTableWidget* m_table;
    QLabel* m_note;
    QProgressBar* m_progress;
    QPushButton* m_import = nullptr;
    std::atomic<bool> m_cancel{false};
    std::thread m_worker;  // joined before the dialog goes: it posts to it
};
