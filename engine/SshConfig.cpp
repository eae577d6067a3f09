#include "SshConfig.h"

#include <glob.h>
#include <poll.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <system_error>
#include <thread>

#include "ChildProcess.h"
#include "UiText.h"

namespace {

std::string home() {
    if (const char* h = std::getenv("HOME"); h && *h) return h;
    const passwd* pw = getpwuid(getuid());
    return pw ? pw->pw_dir : "";
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

// Words of a config line, quotes removed; "Key=Value" split too.
std::vector<std::string> words(const std::string& line) {
    std::vector<std::string> out;
    std::string word;
    bool quoted = false, any = false;
    for (char c : line) {
        if (c == '"') {
            quoted = !quoted;
            any = true;
        } else if (!quoted && (c == ' ' || c == '\t' || (c == '=' && out.empty()))) {
            if (any || !word.empty()) out.push_back(word);
            word.clear();
            any = false;
        } else if (!quoted && c == '#') {
            break;
        } else {
            word += c;
        }
    }
    if (any || !word.empty()) out.push_back(word);
    return out;
}

void collect(const std::string& path, int depth, std::vector<std::string>& aliases, std::set<std::string>& seen) {
    if (depth > 16) return;  // ssh's own limit on nested includes
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        const auto w = words(line);
        if (w.empty()) continue;
        const std::string key = lower(w[0]);
        if (key == "host") {
            const auto name = std::find_if(w.begin() + 1, w.end(), [](const std::string& pattern) {
                return pattern.find_first_of("*?!") == std::string::npos;
            });
            if (name != w.end() && seen.insert(*name).second) aliases.push_back(*name);
        } else if (key == "include") {
            for (size_t i = 1; i < w.size(); ++i) {
                std::string pattern = w[i];
                if (pattern.starts_with("~/"))
                    pattern = home() + pattern.substr(1);
                else if (!pattern.starts_with("/"))
                    pattern = home() + "/.ssh/" + pattern;
                glob_t g{};
                if (glob(pattern.c_str(), 0, nullptr, &g) == 0)
                    for (size_t j = 0; j < g.gl_pathc; ++j) collect(g.gl_pathv[j], depth + 1, aliases, seen);
                globfree(&g);
            }
        }
    }
}

constexpr size_t kMaxText = 1 << 20;  // a chatty Match exec command must not fill the memory

std::atomic<std::chrono::milliseconds::rep> g_hostTimeout{0};

std::chrono::milliseconds hostTimeout() {
    const auto set = g_hostTimeout.load();
    return set > 0 ? std::chrono::milliseconds(set) : SshConfig::kHostTimeout;
}

std::vector<std::string> environment() {
    std::vector<std::string> env;
    for (char** e = environ; e && *e; ++e) env.emplace_back(*e);
    return env;
}

struct SshAnswer {
    enum Result { Exited, TimedOut, Cancelled, Failed } result = Exited;
    int status = 0;
    std::string text;  // standard output and error together, or why it could not run
};

// ssh with the arguments, until it exits, the time is up or cancel is set; then ssh's process
// group (it and the Match exec commands it started) is killed and reaped. Its output and errors
// share one pipe: ssh -G prints nothing before it has read every file, and nothing when it fails.
SshAnswer runSsh(const std::vector<std::string>& args, const std::vector<std::string>& env,
                 std::chrono::milliseconds timeout, const std::atomic<bool>* cancel) {
    // The shell only moves descriptors; the arguments reach ssh untouched as "$@".
    std::vector<std::string> argv{"-c", "exec \"$0\" \"$@\" >&2 </dev/null", SshCommand::sshProgram()};
    argv.insert(argv.end(), args.begin(), args.end());
    SshAnswer answer;
    auto child = ChildProcess::launch("/bin/sh", argv, env, &answer.text);
    if (!child) {
        answer.result = SshAnswer::Failed;
        return answer;
    }
    auto keep = [&answer](const char* data, size_t size) {
        answer.text.append(data, std::min(size, kMaxText - std::min(kMaxText, answer.text.size())));
        return true;
    };
    std::function<bool()> cancelled;
    if (cancel) cancelled = [cancel] { return cancel->load(); };
    switch (child->waitUntil(std::chrono::steady_clock::now() + timeout, keep, cancelled)) {
        case ChildProcess::Waited::Exited:
            answer.status = child->finish();
            return answer;
        case ChildProcess::Waited::TimedOut:
            answer.result = SshAnswer::TimedOut;
            break;
        case ChildProcess::Waited::Stopped:
            answer.result = SshAnswer::Cancelled;
            break;
        case ChildProcess::Waited::Failed:
            answer.result = SshAnswer::Failed;
            answer.text = std::string("cannot wait for ssh: ") + std::strerror(errno);
            break;
    }
    child->kill();
    child->finish();
    return answer;
}

// What ssh said when it failed: its last lines that say something (three at most), without the
// count it ends a bad config with and the warning about a terminal.
std::string complaint(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        if (line.empty() || line.find(": terminating, ") != std::string::npos ||
            line.starts_with("Pseudo-terminal will not be allocated"))
            continue;
        lines.push_back(line);
    }
    std::string out;
    for (size_t i = lines.size() > 3 ? lines.size() - 3 : 0; i < lines.size(); ++i)
        out += (out.empty() ? "" : "\n") + lines[i];
    return out;
}

