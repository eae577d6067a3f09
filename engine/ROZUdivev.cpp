#include "ROZUdivev.h"

#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstdlib>
#include <set>
#include <thread>
#include <variant>

#include "Bundle.h"
#include "Log.h"
#include "NotificationCenter.h"
#include "SshOutputParser.h"

extern char** environ;

namespace {

std::atomic<bool> g_shutdown{false};
// The launch threads alive. Never destroyed: a detached thread may still be leaving it while
// the process exits.
struct LaunchThreads {
    std::mutex mutex;
    std::condition_variable ended;
    int count = 0;
    // Tunnels whose launch thread lives; a shutdown wakes those that wait to retry.
    std::set<ROZUdivev*> tunnels;
};
LaunchThreads& g_threads = *new LaunchThreads;
std::atomic<std::uint64_t> g_runSerials{0};
std::mutex g_programMutex;
std::string g_sshProgram = "/usr/bin/ssh";
std::atomic<double> g_delayScale{1.0};

// Protocol-1 cipher names: every current ssh refuses them, so they mean "let ssh choose".
bool isObsoleteCipher(const std::string& c) { return c == "3des" || c == "blowfish" || c == "des"; }

std::string forwardText(const ForwardEntry& e) {
    auto get = [&e](const char* k) {
        auto it = e.find(k);
        return it == e.end() ? std::string() : it->second;
    };
    std::string port = get("port");
    std::string hostport = get("hostport");
    if (hostport.empty()) hostport = port;
    const std::string bind = get("bind");
    return (bind.empty() ? "" : ROZUdivev::bracketed(bind) + ":") + port + ":" + ROZUdivev::bracketed(get("host")) +
           ":" + hostport;
}

std::string homeDirectory() {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    const passwd* pw = getpwuid(getuid());
    return pw ? pw->pw_dir : "";
}

bool isComplete(const ForwardEntry& e) {
    auto port = e.find("port");
    auto host = e.find("host");
    return port != e.end() && !port->second.empty() && host != e.end() && !host->second.empty();
}

std::string envName(const std::string& entry) { return entry.substr(0, entry.find('=')); }

std::chrono::milliseconds scaled(std::chrono::milliseconds d) {
    return std::chrono::milliseconds(static_cast<std::int64_t>(static_cast<double>(d.count()) * g_delayScale.load()));
}

}  // namespace

// One stored setting: its key and the member that holds it. Drives the stored form and the
// access by name, so a new setting is one line here.
struct ROZUdivev::Field {
    using Member =
        std::variant<bool ROZUdivev::*, std::optional<std::string> ROZUdivev::*,
                     std::optional<std::int64_t> ROZUdivev::*, std::shared_ptr<const ForwardList> ROZUdivev::*,
                     std::optional<std::vector<std::string>> ROZUdivev::*>;
    const char* key;
    Member member;
};

const std::vector<ROZUdivev::Field>& ROZUdivev::fields() {
    static const std::vector<Field> table = {
        {"compression", &ROZUdivev::m_compression},
        {"connAuth", &ROZUdivev::m_connAuth},
        {"autoConnect", &ROZUdivev::m_autoConnect},
        {"connHost", &ROZUdivev::m_connHost},
        {"connName", &ROZUdivev::m_connName},
        {"connPort", &ROZUdivev::m_connPort},
        {"connRemote", &ROZUdivev::m_connRemote},
        {"connUser", &ROZUdivev::m_connUser},
        {"encryption", &ROZUdivev::m_encryption},
        {"socks4", &ROZUdivev::m_socks4},
        {"socks4p", &ROZUdivev::m_socks4p},
        {"tunnelsLocal", &ROZUdivev::m_tunnelsLocal},
        {"tunnelsRemote", &ROZUdivev::m_tunnelsRemote},
        {"v1", &ROZUdivev::m_v1},
        {"keepAlive", &ROZUdivev::m_keepAlive},
        {"identityFile", &ROZUdivev::m_identityFile},
        {"jumpHosts", &ROZUdivev::m_jumpHosts},
        {"sshOptions", &ROZUdivev::m_sshOptions},
        {"socks4b", &ROZUdivev::m_socks4b},
    };
    return table;
}

// ---- construction and stored form ----

