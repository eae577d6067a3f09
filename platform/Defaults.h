#pragma once

#include <mutex>
#include <string>

#include "Value.h"

// The per-user preferences store: one JSON object in a file. Every write goes through to disk
// atomically (temporary file, fsync, rename), so a crash never leaves a half-written store and
// no explicit flush is needed. A file that does not parse is moved aside, never overwritten.
// Registered defaults answer reads but are never written.
class Defaults {
public:
    explicit Defaults(std::string path);

    // $XDG_CONFIG_HOME/zandrel/defaults.json, ~/.config when unset or not absolute.
    static std::string standardPath();

    const std::string& path() const { return m_path; }

    // Stored value, else the registered default, else None.
    Value objectForKey(const std::string& key) const;
    // Stores and writes through; false (and logged) when the file could not be written.
    [[nodiscard]] bool setObjectForKey(const Value& value, const std::string& key);
    // Several keys in one atomic write.
    [[nodiscard]] bool setObjectsForKeys(const Value::Dictionary& values);
    [[nodiscard]] bool removeObjectForKey(const std::string& key);
    void registerDefaults(const Value::Dictionary& values);
    // Writes the store again; false when that fails.
    [[nodiscard]] bool synchronize();

    // Where an unreadable file was moved at load, or empty.
    const std::string& movedAsidePath() const { return m_movedAside; }
    // True when a store exists that could not be read: nothing is written over it.
    bool isReadOnly() const { return m_readOnly; }

private:
    void load();
    bool writeLocked();

    std::string m_path;
    std::string m_movedAside;
    bool m_readOnly = false;
    mutable std::mutex m_mutex;
    Value::Dictionary m_stored;
    Value::Dictionary m_registered;
};
