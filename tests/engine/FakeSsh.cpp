#include "FakeSsh.h"

#include <sys/stat.h>

#include <fstream>

FakeSsh::FakeSsh() = default;

std::string FakeSsh::script(const std::string& name, const std::string& body) const {
    const std::string path = m_dir.file(name);
    std::ofstream(path) << "#!/bin/sh\nDIR='" << m_dir.path() << "'\n" << body << "\n";
    chmod(path.c_str(), 0755);
    return path;
}

std::vector<std::string> FakeSsh::lines(const std::string& name) const {
    std::vector<std::string> out;
    std::ifstream in(m_dir.file(name));
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

void FakeSsh::touch(const std::string& name) const { std::ofstream(m_dir.file(name)) << ""; }
