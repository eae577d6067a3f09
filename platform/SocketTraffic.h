#pragma once

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// What the kernel knows of a process's TCP sockets, through the socket diagnostics netlink
// interface (the one `ss` uses): the bytes a connection carried, and where it listens. Both
// are the kernel's own counts, so they hold whatever the program inside does.
class SocketTraffic {
public:
    // One TCP connection, as the kernel names it for an exact look-up.
    struct Connection {
        int family = 0;
        std::array<std::uint32_t, 4> source{}, destination{};
        std::uint16_t sourcePort = 0, destinationPort = 0;  // network byte order
        std::uint32_t interface = 0;
        std::array<std::uint32_t, 2> cookie{};
        unsigned long inode = 0;
    };
    struct Counts {
        std::uint64_t sent = 0;  // acknowledged by the peer
        std::uint64_t received = 0;
    };
    struct Listener {
        std::string address;  // numeric; an IPv6 one bracketed
        int port = 0;
        bool loopback = false;
    };

    // The oldest established connection of the process or one of its descendants whose peer is
    // that numeric address and port (as ssh's "Connecting to HOST [ADDRESS] port PORT." names
    // them): through a jump host, the descendant ssh's connection to the first hop.
    static std::optional<Connection> findConnection(pid_t root, const std::string& peerAddress, int peerPort);
    // The connection's counts now; none once it is gone.
    static std::optional<Counts> counts(const Connection& connection);
    // Every TCP socket the process listens on.
    static std::vector<Listener> listeners(pid_t pid);
    // The socket inodes of the process and, with descendants, of every process below it.
    static std::vector<unsigned long> socketInodes(pid_t root, bool descendants);
};
