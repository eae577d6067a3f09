#include "TunnelChanges.h"

#include <nlohmann/json.hpp>
#include <set>

#include "PasswordKeyring.h"

namespace {
using Outcome = TunnelChanges::Outcome;
Outcome invalid(std::string why) { return {Outcome::Kind::Invalid, std::move(why)}; }
}  // namespace

Outcome TunnelChanges::parse(const std::string& json, Value* changes) {
    nlohmann::ordered_json parsed = nlohmann::ordered_json::parse(json, nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object()) return invalid("The settings must be one JSON object");
    *changes = Value::fromJson(parsed);
    return {};
}

Outcome TunnelChanges::check(const std::string& name, const Value& changes) const {
    for (const auto& [key, value] : changes.dict())
        if (std::string why = Tunnel::valueError(key, value); !why.empty()) return invalid(why);
    const TunnelPtr existing = m_tunnels.named(name);
    // A new tunnel takes the name it is asked for, unless the changes give it another.
    if (changes.has("connName") || !existing) {
        const std::string wanted = changes.has("connName") ? changes.get("connName").text() : name;
        if (std::string why = m_tunnels.nameError(wanted, existing.get()); !why.empty()) return invalid(why);
    }
    return {};
}

Outcome TunnelChanges::checkWithSsh(const Value& changes) {
    for (const Value& option : changes.get("sshOptions").list())
        if (std::string why = SshConfig::optionError(option.text()); !why.empty())
            return invalid("\"" + option.text() + "\": " + why);
    return {};
}

Outcome TunnelChanges::set(const std::string& name, const Value& changes) {
    if (Outcome checked = check(name, changes); !checked.ok()) return checked;
    TunnelPtr tunnel = m_tunnels.named(name);
    const bool made = !tunnel;
    if (made) tunnel = Tunnel::create(name);
    for (const auto& [key, value] : changes.dict()) tunnel->setValueForKey(value, key);
    if (made)
        m_tunnels.append(tunnel);
    else
        m_tunnels.announceChange();
    return save();
}

Outcome TunnelChanges::remove(const std::string& name) {
    const TunnelPtr gone = m_tunnels.named(name);
    if (!gone) return {Outcome::Kind::UnknownTunnel, "No tunnel is named \"" + name + "\""};
    m_tunnels.remove(static_cast<size_t>(m_tunnels.indexOf(gone.get())));
    // Nothing would stop it later: the engine holds it while it runs and would retry it.
    gone->run().stop();
    m_keyring.forgetUnshared(*gone, m_tunnels.tunnels());
    return save();
}

std::vector<std::string> TunnelChanges::hostsToImport(const std::vector<std::string>& asked, Refusals* refused) const {
    const std::vector<std::string> aliases = SshConfig::hostAliases(SshConfig::userConfigPath());
    const std::set<std::string> named(aliases.begin(), aliases.end());
    std::vector<std::string> out;
    for (const std::string& host : asked.empty() ? aliases : asked) {
        std::string usedBy;
        for (const TunnelPtr& t : m_tunnels.tunnels())
            if (t->valueForKey("connHost").text() == host) usedBy = t->connName();
        if (!named.count(host))
            refused->emplace_back(host, "no Host line of " + SshConfig::userConfigPath() + " names it");
        else if (!usedBy.empty())
            refused->emplace_back(host, "the tunnel \"" + usedBy + "\" uses it already");
        else
            out.push_back(host);
    }
    return out;
}

Outcome TunnelChanges::addImported(const std::vector<SshConfig::Host>& hosts, std::vector<std::string>* made) {
    if (hosts.empty()) return {};
    for (const SshConfig::Host& host : hosts) {
        TunnelPtr t = SshConfig::tunnelFor(host);
        const std::string name = m_tunnels.freeName(host.alias);
        t->setValueForKey(Value(name), "connName");
        m_tunnels.append(t);
        made->push_back(name);
    }
    return save();
}

Outcome TunnelChanges::save() {
    if (m_defaults.setObjectForKey(m_tunnels.storedForm(), "tunnels")) return {};
    return {Outcome::Kind::NotSaved, "The change could not be saved to " + m_defaults.path() +
                                         " (is the disk full or read-only?); it lasts until Zandrel quits"};
}
