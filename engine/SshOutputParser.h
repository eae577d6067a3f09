#pragma once

#include <optional>
#include <string>
#include <utility>

#include "TunnelSettings.h"

// What one line of ssh's verbose output says. Matching is plain and case-sensitive.
class SshOutputParser {
public:
    enum class Marker {
        Connected,
        Authenticated,
        PortForwarded,
        ClosedByRemote,
        // ssh waits for the server's answers to its remote forwards, and has them all.
        ForwardRepliesExpected,
        ForwardRepliesReceived,
        // A jump host's ssh (ProxyJump) forwards its stdio: its own session line is not ours.
        JumpSession
    };

    static bool holds(const std::string& line, Marker marker);
    // The port text of a forwarded-port line: the text after "Connections to local port " up to
    // "forwarded" (blank included, as ssh wrote it), or the port of the listening address of
    // "Local connections to HOST:PORT forwarded ...". None when the line names no port.
    static std::optional<std::string> forwardedPort(const std::string& line);
    // The local forward that "Local connections to LISTEN:PORT forwarded to remote address
    // HOST:PORT" announces (ssh writes one per -L, -D, LocalForward and DynamicForward it sets up):
    // "bind" (empty for ssh's LOCALHOST), "port", and "host" and "hostport" but for a SOCKS one.
    static std::optional<ForwardEntry> localForward(const std::string& line);
    // The numeric address and port of "Connecting to HOST [ADDRESS] port PORT.": where ssh (or,
    // through jump hosts, the first hop's ssh) opens its connection.
    static std::optional<std::pair<std::string, int>> connectingTo(const std::string& line);
    // A line worth showing as the reason a run failed: not a debug line and not one of ssh's
    // routine lines.
    static bool isReportable(const std::string& line);
    // A forward that cannot work: a local port taken on one of its addresses, or a remote
    // forward the server refused.
    static bool isForwardFailure(const std::string& line);
    // The local port of "bind [127.0.0.1]:8143: Address already in use", or none.
    static std::optional<int> busyPort(const std::string& line);
    // The reason as shown: ssh's "login@host: " before a refusal is dropped, since the tunnel
    // already names both; ssh's usage text (a command line it refused) becomes one plain line.
    static std::string reportText(const std::string& line);
    // A line ssh writes for one forwarded connection or its channel (opened, connected, refused,
    // freed), as opposed to the lines of the login, its session channel and its listeners.
    static bool isPerConnection(const std::string& line);
};