Value ROZUdivev::newTunnelDictionary(const std::string& name) {
    return Value::dictionary({{"compression", false},
                              {"connAuth", true},
                              {"connHost", ""},
                              {"connName", name},
                              {"connPort", ""},
                              {"connRemote", false},
                              {"connUser", ""},
                              {"encryption", ""},  // automatic: ssh negotiates
                              {"socks4", false},
                              {"socks4p", 1080},
                              {"tunnelsLocal", Value::List{}},
                              {"tunnelsRemote", Value::List{}},
                              {"v1", false}});
}

TunnelPtr ROZUdivev::create(const std::string& name) { return tunnelFromDictionary(newTunnelDictionary(name)); }

TunnelPtr ROZUdivev::tunnelFromDictionary(const Value& dictionary) {
    TunnelPtr t(new ROZUdivev);
    for (const auto& [key, value] : dictionary.dict()) t->setValueForKey(value, key);
    t->m_code = 0;
    if (t->valueForKey("autoConnect").boolValue()) t->startTunnel();
    return t;
}

TunnelList ROZUdivev::tunnelsFromArray(const Value& array) {
    TunnelList list;
    for (const auto& d : array.list()) list.push_back(tunnelFromDictionary(d));
    return list;
}

ROZUdivev::~ROZUdivev() {
    // A safeguard: the launch thread holds the tunnel until it has reaped its ssh and cleared m_task.
    std::shared_ptr<ChildProcess> task;
    {
        std::lock_guard lock(m_mutex);
        task = std::move(m_task);
    }
    if (task) task->terminate();
}

Value ROZUdivev::dictionary() const {
    Value::Dictionary d;
    for (const Field& f : fields()) {
        Value v = valueForKey(f.key);
        if (!v.isNone()) d.emplace_back(f.key, std::move(v));
    }
    return Value(std::move(d));
}

std::shared_ptr<const ForwardList> ROZUdivev::listFromValue(const Value& v, const std::string& key) {
    if (v.isNone()) return nullptr;
    auto list = std::make_shared<ForwardList>();
    for (const auto& item : v.list()) {
        if (!item.isDictionary()) {
            Log::line("ignored a forward of " + key + " that is no dictionary: " + item.dump());
            continue;
        }
        ForwardEntry e;
        for (const auto& [k, val] : item.dict()) {
            if (val.isText())
                e[k] = val.text();
            else if (val.isInteger())
                e[k] = std::to_string(val.intValue());  // a port stored as a number
        }
        list->push_back(std::move(e));
    }
    return list;
}

Value ROZUdivev::listToValue(const std::shared_ptr<const ForwardList>& list) {
    if (!list) return {};
    Value::List out;
    out.reserve(list->size());
    for (const auto& e : *list) {
        Value::Dictionary d;
        for (const auto& [k, v] : e) d.emplace_back(k, v);
        out.emplace_back(std::move(d));
    }
    return Value(std::move(out));
}

// ---- field access by name ----

void ROZUdivev::setValueForKey(const Value& value, const std::string& key) {
    if (key == "code") {
        m_code = static_cast<int>(value.intValue());
        return;
    }
    if (key == "shouldStop") {
        if (value.boolValue()) stopTunnel();
        return;
    }
    if (key == "status") {
        setStatus(value.isNone() ? std::nullopt : std::optional<std::string>(value.text()));
        return;
    }
    if (key == "task" || key == "stdErrPipe") return;  // run-time handles, never set by name
    auto field = std::find_if(fields().begin(), fields().end(), [&key](const Field& f) { return key == f.key; });
    if (field == fields().end()) {
        Log::line(Log::format("key %@ undefined", key));
        return;
    }
    auto wrongType = [&] { Log::line("ignored a value of the wrong type for key " + key + ": " + value.dump()); };
    std::shared_ptr<const ForwardList> list;  // made outside the lock
    if (std::holds_alternative<std::shared_ptr<const ForwardList> ROZUdivev::*>(field->member))
        list = listFromValue(value, key);
    std::lock_guard lock(m_mutex);
    std::visit(
        [&](auto member) {
            auto& target = this->*member;
            using T = std::decay_t<decltype(target)>;
            if constexpr (std::is_same_v<T, bool>) {
                target = value.boolValue();
            } else if constexpr (std::is_same_v<T, std::optional<std::string>>) {
                if (value.isNone())
                    target.reset();
                else if (value.isText())
                    target = value.text();
                else if (value.isInteger())
                    target = std::to_string(value.intValue());
                else
                    wrongType();
            } else if constexpr (std::is_same_v<T, std::optional<std::int64_t>>) {
                if (value.isNone())
                    target.reset();
                else if (value.isInteger())
                    target = value.intValue();
                else
                    wrongType();
            } else if constexpr (std::is_same_v<T, std::optional<std::vector<std::string>>>) {
                if (value.isNone()) {
                    target.reset();
                } else if (value.isList()) {
                    std::vector<std::string> texts;
                    for (const Value& item : value.list())
                        if (item.isText()) texts.push_back(item.text());
                    target = std::move(texts);
                } else {
                    wrongType();
                }
            } else {
                target = std::move(list);
            }
        },
        field->member);
}

