#pragma once

#include <QString>

#include "Value.h"

// The program's version as its bundle states it, for --version, the About box and the
// application object.
class ZandrelVersion {
public:
    // "CFBundleShortVersionString" of the main bundle.
    static QString shortVersion();
    // "CFBundleVersion" of the main bundle, read by intValue.
    static int buildNumber();
    // The leading decimal digits of a text (sign allowed, leading blanks skipped), clamped to
    // int; an integer as it is; 0 for anything else.
    static int intValue(const Value& value);
};
