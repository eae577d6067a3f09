#pragma once

#include <string>
#include <utility>
#include <vector>

#include "Defaults.h"
#include "SshConfig.h"
#include "TunnelFile.h"
#include "TunnelStore.h"
#include "Value.h"

class PasswordKeyring;

// What a script may do to the tunnel list (D-Bus SetTunnel and RemoveTunnel, zandrel --add and
// --remove), by the rules the preferences window follows: the same checks on every value and
// name, a running tunnel that applies an edit as it does from the window, and every change on
// disk before the call returns.
class TunnelChanges {
public:
    struct Outcome {
        enum class Kind { Done, Invalid, UnknownTunnel, NotSaved };
        Kind kind = Kind::Done;
        std::string why;
        bool ok() const { return kind == Kind::Done; }
    };

    TunnelChanges(TunnelStore& tunnels, Defaults& defaults, PasswordKeyring& keyring)
        : m_tunnels(tunnels), m_defaults(defaults), m_keyring(keyring) {}

    // Parses the changes of a SetTunnel call: one JSON object of stored tunnel keys.
    static Outcome parse(const std::string& json, Value* changes);
    // What can be judged at once: every key, its type and range, the name.
    Outcome check(const std::string& name, const Value& changes) const;
    // ssh's own judgement of the "sshOptions" among the changes. It runs ssh: never on the
    // main thread.
    static Outcome checkWithSsh(const Value& changes);
    // Changes the first tunnel of that name, or makes a new one with the new-tunnel settings
    // when none has it; checks again (the list may have changed meanwhile), applies and saves.
    Outcome set(const std::string& name, const Value& changes);
    // Stops the first tunnel of that name, deletes it, forgets its password unless another
    // tunnel shares the account, and saves.
    Outcome remove(const std::string& name);

    // A host and why no tunnel is made for it.
    using Refusals = std::vector<std::pair<std::string, std::string>>;
    // The hosts of an import that ssh is to resolve: those asked for (every Host of the user's
    // ssh config when none is) that a Host line names and no tunnel uses yet; the rest go to
    // refused, with why.
    std::vector<std::string> hostsToImport(const std::vector<std::string>& asked, Refusals* refused) const;
    // A tunnel for each resolved host, named after it (or "NAME 2" …), added and saved.
    Outcome addImported(const std::vector<SshConfig::Host>& hosts, std::vector<std::string>* made);

    // A tunnel file of the tunnels named (a word "@work" names the group "work"; none: all).
    Outcome exportTunnels(const std::vector<std::string>& words, std::string* file) const;
    // Merges the valid tunnels of a file whose problems were all seen (Invalid, listing them, when
    // the file has any); a conflict is settled by choice. One line per tunnel says what was done.
    // A failed save changes nothing.
    Outcome importTunnels(const TunnelFile::Contents& contents, TunnelFile::Choice choice,
                          std::vector<std::string>* lines);
    // The user's home folder, which identity files in tunnel files are written from.
    static std::string home();

private:
    Outcome save();

    TunnelStore& m_tunnels;
    Defaults& m_defaults;
    PasswordKeyring& m_keyring;
};
