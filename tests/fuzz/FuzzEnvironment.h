#pragma once

#include <string>

#include "TempDir.h"

// What every harness needs once per process: a private XDG_CONFIG_HOME and XDG_STATE_HOME, this
// build's resources,
// no log output, and a stand-in for ssh that only waits.
class FuzzEnvironment {
public:
    static FuzzEnvironment& instance();
    // A file in the private folder.
    std::string file(const std::string& name) const { return m_dir.file(name); }

private:
    FuzzEnvironment();
    testsupport::TempDir m_dir{"zandrel-fuzz"};
};
