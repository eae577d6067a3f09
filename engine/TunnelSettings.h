#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Value.h"

// One port forward: "port", "host", "hostport", "bind" as text, any of which may be missing.
// stored is the entry as it was read, so that saving gives back, with their types, the values
// Zandrel did not change and the keys it does not know.
struct ForwardEntry : std::map<std::string, std::string> {
    using std::map<std::string, std::string>::map;
    Value stored;
};
// A field of a forward; "" when missing.
inline std::string forwardField(const ForwardEntry& entry, const char* key) {
    const auto it = entry.find(key);
    return it == entry.end() ? std::string() : it->second;
}
// Forward lists are immutable once published; every change replaces the list whole.
using ForwardList = std::vector<ForwardEntry>;

// A tunnel's settings as plain values: what the stored form holds, what ssh's command line is
// built from. A field that was never set is empty (std::nullopt, or a null list).
struct TunnelSettings {
    static constexpr std::int64_t kDefaultKeepAlive = 15;  // seconds; ssh gives up after 3 missed
    static constexpr std::int64_t kDefaultIdleMinutes = 10;

    bool connAuth = false;
    bool autoConnect = false;
    std::optional<std::string> connName;
    std::optional<std::string> connPort;
    bool connRemote = false;
    bool compression = false;
    bool v1 = false;
    std::optional<std::string> encryption;
    bool socks4 = false;
    std::optional<std::int64_t> socks4p;
    std::optional<std::string> connUser;
    std::optional<std::string> connHost;
    std::optional<std::int64_t> keepAlive;
    std::optional<std::string> identityFile;
    std::optional<std::string> jumpHosts;
    std::optional<std::vector<std::string>> sshOptions;
    std::optional<std::string> socks4b;
    std::optional<std::string> group;  // a name shared by the tunnels of one group; none: ungrouped
    std::shared_ptr<const ForwardList> tunnelsLocal;
    std::shared_ptr<const ForwardList> tunnelsRemote;
    // Zandrel holds the local and SOCKS ports; ssh starts at the first connection to one, and
    // ends after idleMinutes without any (0: never).
    bool onDemand = false;
    std::optional<std::int64_t> idleMinutes;
};

// Where ssh's forwards listen when Zandrel holds the tunnel's ports: one Unix socket per local
// forward (by its index; "" for one that does not reach ssh), and a loopback port for SOCKS.
struct HeldEndpoints {
    std::vector<std::string> localPaths;
    int socksPort = 0;
    bool operator==(const HeldEndpoints&) const = default;
};
