#include "Translations.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

#include "Bundle.h"
#include "Log.h"

namespace {
QString g_directory;

// Owned by the application, so that it is removed and freed with it.
bool load(QCoreApplication& app, const QLocale& locale, const QString& name, const QString& dir) {
    auto* translator = new QTranslator(&app);
    if (translator->load(locale, name, QStringLiteral("_"), dir) && QCoreApplication::installTranslator(translator))
        return true;
    delete translator;
    return false;
}
}  // namespace

QString Translations::directory() {
    if (!g_directory.isEmpty()) return g_directory;
    return QString::fromStdString(Bundle::main().resourceDir()) + QStringLiteral("/translations");
}

void Translations::setDirectory(const QString& dir) { g_directory = dir; }

QString Translations::install(QCoreApplication& app, const QLocale& locale) {
    // English is the source language: nothing to load, not even Qt's, which then matches.
    if (locale.language() == QLocale::English || locale.language() == QLocale::C) return {};
    if (!load(app, locale, QStringLiteral("zandrel"), directory())) return {};
    if (!load(app, locale, QStringLiteral("qtbase"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        Log::line("No Qt translation for " + locale.name().toStdString() + ": Qt's own texts stay English");
    return locale.name();
}
