#pragma once

#include <QString>

// "Start Zandrel at login": an XDG autostart entry, $XDG_CONFIG_HOME/autostart/zandrel.desktop.
// The file is the setting; nothing else remembers it.
class AutostartEntry {
public:
    static QString path();
    // The program the entry starts: the zandrel command that started this process (it hands a
    // desktop session over to its desktop part, whose own path would be the wrong one), else
    // this program.
    static QString program();
    static void setProgram(const QString& program);
    static bool isEnabled();
    // Writes the entry (Exec: program, an absolute path) or removes it; false with *error set
    // when the file could not be written or removed.
    static bool setEnabled(bool enabled, const QString& program, QString* error);
    // The entry's text for that program.
    static QString contents(const QString& program);
};