std::string unbracket(std::string s) {
    if (s.size() >= 2 && s.front() == '[' && s.back() == ']') return s.substr(1, s.size() - 2);
    return s;
}

// "[bind]:port", "bind:port" or "port".
std::pair<std::string, std::string> listenSpec(const std::string& spec) {
    const auto colon = spec.rfind(':');
    if (colon == std::string::npos) return {"", spec};
    return {unbracket(spec.substr(0, colon)), spec.substr(colon + 1)};
}

// ssh -G's dump: the keys a tunnel takes.
SshConfig::Host parsedHost(const std::string& alias, const std::string& dump) {
    SshConfig::Host host;
    host.alias = alias;
    std::istringstream in(dump);
    for (std::string line; std::getline(in, line);) {
        const auto w = words(line);
        if (w.size() < 2) continue;
        const std::string key = lower(w[0]);
        if (key == "user")
            host.user = w[1];
        else if (key == "hostname")
            host.hostName = w[1];
        else if (key == "port")
            host.port = w[1];
        else if (key == "dynamicforward") {
            const auto [bind, port] = listenSpec(w[1]);
            host.dynamicBind = bind;
            host.dynamic = port;
        } else if ((key == "localforward" || key == "remoteforward") && w.size() >= 3) {
            const auto [bind, port] = listenSpec(w[1]);
            const auto [target, targetPort] = listenSpec(w[2]);
            ForwardEntry e{{"port", port}, {"host", target}, {"hostport", targetPort}};
            if (!bind.empty()) e["bind"] = bind;
            (key == "localforward" ? host.local : host.remote).push_back(std::move(e));
        }
    }
    return host;
}

// One alias's answer from its ssh.
SshConfig::Resolution answerOf(size_t index, const std::string& alias, const SshAnswer& ssh,
                               std::chrono::milliseconds timeout) {
    SshConfig::Resolution answer{index, alias, std::nullopt, {}};
    if (ssh.result == SshAnswer::TimedOut)
        answer.words = "ssh took longer than " + std::to_string((timeout.count() + 999) / 1000) + " s";
    else if (ssh.result == SshAnswer::Failed)
        answer.words = ssh.text;
    else if (WIFEXITED(ssh.status) && WEXITSTATUS(ssh.status) == 0)
        answer.host = parsedHost(alias, ssh.text);
    else
        answer.words = complaint(ssh.text);
    if (!answer.host && answer.words.empty()) answer.words = "ssh refused the host without saying why";
    return answer;
}

}  // namespace

std::string SshConfig::userConfigPath() { return home() + "/.ssh/config"; }

std::vector<std::string> SshConfig::hostAliases(const std::string& configPath) {
    std::vector<std::string> aliases;
    std::set<std::string> seen;
    collect(configPath, 0, aliases, seen);
    return aliases;
}

std::optional<SshConfig::Host> SshConfig::resolve(const std::string& alias, const std::string& configPath) {
    auto outcome = resolveAll({alias}, configPath, nullptr, {});
    if (outcome.hosts.empty()) return std::nullopt;
    return std::move(outcome.hosts.front());
}

void SshConfig::setHostTimeout(std::chrono::milliseconds timeout) { g_hostTimeout = timeout.count(); }

