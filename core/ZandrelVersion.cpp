#include "ZandrelVersion.h"

#include <cctype>
#include <climits>

#include "Bundle.h"

int ZandrelVersion::intValue(const Value& value) {
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

int ZandrelVersion::buildNumber() { return intValue(Bundle::main().objectForInfoDictionaryKey("CFBundleVersion")); }

QString ZandrelVersion::shortVersion() {
    const Value v = Bundle::main().objectForInfoDictionaryKey("CFBundleShortVersionString");
    if (v.isText()) return QString::fromStdString(v.text());
    if (v.isNone()) return QString();
    return QString::fromStdString(v.dump());
}
