// Proves the end-to-end helpers against the real OpenSSH programs. Runs inside tests/e2e/isolated.sh.
#include <gtest/gtest.h>
#include <linux/magic.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <filesystem>

#include "EchoServer.h"
#include "LoopbackPort.h"
#include "ProcessProbe.h"
#include "SshAgent.h"
#include "SshdFixture.h"
#include "Subprocess.h"
#include "TempDir.h"
#include "TestAccount.h"
#include "Wait.h"

using namespace std::chrono_literals;
using namespace testsupport;

namespace {

const std::string kClosed = "Connection to 127.0.0.1 closed by remote host.";
const std::string kDenied = "Permission denied (publickey).";

std::string homeSshDir() { return std::string(getpwuid(geteuid())->pw_dir) + "/.ssh"; }

// ssh as the brief of a tunnel test has it: -N -v, batch mode, a known_hosts file of its own.
std::vector<std::string> sshCommand(const SshdFixture& sshd, const std::string& knownHosts,
                                    std::vector<std::string> extra, const std::string& user = SshdFixture::userName()) {
    std::vector<std::string> args = {"/usr/bin/ssh",
                                     "-N",
                                     "-v",
                                     "-o",
                                     "BatchMode=yes",
                                     "-o",
                                     "UserKnownHostsFile=" + knownHosts,
                                     "-p",
                                     std::to_string(sshd.port())};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back(user + "@127.0.0.1");
    return args;
}

Subprocess::Options noAgent() {
    Subprocess::Options o;
    o.unsetEnv = {"SSH_AUTH_SOCK", "SSH_ASKPASS", "SSH_ASKPASS_REQUIRE", "DISPLAY"};
    return o;
}

// Runs ssh -N until it authenticates (true) or exits (false); stops it either way. *output: what it printed.
bool authenticates(const std::vector<std::string>& args, const Subprocess::Options& options, std::string* output) {
    Subprocess ssh;
    if (!ssh.start(args, options)) return false;
    bool ok = waitUntil(
        [&] { return ssh.output().find("Authenticated to 127.0.0.1") != std::string::npos || !ssh.running(); }, 20s);
    ok = ok && ssh.output().find("Authenticated to 127.0.0.1") != std::string::npos;
    ssh.terminate();
    *output = ssh.output();
    return ok;
}

}  // namespace

