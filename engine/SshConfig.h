#pragma once

#include <optional>
#include <string>
#include <vector>

#include "Tunnel.h"

// The user's ssh configuration, read the way the installed ssh reads it: ssh itself resolves
// every host (ssh -G) and checks every option, so Zandrel never parses ssh_config semantics.
class SshConfig {
public:
    struct Host {
        std::string alias;
        std::string user;
        std::string hostName;
        std::string port;
        ForwardList local;
        ForwardList remote;
        std::optional<std::string> dynamic;  // the SOCKS port
        std::string dynamicBind;
    };

    // The concrete Host names of a config file and the files it includes, in order, each once;
    // patterns (* ? !) are left out. A missing file gives none.
    static std::vector<std::string> hostAliases(const std::string& configPath);
    // ~/.ssh/config.
    static std::string userConfigPath();
    // The host as ssh resolves it; none when ssh refuses it.
    static std::optional<Host> resolve(const std::string& alias, const std::string& configPath = {});
    // A tunnel for it: named after the alias, with the alias as host so that ssh_config keeps
    // applying at every start, and its forwards.
    static TunnelPtr tunnelFor(const Host& host);
    // ssh's own complaint about a "Key=Value" option ("Bad configuration option: foo"), or "".
    static std::string optionError(const std::string& option);
};
