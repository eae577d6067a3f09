#include "SshCommand.h"

#include <pwd.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <mutex>

#include "Bundle.h"

extern char** environ;

namespace {

std::mutex g_programMutex;
std::string g_sshProgram = "/usr/bin/ssh";

// Protocol-1 cipher names: every current ssh refuses them, so they mean "let ssh choose".
bool isObsoleteCipher(const std::string& c) { return c == "3des" || c == "blowfish" || c == "des"; }

// [bind:]port:host:hostport, or with held set, PATH:host:hostport.
std::string forwardText(const ForwardEntry& e, const std::string& held = {}) {
    const std::string port = forwardField(e, "port");
    std::string hostport = forwardField(e, "hostport");
    if (hostport.empty()) hostport = port;
    const std::string bind = forwardField(e, "bind");
    const std::string listen = !held.empty() ? held : (bind.empty() ? "" : SshCommand::bracketed(bind) + ":") + port;
    return listen + ":" + SshCommand::bracketed(forwardField(e, "host")) + ":" + hostport;
}

std::string homeDirectory() {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    const passwd* pw = getpwuid(getuid());
    return pw ? pw->pw_dir : "";
}

std::string envName(const std::string& entry) { return entry.substr(0, entry.find('=')); }

}  // namespace

bool SshCommand::isComplete(const ForwardEntry& e) {
    return !forwardField(e, "port").empty() && !forwardField(e, "host").empty();
}

void SshCommand::setSshProgram(const std::string& path) {
    std::lock_guard lock(g_programMutex);
    g_sshProgram = path;
}

std::string SshCommand::sshProgram() {
    std::lock_guard lock(g_programMutex);
    return g_sshProgram;
}

std::string SshCommand::program() const {
    return m_settings.socks4 ? Bundle::main().pathForResource("ssh", "") : sshProgram();
}

std::string SshCommand::launchError(const TunnelSettings& settings) {
    const std::string host = settings.connHost.value_or("");
    if (host.empty()) return kNoHost;
    if (host.front() == '-' || settings.connUser.value_or("").starts_with('-'))
        return UI_TEXT("The server host or user may not begin with \"-\"");  // ssh would read it as an option
    return {};
}

const std::vector<SshCommand::ForcedOption>& SshCommand::forcedOptions() {
    static const std::vector<ForcedOption> forced = {
        {"ControlMaster=no",
         UI_TEXT("a shared master connection would carry the forwards beyond Zandrel's Stop and Quit")},
        {"ControlPath=none", UI_TEXT("ssh would hand the forwards to a master connection that Zandrel does not run")},
        {"ControlPersist=no", UI_TEXT("a master connection would stay in the background after the tunnel stops")},
        {"ForkAfterAuthentication=no",
         UI_TEXT("ssh would go to the background, where Zandrel can neither follow nor stop it")},
        {"PermitLocalCommand=no",
         UI_TEXT("a local command would run at every connection, outside the tunnel's control")},
        {"ClearAllForwardings=no", UI_TEXT("it would drop the tunnel's own forwards")},
        {"ExitOnForwardFailure=yes",
         UI_TEXT("a forward that cannot listen must fail the run, not leave a tunnel that carries nothing")},
    };
    return forced;
}

std::string SshCommand::refusedOption(const std::string& option) {
    auto keyOf = [](const std::string& o) {
        std::string key = o.substr(0, o.find_first_of("= \t"));
        for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return key;
    };
    const std::string key = keyOf(option);
    for (const ForcedOption& f : forcedOptions())
        if (keyOf(f.option) == key)
            return UiText::format(UI_TEXT("Zandrel always runs ssh with %1: %2."), {f.option, f.why});
    return {};
}