TEST(IsolatedHome, SshDirIsAnEmptyPrivateTmpfs) {
    struct statfs fs {};
    struct stat st {};
    ASSERT_EQ(statfs(homeSshDir().c_str(), &fs), 0);
    EXPECT_EQ(fs.f_type, TMPFS_MAGIC) << "run through tests/e2e/isolated.sh";
    ASSERT_EQ(stat(homeSshDir().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_EQ(st.st_uid, geteuid());
    EXPECT_TRUE(std::filesystem::is_empty(homeSshDir()));
}

TEST(EchoServer, EchoesLargePayloadsAndFailsCleanlyOnClosedPorts) {
    EchoServer echo;
    ASSERT_TRUE(echo.start());
    std::string payload;
    for (int i = 0; i < 300000; ++i) payload += char('a' + i % 26);
    EXPECT_EQ(EchoServer::roundTrip(echo.port(), payload, 5000), payload);
    EXPECT_EQ(EchoServer::roundTrip(echo.port(), "second", 5000), "second");
    EXPECT_EQ(echo.connectionsAccepted(), 2);
    const int port = echo.port();
    echo.stop();
    EXPECT_EQ(EchoServer::roundTrip(port, "nobody", 2000), "");
}

TEST(SshdFixture, ForwardCarriesBytesThenStopClosesSessionAndRestartAcceptsAgain) {
    SshdFixture sshd;
    ASSERT_TRUE(sshd.start()) << sshd.error() << "\n" << sshd.log();
    EchoServer echo;
    ASSERT_TRUE(echo.start());
    TempDir dir;
    const std::string knownHosts = dir.file("known_hosts");
    ASSERT_TRUE(sshd.writeKnownHosts(knownHosts));
    EXPECT_EQ(readFile(knownHosts), "[127.0.0.1]:" + std::to_string(sshd.port()) + " " + sshd.hostKeyLine() + "\n");

    auto openTunnel = [&](Subprocess& ssh, int localPort) {
        std::string forward = std::to_string(localPort) + ":127.0.0.1:" + std::to_string(echo.port());
        ASSERT_TRUE(ssh.start(sshCommand(sshd, knownHosts, {"-i", sshd.clientKeyPath(), "-L", forward}), noAgent()));
        ASSERT_TRUE(ssh.waitForOutput("Authenticated to 127.0.0.1", 15000)) << ssh.output() << "\n" << sshd.log();
        ASSERT_TRUE(waitUntil([&] { return LoopbackPort::isListening(localPort, ssh.pid()); }, 5s));
    };

    Subprocess ssh;
    const int local = LoopbackPort::pickFree();
    openTunnel(ssh, local);
    const std::string bytes = "through the tunnel\n";
    EXPECT_EQ(EchoServer::roundTrip(local, bytes, 5000), bytes);
    EXPECT_EQ(echo.connectionsAccepted(), 1);
    // With the forwarded channel still open, ssh reports a failed send instead of the close.
    ASSERT_TRUE(ssh.waitForOutput("channel 2: free", 5000)) << ssh.output();

    // The session's own sshd processes must go too, not only the listener.
    const std::vector<pid_t> sessionSshds = ProcessProbe::descendantsOf(sshd.pid());
    EXPECT_FALSE(sessionSshds.empty());
    sshd.stop();
    ASSERT_TRUE(ssh.wait(10000)) << ssh.output();
    EXPECT_NE(ssh.output().find(kClosed), std::string::npos) << ssh.output();
    EXPECT_EQ(ssh.exitCode(), 255);
    for (pid_t p : sessionSshds) EXPECT_FALSE(isAlive(p)) << p;
    EXPECT_FALSE(LoopbackPort::acceptsConnections(sshd.port()));
    EXPECT_TRUE(ProcessProbe::childrenNamed("ssh").empty());

    const int port = sshd.port();
    ASSERT_TRUE(sshd.restart()) << sshd.error() << "\n" << sshd.log();
    EXPECT_EQ(sshd.port(), port);
    Subprocess again;
    openTunnel(again, local);
    EXPECT_EQ(EchoServer::roundTrip(local, bytes, 5000), bytes);
    again.terminate();
    EXPECT_TRUE(ProcessProbe::childrenNamed("ssh").empty());
}

TEST(SshdFixture, RefusedKeyIsDeniedAndAgentKeyIsAccepted) {
    SshdFixture sshd;
    ASSERT_TRUE(sshd.start()) << sshd.error() << "\n" << sshd.log();
    TempDir dir;
    ASSERT_TRUE(sshd.writeKnownHosts(dir.file("known_hosts")));
    std::string output;
    EXPECT_FALSE(authenticates(
        sshCommand(sshd, dir.file("known_hosts"), {"-i", sshd.refusedKeyPath(), "-o", "IdentitiesOnly=yes"}), noAgent(),
        &output));
    EXPECT_NE(output.find(kDenied), std::string::npos) << output;

    SshAgent agent;
    ASSERT_TRUE(agent.start()) << agent.error();
    ASSERT_TRUE(agent.addKey(sshd.clientKeyPath())) << agent.error();
    EXPECT_NE(agent.listKeys().find("zandrel-test-client"), std::string::npos);
    Subprocess::Options withAgent = noAgent();
    withAgent.setEnv = {"SSH_AUTH_SOCK=" + agent.socketPath()};
    EXPECT_TRUE(authenticates(sshCommand(sshd, dir.file("known_hosts"), {}), withAgent, &output)) << output;
    // Without the agent the same command has no key at all.
    EXPECT_FALSE(authenticates(sshCommand(sshd, dir.file("known_hosts"), {}), noAgent(), &output));
    EXPECT_NE(output.find(kDenied), std::string::npos) << output;
}

TEST(SshdFixture, KeyInstalledInHomeServesAPlainCommandLine) {
    SshdFixture sshd;
    ASSERT_TRUE(sshd.start()) << sshd.error() << "\n" << sshd.log();
    // No -o options at all, as the engine runs ssh: only ~/.ssh can make this work.
    const std::vector<std::string> plain = {
        "/usr/bin/ssh", "-N", "-v", "-p", std::to_string(sshd.port()), SshdFixture::userName() + "@127.0.0.1"};
    std::string output;
    EXPECT_FALSE(authenticates(plain, noAgent(), &output));
    EXPECT_NE(output.find("Host key verification failed."), std::string::npos) << output;

    ASSERT_TRUE(sshd.installClientKeyInHome()) << sshd.error();
    EXPECT_TRUE(authenticates(plain, noAgent(), &output)) << output << "\n" << sshd.log();
    std::filesystem::remove(homeSshDir() + "/id_ed25519");
    std::filesystem::remove(homeSshDir() + "/id_ed25519.pub");
    std::filesystem::remove(homeSshDir() + "/known_hosts");
}

TEST(TestAccount, PasswordAndKeyboardInteractiveLoginsThroughPam) {
    if (!SshdFixture::canCreateUsers()) GTEST_SKIP() << "creating users needs root";
    std::string name;
    {
        TestAccount account;
        ASSERT_TRUE(account.create()) << account.error();
        name = account.name();
        ASSERT_NE(getpwnam(name.c_str()), nullptr);
        TempDir dir;
        const std::string askpass = dir.file("askpass");
        ASSERT_TRUE(writeFile(askpass, "#!/bin/sh\necho '" + account.password() + "'\n", 0700));
        for (bool kbd : {false, true}) {
            SshdOptions options;
            options.passwordAuthentication = !kbd;
            options.kbdInteractiveAuthentication = kbd;
            SshdFixture sshd(options);
            ASSERT_TRUE(sshd.start()) << sshd.error() << "\n" << sshd.log();
            ASSERT_TRUE(sshd.writeKnownHosts(dir.file("known_hosts")));
            Subprocess::Options env = noAgent();
            env.setEnv = {"SSH_ASKPASS=" + askpass, "SSH_ASKPASS_REQUIRE=force"};
            std::vector<std::string> args = {"/usr/bin/ssh",
                                             "-N",
                                             "-v",
                                             "-o",
                                             "UserKnownHostsFile=" + dir.file("known_hosts"),
                                             "-o",
                                             "PubkeyAuthentication=no",
                                             "-p",
                                             std::to_string(sshd.port()),
                                             name + "@127.0.0.1"};
            std::string output;
            EXPECT_TRUE(authenticates(args, env, &output)) << output << "\n" << sshd.log();
            EXPECT_NE(output.find(kbd ? "using \"keyboard-interactive\"" : "using \"password\""), std::string::npos)
                << output;
        }
    }
    EXPECT_EQ(getpwnam(name.c_str()), nullptr);
}
