#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "Subprocess.h"
#include "TempDir.h"

namespace testsupport {

struct SshdOptions {
    bool pubkeyAuthentication = true;
    // Both go through PAM (UsePAM yes, Debian's /etc/pam.d/sshd); they need sshd running as root
    // and a TestAccount to log in with.
    bool passwordAuthentication = false;
    bool kbdInteractiveAuthentication = false;
    int clientAliveInterval = 0;  // seconds; 0: off
    int clientAliveCountMax = 3;
    std::vector<std::string> extraConfig;  // sshd_config lines, ahead of the defaults (the first value wins)
};

// A real /usr/bin/sshd on 127.0.0.1 for one test, with its own host key, accepted client key
// and refused client key in a temp dir. Runs as the current user: as root any user (root too) may
// log in; as a normal user only that user. Its log (sshd -e) is logPath(); print log() on failure.
class SshdFixture {
public:
    explicit SshdFixture(SshdOptions options = {});
    ~SshdFixture();  // stop()
    SshdFixture(const SshdFixture&) = delete;
    SshdFixture& operator=(const SshdFixture&) = delete;

    // Makes the keys and the config (first call), picks a free port (first call; later calls keep
    // it), starts sshd and waits up to 10 s until the port listens. False: error() and log().
    bool start();
    // Ends the listener and every per-connection sshd, so live sessions see "closed by remote
    // host."; all reaped or gone when it returns. Does nothing when not running.
    void stop();
    // stop(), then start() on the same port.
    bool restart();
    bool isRunning();
    pid_t pid() const { return m_sshd.pid(); }

    int port() const { return m_port; }
    static std::string userName();  // the current user, from getpwuid(geteuid())
    std::string clientKeyPath() const { return m_dir.file("client_ed25519"); }
    std::string refusedKeyPath() const { return m_dir.file("refused_ed25519"); }
    std::string authorizedKeysPath() const { return m_dir.file("authorized_keys"); }
    std::string configPath() const { return m_dir.file("sshd_config"); }
    std::string logPath() const { return m_dir.file("sshd.log"); }
    std::string log() const;
    const std::string& directory() const { return m_dir.path(); }
    const std::string& error() const { return m_error; }

    // "ssh-ed25519 AAAA..." (type and key, no comment); "" before start().
    std::string hostKeyLine() const;
    // "[127.0.0.1]:PORT ssh-ed25519 AAAA..."
    std::string knownHostsLine() const;
    // Writes (replaces) a known_hosts file holding knownHostsLine().
    bool writeKnownHosts(const std::string& path) const;
    // For tests whose ssh command line is fixed: copies the accepted key to ~/.ssh/id_ed25519
    // (+ .pub) and writes ~/.ssh/known_hosts. Refuses (false, error()) unless ~/.ssh is a tmpfs,
    // as inside tests/e2e/isolated.sh, so the user's own files are never touched.
    bool installClientKeyInHome();

    // True when this process may create throwaway local users (TestAccount).
    static bool canCreateUsers();

private:
    bool prepare();
    bool launch();

    SshdOptions m_options;
    TempDir m_dir{"zandrel-sshd"};
    Subprocess m_sshd;
    bool m_prepared = false;
    int m_port = 0;
    std::string m_error;
};

}  // namespace testsupport
