#include "EditValidator.h"

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

bool EditValidator::portShouldEndEditing(QString& text) {
    const long long value = integerValue(text);
    if (value < kMinPort || value > kMaxPort) {
        text.clear();
        return false;
    }
    text = QString::number(value);
    return true;
}

bool EditValidator::hostShouldEndEditing(const QString& text) { return !text.isEmpty(); }

bool EditValidator::forwardCellShouldEndEditing(int column, QString& text) {
    switch (column) {
        case 0:
        case 2:
            return portShouldEndEditing(text);
        case 1:
            return hostShouldEndEditing(text);
        default:
            return false;
    }
}
