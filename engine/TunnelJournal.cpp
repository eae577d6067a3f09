#include "TunnelJournal.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

#include "Log.h"

namespace {

// Any name gives one plain file name: letters, digits, blank, "_", "-" kept, the rest as %XX.
std::string fileNameOf(const std::string& name) {
    std::string out;
    for (const unsigned char c : name) {
        if (std::isalnum(c) || c == ' ' || c == '_' || c == '-') {
            out += static_cast<char>(c);
        } else {
            char buf[4];
            std::snprintf(buf, sizeof buf, "%%%02X", c);
            out += buf;
        }
    }
    return out.empty() ? "%" : out;
}

bool makeFolder(const std::string& path) {
    // Each parent, then the folder itself (the part after the last slash).
    for (size_t at = path.find('/', 1);; at = path.find('/', at + 1)) {
        if (mkdir(path.substr(0, at).c_str(), 0700) != 0 && errno != EEXIST) return false;
        if (at == std::string::npos) return true;
    }
}

std::int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

std::string JournalEvent::formatted() const {
    const std::time_t seconds = static_cast<std::time_t>(atMs / 1000);
    std::tm local{};
    localtime_r(&seconds, &local);
    char stamp[40];
    const size_t n = std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &local);
    std::snprintf(stamp + n, sizeof stamp - n, ".%03d", static_cast<int>(atMs % 1000));
    return std::string(stamp) + '\t' + text;
}

std::string TunnelJournal::folder() {
    const char* xdg = std::getenv("XDG_STATE_HOME");
    if (xdg && xdg[0] == '/') return std::string(xdg) + "/zandrel/journal";
    const char* home = std::getenv("HOME");
    if (!home || !*home) {
        const passwd* pw = getpwuid(getuid());
        home = pw ? pw->pw_dir : "/tmp";
    }
    return std::string(home) + "/.local/state/zandrel/journal";
}

std::string TunnelJournal::pathLocked(bool previous) const {
    return folder() + "/" + fileNameOf(m_name) + (previous ? ".journal.1" : ".journal");
}

std::vector<JournalEvent> TunnelJournal::parse(std::string_view contents, bool* corrupt) {
    std::vector<JournalEvent> events;
    bool bad = false;
    while (!contents.empty()) {
        const size_t nl = contents.find('\n');
        if (nl == std::string_view::npos) break;  // cut short by a crash
        const std::string_view line = contents.substr(0, nl);
        contents.remove_prefix(nl + 1);
        const size_t tab = line.find('\t');
        const std::string_view digits = line.substr(0, tab);
        const bool stampOk = tab != std::string_view::npos && !digits.empty() && digits.size() <= 15 &&
                             std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
        const std::string_view text = stampOk ? line.substr(tab + 1) : std::string_view();
        if (!stampOk ||
            std::any_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; })) {
            bad = true;
            continue;
        }
        events.push_back({std::stoll(std::string(digits)), std::string(text)});
    }
    if (corrupt) *corrupt = bad;
    return events;
}

std::vector<JournalEvent> TunnelJournal::readFile(const std::string& path) const {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    in.seekg(0, std::ios::end);
    const auto size = static_cast<size_t>(std::max<std::streamoff>(0, in.tellg()));
    bool corrupt = size > kMaxFileBytes;
    std::vector<JournalEvent> events;
    if (!corrupt) {
        in.seekg(0);
        std::string contents(size, '\0');
        in.read(contents.data(), static_cast<std::streamsize>(size));
        events = parse(contents, &corrupt);
    }
    if (corrupt) {
        const std::string aside = path + ".corrupt";
        std::rename(path.c_str(), aside.c_str());
        Log::line("the journal " + path + " is not one Zandrel wrote; set aside as " + aside);
        return {};
    }
    return events;
}

void TunnelJournal::record(const std::string& text) {
    const std::string line = std::to_string(nowMs()) + '\t' + Log::escaped(text) + '\n';
    std::lock_guard lock(m_mutex);
    if (m_erased) return;
    const std::string path = pathLocked(false);
    if (m_linesInCurrent < 0) {
        if (!makeFolder(folder())) return;
        std::ifstream in(path, std::ios::binary);
        m_linesInCurrent = 0;
        if (in) {
            std::stringstream buf;
            buf << in.rdbuf();
            const std::string contents = buf.str();
            m_linesInCurrent = static_cast<long>(std::count(contents.begin(), contents.end(), '\n'));
        }
    }
    if (m_linesInCurrent >= static_cast<long>(kKept)) {
        const std::string previous = pathLocked(true);
        std::rename(path.c_str(), previous.c_str());
        m_linesInCurrent = 0;
    }
    const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return;
    // One write: a reader sees the event whole or not at all.
    const bool written = write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    close(fd);
    if (written) ++m_linesInCurrent;
}

std::vector<JournalEvent> TunnelJournal::events() const {
    std::lock_guard lock(m_mutex);
    std::vector<JournalEvent> all = readFile(pathLocked(true));
    std::vector<JournalEvent> current = readFile(pathLocked(false));
    all.insert(all.end(), std::make_move_iterator(current.begin()), std::make_move_iterator(current.end()));
    return all;
}

void TunnelJournal::rename(const std::string& newName) {
    std::lock_guard lock(m_mutex);
    if (newName == m_name) return;
    const std::string oldCurrent = pathLocked(false), oldPrevious = pathLocked(true);
    const std::string oldName = m_name;
    m_name = newName;
    // Never over another tunnel's journal: while a typed name matches one, the files stay.
    if (renameat2(AT_FDCWD, oldCurrent.c_str(), AT_FDCWD, pathLocked(false).c_str(), RENAME_NOREPLACE) != 0 &&
        errno == EEXIST) {
        m_name = oldName;
        return;
    }
    unlink(pathLocked(true).c_str());
    std::rename(oldPrevious.c_str(), pathLocked(true).c_str());
}

void TunnelJournal::erase() {
    std::lock_guard lock(m_mutex);
    unlink(pathLocked(false).c_str());
    unlink(pathLocked(true).c_str());
    m_erased = true;
}
