#include "SshdFixture.h"

#include <linux/magic.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <set>
#include <sstream>
#include <thread>

#include "LoopbackPort.h"
#include "ProcessProbe.h"
#include "TestAccount.h"
#include "Wait.h"

namespace testsupport {
namespace {

constexpr const char* kSshd = "/usr/sbin/sshd";
constexpr int kStartTimeoutMs = 10000;

bool keygen(const std::string& path, const std::string& comment, std::string* error) {
    std::string output;
    int rc = Subprocess::run({"ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-C", comment, "-f", path}, &output);
    if (rc != 0) *error = "ssh-keygen " + path + " failed (" + std::to_string(rc) + "): " + output;
    return rc == 0;
}

}  // namespace

SshdFixture::SshdFixture(SshdOptions options) : m_options(std::move(options)) {}

SshdFixture::~SshdFixture() { stop(); }

std::string SshdFixture::userName() {
    const passwd* pw = getpwuid(geteuid());
    return pw ? pw->pw_name : std::to_string(geteuid());
}

bool SshdFixture::canCreateUsers() { return TestAccount::supported(); }

std::string SshdFixture::log() const { return readFile(logPath()); }

bool SshdFixture::prepare() {
    if (m_prepared) return true;
    if (!keygen(m_dir.file("host_ed25519"), "zandrel-test-host", &m_error) ||
        !keygen(clientKeyPath(), "zandrel-test-client", &m_error) ||
        !keygen(refusedKeyPath(), "zandrel-test-refused", &m_error))
        return false;
    if (!writeFile(authorizedKeysPath(), readFile(clientKeyPath() + ".pub"), 0600)) {
        m_error = "cannot write " + authorizedKeysPath();
        return false;
    }
    // Privilege separation as root chroots into this directory; Debian makes it only at boot
    // through systemd, which a container or CI machine may not run.
    if (geteuid() == 0 && mkdir("/run/sshd", 0755) != 0 && errno != EEXIST) {
        m_error = std::string("mkdir /run/sshd: ") + std::strerror(errno);
        return false;
    }
    m_prepared = true;
    return true;
}

bool SshdFixture::launch() {
    const SshdOptions& o = m_options;
    const bool pam = o.passwordAuthentication || o.kbdInteractiveAuthentication;
    std::ostringstream config;
    // sshd takes the first value of a keyword: the test's own lines go first.
    for (const auto& line : o.extraConfig) config << line << "\n";
    config << "ListenAddress 127.0.0.1\n"
           << "Port " << m_port << "\n"
           << "HostKey " << m_dir.file("host_ed25519") << "\n"
           << "AuthorizedKeysFile " << authorizedKeysPath() << "\n"
           << "PidFile " << m_dir.file("sshd.pid") << "\n"
           << "StrictModes no\n"
           << "UsePAM " << (pam ? "yes" : "no") << "\n"
           << "PermitRootLogin yes\n"
           << "PubkeyAuthentication " << (o.pubkeyAuthentication ? "yes" : "no") << "\n"
           << "PasswordAuthentication " << (o.passwordAuthentication ? "yes" : "no") << "\n"
           << "KbdInteractiveAuthentication " << (o.kbdInteractiveAuthentication ? "yes" : "no") << "\n"
           << "AllowTcpForwarding yes\n"
           << "GatewayPorts no\n"
           << "X11Forwarding no\n"
           << "PrintMotd no\n"
           << "PrintLastLog no\n"
           << "MaxStartups 100:30:200\n"
           << "LogLevel VERBOSE\n";
    if (o.clientAliveInterval > 0)
        config << "ClientAliveInterval " << o.clientAliveInterval << "\n"
               << "ClientAliveCountMax " << o.clientAliveCountMax << "\n";
    if (!writeFile(configPath(), config.str(), 0600)) {
        m_error = "cannot write " + configPath();
        return false;
    }

    const size_t logStart = log().size();
    Subprocess::Options options;
    options.outputPath = logPath();
    if (!m_sshd.start({kSshd, "-D", "-e", "-f", configPath()}, options)) {
        m_error = m_sshd.error();
        return false;
    }
    // The listening socket must be sshd's own: another program on the port does not count.
    const bool settled = waitUntil([&] { return LoopbackPort::isListening(m_port, m_sshd.pid()) || !m_sshd.running(); },
                                   std::chrono::milliseconds(kStartTimeoutMs));
    if (settled && m_sshd.running()) return true;
    if (settled) {
        m_error = "sshd exited with " + std::to_string(m_sshd.exitCode()) + ": " + log().substr(logStart);
        return false;
    }
    m_error = "sshd did not listen on port " + std::to_string(m_port) + " within 10 s";
    m_sshd.terminate();
    return false;
}

bool SshdFixture::start() {
    if (isRunning()) return true;
    if (!prepare()) return false;
    const bool fixedPort = m_port != 0;
    for (int attempt = 0; attempt < 10; ++attempt) {
        if (!fixedPort) m_port = LoopbackPort::pickFree();
        if (m_port == 0) {
            m_error = "no free port on 127.0.0.1";
            return false;
        }
        if (launch()) return true;
        bool portTaken = m_error.find("Address already in use") != std::string::npos ||
                         m_error.find("Cannot bind any address") != std::string::npos;
        if (!portTaken) return false;
        // Someone took the port between picking and binding: a new one, or on restart the
        // same one again a little later.
        if (fixedPort) std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    return false;
}

bool SshdFixture::isRunning() { return m_sshd.running(); }

void SshdFixture::stop() {
    if (!m_sshd.running()) return;
    const pid_t listener = m_sshd.pid();
    // Each connection's sshd calls setsid(), so it is outside the listener's process group, and a
    // dead listener leaves its sessions running. Freeze the tree so that nothing forks while it is
    // listed (repeat until a pass finds no one new), then end all of it.
    kill(listener, SIGSTOP);
    std::set<pid_t> tree;
    for (int pass = 0; pass < 20; ++pass) {
        bool added = false;
        for (pid_t p : ProcessProbe::descendantsOf(listener))
            if (tree.insert(p).second) {
                kill(p, SIGSTOP);
                added = true;
            }
        if (!added) break;
    }
    for (pid_t p : tree) {
        kill(p, SIGTERM);
        kill(p, SIGCONT);
    }
    m_sshd.signalGroup(SIGTERM);
    m_sshd.signalGroup(SIGCONT);
    if (!m_sshd.wait(5000)) m_sshd.terminate(0);
    auto allGone = [&] {
        for (pid_t p : tree)
            if (isAlive(p)) return false;
        return true;
    };
    if (!waitUntil(allGone, std::chrono::seconds(5)))
        for (pid_t p : tree)
            if (isAlive(p)) kill(p, SIGKILL);
    waitUntil(allGone, std::chrono::seconds(2));
}

bool SshdFixture::restart() {
    stop();
    return start();
}

std::string SshdFixture::hostKeyLine() const {
    std::istringstream in(readFile(m_dir.file("host_ed25519.pub")));
    std::string type, key;
    in >> type >> key;
    return key.empty() ? std::string() : type + " " + key;
}

std::string SshdFixture::knownHostsLine() const {
    return "[127.0.0.1]:" + std::to_string(m_port) + " " + hostKeyLine();
}

bool SshdFixture::writeKnownHosts(const std::string& path) const {
    return m_port != 0 && !hostKeyLine().empty() && writeFile(path, knownHostsLine() + "\n", 0600);
}

bool SshdFixture::installClientKeyInHome() {
    const passwd* pw = getpwuid(geteuid());
    if (!pw || !pw->pw_dir || !*pw->pw_dir) {
        m_error = "no home directory for uid " + std::to_string(geteuid());
        return false;
    }
    const std::string home = pw->pw_dir, sshDir = home + "/.ssh";
    // Only a tmpfs mounted on ~/.ssh itself (a mount point, not a tmpfs home) proves that
    // these files are the namespace's and not the user's.
    struct statfs fs {};
    struct stat dirStat {
    }, homeStat{};
    if (statfs(sshDir.c_str(), &fs) != 0 || fs.f_type != TMPFS_MAGIC || stat(sshDir.c_str(), &dirStat) != 0 ||
        stat(home.c_str(), &homeStat) != 0 || dirStat.st_dev == homeStat.st_dev) {
        m_error = sshDir + " is not a tmpfs of its own; run the test through tests/e2e/isolated.sh";
        return false;
    }
    if (m_port == 0 || !writeFile(sshDir + "/id_ed25519", readFile(clientKeyPath()), 0600) ||
        !writeFile(sshDir + "/id_ed25519.pub", readFile(clientKeyPath() + ".pub"), 0644) ||
        !writeKnownHosts(sshDir + "/known_hosts")) {
        m_error = "cannot write the key and known_hosts into " + sshDir + " (start() first)";
        return false;
    }
    return true;
}

}  // namespace testsupport
