#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include "Tunnel.h"
#include "Value.h"

// The one list of tunnels of a run, in the user's order. Only it changes the list; every change
// is announced as kListChanged with the store as sender (on the changing thread). Others read a
// snapshot or ask it to change.
class TunnelStore {
public:
    static constexpr const char* kListChanged = "TunnelListChanged";

    TunnelStore() = default;
    TunnelStore(const TunnelStore&) = delete;
    TunnelStore& operator=(const TunnelStore&) = delete;

    // Replaces the list with the stored one ("tunnels": a list of dictionaries). No tunnel starts.
    // An entry that is no dictionary is logged, skipped and kept, behind the tunnel it followed.
    void load(const Value& stored);
    // Replaces the list with these tunnels.
    void reset(TunnelList tunnels);
    // Starts every tunnel marked "autoConnect"; the list's owner calls it once loading is done.
    void startAutoConnect() const;
    // The stored form of the whole list, in order.
    Value storedForm() const;

    TunnelList tunnels() const;
    size_t size() const;
    bool empty() const { return size() == 0; }
    // The tunnel at that row, or null past the end.
    TunnelPtr at(size_t index) const;
    // The row of that tunnel, or -1.
    int indexOf(const Tunnel* tunnel) const;
    // The first tunnel of that name, or null.
    TunnelPtr named(const std::string& name) const;

    // Why a tunnel may not be given that name (empty, control or invisible format characters, a
    // leading "@", which names groups, or the name of another tunnel than self), or "".
    std::string nameError(const std::string& name, const Tunnel* self) const;
    // Free of line breaks, tabs and invisible format characters (what a name must be).
    static bool isOneLine(const std::string& text);
    // base, or "base 2", "base 3" …: the first that no tunnel has.
    std::string freeName(const std::string& base) const;

    // index past the end appends.
    void insert(size_t index, TunnelPtr tunnel);
    void append(TunnelPtr tunnel) { insert(size(), std::move(tunnel)); }
    // The removed tunnel, or null for a row past the end. Its ssh keeps running: the caller stops it.
    TunnelPtr remove(size_t index);
    void move(size_t from, size_t to);
    // Puts another tunnel in that row; the one there keeps running and its history stays.
    TunnelPtr replace(size_t index, TunnelPtr tunnel);
    // A tunnel's settings changed (the list itself did not).
    void announceChange() const;

private:
    struct KeptEntry {
        std::weak_ptr<const Tunnel> after;  // empty: before the first tunnel
        bool first;
        Value value;
    };

    mutable std::mutex m_mutex;
    TunnelList m_tunnels;
    std::vector<KeptEntry> m_kept;
};
