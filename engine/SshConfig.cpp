#include "SshConfig.h"

#include <glob.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

#include "ChildProcess.h"

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
            for (size_t i = 1; i < w.size(); ++i)
                if (w[i].find_first_of("*?!") == std::string::npos && seen.insert(w[i]).second) aliases.push_back(w[i]);
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

// Runs ssh with the arguments; its standard output (or error) as text, and whether it succeeded.
std::pair<bool, std::string> runSsh(const std::vector<std::string>& args, bool wantOutput) {
    // The shell only moves descriptors; the arguments reach ssh untouched as "$@".
    std::vector<std::string> argv{"-c",
                                  wantOutput ? "exec \"$0\" \"$@\" >&2 2>/dev/null" : "exec \"$0\" \"$@\" >/dev/null",
                                  SshCommand::sshProgram()};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> env;
    for (char** e = environ; e && *e; ++e) env.emplace_back(*e);
    std::string error;
    auto child = ChildProcess::launch("/bin/sh", argv, env, &error);
    if (!child) return {false, error};
    std::string text;
    const int status = child->waitForExit([&text](const char* data, size_t size) {
        text.append(data, size);
        return true;
    });
    return {WIFEXITED(status) && WEXITSTATUS(status) == 0, text};
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

}  // namespace

std::string SshConfig::userConfigPath() { return home() + "/.ssh/config"; }

std::vector<std::string> SshConfig::hostAliases(const std::string& configPath) {
    std::vector<std::string> aliases;
    std::set<std::string> seen;
    collect(configPath, 0, aliases, seen);
    return aliases;
}

std::optional<SshConfig::Host> SshConfig::resolve(const std::string& alias, const std::string& configPath) {
    std::vector<std::string> args{"-G"};
    if (!configPath.empty()) args.insert(args.end(), {"-F", configPath});
    args.insert(args.end(), {"--", alias});
    auto [ok, out] = runSsh(args, true);
    if (!ok) return std::nullopt;
    Host host;
    host.alias = alias;
    std::istringstream in(out);
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
        return "Write the option as Key=Value";
    if (std::string refused = SshCommand::refusedOption(option); !refused.empty()) return refused;
    // Without the user's config: its Match exec lines may take seconds, and they judge no option.
    auto [ok, out] = runSsh({"-F", "/dev/null", "-G", "-o", option, "localhost"}, false);
    if (ok) return {};
    // "command-line: line 0: Bad configuration option: foo": the words after the place.
    std::string last;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        if (!line.empty()) last = line;
    }
    if (const auto at = last.find("line 0: "); at != std::string::npos) return last.substr(at + 8);
    return last.empty() ? "ssh refused the option" : last;
}
