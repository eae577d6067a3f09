#include "FuzzEnvironment.h"

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>

#include "Bundle.h"
#include "Log.h"
#include "SshCommand.h"

FuzzEnvironment& FuzzEnvironment::instance() {
    static FuzzEnvironment environment;
    return environment;
}

FuzzEnvironment::FuzzEnvironment() {
    setenv("XDG_CONFIG_HOME", m_dir.path().c_str(), 1);
    setenv("XDG_STATE_HOME", (m_dir.path() + "/state").c_str(), 1);  // tunnel journals
    Bundle::main().setResourceDir(ZANDREL_FUZZ_RESOURCES);
    // libFuzzer's own lines are the ones to read.
    Log::setSink([](const std::string&) {});
    const std::string ssh = file("ssh");
    // It outlives an end asked for by kEndGrace, as a busy ssh may, so a line that ends a run does
    // not cost a new process at once; a minute bounds it should the harness itself die.
    std::ofstream(ssh) << "#!/bin/sh\ntrap '' TERM\nexec sleep 60\n";
    chmod(ssh.c_str(), 0700);
    SshCommand::setSshProgram(ssh);
}
