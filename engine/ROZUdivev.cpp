#include "ROZUdivev.h"

#include <algorithm>
#include <array>
#include <condition_variable>
#include <thread>

#include "Bundle.h"
#include "Log.h"
#include "NotificationCenter.h"
#include "SshOutputParser.h"

extern char** environ;

namespace {

std::atomic<bool> g_shutdown{false};
std::mutex g_threadsMutex;
std::condition_variable g_threadsCv;
int g_liveThreads = 0;
std::mutex g_programMutex;
std::string g_sshProgram = "/usr/bin/ssh";

// Protocol-1 cipher names: every current ssh refuses them, so they mean "let ssh choose".
bool isObsoleteCipher(const std::string& c) { return c == "3des" || c == "blowfish" || c == "des"; }

std::string forwardText(const ForwardEntry& e) {
    auto get = [&e](const char* k) {
        auto it = e.find(k);
        return it == e.end() ? std::string() : it->second;
    };
    std::string port = get("port");
    std::string host = get("host");
    std::string hostport = get("hostport");
    if (hostport.empty()) hostport = port;
    if (host.find(':') != std::string::npos && host.front() != '[') host = "[" + host + "]";
    return port + ":" + host + ":" + hostport;
}

bool isComplete(const ForwardEntry& e) {
    auto port = e.find("port");
    auto host = e.find("host");
    return port != e.end() && !port->second.empty() && host != e.end() && !host->second.empty();
}

std::string envName(const std::string& entry) { return entry.substr(0, entry.find('=')); }

// Sleeps for the restart pause; a shutdown cuts it short.
std::mutex g_pauseMutex;
std::condition_variable g_pauseCv;
void pause(std::chrono::milliseconds d) {
    std::unique_lock lock(g_pauseMutex);
    g_pauseCv.wait_for(lock, d, [] { return g_shutdown.load(); });
}

constexpr std::array<const char*, 14> kStoredKeys = {
    "compression", "connAuth", "autoConnect", "connHost",  "connName",     "connPort",      "connRemote",
    "connUser",    "encryption", "socks4",    "socks4p",   "tunnelsLocal", "tunnelsRemote", "v1"};

}  // namespace

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
    for (const char* key : kStoredKeys) {
        Value v = valueForKey(key);
        if (!v.isNone()) d.emplace_back(key, std::move(v));
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
    auto text = [&](std::optional<std::string>& field) {
        if (value.isNone())
            field.reset();
        else if (value.isText())
            field = value.text();
        else if (value.isInteger())
            field = std::to_string(value.intValue());
        else
            Log::line("ignored a value of the wrong type for key " + key + ": " + value.dump());
    };
    if (key == "tunnelsLocal" || key == "tunnelsRemote") {
        replaceList(key == "tunnelsLocal", listFromValue(value, key));
        return;
    }
    if (key == "code") {
        m_code = static_cast<int>(value.intValue());
        return;
    }
    if (key == "shouldStop") {
        m_shouldStop = value.boolValue();
        return;
    }
    std::lock_guard lock(m_mutex);
    if (key == "connAuth") m_connAuth = value.boolValue();
    else if (key == "autoConnect") m_autoConnect = value.boolValue();
    else if (key == "connRemote") m_connRemote = value.boolValue();
    else if (key == "compression") m_compression = value.boolValue();
    else if (key == "v1") m_v1 = value.boolValue();
    else if (key == "socks4") m_socks4 = value.boolValue();
    else if (key == "connName") text(m_connName);
    else if (key == "status") text(m_status);
    else if (key == "connPort") text(m_connPort);
    else if (key == "encryption") text(m_encryption);
    else if (key == "connUser") text(m_connUser);
    else if (key == "connHost") text(m_connHost);
    else if (key == "socks4p") {
        if (value.isNone()) m_socks4p.reset();
        else if (value.isInteger()) m_socks4p = value.intValue();
        else Log::line("ignored a value of the wrong type for key " + key + ": " + value.dump());
    } else if (key == "task" || key == "stdErrPipe") {
        // run-time handles, never set by name
    } else {
        Log::line(Log::format("key %@ undefined", key));
    }
}

