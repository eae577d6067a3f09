#include "SocketTraffic.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <set>

namespace {

constexpr int kEstablished = 1;  // TCP_ESTABLISHED
constexpr int kListen = 10;      // TCP_LISTEN

std::vector<pid_t> childrenOf(pid_t pid) {
    std::vector<pid_t> out;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = opendir(tasks.c_str());
    if (!dir) return out;
    while (const dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        std::ifstream in(tasks + "/" + e->d_name + "/children");
        for (pid_t child; in >> child;) out.push_back(child);
    }
    closedir(dir);
    return out;
}

void addInodesOf(pid_t pid, std::vector<unsigned long>& out) {
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    DIR* dir = opendir(fds.c_str());
    if (!dir) return;
    char target[64];
    while (const dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        const ssize_t n = readlinkat(dirfd(dir), e->d_name, target, sizeof target - 1);
        if (n <= 0) continue;
        target[n] = '\0';
        unsigned long inode = 0;
        if (std::sscanf(target, "socket:[%lu]", &inode) == 1) out.push_back(inode);
    }
    closedir(dir);
}

// Sends one request and hands each inet_diag_msg of the answer to the visitor.
bool ask(const inet_diag_req_v2& request, bool dump,
         const std::function<void(const inet_diag_msg&, const tcp_info*)>& visit) {
    const int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0) return false;
    struct {
        nlmsghdr header;
        inet_diag_req_v2 body;
    } message{};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST | (dump ? NLM_F_DUMP : 0);
    message.body = request;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (sendto(fd, &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0) {
        close(fd);
        return false;
    }
    alignas(nlmsghdr) char buffer[16384];
    bool done = false, ok = true;
    while (!done) {
        int got = static_cast<int>(recv(fd, buffer, sizeof buffer, 0));
        if (got <= 0) {
            ok = false;
            break;
        }
        for (auto* h = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(h, got); h = NLMSG_NEXT(h, got)) {
            if (h->nlmsg_type == NLMSG_DONE || h->nlmsg_type == NLMSG_ERROR) {
                done = true;
                ok = h->nlmsg_type == NLMSG_DONE;
                break;
            }
            const auto* msg = static_cast<const inet_diag_msg*>(NLMSG_DATA(h));
            const tcp_info* info = nullptr;
            int left = static_cast<int>(h->nlmsg_len - NLMSG_LENGTH(sizeof *msg));
            for (auto* a = reinterpret_cast<const rtattr*>(msg + 1); RTA_OK(a, left); a = RTA_NEXT(a, left))
                if (a->rta_type == INET_DIAG_INFO &&
                    RTA_PAYLOAD(a) >= offsetof(tcp_info, tcpi_bytes_received) + sizeof(info->tcpi_bytes_received))
                    info = static_cast<const tcp_info*>(RTA_DATA(a));
            visit(*msg, info);
            if (!dump) done = true;
        }
    }
    close(fd);
    return ok;
}

std::string addressText(int family, const std::uint32_t* address) {
    char out[INET6_ADDRSTRLEN] = "";
    inet_ntop(family, address, out, sizeof out);
    return out;
}

bool isLoopback(int family, const std::uint32_t* address) {
    if (family == AF_INET) return (ntohl(address[0]) >> 24) == 127;
    const auto* bytes = reinterpret_cast<const unsigned char*>(address);
    static constexpr unsigned char kV4Mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (std::memcmp(bytes, kV4Mapped, 12) == 0) return bytes[12] == 127;
    static constexpr unsigned char kOne[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    return std::memcmp(bytes, kOne, 16) == 0;
}

}  // namespace

std::vector<unsigned long> SocketTraffic::socketInodes(pid_t root, bool descendants) {
    std::vector<unsigned long> inodes;
    std::vector<pid_t> todo{root};
    for (size_t i = 0; i < todo.size() && i < 64; ++i) {
        addInodesOf(todo[i], inodes);
        if (!descendants) break;
        for (pid_t child : childrenOf(todo[i])) todo.push_back(child);
    }
    return inodes;
}

std::optional<SocketTraffic::Connection> SocketTraffic::findConnection(pid_t root, const std::string& peerAddress,
                                                                       int peerPort) {
    const std::vector<unsigned long> list = socketInodes(root, true);
    const std::set<unsigned long> inodes(list.begin(), list.end());
    if (inodes.empty()) return std::nullopt;
    std::optional<Connection> found;
    for (const int family : {AF_INET, AF_INET6}) {
        std::uint32_t wanted[4] = {};
        if (inet_pton(family, peerAddress.c_str(), wanted) != 1) continue;
        inet_diag_req_v2 request{};
        request.sdiag_family = static_cast<std::uint8_t>(family);
        request.sdiag_protocol = IPPROTO_TCP;
        request.idiag_states = 1u << kEstablished;
        ask(request, true, [&](const inet_diag_msg& m, const tcp_info*) {
            if (!inodes.count(m.idiag_inode) || ntohs(m.id.idiag_dport) != peerPort) return;
            if (std::memcmp(m.id.idiag_dst, wanted, family == AF_INET ? 4 : 16) != 0) return;
            // The first socket made is the connection to the server; later ones carry forwards.
            if (found && found->inode < m.idiag_inode) return;
            Connection c;
            c.family = family;
            std::copy(std::begin(m.id.idiag_src), std::end(m.id.idiag_src), c.source.begin());
            std::copy(std::begin(m.id.idiag_dst), std::end(m.id.idiag_dst), c.destination.begin());
            c.sourcePort = m.id.idiag_sport;
            c.destinationPort = m.id.idiag_dport;
            c.interface = m.id.idiag_if;
            c.cookie = {m.id.idiag_cookie[0], m.id.idiag_cookie[1]};
            c.inode = m.idiag_inode;
            found = c;
        });
    }
    return found;
}

std::optional<SocketTraffic::Counts> SocketTraffic::counts(const Connection& c) {
    inet_diag_req_v2 request{};
    request.sdiag_family = static_cast<std::uint8_t>(c.family);
    request.sdiag_protocol = IPPROTO_TCP;
    request.idiag_ext = 1u << (INET_DIAG_INFO - 1);
    request.idiag_states = ~0u;
    std::copy(c.source.begin(), c.source.end(), request.id.idiag_src);
    std::copy(c.destination.begin(), c.destination.end(), request.id.idiag_dst);
    request.id.idiag_sport = c.sourcePort;
    request.id.idiag_dport = c.destinationPort;
    request.id.idiag_if = c.interface;
    request.id.idiag_cookie[0] = c.cookie[0];
    request.id.idiag_cookie[1] = c.cookie[1];
    std::optional<Counts> out;
    ask(request, false, [&](const inet_diag_msg& m, const tcp_info* info) {
        if (info && m.idiag_inode == c.inode) out = Counts{info->tcpi_bytes_acked, info->tcpi_bytes_received};
    });
    return out;
}

std::vector<SocketTraffic::Listener> SocketTraffic::listeners(pid_t pid) {
    const std::vector<unsigned long> list = socketInodes(pid, false);
    const std::set<unsigned long> inodes(list.begin(), list.end());
    std::vector<Listener> out;
    if (inodes.empty()) return out;
    for (const int family : {AF_INET, AF_INET6}) {
        inet_diag_req_v2 request{};
        request.sdiag_family = static_cast<std::uint8_t>(family);
        request.sdiag_protocol = IPPROTO_TCP;
        request.idiag_states = 1u << kListen;
        ask(request, true, [&](const inet_diag_msg& m, const tcp_info*) {
            if (!inodes.count(m.idiag_inode)) return;
            const std::string address = addressText(family, m.id.idiag_src);
            out.push_back({family == AF_INET6 ? "[" + address + "]" : address, ntohs(m.id.idiag_sport),
                           isLoopback(family, m.id.idiag_src)});
        });
    }
    return out;
}
