#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "TunnelStore.h"
#include "Value.h"

// A file of tunnels to hand to someone else (*.zandrel-tunnels): {"format": "zandrel-tunnels",
// "version": 1, "tunnels": [...]}, each tunnel in its stored form. It never holds a password or
// anything of the keyring; an identity file under the home folder is written "~/…".
class TunnelFile {
public:
    static constexpr const char* kFormat = "zandrel-tunnels";
    static constexpr std::int64_t kVersion = 1;
    static constexpr size_t kMaxBytes = 1024 * 1024;

    // The file's text for these tunnels.
    static std::string write(const TunnelList& tunnels, const std::string& home);
    // The tunnel as it goes into a file.
    static Value exported(const Tunnel& tunnel, const std::string& home);

    struct Entry {
        std::string name;
        Value tunnel;                       // as the file holds it
        std::vector<std::string> problems;  // each naming the key; empty: it may be imported
    };
    struct Contents {
        std::string error;               // nothing in the file can be imported
        std::vector<std::string> notes;  // about the whole file (a newer version)
        std::vector<Entry> tunnels;
        // Every problem, one line each, naming the tunnel and the key.
        std::vector<std::string> problems() const;
        bool clean() const { return error.empty() && problems().empty(); }
        std::vector<Entry> valid() const;
    };
    static Contents read(const std::string& text);

    // What to do when a tunnel of the file has the name of one of the user's, with other settings.
    enum class Choice { Keep, Replace, Both };
    static bool choiceFrom(const std::string& word, Choice* choice);

    // Whether the file's tunnel holds the same settings as the user's.
    static bool sameSettings(const Tunnel& mine, const Value& theirs, const std::string& home);

    struct Applied {
        std::vector<std::string> lines;  // one per tunnel: what was done
        TunnelList added;
        std::vector<std::pair<TunnelPtr, TunnelPtr>> replaced;  // (the user's, the file's)
    };
    // Merges the entries into the list: a new name is added, the same settings skipped, other
    // settings decided by choice. The caller saves, and on failure undoes it.
    static Applied apply(TunnelStore& tunnels, const std::vector<Entry>& entries, const std::string& home,
                         const std::function<Choice(const std::string& name)>& choice);
    static void undo(TunnelStore& tunnels, const Applied& applied);
    // The replaced tunnels stop; a replacement of a tunnel that was wanted up starts.
    static void finish(const Applied& applied);
};