Value ROZUdivev::valueForKey(const std::string& key) const {
    auto text = [](const std::optional<std::string>& f) { return f ? Value(*f) : Value(); };
    if (key == "status") return Value(status());
    if (key == "code") return Value(code());
    if (key == "shouldStop") return Value(m_shouldStop.load());
    if (key == "tunnelsLocal") return listToValue(tunnelsLocal());
    if (key == "tunnelsRemote") return listToValue(tunnelsRemote());
    if (key == "lastError") return Value(lastError());
    std::lock_guard lock(m_mutex);
    if (key == "connAuth") return Value(m_connAuth);
    if (key == "autoConnect") return Value(m_autoConnect);
    if (key == "connRemote") return Value(m_connRemote);
    if (key == "compression") return Value(m_compression);
    if (key == "v1") return Value(m_v1);
    if (key == "socks4") return Value(m_socks4);
    if (key == "connName") return text(m_connName);
    if (key == "connPort") return text(m_connPort);
    if (key == "encryption") return text(m_encryption);
    if (key == "connUser") return text(m_connUser);
    if (key == "connHost") return text(m_connHost);
    if (key == "socks4p") return m_socks4p ? Value(*m_socks4p) : Value();
    return {};
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

void ROZUdivev::replaceList(bool local, std::shared_ptr<const ForwardList> list) {
    std::lock_guard lock(m_mutex);
    (local ? m_tunnelsLocal : m_tunnelsRemote) = std::move(list);
}

namespace {
ForwardList copyOf(const std::shared_ptr<const ForwardList>& l) { return l ? *l : ForwardList{}; }
}  // namespace

void ROZUdivev::addLocalTunnel(const ForwardEntry& entry) {
    auto l = copyOf(tunnelsLocal());
    l.push_back(entry);
    replaceList(true, std::make_shared<const ForwardList>(std::move(l)));
}

void ROZUdivev::addRemoteTunnel(const ForwardEntry& entry) {
    auto l = copyOf(tunnelsRemote());
    l.push_back(entry);
    replaceList(false, std::make_shared<const ForwardList>(std::move(l)));
}

void ROZUdivev::removeLocal(int index) {
    auto l = copyOf(tunnelsLocal());
    if (index < 0 || static_cast<size_t>(index) >= l.size()) return;
    l.erase(l.begin() + index);
    replaceList(true, std::make_shared<const ForwardList>(std::move(l)));
}

void ROZUdivev::removeRemote(int index) {
    auto l = copyOf(tunnelsRemote());
    if (index < 0 || static_cast<size_t>(index) >= l.size()) return;
    l.erase(l.begin() + index);
    replaceList(false, std::make_shared<const ForwardList>(std::move(l)));
}

void ROZUdivev::setLocalValueOfTunnelForKey(const std::string& value, int index, const std::string& key) {
    auto l = copyOf(tunnelsLocal());
    if (index < 0 || static_cast<size_t>(index) >= l.size()) return;
    l[static_cast<size_t>(index)][key] = value;
    replaceList(true, std::make_shared<const ForwardList>(std::move(l)));
}

void ROZUdivev::setRemoteValueOfTunnelForKey(const std::string& value, int index, const std::string& key) {
    auto l = copyOf(tunnelsRemote());
    if (index < 0 || static_cast<size_t>(index) >= l.size()) return;
    l[static_cast<size_t>(index)][key] = value;
    replaceList(false, std::make_shared<const ForwardList>(std::move(l)));
}

// ---- icon and command line ----

std::string ROZUdivev::icon() const {
    switch (code()) {
    case 1: return "middleState";
    case 2: return "onState";
    default: return "offState";
    }
}

std::vector<std::string> ROZUdivev::arguments() const {
    std::unique_lock lock(m_mutex);
    std::vector<std::string> a{"-N", "-v", "-p"};
    a.push_back(m_connPort && !m_connPort->empty() ? *m_connPort : "22");
    if (m_connRemote) a.push_back("-g");
    if (m_compression) a.push_back("-C");
    if (m_v1) a.push_back("-1");
    if (m_encryption && !m_encryption->empty() && !isObsoleteCipher(*m_encryption)) {
        a.push_back("-c");
        a.push_back(*m_encryption);
    }
    if (m_socks4 && m_socks4p) {
        a.push_back("-D");
        a.push_back(std::to_string(*m_socks4p));
    }
    a.push_back(m_connUser.value_or("") + "@" + m_connHost.value_or(""));
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
    {
        std::lock_guard lock(g_pauseMutex);
        g_shutdown = on;
    }
    g_pauseCv.notify_all();
}

bool ROZUdivev::isShutdown() { return g_shutdown.load(); }

bool ROZUdivev::waitForLaunchThreads(std::chrono::milliseconds timeout) {
    std::unique_lock lock(g_threadsMutex);
    return g_threadsCv.wait_for(lock, timeout, [] { return g_liveThreads == 0; });
}

void ROZUdivev::setSshProgram(const std::string& path) {
    std::lock_guard lock(g_programMutex);
    g_sshProgram = path;
}

std::string ROZUdivev::sshProgram() {
    std::lock_guard lock(g_programMutex);
    return g_sshProgram;
}

bool ROZUdivev::isRunning() const {
    std::lock_guard lock(m_mutex);
    return m_task && m_task->isRunning();
}

bool ROZUdivev::hasLaunchThread() const {
    std::lock_guard lock(m_runMutex);
    return m_threadAlive;
}

std::string ROZUdivev::status() const {
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

void ROZUdivev::setStatus(std::optional<std::string> s) {
    std::lock_guard lock(m_mutex);
    m_status = std::move(s);
}

void ROZUdivev::postStatusChanged() { NotificationCenter::defaultCenter().post(kStatusChanged, this); }

void ROZUdivev::startTunnel() {
    {
        std::lock_guard lock(m_runMutex);
        // One launch thread, and so one ssh, per tunnel, also during the pause after an exit.
        if (m_threadAlive || g_shutdown) return;
        m_shouldStop = false;
        m_threadAlive = true;
    }
    spawnLaunchThread();
}

void ROZUdivev::spawnLaunchThread() {
    {
        std::lock_guard lock(g_threadsMutex);
        ++g_liveThreads;
    }
    std::thread([self = shared_from_this()] { self->launchTunnel(); }).detach();
}

void ROZUdivev::stopTunnel() {
    {
        // In the pause after an exit no ssh runs, but the launch thread would start the next one.
        std::lock_guard lock(m_runMutex);
        if (m_threadAlive) m_shouldStop = true;
    }
    std::shared_ptr<ChildProcess> task;
    {
        std::lock_guard lock(m_mutex);
        task = m_task;
    }
    if (!task || !task->isRunning()) return;
    m_shouldStop = true;
    setStatus(std::nullopt);
    task->terminate();
    m_code = 0;
    postStatusChanged();
}

void ROZUdivev::toggleTunnel() {
    if (isRunning())
        stopTunnel();
    else
        startTunnel();
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
        std::erase_if(env, [](const std::string& e) {
            auto n = envName(e);
            return n == "SSH_AGENT_PID" || n == "SSH_AUTH_SOCK";
        });
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
        ~ThreadCount() {
            {
                std::lock_guard lock(g_threadsMutex);
                --g_liveThreads;
            }
            g_threadsCv.notify_all();
        }
    } counted;
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
    m_code = 1;
    m_partialLine.clear();
    m_runError.clear();

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
        m_code = 0;
        {
            std::lock_guard lock(m_mutex);
            m_status.reset();
            m_lastError = error;
        }
        Log::line(name + ": " + error);
        {
            std::lock_guard lock(m_runMutex);
            m_threadAlive = false;
        }
        postStatusChanged();
        return;
    }
    {
        std::lock_guard lock(m_mutex);
        m_task = task;
    }
    // A stop that came before the task was visible to it.
    if (m_shouldStop) task->terminate();
    postStatusChanged();

    task->waitForExit([this](const char* data, size_t size) { return stdErr(data, size); });
    if (!m_partialLine.empty() && SshOutputParser::isReportable(m_partialLine))
        m_runError = SshOutputParser::reportText(m_partialLine);

    pause(kRestartDelay);
    m_code = 0;
    setStatus(bundle.localizedString("S_IDLE"));
    Log::line(Log::format(bundle.localizedString("T_STOP"), name));
    {
        std::lock_guard lock(m_mutex);
        m_task.reset();
        m_lastError = m_runError;
    }
    postStatusChanged();

    bool again;
    {
        // The next run's thread takes over without a moment in which a stop would find no thread.
        std::lock_guard lock(m_runMutex);
        again = !m_shouldStop && !g_shutdown;
        m_threadAlive = again;
    }
    if (again) spawnLaunchThread();
}

