#pragma once

#include <sys/types.h>

namespace testsupport {

// TCP ports on 127.0.0.1 for tests.
class LoopbackPort {
public:
    // A port that was free a moment ago (bound as port 0 on 127.0.0.1, then released); 0 on failure.
    // Whoever binds it next may race with another program, so callers retry on "address in use".
    static int pickFree();
    // True when some socket listens on this TCP port (IPv4 or IPv6, any local address), read from
    // /proc/net/tcp{,6}: asks without connecting, so the listener sees no extra connection.
    // With an owner, the listening socket must also be one of that process's descriptors.
    static bool isListening(int port, pid_t owner = 0);
    // True when a TCP connect to 127.0.0.1:port succeeds within timeoutMs (then closed at once).
    static bool acceptsConnections(int port, int timeoutMs = 1000);
};

}  // namespace testsupport
