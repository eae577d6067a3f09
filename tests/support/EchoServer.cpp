#include "EchoServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <vector>

namespace testsupport {
namespace {

constexpr size_t kMaxClients = 64;
constexpr size_t kMaxPending = 1 << 20;  // per client; reading pauses above it

struct Client {
    int fd;
    std::string pending;
    bool peerClosed = false;
};

int elapsedMs(std::chrono::steady_clock::time_point since) {
    return int(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since).count());
}

}  // namespace

EchoServer::EchoServer() = default;

EchoServer::~EchoServer() { stop(); }

bool EchoServer::start() {
    if (m_thread.joinable()) return true;
    m_listenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    m_wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (m_listenFd < 0 || m_wakeFd < 0 || bind(m_listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(m_listenFd, 64) != 0 || getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        stop();
        return false;
    }
    m_port = ntohs(addr.sin_port);
    m_accepted = 0;
    m_thread = std::thread([this] { serve(); });
    return true;
}

void EchoServer::stop() {
    if (m_thread.joinable()) {
        uint64_t one = 1;
        (void)!write(m_wakeFd, &one, sizeof one);
        m_thread.join();
    }
    if (m_listenFd >= 0) close(m_listenFd);
    if (m_wakeFd >= 0) close(m_wakeFd);
    m_listenFd = m_wakeFd = -1;
}

void EchoServer::serve() {
    std::vector<Client> clients;
    for (;;) {
        std::vector<pollfd> fds;
        fds.push_back({m_wakeFd, POLLIN, 0});
        fds.push_back({m_listenFd, short(clients.size() < kMaxClients ? POLLIN : 0), 0});
        for (const Client& c : clients) {
            short events = 0;
            if (!c.peerClosed && c.pending.size() < kMaxPending) events |= POLLIN;
            if (!c.pending.empty()) events |= POLLOUT;
            fds.push_back({c.fd, events, 0});
        }
        if (poll(fds.data(), fds.size(), 1000) < 0 && errno != EINTR) break;
        if (fds[0].revents) break;
        if (fds[1].revents & POLLIN) {
            int fd = accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (fd >= 0) {
                clients.push_back({fd, {}});
                ++m_accepted;
            }
        }
        // fds[2 + i] belongs to clients[i] as they were before this round's accept.
        for (size_t i = 0; i + 2 < fds.size(); ++i) {
            Client& c = clients[i];
            const short revents = fds[i + 2].revents;
            bool drop = revents & (POLLERR | POLLNVAL);
            if (!drop && (revents & (POLLIN | POLLHUP)) && !c.peerClosed) {
                char buffer[16384];
                ssize_t n = read(c.fd, buffer, sizeof buffer);
                if (n > 0)
                    c.pending.append(buffer, size_t(n));
                else if (n == 0)
                    c.peerClosed = true;
                else if (errno != EAGAIN && errno != EINTR)
                    drop = true;
            }
            if (!drop && !c.pending.empty()) {
                ssize_t n = send(c.fd, c.pending.data(), c.pending.size(), MSG_NOSIGNAL);
                if (n > 0)
                    c.pending.erase(0, size_t(n));
                else if (n < 0 && errno != EAGAIN && errno != EINTR)
                    drop = true;
            }
            if (drop || (c.peerClosed && c.pending.empty())) {
                close(c.fd);
                c.fd = -1;
            }
        }
        std::erase_if(clients, [](const Client& c) { return c.fd < 0; });
    }
    for (const Client& c : clients) close(c.fd);
}

std::string EchoServer::roundTrip(const std::string& address, int port, const std::string& bytes, int timeoutMs) {
    const auto started = std::chrono::steady_clock::now();
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return {};
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(port));
    if (inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1) {
        close(fd);
        return {};
    }
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 && errno != EINPROGRESS) {
        close(fd);
        return {};
    }
    std::string received;
    size_t sent = 0;
    bool connected = false;
    while (received.size() < bytes.size()) {
        int left = timeoutMs - elapsedMs(started);
        if (left <= 0) break;
        pollfd p{fd, short(POLLIN | (sent < bytes.size() || !connected ? POLLOUT : 0)), 0};
        if (poll(&p, 1, left) <= 0) continue;
        if (!connected && (p.revents & (POLLOUT | POLLERR | POLLHUP))) {
            int err = 0;
            socklen_t len = sizeof err;
            if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) break;
            connected = true;
        }
        if ((p.revents & POLLOUT) && sent < bytes.size()) {
            ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n > 0)
                sent += size_t(n);
            else if (n < 0 && errno != EAGAIN && errno != EINTR)
                break;
        }
        if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
            char buffer[16384];
            ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            if (n > 0)
                received.append(buffer, size_t(n));
            else if (n == 0 || (errno != EAGAIN && errno != EINTR))
                break;
        }
    }
    close(fd);
    return received;
}

}  // namespace testsupport
