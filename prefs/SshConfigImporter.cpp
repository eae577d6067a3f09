#include "SshConfigImporter.h"

#include <QPointer>
#include <set>

#include "ImportDialog.h"
#include "SshConfig.h"

TunnelList SshConfigImporter::chooseTunnels(const TunnelStore& existing, QWidget* parent) const {
    std::set<std::string> used;
    for (const TunnelPtr& t : existing.tunnels()) used.insert(t->valueForKey("connHost").text());
    // Guarded: a parent that goes while the dialog is open takes the dialog with it.
    QPointer<ImportDialog> dialog =
        new ImportDialog(m_configPath.empty() ? SshConfig::userConfigPath() : m_configPath, used, parent);
    const bool accepted = dialog->exec() == QDialog::Accepted;
    TunnelList tunnels;
    if (accepted && dialog)
        for (const auto& host : dialog->chosen()) tunnels.push_back(SshConfig::tunnelFor(host));
    delete dialog;
    return tunnels;
}
