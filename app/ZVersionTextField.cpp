#include "ZVersionTextField.h"

#include <QEvent>
#include <cctype>
#include <climits>

#include "Bundle.h"

ZVersionTextField::ZVersionTextField(QWidget* parent) : QLabel(parent) {}

void ZVersionTextField::awakeFromNib() {
    if (m_awake) return;
    m_awake = true;
    setText(versionLine(text(), shortVersion(), buildNumber()));
}

bool ZVersionTextField::event(QEvent* event) {
    if (event->type() == QEvent::Polish) awakeFromNib();
    return QLabel::event(event);
}

QString ZVersionTextField::versionLine(const QString& format, const QString& shortVersion, int buildNumber) {
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

int ZVersionTextField::intValue(const Value& value) {
    if (value.isInteger()) {
        const auto v = value.intValue();
        return v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : static_cast<int>(v);
    }
    if (!value.isText()) return 0;
    const std::string& s = value.text();
    size_t i = 0;
    while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    long long n = 0;
    for (; i < s.size() && std::isdigit(static_cast<unsigned char>(s[i])); ++i) {
        n = n * 10 + (s[i] - '0');
        if (n > static_cast<long long>(INT_MAX) + 1) break;
    }
    if (negative) n = -n;
    return n > INT_MAX ? INT_MAX : n < INT_MIN ? INT_MIN : static_cast<int>(n);
}

int ZVersionTextField::buildNumber() { return intValue(Bundle::main().objectForInfoDictionaryKey("CFBundleVersion")); }

QString ZVersionTextField::shortVersion() {
    const Value v = Bundle::main().objectForInfoDictionaryKey("CFBundleShortVersionString");
    if (v.isText()) return QString::fromStdString(v.text());
    if (v.isNone()) return QString();
    return QString::fromStdString(v.dump());
}
