#pragma once

#include <QObject>
#include <QSet>
#include <QString>
#include <functional>
#include <memory>

#include "Defaults.h"
#include "Tunnel.h"

class SecretBuffer;

// Remembered answers to ssh's password and passphrase questions, kept by the desktop's keyring
// (Secret Service: new answers through libsecret, with a label; answers QtKeychain kept before are
// still read) and nowhere else. An answer is filed under the server
// account (user@host:port as the tunnel names it) and the question ssh asked, so renaming a
// tunnel keeps it and tunnels to the same account share it. Which answers exist is noted, without
// the secrets, under "rememberedPasswords" in the preferences, so that no keyring has to be
// asked (or unlocked) to know. GUI thread only.
class PasswordKeyring : public QObject {
    Q_OBJECT
public:
    static constexpr const char* kService = "Zandrel";
    static constexpr const char* kIndexKey = "rememberedPasswords";

    explicit PasswordKeyring(Defaults& defaults, QObject* parent = nullptr);

    static QString accountOf(const Tunnel& tunnel);
    // A password or key passphrase; one-time codes and anything else are never kept.
    static bool isStorable(const QString& question);

    // An answer is kept for that question, and it was not refused in this session.
    bool canAnswer(const QString& account, const QString& question) const;
    bool hasAny(const QString& account) const;

    using ReadDone = std::function<void(std::unique_ptr<SecretBuffer> secret)>;
    // Reads the kept answer; null when the keyring is locked, absent or refuses (logged once).
    void read(const QString& account, const QString& question, ReadDone done);
    // Keeps a new answer (the array is wiped); a refusal noted for that question ends. done gets
    // an empty text once kept, or why the keyring did not keep it (locked, absent, refused).
    using StoreDone = std::function<void(const QString& problem)>;
    // tunnelName goes into the label a keyring browser shows.
    void store(const QString& account, const QString& question, QByteArray secret, StoreDone done = {},
               const QString& tunnelName = {});
    // Why the last store failed, until the keyring next does as asked; empty when it did.
    QString storeProblem() const { return m_storeProblem; }
    // ssh refused the kept answer: it is not offered again until a new one is stored.
    void markRefused(const QString& account, const QString& question);
    // Every answer kept for the account.
    void forget(const QString& account);
    // The answers of a deleted tunnel, unless a remaining tunnel uses the same account.
    void forgetUnshared(const Tunnel& gone, const TunnelList& remaining);

    // How long a keyring may take to answer before the window is shown (or the store given up).
    static constexpr int kReadTimeoutMs = 20000;

Q_SIGNALS:
    // The kept answers of an account changed (stored or forgotten).
    void changed(const QString& account);

private:
    QStringList questionsOf(const QString& account) const;
    void setQuestions(const QString& account, const QStringList& questions);
    static QString entryKey(const QString& account, const QString& question);
    void logOnce(const QString& what);
    using Found = std::function<void(std::unique_ptr<SecretBuffer> secret)>;
    // The answer as QtKeychain kept it.
    void readOld(const QString& account, const QString& question, Found finish);
    // Words for the user from a failed job's error code and text.
    static QString problemOf(int error, const QString& text);

    Defaults& m_defaults;
    QSet<QString> m_refused;
    QSet<QString> m_logged;
    QString m_storeProblem;
};
