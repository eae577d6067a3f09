#pragma once

#include <QDialog>
#include <set>
#include <string>
#include <vector>

#include "SshConfig.h"

class QLabel;
class QTableWidget;

// Lists the concrete hosts of the user's ssh config, each as ssh resolves it, for the user to
// choose the ones that become tunnels. Hosts already used by a tunnel are marked.
class ImportDialog : public QDialog {
    Q_OBJECT
public:
    // usedHosts: the hosts of the existing tunnels.
    ImportDialog(const std::string& configPath, const std::set<std::string>& usedHosts, QWidget* parent = nullptr);

    QTableWidget* table() const { return m_table; }
    QLabel* note() const { return m_note; }
    // The checked hosts, in the config's order.
    std::vector<SshConfig::Host> chosen() const;

private:
    std::vector<SshConfig::Host> m_hosts;
    QTableWidget* m_table;
    QLabel* m_note;
};
