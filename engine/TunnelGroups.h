#pragma once

#include <string>
#include <vector>

#include "Tunnel.h"

// Tunnels that share a "group" are started, stopped, counted and shown together. A group exists
// while a tunnel names it; groups come in the order of their first tunnel, after the ungrouped.
class TunnelGroups {
public:
    // The one notion of a tunnel being up, for a group's "2 of 3 up" and the tray's colour.
    static bool isUp(const Tunnel& tunnel);

    // The tunnel's group, "" for none.
    static std::string groupOf(const Tunnel& tunnel);
    // Every group named, in the order of its first tunnel.
    static std::vector<std::string> names(const TunnelList& tunnels);
    // The tunnels of that group ("" for the ungrouped), in list order.
    static TunnelList members(const TunnelList& tunnels, const std::string& group);
    // The list as it is shown: the ungrouped first, then each group's tunnels.
    static TunnelList shownOrder(const TunnelList& tunnels);

    struct Count {
        int up = 0;
        int wanted = 0;
        int total = 0;
    };
    static Count count(const TunnelList& members);

    // Why a group may not be called that (line breaks, tabs, invisible characters), or "".
    static std::string nameError(const std::string& group);
    // On the command line and over D-Bus "@work" is the group "work"; anything else is "".
    static std::string fromReference(const std::string& word);
};
