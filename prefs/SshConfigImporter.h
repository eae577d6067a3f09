#pragma once

#include <string>

#include "TunnelStore.h"

class QWidget;

// The "Import…" flow: the user picks hosts of an ssh config, and each becomes a tunnel named
// after its alias. Hosts a tunnel already uses are marked in the list.
class SshConfigImporter {
public:
    // The config to read; empty (the default) is the user's ~/.ssh/config.
    void setConfigPath(const std::string& path) { m_configPath = path; }

    // The tunnels of the hosts picked, in the config's order; none when the user cancels.
    TunnelList chooseTunnels(const TunnelStore& existing, QWidget* parent) const;

private:
    std::string m_configPath;
};
