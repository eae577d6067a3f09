#include "Defaults.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "Log.h"

namespace {

std::string dirName(const std::string& path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

bool makeDirs(const std::string& dir) {
    if (dir.empty() || dir == "/" || dir == ".") return true;
    struct stat st {};
    if (stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    if (!makeDirs(dirName(dir))) return false;
    return mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST;
}

bool writeAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

Value* find(Value::Dictionary& d, const std::string& key) {
    for (auto& kv : d)
        if (kv.first == key) return &kv.second;
    return nullptr;
}

const Value* find(const Value::Dictionary& d, const std::string& key) {
    for (const auto& kv : d)
        if (kv.first == key) return &kv.second;
    return nullptr;
}

void put(Value::Dictionary& d, const std::string& key, const Value& v) {
    if (Value* old = find(d, key))
        *old = v;
    else
        d.emplace_back(key, v);
}

}  // namespace

Defaults::Defaults(std::string path) : m_path(std::move(path)) { load(); }

std::string Defaults::standardPath() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    std::string base;
    if (xdg && xdg[0] == '/') {
        base = xdg;
    } else {
        const char* home = std::getenv("HOME");
        if (!home || !*home) {
            const passwd* pw = getpwuid(getuid());
            home = pw ? pw->pw_dir : "/tmp";
        }
        base = std::string(home) + "/.config";
    }
    return base + "/zandrel/defaults.json";
}

void Defaults::load() {
    std::ifstream in(m_path, std::ios::binary);
    if (!in) {
        if (access(m_path.c_str(), F_OK) == 0 || errno != ENOENT) {
            // There is a store we cannot read (permissions, I/O): writing would replace it.
            m_readOnly = true;
            Log::line("preferences file " + m_path + " cannot be read (" + std::strerror(errno) +
                      "); settings will not be saved this session");
        }
        return;  // otherwise: no store yet
    }
    std::stringstream buf;
    buf << in.rdbuf();
    in.close();
    auto parsed = nlohmann::ordered_json::parse(buf.str(), nullptr, false);
    if (!parsed.is_discarded() && parsed.is_object()) {
        m_stored = Value::fromJson(parsed).dict();
        return;
    }
    // Keep the user's file for inspection; the store starts empty and later writes go to a new file.
    char stamp[32];
    time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    std::string aside = m_path + ".unreadable-" + stamp;
    for (int i = 1; access(aside.c_str(), F_OK) == 0; ++i)
        aside = m_path + ".unreadable-" + stamp + "-" + std::to_string(i);
    if (rename(m_path.c_str(), aside.c_str()) == 0) {
        m_movedAside = aside;
        Log::line("preferences file " + m_path + " could not be read; moved aside to " + aside);
    } else {
        Log::line("preferences file " + m_path + " could not be read and not be moved aside (" + std::strerror(errno) +
                  ")");
    }
}

Value Defaults::objectForKey(const std::string& key) const {
    std::lock_guard lock(m_mutex);
    if (const Value* v = find(m_stored, key)) return *v;
    if (const Value* v = find(m_registered, key)) return *v;
    return {};
}

bool Defaults::setObjectForKey(const Value& value, const std::string& key) { return setObjectsForKeys({{key, value}}); }

bool Defaults::setObjectsForKeys(const Value::Dictionary& values) {
    std::lock_guard lock(m_mutex);
    for (const auto& kv : values) {
        // No structured binding: clang 14, which builds the fuzzers, cannot capture one.
        const std::string& k = kv.first;
        if (kv.second.isNone())
            std::erase_if(m_stored, [&k](const auto& stored) { return stored.first == k; });
        else
            put(m_stored, k, kv.second);
    }
    return writeLocked();
}

bool Defaults::removeObjectForKey(const std::string& key) { return setObjectForKey(Value(), key); }

void Defaults::registerDefaults(const Value::Dictionary& values) {
    std::lock_guard lock(m_mutex);
    for (const auto& [k, v] : values) put(m_registered, k, v);
}

bool Defaults::synchronize() {
    std::lock_guard lock(m_mutex);
    return writeLocked();
}

bool Defaults::writeLocked() {
    if (m_readOnly) return false;
    const std::string dir = dirName(m_path);
    if (!makeDirs(dir)) {
        Log::line("cannot create " + dir + ": " + std::strerror(errno));
        return false;
    }
    const std::string data = Value(m_stored).toJson().dump(1, '\t') + "\n";
    std::string tmpl = m_path + ".XXXXXX";
    int fd = mkostemp(tmpl.data(), O_CLOEXEC);
    if (fd < 0) {
        Log::line("cannot write preferences to " + dir + ": " + std::strerror(errno));
        return false;
    }
    fchmod(fd, 0600);
    bool ok = writeAll(fd, data) && fsync(fd) == 0;
    int err = errno;
    ok = (::close(fd) == 0) && ok;
    if (ok && rename(tmpl.c_str(), m_path.c_str()) != 0) {
        err = errno;
        ok = false;
    }
    if (!ok) {
        unlink(tmpl.c_str());
        Log::line("cannot write preferences " + m_path + ": " + std::strerror(err));
        return false;
    }
    // The rename is durable only once the directory entry is.
    int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        fsync(dfd);
        ::close(dfd);
    }
    return true;
}