Value ROZUdivev::valueForKey(const std::string& key) const {
    if (key == "status") return Value(status());
    if (key == "code") return Value(code());
    if (key == "shouldStop") {
        std::lock_guard lock(m_mutex);
        return Value(m_stopRequested);
    }
    if (key == "lastError") return Value(lastError());
    auto field = std::find_if(fields().begin(), fields().end(), [&key](const Field& f) { return key == f.key; });
    if (field == fields().end()) return {};
    std::shared_ptr<const ForwardList> list;
    Value out;
    {
        std::lock_guard lock(m_mutex);
        std::visit(
            [&](auto member) {
                const auto& source = this->*member;
                using T = std::decay_t<decltype(source)>;
                if constexpr (std::is_same_v<T, std::shared_ptr<const ForwardList>>) {
                    list = source;
                } else if constexpr (std::is_same_v<T, bool>) {
                    out = Value(source);
                } else if constexpr (std::is_same_v<T, std::optional<std::vector<std::string>>>) {
                    if (source) out = Value(Value::List(source->begin(), source->end()));
                } else {
                    out = source ? Value(*source) : Value();
                }
            },
            field->member);
    }
    if (std::holds_alternative<std::shared_ptr<const ForwardList> ROZUdivev::*>(field->member))
        return listToValue(list);  // converted outside the lock
    return out;
}

std::string ROZUdivev::connName() const {
    std::lock_guard lock(m_mutex);
    return m_connName.value_or("");
}

// ---- forward lists ----

std::shared_ptr<const ForwardList> ROZUdivev::tunnelsLocal() const {
    std::lock_guard lock(m_mutex);
    return m_tunnelsLocal;
}

std::shared_ptr<const ForwardList> ROZUdivev::tunnelsRemote() const {
    std::lock_guard lock(m_mutex);
    return m_tunnelsRemote;
}

// Lists are never changed in place: a reader may hold the old one.
void ROZUdivev::editList(bool local, const std::function<bool(ForwardList&)>& edit) {
    std::lock_guard lock(m_mutex);
    auto& field = local ? m_tunnelsLocal : m_tunnelsRemote;
    ForwardList copy = field ? *field : ForwardList{};
    if (edit(copy)) field = std::make_shared<const ForwardList>(std::move(copy));
}

namespace {
bool validIndex(const ForwardList& l, int index) { return index >= 0 && static_cast<size_t>(index) < l.size(); }
}  // namespace

void ROZUdivev::addLocalTunnel(const ForwardEntry& entry) {
    editList(true, [&](ForwardList& l) { return l.push_back(entry), true; });
}

void ROZUdivev::addRemoteTunnel(const ForwardEntry& entry) {
    editList(false, [&](ForwardList& l) { return l.push_back(entry), true; });
}

void ROZUdivev::removeLocal(int index) {
    editList(true, [&](ForwardList& l) { return validIndex(l, index) && (l.erase(l.begin() + index), true); });
}

void ROZUdivev::removeRemote(int index) {
    editList(false, [&](ForwardList& l) { return validIndex(l, index) && (l.erase(l.begin() + index), true); });
}

void ROZUdivev::setLocalValueOfTunnelForKey(const std::string& value, int index, const std::string& key) {
    editList(true, [&](ForwardList& l) { return validIndex(l, index) && (l[size_t(index)][key] = value, true); });
}

