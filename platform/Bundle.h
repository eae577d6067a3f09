#pragma once

#include <mutex>
#include <string>

#include "StringTable.h"
#include "Value.h"

// The application's resources and information list. Resources are looked up beside the
// executable (the build tree's resources/) or under the install prefix's share/zandrel.
class Bundle {
public:
    static Bundle& main();
    // This process's program file, absolute; empty when /proc cannot say.
    static std::string executablePath();

    // Points the bundle at another resource folder (tests, or a relocated install).
    void setResourceDir(const std::string& dir);
    std::string resourceDir() const;

    // Full path of name[.type], or empty when there is no such file.
    std::string pathForResource(const std::string& name, const std::string& type) const;
    // "CFBundleVersion", "CFBundleShortVersionString", ... from Info.json; None when missing.
    Value objectForInfoDictionaryKey(const std::string& key) const;
    // Overrides one information entry (None removes it) for this run.
    void setInfoValue(const std::string& key, const Value& value);
    std::string localizedString(const std::string& key) const;

private:
    Bundle();
    void loadLocked();

    mutable std::mutex m_mutex;
    std::string m_dir;
    Value m_info;
    StringTable m_strings;
};
