#include "Bundle.h"

#include <unistd.h>

#include <climits>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

namespace {

std::string executableDir() {
    const std::string path = Bundle::executablePath();
    return path.empty() ? "." : path.substr(0, path.rfind('/'));
}

bool isFile(const std::string& p) { return access(p.c_str(), F_OK) == 0; }

}  // namespace

std::string Bundle::executablePath() {
    char buf[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

Bundle& Bundle::main() {
    static Bundle bundle;
    return bundle;
}

Bundle::Bundle() {
    const std::string exe = executableDir();
    // Build tree; installed bin/; installed libexec/zandrel/ (the desktop part).
    for (const std::string& dir :
         {exe + "/resources", exe + "/../resources", exe + "/../share/zandrel", exe + "/../../share/zandrel"}) {
        if (isFile(dir + "/Info.json")) {
            m_dir = dir;
            break;
        }
    }
    if (m_dir.empty()) m_dir = exe + "/../share/zandrel";
    loadLocked();
}

void Bundle::loadLocked() {
    m_info = Value();
    std::ifstream in(m_dir + "/Info.json");
    if (in) {
        std::stringstream buf;
        buf << in.rdbuf();
        auto j = nlohmann::ordered_json::parse(buf.str(), nullptr, false);
        if (!j.is_discarded() && j.is_object()) m_info = Value::fromJson(j);
    }
    // The engine's texts stay English (D-Bus and the command line give them to scripts); the
    // desktop translates them where it shows them.
    m_strings = StringTable(m_dir + "/strings", "en");
}

void Bundle::setResourceDir(const std::string& dir) {
    std::lock_guard lock(m_mutex);
    m_dir = dir;
    loadLocked();
}

std::string Bundle::resourceDir() const {
    std::lock_guard lock(m_mutex);
    return m_dir;
}

std::string Bundle::pathForResource(const std::string& name, const std::string& type) const {
    std::lock_guard lock(m_mutex);
    std::string p = m_dir + "/" + name + (type.empty() ? "" : "." + type);
    return isFile(p) ? p : std::string();
}

Value Bundle::objectForInfoDictionaryKey(const std::string& key) const {
    std::lock_guard lock(m_mutex);
    return m_info.get(key);
}

void Bundle::setInfoValue(const std::string& key, const Value& value) {
    std::lock_guard lock(m_mutex);
    Value::Dictionary d = m_info.dict();
    std::erase_if(d, [&key](const auto& kv) { return kv.first == key; });
    if (!value.isNone()) d.emplace_back(key, value);
    m_info = Value(std::move(d));
}

std::string Bundle::localizedString(const std::string& key) const {
    std::lock_guard lock(m_mutex);
    return m_strings.localizedString(key);
}
