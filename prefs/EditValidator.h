#pragma once

#include <QString>

// The rules by which a typed port or host may end its edit. Forward cells and the SOCKS4 port
// share them, so a port the window accepts is always one ssh can listen on.
class EditValidator {
public:
    static constexpr int kMinPort = 1;
    static constexpr int kMaxPort = 65535;

    // The integer the text begins with, after blanks and an optional sign; 0 without digits.
    // Saturates far outside the port range instead of overflowing.
    static long long integerValue(const QString& text);

    // Replaces the text by the decimal form of its integer value; true when that is a port.
    // A text that reads as no port is cleared.
    static bool portShouldEndEditing(QString& text);
    // A host name must not be empty; the text is left as it is.
    static bool hostShouldEndEditing(const QString& text);
    // By column position: 0 and 2 hold ports, 1 the host; any other column is refused.
    static bool forwardCellShouldEndEditing(int column, QString& text);
};