void ROZUdivev::setRemoteValueOfTunnelForKey(const std::string& value, int index, const std::string& key) {
    editList(false, [&](ForwardList& l) { return validIndex(l, index) && (l[size_t(index)][key] = value, true); });
}

// ---- icon and command line ----

std::string ROZUdivev::icon() const {
    switch (code()) {
        case 1:
            return "middleState";
        case 2:
            return "onState";
        default:
            return "offState";
    }
}

std::vector<std::string> ROZUdivev::arguments() const {
    std::unique_lock lock(m_mutex);
    std::vector<std::string> a{"-N", "-v"};
    // No port, no user: ssh takes them from ssh_config (a host alias works whole) or its defaults.
    if (m_connPort && !m_connPort->empty()) {
        a.push_back("-p");
        a.push_back(*m_connPort);
    }
    if (m_connRemote) a.push_back("-g");
    if (m_compression) a.push_back("-C");
    if (m_v1) a.push_back("-1");
    if (m_encryption && !m_encryption->empty() && !isObsoleteCipher(*m_encryption)) {
        a.push_back("-c");
        a.push_back(*m_encryption);
    }
    if (m_identityFile && !m_identityFile->empty()) {
        a.push_back("-i");
        a.push_back(m_identityFile->starts_with("~/") ? homeDirectory() + m_identityFile->substr(1) : *m_identityFile);
    }
    if (m_jumpHosts && !m_jumpHosts->empty()) {
        a.push_back("-J");
        a.push_back(*m_jumpHosts);
    }
    // The user's options first: for ssh the first value of an option wins.
    if (m_sshOptions)
        for (const auto& option : *m_sshOptions)
            if (!option.empty()) a.insert(a.end(), {"-o", option});
    // A forward that cannot listen fails the run instead of leaving a tunnel that carries nothing.
    a.insert(a.end(), {"-o", "ExitOnForwardFailure=yes"});
    const std::int64_t keepAlive = m_keepAlive.value_or(kDefaultKeepAlive);
    if (keepAlive > 0)
        a.insert(a.end(), {"-o", "ServerAliveInterval=" + std::to_string(keepAlive), "-o", "ServerAliveCountMax=3"});
    if (m_socks4 && m_socks4p) {
        a.push_back("-D");
        const std::string bind = m_socks4b.value_or("");
        a.push_back((bind.empty() ? "" : bracketed(bind) + ":") + std::to_string(*m_socks4p));
    }
    const std::string user = m_connUser.value_or("");
    const std::string host = m_connHost.value_or("");
    if (!user.empty() || !host.empty()) a.push_back(user.empty() ? host : user + "@" + host);
    auto local = m_tunnelsLocal;
    auto remote = m_tunnelsRemote;
    lock.unlock();
    // A forward without its port or host would only make ssh refuse the whole command line.
    for (const auto& [list, flag] : {std::pair{local, "-L"}, std::pair{remote, "-R"}}) {
        if (!list) continue;
        for (const auto& e : *list) {
            if (!isComplete(e)) continue;
            a.push_back(flag);
            a.push_back(forwardText(e));
        }
    }
    return a;
}

std::string ROZUdivev::bracketed(const std::string& host) {
    if (host.find(':') == std::string::npos || host.front() == '[') return host;
    return "[" + host + "]";
}

