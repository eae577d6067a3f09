#include "Tunnel.h"

#include <algorithm>
#include <variant>

#include "Log.h"

// One stored setting: its key and the field that holds it. Drives the stored form and the
// access by name, so a new setting is one line here.
struct Tunnel::Field {
    using Member = std::variant<bool TunnelSettings::*, std::optional<std::string> TunnelSettings::*,
                                std::optional<std::int64_t> TunnelSettings::*,
                                std::shared_ptr<const ForwardList> TunnelSettings::*,
                                std::optional<std::vector<std::string>> TunnelSettings::*>;
    const char* key;
    Member member;
};

const std::vector<Tunnel::Field>& Tunnel::fields() {
    using S = TunnelSettings;
    static const std::vector<Field> table = {
        {"compression", &S::compression},
        {"connAuth", &S::connAuth},
        {"autoConnect", &S::autoConnect},
        {"connHost", &S::connHost},
        {"connName", &S::connName},
        {"connPort", &S::connPort},
        {"connRemote", &S::connRemote},
        {"connUser", &S::connUser},
        {"encryption", &S::encryption},
        {"socks4", &S::socks4},
        {"socks4p", &S::socks4p},
        {"tunnelsLocal", &S::tunnelsLocal},
        {"tunnelsRemote", &S::tunnelsRemote},
        {"v1", &S::v1},
        {"keepAlive", &S::keepAlive},
        {"identityFile", &S::identityFile},
        {"jumpHosts", &S::jumpHosts},
        {"sshOptions", &S::sshOptions},
        {"socks4b", &S::socks4b},
    };
    return table;
}

// ---- construction and stored form ----

