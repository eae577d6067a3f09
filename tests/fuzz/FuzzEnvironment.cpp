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
    Bundle::main().setResourceDir(ZANDREL_FUZZ_RESOURCES);
    // libFuzzer's own lines are the ones to read.
    Log::setSink([](const std::string&) {});
    const std::string ssh = file("ssh");
    std::ofstream(ssh) << "#!/bin/sh\nexec sleep 1000\n";
    chmod(ssh.c_str(), 0700);
    SshCommand::setSshProgram(ssh);
}
