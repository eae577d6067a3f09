#pragma once

#include <QString>

// The rules by which a typed value may end its edit, each answering with the reason it is
// refused (empty: accepted). Forward cells and the form's fields share them, so a port the
// window accepts is always one ssh can listen on. A refused text is never changed: the user
// sees what they typed and why it cannot stand.
class EditValidator {
public:
    static constexpr int kMinPort = 1;
    static constexpr int kMaxPort = 65535;

    // The integer the text begins with, after blanks and an optional sign; 0 without digits.
    // Saturates far outside the port range instead of overflowing.
    static long long integerValue(const QString& text);

    // A port: the text becomes its decimal form when accepted.
    static QString portError(QString& text);
    // A port or nothing (the forward's host port: empty means the same as the listening port).
    static QString optionalPortError(QString& text);
    static QString hostError(const QString& text);
    // A bind address: empty (ssh's default) or one word.
    static QString bindError(const QString& text);
    // By forward column key: "bind", "port", "host", "hostport".
    static QString forwardCellError(const QString& key, QString& text);
};
