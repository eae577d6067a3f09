#pragma once

#include <QString>
#include <functional>
#include <memory>

class SecretBuffer;

// Passwords in the Secret Service through libsecret, each under a label naming its tunnel and
// account, with the attributes "account" and "question" that a keyring browser shows (QtKeychain
// 0.13 gives its items neither). Asynchronous on GLib's main context, which Qt's event loop runs;
// each call answers once, from the event loop.
class LabelledSecrets {
public:
    // Whether this thread's event loop runs GLib's main context: without it no answer would come.
    static bool usable();

    // error is empty once kept.
    using Stored = std::function<void(const QString& error)>;
    static void store(const QString& label, const QString& account, const QString& question, const SecretBuffer& secret,
                      Stored done);
    // secret null with an empty error: no such item.
    using Found = std::function<void(std::unique_ptr<SecretBuffer> secret, const QString& error)>;
    static void lookup(const QString& account, const QString& question, Found done);
    // Every item of the account.
    static void clear(const QString& account);
    // The label of the item, or empty; blocks (for checks, not for the GUI thread).
    static QString labelOf(const QString& account, const QString& question);
};
