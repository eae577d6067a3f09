#include "SshConfigImporter.h"

#include <set>

#include "ImportDialog.h"
#include "SshConfig.h"

TunnelList SshConfigImporter::chooseTunnels(const TunnelStore& existing, QWidget* parent) const {
    std::set<std::string> used;
    for (const TunnelPtr& t : existing.tunnels()) used.insert(t->valueForKey("connHost").text());
    ImportDialog dialog(m_configPath.empty() ? SshConfig::userConfigPath() : m_configPath, used, parent);
    if (dialog.exec() != QDialog::Accepted) return {};
    TunnelList tunnels;
    for (const auto& host : dialog.chosen()) tunnels.push_back(SshConfig::tunnelFor(host));
    return tunnels;
}
