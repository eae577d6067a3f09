#pragma once

#include <map>
#include <string>

// Localised texts: one KEY=text file per language (strings/<lang>.strings), chosen from the
// user's locale with English as fallback. A key with no entry yields the key itself.
class StringTable {
public:
    StringTable() = default;
    // dir holds the .strings files; locale as in LC_ALL/LC_MESSAGES/LANG ("de_DE.UTF-8").
    StringTable(const std::string& dir, const std::string& locale);

    static std::string userLocale();

    std::string localizedString(const std::string& key) const;
    const std::string& language() const { return m_language; }

private:
    bool loadFile(const std::string& path);

    std::map<std::string, std::string> m_texts;
    std::string m_language;
};