bool ROZUdivev::stdErr(const char* data, size_t size) {
    if (size == 0) return false;  // end of file
    // A stop asked for: the remaining output cannot change what the user sees.
    if (m_shouldStop) return false;
    const Bundle& bundle = Bundle::main();
    using M = SshOutputParser::Marker;
    const std::string text(data, size);
    bool keepReading = true;
    size_t start = 0;
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
            if (SshOutputParser::isReportable(whole)) m_runError = SshOutputParser::reportText(whole);
        }

        if (SshOutputParser::holds(line, M::Connected)) {
            m_code = 2;
            setStatus(bundle.localizedString("S_CONNECTED"));
            m_runError.clear();
            std::lock_guard lock(m_mutex);
            m_lastError.clear();
        }
        if (SshOutputParser::holds(line, M::Authenticated)) setStatus(bundle.localizedString("S_AUTH"));
        if (SshOutputParser::holds(line, M::PortForwarded)) {
            if (auto port = SshOutputParser::forwardedPort(line)) setStatus(Log::format("Port %@ forwarded", *port));
        }
        if (SshOutputParser::holds(line, M::ClosedByRemote)) {
            std::shared_ptr<ChildProcess> task;
            {
                std::lock_guard lock(m_mutex);
                task = m_task;
            }
            if (task) task->terminate();
            keepReading = false;
            setStatus(std::string("Connection closed"));
        }
        postStatusChanged();
        if (nl == std::string::npos) break;
        start = nl + 1;
    }
    return keepReading;
}
