#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The bytes a tunnel's connection to its server had carried at one moment.
struct TrafficSample {
    std::int64_t atMs = 0;  // since the epoch
    std::uint64_t sent = 0;
    std::uint64_t received = 0;
};

// What one port that Zandrel holds for a tunnel has carried.
struct ForwardStats {
    std::string listen, target;  // "localhost:8143", "db.internal:5432"; "SOCKS" for the SOCKS port
    std::uint64_t bytesToTarget = 0, bytesFromTarget = 0;
    unsigned open = 0, total = 0, refused = 0;
};

// Everything known about a tunnel at one moment, for its details, its tooltip, D-Bus
// TunnelStatus and `zandrel --status`.
struct TunnelReport {
    // "idle", "connecting", "connected", "retrying", "stopping", "stopped" (with a reason that
    // needs the user) or "ready"; scripts match these words.
    std::string state;
    std::string status;                  // the row's status text
    std::string reason;                  // why the last run failed or the tunnel stopped; "" when nothing failed
    std::vector<std::string> command;    // argument vector of the ssh that runs now; empty when none
    std::vector<std::string> addresses;  // where it listens and where that leads
    // On the connection to the server (the first hop's through jump hosts), since it connected.
    std::uint64_t bytesSent = 0;
    std::uint64_t bytesReceived = 0;
    std::int64_t connectedSinceMs = 0;  // 0 when not connected
    double sendRate = 0;                // bytes per second, over the last samples
    double receiveRate = 0;
    unsigned dropsToday = 0;
    // Forwards open to the network, remote forwards asking for more than the server's loopback,
    // targets that refused: each a sentence.
    std::vector<std::string> warnings;
    std::vector<TrafficSample> samples;  // the last minutes, oldest first
    std::vector<ForwardStats> forwards;  // per held port, while Zandrel holds them
};
