#pragma once

#include <QString>

// "Start Zandrel at login": an XDG autostart entry, $XDG_CONFIG_HOME/autostart/zandrel.desktop.
// The file is the setting; nothing else remembers it.
class AutostartEntry {
public:
    static QString path();
    static bool isEnabled();
    // Writes the entry (Exec: program, an absolute path) or removes it; false with *error set
    // when the file could not be written or removed.
    static bool setEnabled(bool enabled, const QString& program, QString* error);
    // The entry's text for that program.
    static QString contents(const QString& program);
};