std::vector<std::string> SshCommand::arguments() const {
    const TunnelSettings& s = m_settings;
    std::vector<std::string> a{"-N", "-v"};
    // First among the options: for ssh the first value of an option wins, and the command line's
    // win over the config files'.
    for (const ForcedOption& f : forcedOptions()) a.insert(a.end(), {"-o", f.option});
    // No port, no user: ssh takes them from ssh_config (a host alias works whole) or its defaults.
    if (s.connPort && !s.connPort->empty()) a.insert(a.end(), {"-p", *s.connPort});
    // Held ports: Zandrel's own listeners open them to the network, never ssh's.
    if (s.connRemote && !m_held) a.push_back("-g");
    if (s.compression) a.push_back("-C");
    if (s.v1) a.push_back("-1");
    if (s.encryption && !s.encryption->empty() && !isObsoleteCipher(*s.encryption))
        a.insert(a.end(), {"-c", *s.encryption});
    if (s.identityFile && !s.identityFile->empty())
        a.insert(a.end(), {"-i", s.identityFile->starts_with("~/") ? homeDirectory() + s.identityFile->substr(1)
                                                                   : *s.identityFile});
    if (s.jumpHosts && !s.jumpHosts->empty()) a.insert(a.end(), {"-J", *s.jumpHosts});
    // The user's options before the keep-alive, which they may set otherwise; none that would
    // undo a forced one (refused when entered, and left out of a hand-written file).
    if (s.sshOptions)
        for (const auto& option : *s.sshOptions)
            if (!option.empty() && refusedOption(option).empty()) a.insert(a.end(), {"-o", option});
    const std::int64_t keepAlive = s.keepAlive.value_or(TunnelSettings::kDefaultKeepAlive);
    if (keepAlive > 0)
        a.insert(a.end(), {"-o", "ServerAliveInterval=" + std::to_string(keepAlive), "-o", "ServerAliveCountMax=3"});
    if (m_held) a.insert(a.end(), {"-o", "StreamLocalBindUnlink=yes"});  // a killed run's socket is replaced
    if (s.socks4 && s.socks4p && m_held && m_held->socksPort) {
        a.insert(a.end(), {"-D", "127.0.0.1:" + std::to_string(m_held->socksPort)});
    } else if (s.socks4 && s.socks4p) {
        const std::string bind = s.socks4b.value_or("");
        a.insert(a.end(), {"-D", (bind.empty() ? "" : bracketed(bind) + ":") + std::to_string(*s.socks4p)});
    }
    const std::string user = s.connUser.value_or("");
    const std::string host = s.connHost.value_or("");
    if (!user.empty() || !host.empty()) a.push_back(user.empty() ? host : user + "@" + host);
    // A forward without its port or host would only make ssh refuse the whole command line.
    for (const auto& [list, flag] : {std::pair{s.tunnelsLocal, "-L"}, std::pair{s.tunnelsRemote, "-R"}}) {
        if (!list) continue;
        const bool held = m_held && list == s.tunnelsLocal;
        for (size_t i = 0; i < list->size(); ++i) {
            const ForwardEntry& e = (*list)[i];
            if (!isComplete(e)) continue;
            a.insert(a.end(),
                     {flag, forwardText(e, held && i < m_held->localPaths.size() ? m_held->localPaths[i] : "")});
        }
    }
    return a;
}

std::string SshCommand::serverKey() const {
    std::string host = m_settings.connHost.value_or(""), port = m_settings.connPort.value_or("");
    if (const std::string jumps = m_settings.jumpHosts.value_or(""); !jumps.empty()) {
        std::string entry = jumps.substr(0, jumps.find(','));
        entry.erase(0, entry.rfind('@') + 1);  // no '@': npos + 1 erases nothing
        // [v6]:port, host:port or host
        const bool bracket = entry.starts_with('[');
        const size_t hostEnd = entry.find(bracket ? ']' : ':');
        host = bracket ? entry.substr(1, hostEnd - 1) : entry.substr(0, hostEnd);
        const size_t colon = entry.find(':', hostEnd == std::string::npos ? entry.size() : hostEnd);
        port = colon == std::string::npos ? "" : entry.substr(colon + 1);
    }
    // Host names are case-blind to ssh and its config alike.
    for (char& c : host) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return bracketed(host) + ":" + (port.empty() ? "22" : port);
}

