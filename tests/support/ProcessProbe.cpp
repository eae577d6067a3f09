#include "ProcessProbe.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

namespace testsupport {
namespace {

struct Stat {
    pid_t ppid = 0;
    char state = '?';
    std::string comm;
};

bool readStat(pid_t pid, Stat* out) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(in, line)) return false;
    // "pid (comm) S ppid ...": comm may hold spaces and parentheses, so split at the last ')'.
    size_t open = line.find('('), close = line.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open) return false;
    out->comm = line.substr(open + 1, close - open - 1);
    std::istringstream rest(line.substr(close + 1));
    rest >> out->state >> out->ppid;
    return bool(rest);
}

std::map<pid_t, Stat> allProcesses() {
    std::map<pid_t, Stat> result;
    DIR* dir = opendir("/proc");
    if (!dir) return result;
    while (dirent* entry = readdir(dir)) {
        char* end = nullptr;
        long pid = std::strtol(entry->d_name, &end, 10);
        Stat stat;
        if (pid > 0 && end && *end == '\0' && readStat(pid_t(pid), &stat)) result[pid_t(pid)] = stat;
    }
    closedir(dir);
    return result;
}

bool descendsFrom(pid_t pid, pid_t root, const std::map<pid_t, Stat>& table) {
    for (int depth = 0; depth < 64; ++depth) {
        auto it = table.find(pid);
        if (it == table.end() || it->second.ppid <= 0) return false;
        if (it->second.ppid == root) return true;
        pid = it->second.ppid;
    }
    return false;
}

}  // namespace

std::vector<pid_t> ProcessProbe::childrenNamed(const std::string& comm, bool includeZombies) {
    std::vector<pid_t> result;
    auto table = allProcesses();
    for (const auto& [pid, stat] : table)
        if (stat.comm == comm && (includeZombies || stat.state != 'Z') && descendsFrom(pid, getpid(), table))
            result.push_back(pid);
    return result;
}

std::vector<pid_t> ProcessProbe::descendantsOf(pid_t root) {
    std::vector<pid_t> result;
    auto table = allProcesses();
    for (const auto& entry : table)
        if (descendsFrom(entry.first, root, table)) result.push_back(entry.first);
    return result;
}

char ProcessProbe::stateOf(pid_t pid) {
    Stat stat;
    return readStat(pid, &stat) ? stat.state : '\0';
}

}  // namespace testsupport
