#include "AutostartEntry.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStandardPaths>

QString AutostartEntry::path() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/autostart/zandrel.desktop");
}

namespace {
QString g_program;
}  // namespace

QString AutostartEntry::program() { return g_program.isEmpty() ? QCoreApplication::applicationFilePath() : g_program; }

void AutostartEntry::setProgram(const QString& program) { g_program = program; }

bool AutostartEntry::isEnabled() { return QFileInfo::exists(path()); }

QString AutostartEntry::contents(const QString& program) {
    // The desktop entry format quotes an Exec argument that holds blanks or its own specials.
    QString exec = program;
    if (exec.contains(QRegularExpression(QStringLiteral("[\\s\"'\\\\`$]")))) {
        exec.replace(u'\\', QStringLiteral("\\\\\\\\"));
        for (const char* c : {"\"", "`", "$"})
            exec.replace(QLatin1String(c), QStringLiteral("\\\\") + QLatin1String(c));
        exec = u'"' + exec + u'"';
    }
    return QStringLiteral(
               "[Desktop Entry]\n"
               "Type=Application\n"
               "Name=Zandrel\n"
               "Comment=Open your SSH tunnels at login\n"
               "Exec=%1\n"
               "Icon=zandrel\n"
               "Terminal=false\n"
               "X-GNOME-Autostart-enabled=true\n")
        .arg(exec);
}

bool AutostartEntry::setEnabled(bool enabled, const QString& program, QString* error) {
    const QString file = path();
    if (!enabled) {
        if (!QFileInfo::exists(file) || QFile::remove(file)) return true;
        if (error) *error = QCoreApplication::translate("AutostartEntry", "cannot remove %1").arg(file);
        return false;
    }
    if (!QDir().mkpath(QFileInfo(file).path())) {
        if (error) *error = QCoreApplication::translate("AutostartEntry", "cannot make the folder of %1").arg(file);
        return false;
    }
    QSaveFile out(file);
    if (!out.open(QIODevice::WriteOnly) || out.write(contents(program).toUtf8()) < 0 || !out.commit()) {
        if (error)
            *error = QCoreApplication::translate("AutostartEntry", "cannot write %1: %2").arg(file, out.errorString());
        return false;
    }
    return true;
}