std::string ROZUdivev::jumpHostsError(const std::string& jumpHosts) {
    size_t start = 0;
    for (;;) {
        const size_t comma = jumpHosts.find(',', start);
        std::string entry = jumpHosts.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        const std::string shown = "\"" + entry + "\"";
        if (entry.empty()) return "An empty jump host between commas";
        if (entry.find_first_of(" \t'\"\\") != std::string::npos) return "No blanks or quotes in a jump host: " + shown;
        if (const auto at = entry.rfind('@'); at != std::string::npos) {
            if (at == 0) return "A user name before \"@\" is missing in " + shown;
            entry = entry.substr(at + 1);
        }
        std::string host = entry, port;
        if (entry.front() == '[') {
            const auto close = entry.find(']');
            if (close == std::string::npos) return "A \"]\" is missing in " + shown;
            host = entry.substr(1, close - 1);
            if (close + 1 < entry.size()) {
                if (entry[close + 1] != ':') return "A \":\" must follow \"]\" in " + shown;
                port = entry.substr(close + 2);
                if (port.empty()) return "The port is missing in " + shown;
            }
        } else if (const auto colon = entry.find(':'); colon != std::string::npos) {
            if (entry.find(':', colon + 1) != std::string::npos) return "Write an IPv6 address in brackets: " + shown;
            host = entry.substr(0, colon);
            port = entry.substr(colon + 1);
            if (port.empty()) return "The port is missing in " + shown;
        }
        if (host.empty() || host.front() == '-') return "A host name is missing in " + shown;
        if (!port.empty()) {
            const bool digits = port.find_first_not_of("0123456789") == std::string::npos;
            if (!digits || port.size() > 5 || std::stoi(port) < 1 || std::stoi(port) > 65535)
                return "Port must be a number from 1 to 65535 in " + shown;
        }
        if (comma == std::string::npos) return {};
        start = comma + 1;
    }
}

std::string ROZUdivev::displayCommand(const std::vector<std::string>& arguments) {
    std::string out = "ssh";
    for (const auto& arg : arguments) {
        if (arg == "-v") continue;
        out += " ";
        out += arg;
    }
    return out;
}

// ---- lifecycle ----

void ROZUdivev::setShutdown(bool on) {
    g_shutdown = on;
    if (!on) return;
    std::lock_guard threads(g_threads.mutex);
    for (ROZUdivev* t : g_threads.tunnels) {
        { std::lock_guard lock(t->m_mutex); }  // a waiter checks the flag under it: no lost wake-up
        t->m_wake.notify_all();
    }
}

bool ROZUdivev::isShutdown() { return g_shutdown.load(); }

bool ROZUdivev::waitForLaunchThreads(std::chrono::milliseconds timeout) {
    std::unique_lock lock(g_threads.mutex);
    return g_threads.ended.wait_for(lock, timeout, [] { return g_threads.count == 0; });
}

void ROZUdivev::setSshProgram(const std::string& path) {
    std::lock_guard lock(g_programMutex);
    g_sshProgram = path;
}

std::string ROZUdivev::sshProgram() {
    std::lock_guard lock(g_programMutex);
    return g_sshProgram;
}

void ROZUdivev::setRestartDelayScale(double scale) { g_delayScale = scale; }

bool ROZUdivev::isRunning() const {
    std::lock_guard lock(m_mutex);
    return m_task && m_task->isRunning();
}

bool ROZUdivev::hasLaunchThread() const { return phase() != Phase::Idle; }

pid_t ROZUdivev::sshPid() const {
    std::lock_guard lock(m_mutex);
    return m_task && m_task->isRunning() ? m_task->pid() : 0;
}

std::uint64_t ROZUdivev::runSerial() const {
    std::lock_guard lock(m_mutex);
    return m_task && m_task->isRunning() && !m_stopRequested ? m_runSerial : 0;
}

ROZUdivev::Phase ROZUdivev::phase() const {
    std::lock_guard lock(m_mutex);
    return m_phase;
}

bool ROZUdivev::isWanted() const {
    std::lock_guard lock(m_mutex);
    return m_phase != Phase::Idle && !m_stopRequested;
}

int ROZUdivev::retrySeconds() const {
    std::lock_guard lock(m_mutex);
    if (m_phase != Phase::Waiting || m_stopRequested) return 0;
    const auto left = std::chrono::ceil<std::chrono::seconds>(m_retryAt - std::chrono::steady_clock::now());
    return std::max(1, static_cast<int>(left.count()));
}

std::string ROZUdivev::status() const {
    if (int seconds = retrySeconds())
        return Log::format(Bundle::main().localizedString("S_RETRYING"), std::to_string(seconds));
    {
        std::lock_guard lock(m_mutex);
        if (m_status) return *m_status;
    }
    return Bundle::main().localizedString("S_IDLE");
}

std::string ROZUdivev::lastError() const {
    std::lock_guard lock(m_mutex);
    return m_lastError;
}

unsigned ROZUdivev::drops() const {
    std::lock_guard lock(m_mutex);
    return m_drops;
}

