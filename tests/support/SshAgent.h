#pragma once

#include <string>

#include "Subprocess.h"
#include "TempDir.h"

namespace testsupport {

// A private ssh-agent (ssh-agent -D -a SOCKET) for one test. Nothing here changes this process's
// environment: a test that wants ssh to use the agent sets SSH_AUTH_SOCK=socketPath() itself.
class SshAgent {
public:
    SshAgent();
    ~SshAgent();  // stop()
    SshAgent(const SshAgent&) = delete;
    SshAgent& operator=(const SshAgent&) = delete;

    // Starts the agent and waits up to 10 s for its socket. False: error().
    bool start();
    // ssh-add privateKeyPath, with SSH_AUTH_SOCK set for that ssh-add only. False: error().
    bool addKey(const std::string& privateKeyPath);
    // Output of ssh-add -l (one fingerprint line per key), "" when the agent cannot be asked.
    std::string listKeys();
    void stop();
    bool isRunning() { return m_agent.running(); }

    const std::string& socketPath() const { return m_socket; }
    const std::string& error() const { return m_error; }

private:
    TempDir m_dir{"zandrel-agent"};
    std::string m_socket;
    Subprocess m_agent;
    std::string m_error;
};

}  // namespace testsupport
