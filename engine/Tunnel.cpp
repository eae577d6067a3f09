#include "Tunnel.h"

#include <algorithm>
#include <cctype>
#include <optional>
#include <set>
#include <utility>
#include <variant>

#include "Log.h"
#include "TunnelGroups.h"

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
        {"onDemand", &S::onDemand},
        {"idleMinutes", &S::idleMinutes},
        {"group", &S::group},
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

namespace {

std::string trimmed(const std::string& s) {
    const auto from = s.find_first_not_of(" \t");
    if (from == std::string::npos) return {};
    return s.substr(from, s.find_last_not_of(" \t") - from + 1);
}

// A number, or a number written as text ("30", " 1080 ").
std::optional<std::int64_t> integerFrom(const Value& v) {
    if (v.isInteger()) return v.intValue();
    if (!v.isText()) return std::nullopt;
    const std::string s = trimmed(v.text());
    const size_t digitsFrom = !s.empty() && (s[0] == '+' || s[0] == '-') ? 1 : 0;
    if (s.size() == digitsFrom || s.size() - digitsFrom > 18 ||
        s.find_first_not_of("0123456789", digitsFrom) != std::string::npos)
        return std::nullopt;
    return std::stoll(s);
}

// A flag, a number (nonzero is on) or the words people write for one.
std::optional<bool> flagFrom(const Value& v) {
    if (v.isNone()) return false;
    if (v.isBoolean() || v.isInteger()) return v.boolValue();
    if (!v.isText()) return std::nullopt;
    std::string word = trimmed(v.text());
    std::transform(word.begin(), word.end(), word.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    if (word == "true" || word == "yes" || word == "on" || word == "1") return true;
    if (word == "false" || word == "no" || word == "off" || word == "0" || word.empty()) return false;
    return std::nullopt;
}

std::optional<std::string> textFrom(const Value& v) {
    if (v.isText()) return v.text();
    if (v.isInteger()) return std::to_string(v.intValue());
    return std::nullopt;
}

template <typename T>
bool same(const T& a, const T& b) {
    return a == b;
}
bool same(const std::shared_ptr<const ForwardList>& a, const std::shared_ptr<const ForwardList>& b) {
    return a == b || (a && b && *a == *b);
}

template <typename T>
const char* typeWantedBy() {
    if constexpr (std::is_same_v<T, bool>) return "true or false";
    if constexpr (std::is_same_v<T, std::optional<std::string>>) return "a text";
    if constexpr (std::is_same_v<T, std::optional<std::int64_t>>) return "a whole number";
    if constexpr (std::is_same_v<T, std::optional<std::vector<std::string>>>) return "a list of texts";
    return "a list of forwards, each an object";
}

}  // namespace

const char* Tunnel::typeWanted(const Field& field) {
    return std::visit([](auto m) { return typeWantedBy<std::decay_t<decltype(std::declval<TunnelSettings&>().*m)>>(); },
                      field.member);
}

TunnelPtr Tunnel::tunnelFromDictionary(const Value& dictionary) {
    TunnelPtr t(new Tunnel);
    std::vector<std::string> misfits, unknown;
    for (const auto& [key, value] : dictionary.dict()) {
        const std::string& name = key;  // clang 14 (the fuzzers') captures no structured binding
        auto field = std::find_if(fields().begin(), fields().end(), [&](const Field& f) { return name == f.key; });
        if (field != fields().end()) {
            t->m_keysAsRead.push_back(key);
            if (!t->assign(*field, value, true))
                misfits.push_back(key + " holds " + value.dump() + ", not " + typeWanted(*field));
        } else if (key == "status" || key == "code" || key == "shouldStop" || key == "task" || key == "stdErrPipe") {
            t->setValueForKey(value, key);
        } else {
            t->m_keysAsRead.push_back(key);
            t->m_unknownKeys.emplace_back(key, value);
            unknown.push_back(key);
        }
    }
    const std::string name = "Tunnel \"" + t->connName() + "\": ";
    for (const std::string& misfit : misfits) Log::line(name + misfit + "; the value is kept in the file and not used");
    if (!unknown.empty()) {
        std::string keys;
        for (const std::string& k : unknown) keys += (keys.empty() ? "" : ", ") + k;
        Log::line(name + "kept the keys this version does not use: " + keys);
    }
    t->m_journal = std::make_unique<TunnelJournal>(t->connName());
    return t;
}

TunnelPtr Tunnel::copy() const {
    TunnelPtr t(new Tunnel);
    t->m_settings = settings();
    return t;
}

TunnelList Tunnel::tunnelsFromArray(const Value& array) {
    TunnelList list;
    for (const auto& d : array.list())
        if (d.isDictionary()) list.push_back(tunnelFromDictionary(d));
    return list;
}

Value Tunnel::dictionary() const {
    std::vector<std::string> order;
    Value::Dictionary unknown;
    {
        std::lock_guard lock(m_mutex);
        order = m_keysAsRead;
        unknown = m_unknownKeys;
    }
    // The keys in the order read, so that an unchanged tunnel is written as it was; new ones after.
    for (const Field& f : fields()) order.push_back(f.key);
    Value::Dictionary d;
    std::set<std::string> done;
    for (const std::string& key : order) {
        if (!done.insert(key).second) continue;
        if (auto u = std::find_if(unknown.begin(), unknown.end(), [&](const auto& kv) { return kv.first == key; });
            u != unknown.end()) {
            d.push_back(*u);
            continue;
        }
        {
            std::lock_guard lock(m_mutex);
            if (auto kept = m_asStored.find(key); kept != m_asStored.end()) {
                d.emplace_back(key, kept->second);
                continue;
            }
        }
        if (Value v = valueForKey(key); !v.isNone()) d.emplace_back(key, std::move(v));
    }
    return Value(std::move(d));
}

std::shared_ptr<const ForwardList> Tunnel::listFromValue(const Value& v, bool* complete) {
    if (v.isNone()) return nullptr;
    if (!v.isList()) {
        *complete = false;
        return nullptr;
    }
    auto list = std::make_shared<ForwardList>();
    for (const auto& item : v.list()) {
        if (!item.isDictionary()) {
            *complete = false;
            continue;
        }
        ForwardEntry e;
        for (const auto& [k, val] : item.dict())
            if (auto text = textFrom(val)) e[k] = *text;  // a port stored as a number too
        e.stored = item;
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
        // What was read first, in its order and type unless it was changed since; then new keys.
        for (const auto& [k, was] : e.stored.dict()) {
            auto now = e.find(k);
            if (now == e.end()) {
                if (!textFrom(was)) d.emplace_back(k, was);  // never taken, so never changed
            } else if (textFrom(was) == now->second) {
                d.emplace_back(k, was);
            } else if (auto number = integerFrom(Value(now->second)); was.isInteger() && number) {
                d.emplace_back(k, *number);
            } else {
                d.emplace_back(k, now->second);
            }
        }
        for (const auto& [k, v] : e)
            if (!e.stored.has(k)) d.emplace_back(k, v);
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

bool Tunnel::assign(const Field& field, const Value& value, bool fromStore) {
    bool fits = true;
    std::shared_ptr<const ForwardList> list;  // made outside the lock
    if (std::holds_alternative<std::shared_ptr<const ForwardList> TunnelSettings::*>(field.member))
        list = listFromValue(value, &fits);
    std::lock_guard lock(m_mutex);
    bool changed = false;
    std::visit(
        [&](auto member) {
            auto& target = m_settings.*member;
            using T = std::decay_t<decltype(target)>;
            T next = target;
            if constexpr (std::is_same_v<T, bool>) {
                if (auto flag = flagFrom(value))
                    next = *flag;
                else
                    fits = false;
            } else if constexpr (std::is_same_v<T, std::optional<std::string>>) {
                if (value.isNone())
                    next.reset();
                else if (auto text = textFrom(value))
                    next = *text;
                else
                    fits = false;
            } else if constexpr (std::is_same_v<T, std::optional<std::int64_t>>) {
                if (value.isNone() || (value.isText() && trimmed(value.text()).empty()))
                    next.reset();
                else if (auto number = integerFrom(value))
                    next = *number;
                else
                    fits = false;
            } else if constexpr (std::is_same_v<T, std::optional<std::vector<std::string>>>) {
                if (value.isNone()) {
                    next.reset();
                } else if (value.isList()) {
                    std::vector<std::string> texts;
                    for (const Value& item : value.list())
                        if (item.isText())
                            texts.push_back(item.text());
                        else
                            fits = false;
                    next = std::move(texts);
                } else {
                    fits = false;
                }
            } else if (fits || list) {
                next = std::move(list);
            }
            changed = !same(next, target);
            target = std::move(next);
        },
        field.member);
    if (fromStore)
        m_asStored[field.key] = value;
    else if (changed)
        m_asStored.erase(field.key);
    return fits;
}

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
    if (!assign(*field, value, false))
        Log::line("ignored a value of the wrong type for key " + key + ": " + value.dump());
    else if (key == "connName" && m_journal)
        m_journal->rename(connName());
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
        m_asStored.erase(local ? "tunnelsLocal" : "tunnelsRemote");
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

namespace {

std::string portError(const Value& v, bool optional) {
    if (optional && (v.isNone() || (v.isText() && trimmed(v.text()).empty()))) return {};
    const auto port = integerFrom(v);
    if (!port || *port < 1 || *port > 65535) return "must be a port number from 1 to 65535";
    return {};
}

std::string wordError(const Value& v, bool required) {
    const std::string text = textFrom(v).value_or("");
    if (required && trimmed(text).empty()) return "must not be empty";
    if (text.find_first_of(" \t") != std::string::npos) return "must be one word";
    return {};
}

std::string forwardsError(const Value& list) {
    int n = 0;
    for (const Value& item : list.list()) {
        ++n;
        const std::string which = "forward " + std::to_string(n) + ": ";
        if (!item.isDictionary()) return which + "must be an object";
        const std::pair<const char*, std::string> checks[] = {{"port", portError(item.get("port"), false)},
                                                              {"host", wordError(item.get("host"), true)},
                                                              {"hostport", portError(item.get("hostport"), true)},
                                                              {"bind", wordError(item.get("bind"), false)}};
        for (const auto& [key, error] : checks)
            if (!error.empty()) return which + "\"" + key + "\" " + error;
    }
    return {};
}

}  // namespace

bool Tunnel::isSetting(const std::string& key) {
    return std::any_of(fields().begin(), fields().end(), [&key](const Field& f) { return key == f.key; });
}

std::string Tunnel::valueError(const std::string& key, const Value& value) {
    auto field = std::find_if(fields().begin(), fields().end(), [&key](const Field& f) { return key == f.key; });
    if (field == fields().end()) return "\"" + key + "\" is not a tunnel setting";
    TunnelPtr scratch(new Tunnel);
    if (!scratch->assign(*field, value, false)) return "\"" + key + "\" must be " + typeWanted(*field);
    std::string error;
    if (key == "connPort")
        error = portError(value, true);
    else if (key == "socks4p")
        error = portError(value, false);
    else if (key == "connHost" || key == "connUser" || key == "socks4b")
        error = wordError(value, false);
    else if (key == "keepAlive" && integerFrom(value).value_or(0) < 0)
        error = "must not be negative";
    else if (key == "idleMinutes" && (integerFrom(value).value_or(0) < 0 || integerFrom(value).value_or(0) > 10080))
        error = "must be from 0 (never) to 10080 minutes";
    else if (key == "tunnelsLocal" || key == "tunnelsRemote")
        error = forwardsError(value);
    else if (key == "jumpHosts")
        error = SshCommand::jumpHostsError(value.text());
    else if (key == "group")
        error = TunnelGroups::nameError(value.text());
    return error.empty() || key == "jumpHosts" || key == "group" ? error : "\"" + key + "\" " + error;
}
