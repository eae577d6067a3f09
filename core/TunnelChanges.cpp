#include "TunnelChanges.h"

#include <algorithm>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <set>

#include "PasswordKeyring.h"
#include "TunnelGroups.h"

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

std::string TunnelChanges::home() {
    const char* h = std::getenv("HOME");
    return h ? h : "";
}

Outcome TunnelChanges::exportTunnels(const std::vector<std::string>& words, std::string* file) const {
    const TunnelList all = m_tunnels.tunnels();
    TunnelList chosen = words.empty() ? all : TunnelList{};
    for (const std::string& word : words) {
        const std::string group = TunnelGroups::fromReference(word);
        TunnelList some = group.empty() ? TunnelList{} : TunnelGroups::members(all, group);
        if (group.empty())
            if (TunnelPtr t = m_tunnels.named(word)) some.push_back(t);
        if (some.empty())
            return {
                group.empty() ? Outcome::Kind::UnknownTunnel : Outcome::Kind::Invalid,
                group.empty() ? "No tunnel is named \"" + word + "\"" : "No tunnel is in a group \"" + group + "\""};
        for (const TunnelPtr& t : some)
            if (std::find(chosen.begin(), chosen.end(), t) == chosen.end()) chosen.push_back(t);
    }
    *file = TunnelFile::write(chosen, home());
    return {};
}

Outcome TunnelChanges::importTunnels(const TunnelFile::Contents& contents, TunnelFile::Choice choice,
                                     std::vector<std::string>* lines) {
    if (!contents.clean()) {
        std::string why;
        for (const std::string& p : contents.problems()) why += (why.empty() ? "" : "\n") + p;
        return invalid(why);
    }
    const TunnelFile::Applied applied =
        TunnelFile::apply(m_tunnels, contents.valid(), home(), [choice](const std::string&) { return choice; });
    if (Outcome saved = save(); !saved.ok()) {
        TunnelFile::undo(m_tunnels, applied);
        return saved;
    }
    TunnelFile::finish(applied);
    *lines = applied.lines;
    return {};
}

Outcome TunnelChanges::save() {
    if (m_defaults.setObjectForKey(m_tunnels.storedForm(), "tunnels")) return {};
    return {Outcome::Kind::NotSaved, "The change could not be saved to " + m_defaults.path() +
                                         " (is the disk full or read-only?); it lasts until Zandrel quits"};
}
