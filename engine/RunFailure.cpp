#include "RunFailure.h"

#include <regex>

#include "UiText.h"

namespace {
bool contains(const std::string& s, const char* what) { return s.find(what) != std::string::npos; }

std::string trimmed(const std::string& s) {
    const auto from = s.find_first_not_of(" \t\r");
    const auto to = s.find_last_not_of(" \t\r");
    return from == std::string::npos ? std::string() : s.substr(from, to - from + 1);
}
}  // namespace

void RunFailure::observe(const std::string& raw) {
    // Each ssh of a jump host chain says so (ProxyJump passes -v on), on the same standard error.
    if (raw.starts_with("debug")) {
        if (contains(raw, "Executing proxy command: ")) ++m_proxyCommands;
        return;
    }
    const std::string line = trimmed(raw);
    if (contains(line, "REMOTE HOST IDENTIFICATION HAS CHANGED")) m_hostKeyChanged = true;
    if (m_hostKeyChanged && line.starts_with("SHA256:") && m_fingerprint.empty()) {
        m_fingerprint = line;
        if (m_fingerprint.ends_with('.')) m_fingerprint.pop_back();
    }
    if (m_hostKeyChanged && line.starts_with("ssh-keygen ") && contains(line, " -R ")) m_removeCommand = line;
    if (line == "Host key verification failed.") m_verificationFailed = true;
    // "command-line: line 0: Bad configuration option: foo", "/home/me/.ssh/config: line 2: …",
    // "command-line line 0: invalid time value.": a place in a config, then what is wrong there.
    static const std::regex configPlace(R"(^\S+:? line [0-9]+: )");
    const bool badOption = std::regex_search(line, configPlace) || contains(line, "bad configuration options") ||
                           line.starts_with("Unknown cipher type");
    // "parse_jump: invalid hostname …" comes first and names the entry.
    const bool badJump = line.starts_with("parse_jump: ") || line == "Invalid -J argument";
    if ((badOption || badJump) && m_sshWords.empty()) m_sshWords = line;
    m_badOption = m_badOption || badOption;
    m_badJump = m_badJump || badJump;
    if (contains(line, "Permission denied (")) {
        m_refused = true;
        m_sshWords = line.substr(line.find("Permission denied ("));
    }
}

RunFailure::Kind RunFailure::kind() const {
    if (m_proxyCommands > kMaxJumpDepth) return Kind::JumpHostLoop;
    if (m_hostKeyChanged && m_verificationFailed) return Kind::HostKeyChanged;
    if (m_badJump) return Kind::BadJumpHosts;
    if (m_badOption) return Kind::BadOptions;
    if (m_refused) return Kind::LoginRefused;
    return Kind::Heals;
}

std::string RunFailure::reason() const {
    switch (kind()) {
        case Kind::HostKeyChanged:
            return UiText::format(
                UI_TEXT("Host key verification failed. The server's identity changed: this can mean that someone is "
                        "intercepting the connection. The server now sends the key %1. Check it with the server's "
                        "administrator; if it is right, remove the old entry with %2 and press Start."),
                {m_fingerprint.empty() ? UI_TEXT("shown in the log") : m_fingerprint,
                 m_removeCommand.empty() ? "ssh-keygen -R HOST" : m_removeCommand});
        case Kind::BadOptions:
            return UiText::format(
                UI_TEXT("%1. Correct the option (in the tunnel's ssh options or in ~/.ssh/config), then press Start."),
                {m_sshWords});
        case Kind::BadJumpHosts:
            return UiText::format(UI_TEXT("%1. Correct the jump hosts, then press Start."), {m_sshWords});
        case Kind::JumpHostLoop:
            return UiText::format(
                UI_TEXT("The jump host chain loops: ssh started itself through a jump host more than %1 times over, "
                        "as a ProxyJump in ~/.ssh/config that names its own host (Host a, ProxyJump a) makes it do. "
                        "Correct the ProxyJump there or the tunnel's jump hosts, then press Start."),
                {std::to_string(kMaxJumpDepth)});
        case Kind::LoginRefused:
            return m_sshWords;
        case Kind::Heals:
            break;
    }
    return {};
}
