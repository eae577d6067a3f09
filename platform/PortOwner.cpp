#include "PortOwner.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

#include "UiText.h"

namespace {

// The inodes of this user's sockets listening on the port, IPv4 and IPv6.
std::set<std::string> listeningInodes(int port) {
    std::set<std::string> inodes;
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream in(table);
        std::string line;
        std::getline(in, line);  // the header
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
            fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
            const auto colon = local.rfind(':');
            if (state != "0A" || colon == std::string::npos) continue;  // 0A: LISTEN
            if (std::strtol(local.c_str() + colon + 1, nullptr, 16) != port) continue;
            if (std::strtoul(uid.c_str(), nullptr, 10) != getuid()) continue;
            inodes.insert(inode);
        }
    }
    return inodes;
}

}  // namespace

std::string PortOwner::describe(int port) {
    const std::set<std::string> inodes = listeningInodes(port);
    if (inodes.empty()) return {};
    DIR* proc = opendir("/proc");
    if (!proc) return {};
    std::string found;
    while (dirent* e = readdir(proc)) {
        const std::string pid = e->d_name;
        if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
        const std::string fdDir = "/proc/" + pid + "/fd";
        DIR* fds = opendir(fdDir.c_str());  // only our own processes let us in
        if (!fds) continue;
        while (dirent* f = readdir(fds)) {
            char target[64] = {};
            const std::string path = fdDir + "/" + f->d_name;
            const ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
            if (n <= 0) continue;
            const std::string link(target, static_cast<size_t>(n));
            if (!link.starts_with("socket:[") || !inodes.count(link.substr(8, link.size() - 9))) continue;
            std::string comm;
            std::getline(std::ifstream("/proc/" + pid + "/comm"), comm);
            found = UiText::format(UI_TEXT("port %1 is used by %2, pid %3"), {std::to_string(port), comm, pid});
            break;
        }
        closedir(fds);
        if (!found.empty()) break;
    }
    closedir(proc);
    return found;
}
