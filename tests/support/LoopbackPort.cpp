#include "LoopbackPort.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace testsupport {

int LoopbackPort::pickFree() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
        port = ntohs(addr.sin_port);
    close(fd);
    return port;
}

namespace {

bool ownsSocket(pid_t owner, const std::string& inode) {
    const std::string wanted = "socket:[" + inode + "]";
    std::string dir = "/proc/" + std::to_string(owner) + "/fd";
    DIR* fds = opendir(dir.c_str());
    if (!fds) return false;
    bool found = false;
    while (dirent* entry = readdir(fds)) {
        char target[64];
        ssize_t n = readlink((dir + "/" + entry->d_name).c_str(), target, sizeof target - 1);
        if (n > 0 && std::string(target, size_t(n)) == wanted) {
            found = true;
            break;
        }
    }
    closedir(fds);
    return found;
}

}  // namespace

bool LoopbackPort::isListening(int port, pid_t owner) {
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream in(table);
        std::string line;
        std::getline(in, line);  // header
        while (std::getline(in, line)) {
            // "0: 0100007F:1F8F 00000000:0000 0A tx:rx tr:when retrnsmt uid timeout inode ..."
            std::istringstream fields(line);
            std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
            fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
            size_t colon = local.rfind(':');
            if (state != "0A" || colon == std::string::npos) continue;
            if (std::strtol(local.c_str() + colon + 1, nullptr, 16) != port) continue;
            if (owner <= 0 || ownsSocket(owner, inode)) return true;
        }
    }
    return false;
}

bool LoopbackPort::acceptsConnections(int port, int timeoutMs) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    if (!ok && errno == EINPROGRESS) {
        pollfd p{fd, POLLOUT, 0};
        int err = 0;
        socklen_t len = sizeof err;
        ok = poll(&p, 1, timeoutMs) == 1 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
    }
    close(fd);
    return ok;
}

}  // namespace testsupport
