#pragma once

#include <string>

// Who listens on a local TCP port, when it is a program of this user: "port 8080 is used by
// python3, pid 4242", or "" (free, someone else's, or not to be found). Reads /proc.
class PortOwner {
public:
    static std::string describe(int port);
};