SshConfig::ResolveOutcome SshConfig::resolveAll(const std::vector<std::string>& aliases, const std::string& configPath,
                                                const std::atomic<bool>* cancel,
                                                const std::function<void(size_t done, size_t total)>& progress) {
    return resolveEach(aliases, configPath, cancel, [&progress](const Resolution&, size_t done, size_t total) {
        if (progress) progress(done, total);
    });
}

SshConfig::ResolveOutcome SshConfig::resolveEach(const std::vector<std::string>& asked, const std::string& configPath,
                                                 const std::atomic<bool>* cancel, const ResolutionHandler& each) {
    const std::vector<std::string> aliases =
        asked.empty() ? hostAliases(configPath.empty() ? userConfigPath() : configPath) : asked;
    const auto env = environment();
    const auto timeout = hostTimeout();
    std::vector<std::optional<Resolution>> answers(aliases.size());
    std::atomic<size_t> next{0};
    std::mutex mutex;  // over answers and done, and one handler call at a time
    size_t done = 0;
    auto work = [&] {
        while (!(cancel && cancel->load())) {
            const size_t i = next++;
            if (i >= aliases.size()) return;
            std::vector<std::string> args{"-G"};
            if (!configPath.empty()) args.insert(args.end(), {"-F", configPath});
            args.insert(args.end(), {"--", aliases[i]});
            const SshAnswer ssh = runSsh(args, env, timeout, cancel);
            if (ssh.result == SshAnswer::Cancelled) return;
            std::lock_guard lock(mutex);
            answers[i] = answerOf(i, aliases[i], ssh, timeout);
            ++done;
            if (each) each(*answers[i], done, aliases.size());
        }
    };
    // The calling thread resolves too, so that a failure to start more threads only slows it down.
    std::vector<std::thread> helpers;
    for (size_t n = 1; n < std::min(kParallel, aliases.size()); ++n) {
        try {
            helpers.emplace_back(work);
        } catch (const std::system_error&) {
            break;
        }
    }
    work();
    for (auto& t : helpers) t.join();

    ResolveOutcome outcome;
    outcome.cancelled = done < aliases.size();
    for (auto& answer : answers) {
        if (!answer) continue;
        if (answer->host)
            outcome.hosts.push_back(std::move(*answer->host));
        else
            outcome.refused.emplace_back(answer->alias, answer->words);
    }
    return outcome;
}

TunnelPtr SshConfig::tunnelFor(const Host& host) {
    auto t = Tunnel::create(host.alias);
    // User and port stay empty: ssh takes them, and everything else, from ssh_config.
    t->setValueForKey(Value(host.alias), "connHost");
    for (const auto& e : host.local) t->addLocalTunnel(e);
    for (const auto& e : host.remote) t->addRemoteTunnel(e);
    if (host.dynamic) {
        t->setValueForKey(Value(true), "socks4");
        const bool digits =
            !host.dynamic->empty() && host.dynamic->find_first_not_of("0123456789") == std::string::npos;
        if (digits) t->setValueForKey(Value(std::int64_t(std::stoll(*host.dynamic))), "socks4p");
        if (!host.dynamicBind.empty()) t->setValueForKey(Value(host.dynamicBind), "socks4b");
    }
    return t;
}

std::string SshConfig::optionError(const std::string& option) {
    if (option.find('=') == std::string::npos && option.find(' ') == std::string::npos)
        return UI_TEXT("Write the option as Key=Value");
    if (std::string refused = SshCommand::refusedOption(option); !refused.empty()) return refused;
    // Without the user's config: its Match exec lines may take seconds, and they judge no option.
    const SshAnswer ssh =
        runSsh({"-F", "/dev/null", "-G", "-o", option, "localhost"}, environment(), kHostTimeout, nullptr);
    if (ssh.result == SshAnswer::Exited && WIFEXITED(ssh.status) && WEXITSTATUS(ssh.status) == 0) return {};
    // "command-line: line 0: Bad configuration option: foo": the words after the place.
    const std::string words = complaint(ssh.text);
    const std::string last = words.substr(words.find_last_of('\n') + 1);  // npos + 1 is 0
    if (const auto at = last.find("line 0: "); at != std::string::npos) return last.substr(at + 8);
    return last.empty() ? "ssh refused the option" : last;
}