void ROZUdivev::setStatus(std::optional<std::string> s) {
    std::lock_guard lock(m_mutex);
    m_status = std::move(s);
}

void ROZUdivev::updateCodeLocked() {
    int code = 0;
    if (!m_stopRequested) {
        switch (m_phase) {
            case Phase::Idle:
                code = 0;
                break;
            case Phase::Running:
                code = m_connected ? 2 : 1;
                break;
            case Phase::Launching:
            case Phase::Waiting:
                code = 1;
                break;
        }
    }
    m_code = code;
}

void ROZUdivev::enterIdleLocked(std::string reason) {
    m_phase = Phase::Idle;
    m_status.reset();
    m_connected = false;
    m_relaunchNow = false;
    // A plain stop leaves nothing to explain; a run that could not start says why.
    m_lastError = m_stopRequested ? m_stopReason : std::move(reason);
    updateCodeLocked();
}

void ROZUdivev::postStatusChanged() { NotificationCenter::defaultCenter().post(kStatusChanged, this); }

void ROZUdivev::startTunnel() {
    bool spawn = false;
    {
        std::lock_guard lock(m_mutex);
        if (g_shutdown) return;
        if (m_phase != Phase::Idle) {
            if (m_stopRequested) {
                // Started again before the stopped ssh ended: the next run follows at once.
                m_stopRequested = false;
                m_stopReason.clear();
                m_lastError.clear();
                m_relaunchNow = true;
            }
            // In the pause before a retry: retry now.
            m_retryAt = std::chrono::steady_clock::now();
            updateCodeLocked();
            m_wake.notify_all();
            return;
        }
        m_stopRequested = false;
        m_stopReason.clear();
        const std::string host = m_connHost.value_or("");
        if (host.empty()) {
            m_lastError = kNoHost;
        } else if (host.front() == '-' || m_connUser.value_or("").starts_with('-')) {
            // ssh would read it as an option.
            m_lastError = "The server host or user may not begin with \"-\"";
        } else {
            m_phase = Phase::Launching;
            m_backoff = kRestartDelay;
            spawn = true;
        }
        updateCodeLocked();
    }
    // A launch is announced by its thread; a refusal here.
    if (spawn)
        spawnLaunchThread();
    else
        postStatusChanged();
}

void ROZUdivev::spawnLaunchThread() {
    {
        std::lock_guard lock(g_threads.mutex);
        ++g_threads.count;
        g_threads.tunnels.insert(this);
    }
    std::thread([self = shared_from_this()] { self->launchTunnel(); }).detach();
}

void ROZUdivev::stopTunnel() { stopTunnelWithReason({}); }

void ROZUdivev::stopTunnelWithReason(const std::string& reason) {
    std::shared_ptr<ChildProcess> task;
    {
        std::lock_guard lock(m_mutex);
        if (m_phase == Phase::Idle || m_stopRequested) return;
        m_stopRequested = true;
        m_relaunchNow = false;
        m_connected = false;  // this run is over, whatever ssh still prints
        m_status.reset();
        m_stopReason = reason;
        m_lastError = reason;
        task = m_task;
        updateCodeLocked();
        m_wake.notify_all();
    }
    // Announced before ssh is told to end, so that the stop's notice comes before the exit's.
    postStatusChanged();
    if (task) task->terminate();
}

void ROZUdivev::toggleTunnel() {
    if (isWanted())
        stopTunnel();
    else
        startTunnel();
}

void ROZUdivev::reconnectTunnel() {
    std::shared_ptr<ChildProcess> task;
    {
        std::lock_guard lock(m_mutex);
        if (m_phase == Phase::Idle || m_stopRequested) return;
        m_backoff = kRestartDelay;
        if (m_phase == Phase::Running) {
            m_relaunchNow = true;
            task = m_task;
        } else if (m_phase == Phase::Waiting) {
            m_retryAt = std::chrono::steady_clock::now();
            m_wake.notify_all();
        }
    }
    if (task) task->terminate();
}

