#include "VersionLabel.h"

#include <QEvent>

VersionLabel::VersionLabel(QWidget* parent) : QLabel(parent) {}

void VersionLabel::fillVersionLine() {
    if (m_awake) return;
    m_awake = true;
    setText(versionLine(text(), ZandrelVersion::shortVersion(), ZandrelVersion::buildNumber()));
}

bool VersionLabel::event(QEvent* event) {
    if (event->type() == QEvent::Polish) fillVersionLine();
    return QLabel::event(event);
}

QString VersionLabel::versionLine(const QString& format, const QString& shortVersion, int buildNumber) {
    QString out;
    int conversion = 0;
    for (qsizetype i = 0; i < format.size(); ++i) {
        const QChar c = format[i];
        if (c != u'%' || i + 1 >= format.size()) {
            out += c;
            continue;
        }
        const QChar spec = format[++i];
        if (spec == u'%') {
            out += u'%';
        } else if (spec == u'@' && conversion == 0) {
            out += shortVersion;
            ++conversion;
        } else if ((spec == u'd' || spec == u'i') && conversion == 1) {
            out += QString::number(buildNumber);
            ++conversion;
        } else {
            // Not a conversion this format may have: shown as written.
            out += c;
            out += spec;
        }
    }
    return out;
}
