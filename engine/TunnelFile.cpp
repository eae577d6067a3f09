#include "TunnelFile.h"

#include <algorithm>
#include <cctype>
#include <nlohmann/json.hpp>
#include <set>

#include "Log.h"
#include "UiText.h"

namespace {

// Keys a newer version or a hand might have put in a tunnel that must never leave the computer.
bool secretKey(std::string key) {
    std::transform(key.begin(), key.end(), key.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    for (const char* word : {"pass", "secret", "token", "keyring", "credential", "askpass"})
        if (key.find(word) != std::string::npos) return true;
    return false;
}

Value withoutSecrets(const Value& dictionary) {
    Value::Dictionary out;
    for (const auto& [key, value] : dictionary.dict()) {
        if (secretKey(key)) continue;
        if (value.isList() && (key == "tunnelsLocal" || key == "tunnelsRemote")) {
            Value::List forwards;
            for (const Value& f : value.list()) forwards.push_back(f.isDictionary() ? withoutSecrets(f) : f);
            out.emplace_back(key, Value(std::move(forwards)));
        } else {
            out.emplace_back(key, value);
        }
    }
    return Value(std::move(out));
}

// Without what says nothing (an empty text, an empty list, a flag off), as JSON whose keys
// compare in any order.
nlohmann::json comparable(const Value& dictionary) {
    nlohmann::json out = nlohmann::json::object();
    for (const auto& [key, value] : dictionary.dict()) {
        if (value.isNone() || (value.isText() && value.text().empty()) || (value.isList() && value.list().empty()) ||
            (value.isBoolean() && !value.boolValue()))
            continue;
        out[key] = nlohmann::json::parse(value.toJson().dump());
    }
    return out;
}

std::string inQuotes(const std::string& name) {
    // Appended: GCC 12 at -O3 misreads a literal joined first as an overlapping copy.
    std::string out(1, '"');
    out.append(Log::escaped(name)).append(1, '"');
    return out;
}

}  // namespace

Value TunnelFile::exported(const Tunnel& tunnel, const std::string& home) {
    Value d = withoutSecrets(tunnel.dictionary());
    const std::string identity = d.get("identityFile").text();
    if (!home.empty() && identity.rfind(home + "/", 0) == 0)
        d = d.with("identityFile", Value("~/" + identity.substr(home.size() + 1)));
    return d;
}

std::string TunnelFile::write(const TunnelList& tunnels, const std::string& home) {
    Value::List list;
    for (const TunnelPtr& t : tunnels) list.push_back(exported(*t, home));
    const Value file = Value::dictionary({{"format", kFormat}, {"version", kVersion}, {"tunnels", Value(list)}});
    return file.toJson().dump(2) + "\n";
}

std::vector<std::string> TunnelFile::Contents::problems() const {
    std::vector<std::string> out;
    if (!error.empty()) out.push_back(error);
    out.insert(out.end(), notes.begin(), notes.end());
    for (const Entry& e : tunnels) out.insert(out.end(), e.problems.begin(), e.problems.end());
    return out;
}

std::vector<TunnelFile::Entry> TunnelFile::Contents::valid() const {
    std::vector<Entry> out;
    if (!error.empty()) return out;
    std::copy_if(tunnels.begin(), tunnels.end(), std::back_inserter(out),
                 [](const Entry& e) { return e.problems.empty(); });
    return out;
}

TunnelFile::Contents TunnelFile::read(const std::string& text) {
    Contents c;
    if (text.size() > kMaxBytes) {
        c.error = UiText::format(UI_TEXT("The file is larger than %1 KiB, more than any tunnel file"),
                                 {std::to_string(kMaxBytes / 1024)});
        return c;
    }
    nlohmann::ordered_json parsed;
    try {
        parsed = nlohmann::ordered_json::parse(text);
    } catch (const nlohmann::json::parse_error& e) {
        c.error = e.byte >= text.size()
                      ? UiText::format(UI_TEXT("The file ends early, at byte %1: it was cut short"),
                                       {std::to_string(text.size())})
                      : UiText::format(UI_TEXT("The file is no JSON: at byte %1"), {std::to_string(e.byte)});
        return c;
    }
    if (!parsed.is_object() || !parsed.contains("format") || parsed["format"] != kFormat) {
        c.error = UI_TEXT("The file is no Zandrel tunnel file (its \"format\" is not \"zandrel-tunnels\")");
        return c;
    }
    const bool newer = !parsed["version"].is_number_integer() || parsed["version"].get<std::int64_t>() > kVersion;
    if (newer)
        c.notes.push_back(
            UiText::format(UI_TEXT("The file was written by a newer Zandrel (version %1; this one reads %2)"),
                           {parsed["version"].dump(), std::to_string(kVersion)}));
    if (!parsed["tunnels"].is_array()) {
        c.error = UI_TEXT("The file holds no list of \"tunnels\"");
        return c;
    }
    std::set<std::string> names;
    size_t n = 0;
    for (const auto& item : parsed["tunnels"]) {
        ++n;
        Entry e;
        e.tunnel = Value::fromJson(item);
        e.name = e.tunnel.get("connName").text();
        const std::string where =
            UiText::format(UI_TEXT("Tunnel %1"), {e.name.empty() ? std::to_string(n) : inQuotes(e.name)});
        auto problem = [&](const std::string& what) { e.problems.push_back(where + ": " + what); };
        if (!e.tunnel.isDictionary()) {
            problem(UI_TEXT("is no object"));
        } else if (e.name.empty()) {
            problem(UI_TEXT("\"connName\" is missing"));
        } else if (!TunnelStore::isOneLine(e.name) || e.name.front() == '@') {
            problem(UI_TEXT("\"connName\" holds line breaks, tabs, invisible characters or a leading \"@\""));
        } else if (!names.insert(e.name).second) {
            problem(UI_TEXT("the name is in the file twice"));
        }
        std::vector<std::string> unknown;
        for (const auto& [key, value] : e.tunnel.dict()) {
            if (!Tunnel::isSetting(key))
                unknown.push_back(key);
            else if (key != "connName")
                if (std::string why = Tunnel::valueError(key, value); !why.empty()) problem(why);
        }
        // Keys a newer version of this format wrote are news; in a version-1 file they are kept.
        if (newer && !unknown.empty()) {
            std::string keys;
            for (const std::string& k : unknown) keys += (keys.empty() ? "" : ", ") + inQuotes(k);
            problem(UiText::format(UI_TEXT("keys this version does not know: %1"), {keys}));
        }
        c.tunnels.push_back(std::move(e));
    }
    return c;
}

bool TunnelFile::choiceFrom(const std::string& word, Choice* choice) {
    if (word == "keep")
        *choice = Choice::Keep;
    else if (word == "replace")
        *choice = Choice::Replace;
    else if (word == "both")
        *choice = Choice::Both;
    else
        return false;
    return true;
}

bool TunnelFile::sameSettings(const Tunnel& mine, const Value& theirs, const std::string& home) {
    // Through a tunnel of its own, so that "30" and 30 and a missing flag read alike.
    const TunnelPtr file = Tunnel::tunnelFromDictionary(theirs);
    return comparable(exported(mine, home)) == comparable(exported(*file, home));
}

TunnelFile::Applied TunnelFile::apply(TunnelStore& tunnels, const std::vector<Entry>& entries, const std::string& home,
                                      const std::function<Choice(const std::string&)>& choice) {
    Applied a;
    auto add = [&](const Value& d) {
        TunnelPtr t = Tunnel::tunnelFromDictionary(d);
        tunnels.append(t);
        a.added.push_back(t);
    };
    for (const Entry& e : entries) {
        const TunnelPtr mine = tunnels.named(e.name);
        const std::string name = inQuotes(e.name);
        if (!mine) {
            add(e.tunnel);
            a.lines.push_back(name + ": added");
        } else if (sameSettings(*mine, e.tunnel, home)) {
            a.lines.push_back(name + ": the same as yours, skipped");
        } else if (const Choice c = choice(e.name); c == Choice::Keep) {
            a.lines.push_back(name + ": yours kept, the file's differs");
        } else if (c == Choice::Replace) {
            TunnelPtr theirs = Tunnel::tunnelFromDictionary(e.tunnel);
            tunnels.replace(static_cast<size_t>(tunnels.indexOf(mine.get())), theirs);
            a.replaced.emplace_back(mine, theirs);
            a.lines.push_back(name + ": replaced by the file's");
        } else {
            std::string other;
            for (int n = 2; other.empty() || tunnels.named(other); ++n) other = e.name + " (" + std::to_string(n) + ")";
            add(e.tunnel.with("connName", Value(other)));
            a.lines.push_back(name + ": yours kept, the file's added as " + inQuotes(other));
        }
    }
    return a;
}

void TunnelFile::undo(TunnelStore& tunnels, const Applied& applied) {
    for (const TunnelPtr& t : applied.added)
        if (const int row = tunnels.indexOf(t.get()); row >= 0) tunnels.remove(static_cast<size_t>(row));
    for (const auto& [mine, theirs] : applied.replaced)
        if (const int row = tunnels.indexOf(theirs.get()); row >= 0) tunnels.replace(static_cast<size_t>(row), mine);
}

void TunnelFile::finish(const Applied& applied) {
    for (const auto& [mine, theirs] : applied.replaced) {
        const bool wanted = mine->run().isWanted();
        mine->run().stop();
        if (wanted) theirs->run().start();
    }
}