std::vector<std::string> ROZUdivev::launchEnvironment() const {
    std::vector<std::string> env;
    for (char** e = environ; e && *e; ++e) env.emplace_back(*e);
    bool auth;
    std::string name;
    {
        std::lock_guard lock(m_mutex);
        auth = m_connAuth;
        name = m_connName.value_or("");
    }
    auto set = [&env](const std::string& n, const std::string& v) {
        std::erase_if(env, [&n](const std::string& e) { return envName(e) == n; });
        env.push_back(n + "=" + v);
    };
    if (auth) {
        // The agent stays: ssh offers its keys first and asks us only for what it cannot answer.
        set("SSH_ASKPASS", Bundle::main().pathForResource("askForPass", "sh"));
        set("DISPLAY", ":0");
        // Without this, ssh started from a terminal asks on the terminal instead.
        set("SSH_ASKPASS_REQUIRE", "force");
    }
    set("TUNNEL_NAME", name);
    return env;
}

void ROZUdivev::launchTunnel() {
    struct ThreadCount {
        ROZUdivev* tunnel;
        ~ThreadCount() {
            {
                std::lock_guard lock(g_threads.mutex);
                --g_threads.count;
                g_threads.tunnels.erase(tunnel);
                g_threads.ended.notify_all();
            }
        }
    } counted{this};
    // One thread for all the runs of one start: it launches each ssh and waits for it, so the
    // parent-death signal of every ssh is tied to a thread that outlives it.
    while (runOnce() && waitForRetry()) {
    }
}

bool ROZUdivev::runOnce() {
    const Bundle& bundle = Bundle::main();
    bool socks;
    {
        std::lock_guard lock(m_mutex);
        socks = m_socks4;
    }
    const std::string path = socks ? bundle.pathForResource("ssh", "") : sshProgram();
    const auto args = arguments();
    const auto env = launchEnvironment();
    const std::string name = connName();

    Log::line(Log::format(bundle.localizedString("T_START"), name));
    setStatus(bundle.localizedString("S_CONNECTING"));
    m_partialLine.clear();
    m_runError.clear();
    m_runErrorFinal = false;
    m_interactive = false;
    m_awaitingForwardReplies = false;
    m_jumpSessions = 0;

    std::string error;
    std::shared_ptr<ChildProcess> task;
    if (g_shutdown)
        error = "Zandrel is quitting";
    else if (path.empty())
        error = "the ssh program for SOCKS4 tunnels is missing from Zandrel's resources";
    else
        task = ChildProcess::launch(path, args, env, &error);

    if (!task) {
        // A program that cannot be started will not start a second later either: stay idle and say why.
        Log::line(name + ": " + error);
        m_log.append("Cannot start ssh: " + error);
        {
            std::lock_guard lock(m_mutex);
            enterIdleLocked(error);
        }
        postStatusChanged();
        return false;
    }
    bool stopNow;
    {
        std::lock_guard lock(m_mutex);
        m_task = task;
        m_runSerial = ++g_runSerials;
        m_phase = Phase::Running;
        m_connected = false;
        m_relaunchNow = false;
        stopNow = m_stopRequested || g_shutdown;
        updateCodeLocked();
    }
    if (stopNow) task->terminate();  // a stop that came while launching
    m_log.append("Started " + displayCommand(args));
    postStatusChanged();

    const int wait = task->waitForExit([this](const char* data, size_t size) { return stdErr(data, size); });
    if (!m_partialLine.empty()) m_log.append(m_partialLine);
    if (WIFEXITED(wait))
        m_log.append("ssh ended with status " + std::to_string(WEXITSTATUS(wait)));
    else if (WIFSIGNALED(wait))
        m_log.append("ssh ended by signal " + std::to_string(WTERMSIG(wait)));
    if (!m_runErrorFinal && !m_partialLine.empty() && SshOutputParser::isReportable(m_partialLine))
        m_runError = SshOutputParser::reportText(m_partialLine);
    Log::line(Log::format(bundle.localizedString("T_STOP"), name));
    return true;
}

