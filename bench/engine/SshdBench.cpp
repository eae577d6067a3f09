#include "SshdBench.h"

#include <linux/magic.h>
#include <pwd.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>

int SshdBench::setUp(const char* name) {
    const passwd* pw = getpwuid(getuid());
    sshDir = std::string(pw ? pw->pw_dir : "/nonexistent") + "/.ssh";
    struct statfs fs {};
    if (statfs(sshDir.c_str(), &fs) != 0 || fs.f_type != TMPFS_MAGIC) {
        std::fprintf(stderr, "%s: %s is not a private tmpfs; run under tests/e2e/isolated.sh\n", name, sshDir.c_str());
        return 77;
    }
    testsupport::SshdOptions options;
    options.extraConfig = {"MaxStartups 100", "MaxSessions 100"};
    sshd = std::make_unique<testsupport::SshdFixture>(options);
    agent = std::make_unique<testsupport::SshAgent>();
    if (!sshd->start() || !agent->start() || !agent->addKey(sshd->clientKeyPath()) ||
        !sshd->writeKnownHosts(sshDir + "/known_hosts")) {
        std::fprintf(stderr, "%s: no sshd or agent: %s %s\n%s\n", name, sshd->error().c_str(), agent->error().c_str(),
                     sshd->log().c_str());
        return 1;
    }
    setenv("SSH_AUTH_SOCK", agent->socketPath().c_str(), 1);
    return 0;
}

std::unique_ptr<testsupport::SshdFixture> SshdBench::extraServer(testsupport::SshdOptions options) const {
    auto server = std::make_unique<testsupport::SshdFixture>(std::move(options));
    if (!server->start() || !agent->addKey(server->clientKeyPath())) return nullptr;
    std::ofstream(sshDir + "/known_hosts", std::ios::app) << server->knownHostsLine() << "\n";
    return server;
}

TunnelPtr SshdBench::tunnel(const std::string& name, const testsupport::SshdFixture& server) const {
    auto t = Tunnel::create(name);
    t->setValueForKey(Value(false), "connAuth");
    t->setValueForKey(Value("127.0.0.1"), "connHost");
    t->setValueForKey(Value(std::to_string(server.port())), "connPort");
    t->setValueForKey(Value(testsupport::SshdFixture::userName()), "connUser");
    return t;
}

bool SshdBench::allConnected(const TunnelList& tunnels, std::chrono::seconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        bool all = true;
        for (const auto& t : tunnels) all = all && t->run().isConnected();
        if (all) return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

bool SshdBench::startAll(const TunnelList& tunnels, std::chrono::seconds timeout) {
    for (size_t i = 0; i < tunnels.size(); i += 10) {
        TunnelList group(tunnels.begin() + long(i), tunnels.begin() + long(std::min(i + 10, tunnels.size())));
        for (auto& t : group) t->run().start();
        allConnected(group, timeout);
    }
    return allConnected(tunnels, timeout);
}
