#pragma once

#include <string>

// What ssh's lines of one run say about why it ended: whether another run could fare better,
// and the reason to show when it cannot, in words that say what to do.
class RunFailure {
public:
    enum class Kind {
        Heals,           // network, server, a busy port: the next run may work
        LoginRefused,    // Permission denied: worth a few tries, never many (intrusion blockers)
        HostKeyChanged,  // the server's identity is not the one known
        BadOptions,      // ssh refused an option or a config keyword
        BadJumpHosts,    // ssh refused the jump host chain
        JumpHostLoop,    // ssh starts ssh through a jump host again and again, and never ends
    };
    // A legitimate chain of jump hosts is far shorter: beyond it, the chain is taken for a loop.
    static constexpr int kMaxJumpDepth = 10;

    // Takes one whole line of ssh's output.
    void observe(const std::string& line);
    Kind kind() const;
    // For the kinds that do not heal: ssh's own words and what to do.
    std::string reason() const;

private:
    bool m_hostKeyChanged = false;
    bool m_verificationFailed = false;
    bool m_badOption = false;
    bool m_badJump = false;
    bool m_refused = false;
    int m_proxyCommands = 0;    // ssh processes of the run started as a jump host's proxy
    std::string m_fingerprint;  // of the key the server now sends
    std::string m_removeCommand;
    std::string m_sshWords;  // the first line of ssh's complaint
};
