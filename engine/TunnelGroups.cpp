#include "TunnelGroups.h"

#include <algorithm>

#include "TunnelStore.h"
#include "UiText.h"

// Ready ones hold their ports and answer: up, to the user.
bool TunnelGroups::isUp(const Tunnel& tunnel) { return tunnel.run().isUp(); }

std::string TunnelGroups::groupOf(const Tunnel& tunnel) { return tunnel.valueForKey("group").text(); }

std::vector<std::string> TunnelGroups::names(const TunnelList& tunnels) {
    std::vector<std::string> out;
    for (const TunnelPtr& t : tunnels)
        if (const std::string g = groupOf(*t); !g.empty() && std::find(out.begin(), out.end(), g) == out.end())
            out.push_back(g);
    return out;
}

TunnelList TunnelGroups::members(const TunnelList& tunnels, const std::string& group) {
    TunnelList out;
    std::copy_if(tunnels.begin(), tunnels.end(), std::back_inserter(out),
                 [&](const TunnelPtr& t) { return groupOf(*t) == group; });
    return out;
}

TunnelList TunnelGroups::shownOrder(const TunnelList& tunnels) {
    TunnelList out = members(tunnels, "");
    for (const std::string& g : names(tunnels)) {
        const TunnelList group = members(tunnels, g);
        out.insert(out.end(), group.begin(), group.end());
    }
    return out;
}

TunnelGroups::Count TunnelGroups::count(const TunnelList& members) {
    Count c;
    for (const TunnelPtr& t : members) {
        ++c.total;
        if (t->run().isWanted()) ++c.wanted;
        if (isUp(*t)) ++c.up;
    }
    return c;
}

std::string TunnelGroups::nameError(const std::string& group) {
    if (!TunnelStore::isOneLine(group))
        return UI_TEXT("A group may not hold line breaks, tabs or invisible characters");
    return {};
}

std::string TunnelGroups::fromReference(const std::string& word) {
    return word.size() > 1 && word.front() == '@' ? word.substr(1) : std::string();
}
