#pragma once

#include <QLocale>
#include <QString>

class QCoreApplication;

// The user's language for Zandrel's texts and Qt's own (standard buttons, dialogs): each
// translation that is installed for the locale, English where none is.
class Translations {
public:
    // Loads zandrel_<lang>.qm from directory() and Qt's qtbase_<lang>.qm into app; returns the
    // language of Zandrel's translation, or "" for none.
    static QString install(QCoreApplication& app, const QLocale& locale = QLocale());
    // The installed translations: share/zandrel/translations (resources/translations in a build).
    static QString directory();
    // Another folder instead (tests); empty: back to the installed one.
    static void setDirectory(const QString& dir);
};
