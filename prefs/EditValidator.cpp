#include "EditValidator.h"

#include <QObject>

long long EditValidator::integerValue(const QString& text) {
    int i = 0;
    const int n = static_cast<int>(text.size());
    while (i < n && text.at(i).isSpace()) ++i;
    bool negative = false;
    if (i < n && (text.at(i) == u'+' || text.at(i) == u'-')) {
        negative = text.at(i) == u'-';
        ++i;
    }
    constexpr long long kCap = 1LL << 40;
    long long value = 0;
    for (; i < n && text.at(i) >= u'0' && text.at(i) <= u'9'; ++i) {
        value = value * 10 + (text.at(i).unicode() - u'0');
        if (value > kCap) value = kCap;
    }
    return negative ? -value : value;
}

QString EditValidator::portError(QString& text) {
    QString trimmed = text.trimmed();
    if (trimmed.startsWith(u'+')) trimmed.remove(0, 1);
    bool digits = !trimmed.isEmpty();
    for (QChar c : trimmed) digits = digits && c.isDigit();
    const long long value = integerValue(trimmed);
    if (!digits || value < kMinPort || value > kMaxPort)
        return QObject::tr("Port must be a number from %1 to %2").arg(kMinPort).arg(kMaxPort);
    text = QString::number(value);
    return {};
}

QString EditValidator::optionalPortError(QString& text) {
    if (text.trimmed().isEmpty()) {
        text.clear();
        return {};
    }
    return portError(text);
}

QString EditValidator::hostError(const QString& text) {
    if (text.trimmed().isEmpty()) return QObject::tr("Host must not be empty");
    if (text.contains(u' ')) return QObject::tr("Host must be one word");
    return {};
}

QString EditValidator::bindError(const QString& text) {
    if (text.contains(u' ')) return QObject::tr("Bind address must be one word, or empty for ssh's default");
    return {};
}

QString EditValidator::forwardCellError(const QString& key, QString& text) {
    if (key == u"port") return portError(text);
    if (key == u"hostport") return optionalPortError(text);
    if (key == u"host") return hostError(text);
    if (key == u"bind") return bindError(text);
    return QObject::tr("Unknown column");
}
