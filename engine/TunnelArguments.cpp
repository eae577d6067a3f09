#include "TunnelArguments.h"

#include <map>

std::vector<std::string> TunnelArguments::fields(const std::string& spec) {
    std::vector<std::string> out(1);
    bool bracketed = false;
    for (char c : spec) {
        if (c == '[' && !bracketed && out.back().empty())
            bracketed = true;
        else if (c == ']' && bracketed)
            bracketed = false;
        else if (c == ':' && !bracketed)
            out.emplace_back();
        else
            out.back() += c;
    }
    return out;
}

namespace {

// [USER@]HOST[:PORT]; a bare IPv6 address (more than one colon, no brackets) is all host.
bool parseServer(const std::string& spec, Value::Dictionary& d) {
    std::string rest = spec;
    if (const auto at = rest.rfind('@'); at != std::string::npos) {
        d.emplace_back("connUser", rest.substr(0, at));
        rest = rest.substr(at + 1);
    }
    std::vector<std::string> parts = TunnelArguments::fields(rest);
    if (rest.empty() || rest.front() != '[') {
        if (parts.size() > 2) parts = {rest};  // an IPv6 address without a port
    }
    if (parts.empty() || parts.size() > 2 || parts[0].empty()) return false;
    d.emplace_back("connHost", parts[0]);
    if (parts.size() == 2) d.emplace_back("connPort", parts[1]);
    return true;
}

// [BIND:]PORT:HOST:HOSTPORT
bool parseForward(const std::string& spec, Value::List& list) {
    std::vector<std::string> f = TunnelArguments::fields(spec);
    if (f.size() == 3) f.insert(f.begin(), "");
    if (f.size() != 4) return false;
    Value::Dictionary entry;
    if (!f[0].empty()) entry.emplace_back("bind", f[0]);
    entry.emplace_back("port", f[1]);
    entry.emplace_back("host", f[2]);
    entry.emplace_back("hostport", f[3]);
    list.emplace_back(std::move(entry));
    return true;
}

// [BIND:]PORT
bool parseSocks(const std::string& spec, Value::Dictionary& d) {
    const std::vector<std::string> f = TunnelArguments::fields(spec);
    if (f.empty() || f.size() > 2) return false;
    d.emplace_back("socks4", true);
    const std::string& port = f.back();
    const bool digits = !port.empty() && port.size() < 10 && port.find_first_not_of("0123456789") == std::string::npos;
    d.emplace_back("socks4p", digits ? Value(std::int64_t(std::stol(port))) : Value(port));
    if (f.size() == 2) d.emplace_back("socks4b", f[0]);
    return true;
}

const std::map<std::string, std::string> kShapes = {{"-L", "[BIND:]PORT:HOST:HOSTPORT"},
                                                    {"-R", "[BIND:]PORT:HOST:HOSTPORT"},
                                                    {"-D", "[BIND:]PORT"},
                                                    {"-J", "JUMP"},
                                                    {"-i", "IDENTITY"},
                                                    {"-o", "OPTION=VALUE"},
                                                    {"--group", "GROUP"}};

}  // namespace

TunnelArguments::Parsed TunnelArguments::parse(const std::vector<std::string>& words,
                                               const std::string& workingDirectory) {
    auto fail = [](std::string why) { return Parsed{{}, {}, std::move(why)}; };
    if (words.size() < 2) return fail("--add needs a NAME and a [USER@]HOST[:PORT]");
    Value::Dictionary d;
    if (!parseServer(words[1], d)) return fail("\"" + words[1] + "\" is no [USER@]HOST[:PORT]");
    Value::List local, remote, options;
    bool socks = false;
    for (size_t i = 2; i < words.size(); ++i) {
        const std::string& flag = words[i];
        if (flag == "--auto") {
            d.emplace_back("autoConnect", true);
            continue;
        }
        if (flag == "--on-demand") {
            d.emplace_back("onDemand", true);
            continue;
        }
        const auto shape = kShapes.find(flag);
        if (shape == kShapes.end()) return fail("--add does not take \"" + flag + "\"");
        if (i + 1 >= words.size()) return fail(flag + " needs " + shape->second);
        const std::string& spec = words[++i];
        bool read = true;
        if (flag == "-L" || flag == "-R") {
            read = parseForward(spec, flag == "-L" ? local : remote);
        } else if (flag == "-D") {
            read = !socks && parseSocks(spec, d);
            if (socks) return fail("-D may be given once");
            socks = true;
        } else if (flag == "-J") {
            d.emplace_back("jumpHosts", spec);
        } else if (flag == "--group") {
            d.emplace_back("group", spec);
        } else if (flag == "-i") {
            const bool relative = !spec.empty() && spec.front() != '/' && spec.front() != '~';
            d.emplace_back("identityFile", relative ? workingDirectory + "/" + spec : spec);
        } else {
            options.emplace_back(spec);
        }
        if (!read) return fail(flag + " wants " + shape->second + ", not \"" + spec + "\"");
    }
    if (!local.empty()) d.emplace_back("tunnelsLocal", std::move(local));
    if (!remote.empty()) d.emplace_back("tunnelsRemote", std::move(remote));
    if (!options.empty()) d.emplace_back("sshOptions", std::move(options));
    return Parsed{words[0], Value(std::move(d)), {}};
}