bool ROZUdivev::waitForRetry() {
    std::unique_lock lock(m_mutex);
    m_task.reset();
    const bool wasConnected = m_connected;
    m_connected = false;
    if (m_stopRequested || g_shutdown) {
        enterIdleLocked({});
        lock.unlock();
        postStatusChanged();
        return false;
    }
    if (wasConnected && !m_relaunchNow) ++m_drops;
    if (wasConnected) m_backoff = kRestartDelay;
    const auto pause = m_relaunchNow ? std::chrono::milliseconds(0) : m_backoff;
    if (!m_relaunchNow) m_backoff = std::min(m_backoff * 2, kMaxRestartDelay);
    m_relaunchNow = false;
    m_lastError = m_runError;
    m_status.reset();
    m_phase = Phase::Waiting;
    m_retryAt = std::chrono::steady_clock::now() + scaled(pause);
    updateCodeLocked();
    lock.unlock();
    postStatusChanged();

    lock.lock();
    // A start or a reconnect moves the retry closer and wakes us.
    while (!(m_stopRequested || g_shutdown) && std::chrono::steady_clock::now() < m_retryAt)
        m_wake.wait_until(lock, m_retryAt);
    if (m_stopRequested || g_shutdown) {
        enterIdleLocked({});
        lock.unlock();
        postStatusChanged();
        return false;
    }
    m_phase = Phase::Launching;
    updateCodeLocked();
    return true;
}

void ROZUdivev::connectedLineSeen(bool interactive, bool forwardsConfirmed) {
    if (interactive) m_interactive = true;
    if (forwardsConfirmed) m_awaitingForwardReplies = false;
    // With remote forwards, ssh enters its session before the server has answered them.
    if (!m_interactive || m_awaitingForwardReplies || m_runErrorFinal) return;
    std::lock_guard lock(m_mutex);
    if (m_stopRequested || m_connected) return;
    m_connected = true;
    m_status = Bundle::main().localizedString("S_CONNECTED");
    m_lastError.clear();
    m_runError.clear();
    updateCodeLocked();
}

bool ROZUdivev::stdErr(const char* data, size_t size) {
    if (size == 0) return false;  // end of file
    {
        // A stop asked for: the remaining output cannot change what the user sees.
        std::lock_guard lock(m_mutex);
        if (m_stopRequested) return false;
    }
    const Bundle& bundle = Bundle::main();
    using M = SshOutputParser::Marker;
    const std::string text(data, size);
    bool keepReading = true;
    size_t start = 0;
    auto endRun = [this] {
        std::shared_ptr<ChildProcess> task;
        {
            std::lock_guard lock(m_mutex);
            task = m_task;
        }
        if (task) task->terminate();
    };
    for (;;) {
        size_t nl = text.find('\n', start);
        const std::string line = text.substr(start, nl == std::string::npos ? std::string::npos : nl - start);

        // The reason shown for a failed run needs whole lines, which may span chunks.
        if (nl == std::string::npos) {
            m_partialLine += line;
        } else {
            std::string whole = m_partialLine + line;
            m_partialLine.clear();
            if (!whole.empty() && whole.back() == '\r') whole.pop_back();
            m_log.append(whole);
            if (SshOutputParser::isForwardFailure(whole)) {
                // ssh goes on while another address listens; a forward that does not work is a failure.
                if (!m_runErrorFinal) m_runError = SshOutputParser::reportText(whole);
                m_runErrorFinal = true;
                endRun();
            } else if (!m_runErrorFinal && SshOutputParser::isReportable(whole)) {
                m_runError = SshOutputParser::reportText(whole);
            }
        }

        if (SshOutputParser::holds(line, M::JumpSession)) ++m_jumpSessions;
        if (SshOutputParser::holds(line, M::Connected)) {
            if (m_jumpSessions > 0)
                --m_jumpSessions;  // the bastion's session, which ours runs through
            else
                connectedLineSeen(true, false);
        }
        if (SshOutputParser::holds(line, M::ForwardRepliesExpected)) m_awaitingForwardReplies = true;
        if (SshOutputParser::holds(line, M::ForwardRepliesReceived)) connectedLineSeen(false, true);
        if (SshOutputParser::holds(line, M::Authenticated)) setStatus(bundle.localizedString("S_AUTH"));
        if (SshOutputParser::holds(line, M::PortForwarded)) {
            if (auto port = SshOutputParser::forwardedPort(line)) setStatus(Log::format("Port %@ forwarded", *port));
        }
        if (SshOutputParser::holds(line, M::ClosedByRemote)) {
            endRun();
            keepReading = false;
            setStatus(std::string("Connection closed"));
        }
        postStatusChanged();
        if (nl == std::string::npos) break;
        start = nl + 1;
    }
    return keepReading;
}
