#include "TunnelStore.h"

#include <algorithm>

#include "Log.h"
#include "NotificationCenter.h"
#include "UiText.h"

void TunnelStore::load(const Value& stored) {
    TunnelList tunnels;
    std::vector<KeptEntry> kept;
    size_t n = 0;
    for (const Value& entry : stored.list()) {
        ++n;
        if (entry.isDictionary()) {
            tunnels.push_back(Tunnel::tunnelFromDictionary(entry));
            continue;
        }
        Log::line("Entry " + std::to_string(n) + " of the tunnels is no tunnel: " + entry.dump() + "; kept as it is");
        kept.push_back({tunnels.empty() ? nullptr : tunnels.back(), tunnels.empty(), entry});
    }
    reset(std::move(tunnels));
    std::lock_guard lock(m_mutex);
    m_kept = std::move(kept);
}

void TunnelStore::reset(TunnelList tunnels) {
    {
        std::lock_guard lock(m_mutex);
        m_tunnels.swap(tunnels);
        m_kept.clear();
    }
    announceChange();
}

void TunnelStore::startAutoConnect() const {
    for (const TunnelPtr& t : tunnels())
        if (t->valueForKey("autoConnect").boolValue()) t->run().start();
}

Value TunnelStore::storedForm() const {
    std::vector<KeptEntry> kept;
    {
        std::lock_guard lock(m_mutex);
        kept = m_kept;
    }
    std::vector<bool> placed(kept.size());
    Value::List stored;
    // a null tunnel: the ones before the first tunnel, or, at the end, those whose tunnel is gone
    auto place = [&](const Tunnel* t, bool last) {
        for (size_t i = 0; i < kept.size(); ++i)
            if (!placed[i] && (last || (t ? kept[i].after.lock().get() == t : kept[i].first))) {
                stored.push_back(kept[i].value);
                placed[i] = true;
            }
    };
    place(nullptr, false);
    for (const TunnelPtr& t : tunnels()) {
        stored.push_back(t->dictionary());
        place(t.get(), false);
    }
    place(nullptr, true);
    return Value(std::move(stored));
}

TunnelList TunnelStore::tunnels() const {
    std::lock_guard lock(m_mutex);
    return m_tunnels;
}

size_t TunnelStore::size() const {
    std::lock_guard lock(m_mutex);
    return m_tunnels.size();
}

TunnelPtr TunnelStore::at(size_t index) const {
    std::lock_guard lock(m_mutex);
    return index < m_tunnels.size() ? m_tunnels[index] : nullptr;
}

int TunnelStore::indexOf(const Tunnel* tunnel) const {
    std::lock_guard lock(m_mutex);
    for (size_t i = 0; i < m_tunnels.size(); ++i)
        if (m_tunnels[i].get() == tunnel) return static_cast<int>(i);
    return -1;
}

TunnelPtr TunnelStore::named(const std::string& name) const {
    std::lock_guard lock(m_mutex);
    for (const TunnelPtr& t : m_tunnels)
        if (t->connName() == name) return t;
    return nullptr;
}

std::string TunnelStore::nameError(const std::string& name, const Tunnel* self) const {
    if (name.empty()) return UI_TEXT("A tunnel needs a name");
    if (!isOneLine(name)) return UI_TEXT("A name may not hold line breaks, tabs or invisible characters");
    if (name.front() == '@') return UI_TEXT("A name may not begin with \"@\", which names groups");
    std::lock_guard lock(m_mutex);
    for (const TunnelPtr& t : m_tunnels)
        if (t.get() != self && t->connName() == name)
            return UiText::format(UI_TEXT("Another tunnel is named \"%1\""), {name});
    return {};
}

bool TunnelStore::isOneLine(const std::string& text) {
    std::string plain;  // the text as the log would show it, were it free of hidden characters
    for (char c : text) plain += c == '\\' ? std::string("\\\\") : std::string(1, c);
    return Log::escaped(text) == plain;
}

std::string TunnelStore::freeName(const std::string& base) const {
    std::string name = base;
    for (int n = 2; named(name); ++n) name = base + " " + std::to_string(n);
    return name;
}

void TunnelStore::insert(size_t index, TunnelPtr tunnel) {
    {
        std::lock_guard lock(m_mutex);
        m_tunnels.insert(m_tunnels.begin() + static_cast<std::ptrdiff_t>(std::min(index, m_tunnels.size())),
                         std::move(tunnel));
    }
    announceChange();
}

TunnelPtr TunnelStore::remove(size_t index) {
    TunnelPtr gone;
    {
        std::lock_guard lock(m_mutex);
        if (index >= m_tunnels.size()) return nullptr;
        gone = m_tunnels[index];
        m_tunnels.erase(m_tunnels.begin() + static_cast<std::ptrdiff_t>(index));
    }
    // A later tunnel of the same name starts with an empty history.
    if (gone->journal()) gone->journal()->erase();
    announceChange();
    return gone;
}

TunnelPtr TunnelStore::replace(size_t index, TunnelPtr tunnel) {
    {
        std::lock_guard lock(m_mutex);
        if (index >= m_tunnels.size()) return nullptr;
        m_tunnels[index].swap(tunnel);
    }
    announceChange();
    return tunnel;
}

void TunnelStore::move(size_t from, size_t to) {
    {
        std::lock_guard lock(m_mutex);
        if (from >= m_tunnels.size() || to >= m_tunnels.size() || from == to) return;
        TunnelPtr t = m_tunnels[from];
        m_tunnels.erase(m_tunnels.begin() + static_cast<std::ptrdiff_t>(from));
        m_tunnels.insert(m_tunnels.begin() + static_cast<std::ptrdiff_t>(to), std::move(t));
    }
    announceChange();
}

void TunnelStore::announceChange() const { NotificationCenter::defaultCenter().post(kListChanged, this); }
