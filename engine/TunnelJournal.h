#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

// One thing that happened to a tunnel, as its journal keeps it.
struct JournalEvent {
    std::int64_t atMs = 0;  // since the epoch
    std::string text;       // one line, control characters escaped

    // "YYYY-MM-DDTHH:MM:SS.mmm<TAB>text", local time.
    std::string formatted() const;
};

// What happened to one tunnel (started, connected, dropped and why, stopped and by what), kept
// on disk so that it survives a restart: the last kKept to 2 x kKept events, in two files under
// $XDG_STATE_HOME/zandrel/journal. Each event is appended with one write; nothing of it stays in
// memory. A file that does not read as a journal is set aside and a fresh one begun. Safe from
// any thread.
class TunnelJournal {
public:
    static constexpr size_t kKept = 500;
    // Larger files are not journals Zandrel wrote: set aside unread.
    static constexpr size_t kMaxFileBytes = 1 << 20;

    explicit TunnelJournal(std::string tunnelName) : m_name(std::move(tunnelName)) {}
    TunnelJournal(const TunnelJournal&) = delete;
    TunnelJournal& operator=(const TunnelJournal&) = delete;

    void record(const std::string& text);
    // Oldest first, read from the files now.
    std::vector<JournalEvent> events() const;
    // The tunnel was renamed: its files follow it.
    void rename(const std::string& newName);
    // The tunnel is gone: so are its files, and what its last run still reports is not kept.
    void erase();

    // The events of a journal file's contents; *corrupt set when some line is not an event. A
    // last line without its newline (a write cut short) is dropped quietly.
    static std::vector<JournalEvent> parse(std::string_view contents, bool* corrupt);
    // $XDG_STATE_HOME/zandrel/journal, ~/.local/state when unset or not absolute.
    static std::string folder();

private:
    std::string pathLocked(bool previous) const;
    // Reads one file, setting it aside when it is not a journal.
    std::vector<JournalEvent> readFile(const std::string& path) const;

    mutable std::mutex m_mutex;
    std::string m_name;
    long m_linesInCurrent = -1;  // counted at the first write
    bool m_erased = false;
};
