#pragma once

#include <functional>
#include <string>

// One line per message on standard error, with time stamp and program name; the desktop
// session's journal keeps it. Tests may capture lines through a sink.
class Log {
public:
    using Sink = std::function<void(const std::string&)>;
    static void line(const std::string& message);
    // Replaces the output for this process (empty: back to standard error); returns the old sink.
    static Sink setSink(Sink sink);
    // Fills each "%@" of a format with the argument, in the manner of the string table's formats.
    static std::string format(const std::string& fmt, const std::string& arg);
    // The text on one line, unmistakable: control characters as \n, \t or \xNN, the invisible
    // format characters (bidirectional marks, zero-width ones) as \u{XXXX}, a backslash doubled.
    // A server's words or a hand-written name can then neither split a line nor pose as another.
    static std::string escaped(const std::string& text);
};
