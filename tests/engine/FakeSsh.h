#pragma once

#include <string>
#include <vector>

#include "TempDir.h"

// Stand-ins for ssh: small /bin/sh scripts in a private folder. Scripts see $DIR (that folder)
// and report what they saw by writing files there.
class FakeSsh {
public:
    FakeSsh();
    // Writes an executable script `name` whose body follows a prologue setting DIR; its path.
    std::string script(const std::string& name, const std::string& body) const;
    std::string file(const std::string& name) const { return m_dir.file(name); }
    const std::string& dir() const { return m_dir.path(); }
    // The lines of a file the scripts wrote (none when it does not exist).
    std::vector<std::string> lines(const std::string& name) const;
    void touch(const std::string& name) const;

private:
    testsupport::TempDir m_dir{"zandrel-fakessh"};
};
