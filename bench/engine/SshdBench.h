#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "SshAgent.h"
#include "SshdFixture.h"
#include "Tunnel.h"

// The real-sshd benchmarks' setting: a sshd on 127.0.0.1 and an ssh-agent holding its key,
// known_hosts in the private ~/.ssh of tests/e2e/isolated.sh, and tunnels that log in through
// the agent.
class SshdBench {
public:
    // 0 when ready; else the exit status the benchmark should end with (77: not isolated).
    int setUp(const char* name);
    // A tunnel to this sshd (not started).
    TunnelPtr tunnel(const std::string& name, const testsupport::SshdFixture& server) const;
    TunnelPtr tunnel(const std::string& name) const { return tunnel(name, *sshd); }
    // A second server whose key the agent also holds.
    std::unique_ptr<testsupport::SshdFixture> extraServer(testsupport::SshdOptions options = {}) const;
    // Starts the tunnels ten at a time (sshd refuses too many handshakes at once) and waits until
    // all are connected.
    static bool startAll(const TunnelList& tunnels, std::chrono::seconds timeout);
    static bool allConnected(const TunnelList& tunnels, std::chrono::seconds timeout);

    std::unique_ptr<testsupport::SshdFixture> sshd;
    std::unique_ptr<testsupport::SshAgent> agent;
    std::string sshDir;
};
