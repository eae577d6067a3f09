#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <utility>
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

    // One alias per Host line of a config file and the files it includes, in order, each once:
    // the line's first name that is no pattern (* ? !). The other names of a line only reach the
    // same block, so they would make the same tunnel again. A missing file gives none.
    static std::vector<std::string> hostAliases(const std::string& configPath);
    // ~/.ssh/config.
    static std::string userConfigPath();
    // The host as ssh resolves it; none when ssh refuses it.
    static std::optional<Host> resolve(const std::string& alias, const std::string& configPath = {});

    // How many ssh -G run at once, and how long each may take: Match exec lines run commands
    // (nc, ping, sleep …) that can take their time or never end.
    static constexpr size_t kParallel = 4;
    static constexpr std::chrono::seconds kHostTimeout{10};
    // Replaces kHostTimeout for what starts next (zero brings it back), for tests that cannot wait.
    static void setHostTimeout(std::chrono::milliseconds timeout);

    struct ResolveOutcome {
        std::vector<Host> hosts;                                   // resolved, in the order asked
        std::vector<std::pair<std::string, std::string>> refused;  // alias, ssh's own words
        bool cancelled = false;
    };
    // Resolves the aliases (every alias of the config when empty) with ssh -G, several at once
    // (at most kParallel), each under kHostTimeout: ssh and everything it started are killed then,
    // and the host is refused with "ssh took longer than N s". configPath: empty is the user's
    // config read by ssh as always; another file is read alone (-F). progress(done, total) is
    // called from the resolving threads, one call at a time, as each host finishes. cancel (may
    // be null) is polled often: once set, the running ssh are killed and the call returns promptly
    // with cancelled set and the hosts finished so far.
    static ResolveOutcome resolveAll(const std::vector<std::string>& aliases, const std::string& configPath,
                                     const std::atomic<bool>* cancel,
                                     const std::function<void(size_t done, size_t total)>& progress);

    // One alias's answer, as soon as its ssh is done.
    struct Resolution {
        size_t index = 0;  // into the aliases
        std::string alias;
        std::optional<Host> host;  // none: refused, for the reason in words
        std::string words;
    };
    using ResolutionHandler = std::function<void(const Resolution& answer, size_t done, size_t total)>;
    // resolveAll, handing each answer to each (may be empty) as it comes, for a list that fills
    // while the slow hosts are still running.
    static ResolveOutcome resolveEach(const std::vector<std::string>& aliases, const std::string& configPath,
                                      const std::atomic<bool>* cancel, const ResolutionHandler& each);
    // A tunnel for it: named after the alias, with the alias as host so that ssh_config keeps
    // applying at every start, and its forwards.
    static TunnelPtr tunnelFor(const Host& host);
    // ssh's own complaint about a "Key=Value" option ("Bad configuration option: foo"), or "".
    static std::string optionError(const std::string& option);
};
