#pragma once

#include <optional>
#include <string>
#include <vector>

#include "TunnelSettings.h"
#include "UiText.h"

// The ssh command that runs a tunnel: the program, its arguments and its environment, built
// from the tunnel's settings, and the command line as the user sees it.
class SshCommand {
public:
    explicit SshCommand(TunnelSettings settings) : m_settings(std::move(settings)) {}
    // ssh's local and SOCKS forwards listen where Zandrel alone reaches them.
    SshCommand(TunnelSettings settings, HeldEndpoints held)
        : m_settings(std::move(settings)), m_held(std::move(held)) {}

    // The program: the SOCKS4 wrapper among the resources (empty when it is missing), else
    // sshProgram().
    std::string program() const;
    // ssh's argument list (program path not included).
    std::vector<std::string> arguments() const;
    // This process's environment with the askpass variables and the tunnel's name.
    std::vector<std::string> environment() const;

    // The server ssh connects to first: the first jump host, else the host, with its port (22
    // when none is given). A host alias counts by its name. Starts to one server are paced.
    std::string serverKey() const;

    // The list as the user sees it: "ssh " + the arguments without "-v".
    static std::string displayCommand(const std::vector<std::string>& arguments);
    // Why a "jumpHosts" text is malformed ([user@]host[:port], comma-separated), or "".
    static std::string jumpHostsError(const std::string& jumpHosts);
    // A forward that reaches ssh: one with its port and host (a row left half empty does not).
    static bool isComplete(const ForwardEntry& entry);
    // A host or address as ssh's forward and -D syntax wants it: an IPv6 address in brackets.
    static std::string bracketed(const std::string& host);
    // Why ssh must not be started with these settings (no host; a host or user that ssh would
    // read as an option), or "".
    static std::string launchError(const TunnelSettings& settings);
    static constexpr const char* kNoHost = UI_TEXT("No server host set");

    // The options every tunnel's ssh runs with, first among the -o options so that neither the
    // config files nor the tunnel's own options can change them, each with the reason.
    struct ForcedOption {
        const char* option;  // "Key=value"
        const char* why;
    };
    static const std::vector<ForcedOption>& forcedOptions();
    // Why the tunnel's own "Key=Value" option may not be given (it names a forced key), or "".
    static std::string refusedOption(const std::string& option);

    // The program run for tunnels without SOCKS4 (tests swap it; the default is /usr/bin/ssh).
    static void setSshProgram(const std::string& path);
    static std::string sshProgram();

private:
    TunnelSettings m_settings;
    std::optional<HeldEndpoints> m_held;
};
