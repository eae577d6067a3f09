#include "SshAgent.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "Wait.h"

namespace testsupport {
namespace {

bool socketAnswers(const std::string& path) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    path.copy(addr.sun_path, sizeof addr.sun_path - 1);
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}

Subprocess::Options agentEnv(const std::string& socket) {
    Subprocess::Options options;
    options.setEnv = {"SSH_AUTH_SOCK=" + socket};
    options.unsetEnv = {"SSH_ASKPASS", "DISPLAY"};
    return options;
}

}  // namespace

SshAgent::SshAgent() : m_socket(m_dir.file("agent.sock")) {}

SshAgent::~SshAgent() { stop(); }

bool SshAgent::start() {
    if (m_agent.running()) return true;
    if (m_socket.size() >= sizeof(sockaddr_un::sun_path)) {
        m_error = "socket path too long for AF_UNIX: " + m_socket;
        return false;
    }
    unlink(m_socket.c_str());
    Subprocess::Options options;
    options.outputPath = m_dir.file("agent.log");
    if (!m_agent.start({"ssh-agent", "-D", "-a", m_socket}, options)) {
        m_error = m_agent.error();
        return false;
    }
    if (!waitUntil([&] { return socketAnswers(m_socket) || !m_agent.running(); }, std::chrono::seconds(10)) ||
        !m_agent.running()) {
        m_error = "ssh-agent did not open " + m_socket + ": " + m_agent.output();
        m_agent.terminate();
        return false;
    }
    return true;
}

bool SshAgent::addKey(const std::string& privateKeyPath) {
    std::string output;
    if (Subprocess::run({"ssh-add", privateKeyPath}, &output, agentEnv(m_socket), 10000) != 0) {
        m_error = "ssh-add " + privateKeyPath + ": " + output;
        return false;
    }
    return true;
}

std::string SshAgent::listKeys() {
    std::string output;
    return Subprocess::run({"ssh-add", "-l"}, &output, agentEnv(m_socket), 10000) == 0 ? output : std::string();
}

void SshAgent::stop() {
    m_agent.terminate();
    unlink(m_socket.c_str());
}

}  // namespace testsupport