std::vector<std::string> SshCommand::environment() const {
    std::vector<std::string> env;
    for (char** e = environ; e && *e; ++e) env.emplace_back(*e);
    auto set = [&env](const std::string& n, const std::string& v) {
        std::erase_if(env, [&n](const std::string& e) { return envName(e) == n; });
        env.push_back(n + "=" + v);
    };
    if (m_settings.connAuth) {
        // The agent stays: ssh offers its keys first and asks us only for what it cannot answer.
        // "force" alone makes ssh use it, with or without a display and a terminal; DISPLAY stays
        // the session's, so that X11 forwarding never reaches a display the user does not sit at.
        set("SSH_ASKPASS", Bundle::main().pathForResource("askForPass", "sh"));
        set("SSH_ASKPASS_REQUIRE", "force");
    }
    set("TUNNEL_NAME", m_settings.connName.value_or(""));
    return env;
}

std::string SshCommand::bracketed(const std::string& host) {
    if (host.find(':') == std::string::npos || host.front() == '[') return host;
    return "[" + host + "]";
}

std::string SshCommand::jumpHostsError(const std::string& jumpHosts) {
    size_t start = 0;
    for (;;) {
        const size_t comma = jumpHosts.find(',', start);
        std::string entry = jumpHosts.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        const std::string shown = "\"" + entry + "\"";
        if (entry.empty()) return UI_TEXT("An empty jump host between commas");
        if (entry.find_first_of(" \t'\"\\") != std::string::npos)
            return UiText::format(UI_TEXT("No blanks or quotes in a jump host: %1"), {shown});
        if (const auto at = entry.rfind('@'); at != std::string::npos) {
            if (at == 0) return UiText::format(UI_TEXT("A user name before \"@\" is missing in %1"), {shown});
            entry = entry.substr(at + 1);
        }
        std::string host = entry, port;
        if (entry.front() == '[') {
            const auto close = entry.find(']');
            if (close == std::string::npos) return UiText::format(UI_TEXT("A \"]\" is missing in %1"), {shown});
            host = entry.substr(1, close - 1);
            if (close + 1 < entry.size()) {
                if (entry[close + 1] != ':') return UiText::format(UI_TEXT("A \":\" must follow \"]\" in %1"), {shown});
                port = entry.substr(close + 2);
                if (port.empty()) return UiText::format(UI_TEXT("The port is missing in %1"), {shown});
            }
        } else if (const auto colon = entry.find(':'); colon != std::string::npos) {
            if (entry.find(':', colon + 1) != std::string::npos)
                return UiText::format(UI_TEXT("Write an IPv6 address in brackets: %1"), {shown});
            host = entry.substr(0, colon);
            port = entry.substr(colon + 1);
            if (port.empty()) return UiText::format(UI_TEXT("The port is missing in %1"), {shown});
        }
        if (host.empty() || host.front() == '-')
            return UiText::format(UI_TEXT("A host name is missing in %1"), {shown});
        if (!port.empty()) {
            const bool digits = port.find_first_not_of("0123456789") == std::string::npos;
            if (!digits || port.size() > 5 || std::stoi(port) < 1 || std::stoi(port) > 65535)
                return UiText::format(UI_TEXT("Port must be a number from 1 to 65535 in %1"), {shown});
        }
        if (comma == std::string::npos) return {};
        start = comma + 1;
    }
}

std::string SshCommand::displayCommand(const std::vector<std::string>& arguments) {
    std::string out = "ssh";
    for (const auto& arg : arguments) {
        if (arg == "-v") continue;
        out += " ";
        out += arg;
    }
    return out;
}
