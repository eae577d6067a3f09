#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "SshCommand.h"
#include "TunnelJournal.h"
#include "TunnelRun.h"
#include "TunnelSettings.h"
#include "Value.h"

class Tunnel;
using TunnelPtr = std::shared_ptr<Tunnel>;
using TunnelList = std::vector<TunnelPtr>;

// One configured tunnel: its settings with their stored form and access by name, and its run.
// Made only through the static factories (the engine's loop shares the tunnel it works for).
class Tunnel : public std::enable_shared_from_this<Tunnel> {
public:
    static constexpr const char* kStatusChanged = TunnelRun::kStatusChanged;
    static constexpr const char* kDefaultName = "New Tunnel";

    // A new tunnel with the new-tunnel settings ("New Tunnel" when no name is given).
    static TunnelPtr create(const std::string& name = kDefaultName);
    static TunnelPtr tunnelWithName(const std::string& name) { return create(name); }
    // A tunnel from its stored form; loading never starts it. Every stored value is kept as it
    // was until it is changed, keys Zandrel does not know included; a value whose type does not
    // fit its key is reported once in the log and ignored.
    static TunnelPtr tunnelFromDictionary(const Value& dictionary);
    // One tunnel per stored dictionary, in order; None or a non-list gives an empty list.
    static TunnelList tunnelsFromArray(const Value& array);
    // A tunnel with this one's settings and none of its run, for a preview of an edit.
    TunnelPtr copy() const;
    // The dictionary a new tunnel is made from.
    static Value newTunnelDictionary(const std::string& name);

    Tunnel(const Tunnel&) = delete;
    Tunnel& operator=(const Tunnel&) = delete;

    // Stored form: one key per setting, unset fields left out, then the keys Zandrel does not know.
    Value dictionary() const;
    // Why the value cannot stand for the key ("" when it can): the stored keys only, with the
    // types and ranges Preferences accepts. Names and ssh's own judgement are the caller's.
    static std::string valueError(const std::string& key, const Value& value);
    // One of the stored keys of this version.
    static bool isSetting(const std::string& key);

    // Field access by name; the names are the stored keys plus "code", "status", "shouldStop".
    // Writing an unknown key logs "key <key> undefined"; reading one gives None.
    void setValueForKey(const Value& value, const std::string& key);
    Value valueForKey(const std::string& key) const;

    // A copy of every setting, for building ssh's command.
    TunnelSettings settings() const;
    SshCommand command() const { return SshCommand(settings()); }
    std::string connName() const;
    // Where the tunnel listens on this computer and where that leads, as its running ssh was
    // started (else as set now): each local forward as "localhost:8143 → db.internal:5432", the
    // SOCKS port as "localhost:1080 (SOCKS)", then those ~/.ssh/config added, with kFromSshConfig.
    std::vector<std::string> listeningAddresses() const;
    static constexpr const char* kFromSshConfig = " (from ssh config)";

    // Forward lists (index within the list; callers guarantee it).
    std::shared_ptr<const ForwardList> tunnelsLocal() const;
    std::shared_ptr<const ForwardList> tunnelsRemote() const;
    void addLocalTunnel(const ForwardEntry& entry);
    void addRemoteTunnel(const ForwardEntry& entry);
    void removeLocal(int index);
    void removeRemote(int index);
    void setLocalValueOfTunnelForKey(const std::string& value, int index, const std::string& key);
    void setRemoteValueOfTunnelForKey(const std::string& value, int index, const std::string& key);

    // What happened to it, kept on disk; none for a copy.
    TunnelJournal* journal() const { return m_journal.get(); }

    TunnelRun& run() { return m_run; }
    const TunnelRun& run() const { return m_run; }

private:
    struct Field;
    static const std::vector<Field>& fields();

    Tunnel() : m_run(*this) {}
    // Sets a stored field; false when the value's type does not fit (the field is left).
    // A list with items of the wrong type is taken without them, and also gives false.
    bool assign(const Field& field, const Value& value, bool fromStore);
    static const char* typeWanted(const Field& field);
    void editList(bool local, const std::function<bool(ForwardList&)>& edit);
    // complete is cleared when the value is no list or holds items that are no forwards.
    static std::shared_ptr<const ForwardList> listFromValue(const Value& v, bool* complete);
    static Value listToValue(const std::shared_ptr<const ForwardList>& list);

    mutable std::mutex m_mutex;  // guards the settings
    TunnelSettings m_settings;
    std::map<std::string, Value> m_asStored;  // values as read, for the fields not changed since
    Value::Dictionary m_unknownKeys;          // in the order read
    std::vector<std::string> m_keysAsRead;
    std::unique_ptr<TunnelJournal> m_journal;
    TunnelRun m_run;  // declared last: it goes first, while the settings it reads still exist
};
