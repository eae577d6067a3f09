#pragma once

#include <QString>
#include <cstddef>
#include <string>

// The engine's texts in the user's language. The engine writes English (UI_TEXT marks, the
// string table), which D-Bus and the command line pass on as it is; where the desktop shows one,
// this finds the marked template it fits, translates it and puts its values back.
class EngineTexts {
public:
    // english translated: the most specific template it fits, with each value translated in
    // turn where it is a marked text itself; a text that fits none comes back as it is.
    static QString translated(const QString& english);
    static QString translated(const std::string& english) { return translated(QString::fromStdString(english)); }
    // A journal line ("time<TAB>event") with its event translated.
    static QString translatedJournalLine(const std::string& line);

    // Every marked English template, %1 … %9 standing for the values (generated).
    static const char* const kTemplates[];
    static const size_t kTemplateCount;

private:
    static QString translated(const QString& english, int depth);
};
