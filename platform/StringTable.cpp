#include "StringTable.h"

#include <cstdlib>
#include <fstream>

StringTable::StringTable(const std::string& dir, const std::string& locale) {
    // "de_DE.UTF-8@euro" -> try "de_DE", then "de", then English.
    std::string loc = locale.substr(0, locale.find_first_of(".@"));
    std::string lang = loc.substr(0, loc.find('_'));
    for (const std::string& candidate : {loc, lang, std::string("en")}) {
        if (candidate.empty() || candidate == "C" || candidate == "POSIX") continue;
        if (loadFile(dir + "/" + candidate + ".strings")) {
            m_language = candidate;
            break;
        }
    }
    if (m_language != "en") {
        // Keys missing from a partial translation still read in English.
        StringTable english;
        if (english.loadFile(dir + "/en.strings"))
            for (const auto& [k, v] : english.m_texts) m_texts.emplace(k, v);
    }
}

std::string StringTable::userLocale() {
    for (const char* var : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* v = std::getenv(var);
        if (v && *v) return v;
    }
    return "en";
}

bool StringTable::loadFile(const std::string& path) {
    std::ifstream in(path);
    if (!in) return false;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        auto eq = line.find('=');
        if (eq == std::string::npos || eq == 0) continue;
        m_texts[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return true;
}

std::string StringTable::localizedString(const std::string& key) const {
    auto it = m_texts.find(key);
    return it == m_texts.end() ? key : it->second;
}
