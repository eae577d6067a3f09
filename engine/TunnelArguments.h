#pragma once

#include <string>
#include <vector>

#include "Value.h"

// zandrel --add's words, ssh's way of writing them: NAME [USER@]HOST[:PORT] then -L, -R, -D, -J,
// -i, -o, --group and --auto, an IPv6 address in brackets wherever a port may follow ("root@[::1]:2222",
// "-L 8080:[::1]:80"). The result is the stored tunnel keys they give; the values themselves are
// judged where every change is (a port of "x" is refused there, with the key it belongs to).
class TunnelArguments {
public:
    struct Parsed {
        std::string name;
        Value settings;     // a dictionary of stored keys
        std::string error;  // why the words cannot be read; then the rest is empty
    };

    // words: what follows --add. A relative identity file is taken from workingDirectory.
    static Parsed parse(const std::vector<std::string>& words, const std::string& workingDirectory);

    // "a:b:[::1]:80" → {"a", "b", "::1", "80"}: fields split at colons outside brackets.
    static std::vector<std::string> fields(const std::string& spec);
};
