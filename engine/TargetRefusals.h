#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// Connections through a tunnel's local and SOCKS forwards whose far end could not be reached
// while the tunnel itself stays up (the service behind the forward is down), from ssh's channel
// lines: "channel N: open failed: connect failed: Connection refused", then "channel N: free:
// direct-tcpip: listening port P for HOST port HP, connect from ...". A forward's warning clears
// once a connection through it succeeds, or after kQuiet without another failure.
class TargetRefusals {
public:
    static constexpr std::int64_t kQuietMs = 3 * 60 * 1000;

    enum class Seen { Nothing, FirstFailure, Failure, Success };
    // One line of ssh's output, at that time (ms since the epoch).
    Seen observe(const std::string& line, std::int64_t nowMs);
    // One sentence per forward with failures, by its port.
    std::vector<std::string> warnings(std::int64_t nowMs) const;
    // The sentence of the forward the last observed line was about ("" when none).
    std::string lastWarning(std::int64_t nowMs) const;
    void clear();
    // Where ssh listens for a forward that Zandrel holds (a socket path, a private port) → the
    // port the user set, so that warnings name the port the user knows.
    void setHeldPorts(std::map<std::string, std::string> heldToPort) { m_heldToPort = std::move(heldToPort); }
    // Where ssh listened for the connection of the last line that was about one (path or port).
    const std::string& lastListening() const { return m_lastListening; }

private:
    struct Refusal {
        std::string target;  // the last one that failed (a SOCKS forward has many)
        std::string reason;
        std::int64_t lastMs = 0;
        unsigned count = 0;
        bool socks = false;
    };
    static std::string sentence(const std::string& port, const Refusal& r);

    std::map<int, std::string> m_failedChannels;  // channel → ssh's reason, until its free line
    std::map<int, bool> m_socksChannels;
    std::map<std::string, Refusal> m_byPort;
    std::string m_lastPort;
    std::string m_lastListening;
    std::map<std::string, std::string> m_heldToPort;
};