Value Tunnel::newTunnelDictionary(const std::string& name) {
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

TunnelPtr Tunnel::create(const std::string& name) { return tunnelFromDictionary(newTunnelDictionary(name)); }

TunnelPtr Tunnel::tunnelFromDictionary(const Value& dictionary) {
    TunnelPtr t(new Tunnel);
    for (const auto& [key, value] : dictionary.dict()) t->setValueForKey(value, key);
    return t;
}

TunnelList Tunnel::tunnelsFromArray(const Value& array) {
    TunnelList list;
    for (const auto& d : array.list()) list.push_back(tunnelFromDictionary(d));
    return list;
}

Value Tunnel::dictionary() const {
    Value::Dictionary d;
    for (const Field& f : fields()) {
        Value v = valueForKey(f.key);
        if (!v.isNone()) d.emplace_back(f.key, std::move(v));
    }
    return Value(std::move(d));
}

std::shared_ptr<const ForwardList> Tunnel::listFromValue(const Value& v, const std::string& key) {
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

Value Tunnel::listToValue(const std::shared_ptr<const ForwardList>& list) {
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

namespace {
// A local or SOCKS forward (one without a host) as listeningAddresses shows it.
std::string addressText(const ForwardEntry& e) {
    const std::string bind = forwardField(e, "bind"), host = forwardField(e, "host");
    const std::string local =
        (bind.empty() ? "localhost" : SshCommand::bracketed(bind)) + ":" + forwardField(e, "port");
    if (host.empty()) return local + " (SOCKS)";
    const std::string hostport = forwardField(e, "hostport");
    return local + " → " + SshCommand::bracketed(host) + ":" + (hostport.empty() ? forwardField(e, "port") : hostport);
}
}  // namespace

std::vector<std::string> Tunnel::listeningAddresses() const {
    const TunnelSettings s = m_run.runningSettings().value_or(settings());
    std::vector<std::string> out;
    for (const ForwardEntry& e : s.tunnelsLocal ? *s.tunnelsLocal : ForwardList{})
        if (SshCommand::isComplete(e)) out.push_back(addressText(e));  // ssh is not given the others
    if (s.socks4 && s.socks4p)
        out.push_back(addressText({{"bind", s.socks4b.value_or("")}, {"port", std::to_string(*s.socks4p)}}));
    for (const ForwardEntry& e : m_run.configForwards()) out.push_back(addressText(e) + kFromSshConfig);
    return out;
}

// ---- field access by name ----

void Tunnel::setValueForKey(const Value& value, const std::string& key) {
    if (key == "shouldStop") {
        if (value.boolValue()) m_run.stop();
        return;
    }
    if (key == "status") {
        m_run.setStatus(value.isNone() ? std::nullopt : std::optional<std::string>(value.text()));
        return;
    }
    // The run's state follows from what it does; run-time handles are never set by name.
    if (key == "code" || key == "task" || key == "stdErrPipe") return;
    auto field = std::find_if(fields().begin(), fields().end(), [&key](const Field& f) { return key == f.key; });
    if (field == fields().end()) {
        Log::line(Log::format("key %@ undefined", key));
        return;
    }
    auto wrongType = [&] { Log::line("ignored a value of the wrong type for key " + key + ": " + value.dump()); };
    std::shared_ptr<const ForwardList> list;  // made outside the lock
    if (std::holds_alternative<std::shared_ptr<const ForwardList> TunnelSettings::*>(field->member))
        list = listFromValue(value, key);
    std::unique_lock lock(m_mutex);
    std::visit(
        [&](auto member) {
            auto& target = m_settings.*member;
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
    lock.unlock();
    m_run.settingsChanged();
}

Value Tunnel::valueForKey(const std::string& key) const {
    if (key == "status") return Value(m_run.status());
    if (key == "code") return Value(m_run.code());
    if (key == "shouldStop") return Value(m_run.state() == TunnelState::Stopping);
    if (key == "lastError") return Value(m_run.lastError());
    auto field = std::find_if(fields().begin(), fields().end(), [&key](const Field& f) { return key == f.key; });
    if (field == fields().end()) return {};
    std::shared_ptr<const ForwardList> list;
    Value out;
    {
        std::lock_guard lock(m_mutex);
        std::visit(
            [&](auto member) {
                const auto& source = m_settings.*member;
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
    if (std::holds_alternative<std::shared_ptr<const ForwardList> TunnelSettings::*>(field->member))
        return listToValue(list);  // converted outside the lock
    return out;
}

std::string Tunnel::connName() const {
    std::lock_guard lock(m_mutex);
    return m_settings.connName.value_or("");
}

// ---- forward lists ----

std::shared_ptr<const ForwardList> Tunnel::tunnelsLocal() const {
    std::lock_guard lock(m_mutex);
    return m_settings.tunnelsLocal;
}

std::shared_ptr<const ForwardList> Tunnel::tunnelsRemote() const {
    std::lock_guard lock(m_mutex);
    return m_settings.tunnelsRemote;
}

// Lists are never changed in place: a reader may hold the old one.
void Tunnel::editList(bool local, const std::function<bool(ForwardList&)>& edit) {
    {
        std::lock_guard lock(m_mutex);
        auto& field = local ? m_settings.tunnelsLocal : m_settings.tunnelsRemote;
        ForwardList copy = field ? *field : ForwardList{};
        if (!edit(copy)) return;
        field = std::make_shared<const ForwardList>(std::move(copy));
    }
    m_run.settingsChanged();
}

namespace {
bool validIndex(const ForwardList& l, int index) { return index >= 0 && static_cast<size_t>(index) < l.size(); }
}  // namespace

void Tunnel::addLocalTunnel(const ForwardEntry& entry) {
    editList(true, [&](ForwardList& l) { return l.push_back(entry), true; });
}

void Tunnel::addRemoteTunnel(const ForwardEntry& entry) {
    editList(false, [&](ForwardList& l) { return l.push_back(entry), true; });
}

void Tunnel::removeLocal(int index) {
    editList(true, [&](ForwardList& l) { return validIndex(l, index) && (l.erase(l.begin() + index), true); });
}

void Tunnel::removeRemote(int index) {
    editList(false, [&](ForwardList& l) { return validIndex(l, index) && (l.erase(l.begin() + index), true); });
}

void Tunnel::setLocalValueOfTunnelForKey(const std::string& value, int index, const std::string& key) {
    editList(true, [&](ForwardList& l) { return validIndex(l, index) && (l[size_t(index)][key] = value, true); });
}

void Tunnel::setRemoteValueOfTunnelForKey(const std::string& value, int index, const std::string& key) {
    editList(false, [&](ForwardList& l) { return validIndex(l, index) && (l[size_t(index)][key] = value, true); });
}

TunnelSettings Tunnel::settings() const {
    std::lock_guard lock(m_mutex);
    return m_settings;
}
