#include "PasswordKeyring.h"

#include <qt6keychain/keychain.h>

#include <QPointer>
#include <QRegularExpression>
#include <QTimer>

#include "LabelledSecrets.h"
#include "Log.h"
#include "SecretBuffer.h"

PasswordKeyring::PasswordKeyring(Defaults& defaults, QObject* parent) : QObject(parent), m_defaults(defaults) {}

QString PasswordKeyring::accountOf(const Tunnel& tunnel) {
    const std::string user = tunnel.valueForKey("connUser").text();
    const std::string host = tunnel.valueForKey("connHost").text();
    const std::string port = tunnel.valueForKey("connPort").text();
    // Empty user and port are ssh_config's to fill; the account is still the one named so.
    return QString::fromStdString((user.empty() ? "" : user + "@") + SshCommand::bracketed(host) +
                                  (port.empty() ? "" : ":" + port));
}

bool PasswordKeyring::isStorable(const QString& question) {
    static const QRegularExpression secret(QStringLiteral("password|passphrase"),
                                           QRegularExpression::CaseInsensitiveOption);
    // A code of a token or an app changes at every login: keeping it only causes a refusal.
    static const QRegularExpression oneTime(QStringLiteral("verification|one[- ]time|otp|token|code"),
                                            QRegularExpression::CaseInsensitiveOption);
    return question.contains(secret) && !question.contains(oneTime);
}

QString PasswordKeyring::entryKey(const QString& account, const QString& question) {
    return account + u'\n' + question;
}

QStringList PasswordKeyring::questionsOf(const QString& account) const {
    QStringList list;
    const Value v = m_defaults.objectForKey(kIndexKey).get(account.toStdString());
    for (const Value& q : v.list())
        if (q.isText()) list.append(QString::fromStdString(q.text()));
    return list;
}

void PasswordKeyring::setQuestions(const QString& account, const QStringList& questions) {
    Value::Dictionary index;
    for (const auto& [key, value] : m_defaults.objectForKey(kIndexKey).dict())
        if (key != account.toStdString()) index.emplace_back(key, value);
    if (!questions.isEmpty()) {
        Value::List list;
        for (const QString& q : questions) list.emplace_back(q.toStdString());
        index.emplace_back(account.toStdString(), Value(std::move(list)));
    }
    if (!m_defaults.setObjectForKey(Value(std::move(index)), kIndexKey))
        logOnce(QStringLiteral("the list of remembered passwords could not be saved"));
    Q_EMIT changed(account);
}

bool PasswordKeyring::canAnswer(const QString& account, const QString& question) const {
    return !m_refused.contains(entryKey(account, question)) && questionsOf(account).contains(question);
}

bool PasswordKeyring::hasAny(const QString& account) const { return !questionsOf(account).isEmpty(); }

void PasswordKeyring::logOnce(const QString& what) {
    if (m_logged.contains(what)) return;
    m_logged.insert(what);
    Log::line("Keyring: " + what.toStdString());
}

void PasswordKeyring::read(const QString& account, const QString& question, ReadDone done) {
    // Either an answer or the timeout answers, once.
    auto pending = std::make_shared<ReadDone>(std::move(done));
    QTimer* timeout = new QTimer(this);
    timeout->setSingleShot(true);
    connect(timeout, &QTimer::timeout, this, [this, pending, timeout] {
        timeout->deleteLater();
        if (!*pending) return;
        logOnce(QStringLiteral("no answer within %1 s").arg(kReadTimeoutMs / 1000));
        std::exchange(*pending, nullptr)(nullptr);
    });
    // The timer is gone once it has fired.
    Found finish = [this, pending, timeout = QPointer<QTimer>(timeout)](std::unique_ptr<SecretBuffer> secret) {
        if (timeout) {
            timeout->stop();
            timeout->deleteLater();
        }
        if (secret) m_storeProblem.clear();  // the keyring works again
        if (*pending) std::exchange(*pending, nullptr)(std::move(secret));
    };
    timeout->start(kReadTimeoutMs);
    if (!LabelledSecrets::usable()) return readOld(account, question, std::move(finish));
    QPointer<PasswordKeyring> self(this);
    LabelledSecrets::lookup(
        account, question,
        [self, account, question, finish](std::unique_ptr<SecretBuffer> secret, const QString& error) {
            if (!self) return;
            if (secret || !error.isEmpty()) {
                if (!error.isEmpty()) self->logOnce(error);
                return finish(std::move(secret));
            }
            // None of ours: one that QtKeychain kept before.
            self->readOld(account, question, finish);
        });
}

void PasswordKeyring::readOld(const QString& account, const QString& question, Found finish) {
    auto* job = new QKeychain::ReadPasswordJob(QString::fromLatin1(kService));
    job->setAutoDelete(true);
    job->setInsecureFallback(false);  // never a file
    job->setKey(entryKey(account, question));
    connect(job, &QKeychain::Job::finished, this, [this, finish](QKeychain::Job* j) {
        QByteArray bytes = static_cast<QKeychain::ReadPasswordJob*>(j)->binaryData();
        std::unique_ptr<SecretBuffer> secret;
        if (j->error() == QKeychain::NoError)
            secret = std::make_unique<SecretBuffer>(bytes);
        else
            logOnce(j->errorString());
        SecretBuffer::wipe(bytes);
        finish(std::move(secret));
    });
    job->start();
}

QString PasswordKeyring::problemOf(int error, const QString& text) {
    switch (error) {
        case QKeychain::NoBackendAvailable:
            return tr("no keyring is available");
        case QKeychain::AccessDenied:
        case QKeychain::AccessDeniedByUser:
            return tr("the keyring is locked or refused access");
        default:
            return text.isEmpty() ? tr("the keyring refused") : text;
    }
}

void PasswordKeyring::store(const QString& account, const QString& question, QByteArray secret, StoreDone done,
                            const QString& tunnelName) {
    if (!isStorable(question)) {
        SecretBuffer::wipe(secret);
        if (done) done(tr("this answer is never kept"));
        return;
    }
    // A locked keyring may never answer: the user hears why after the read time-out at most.
    auto pending = std::make_shared<StoreDone>(done ? std::move(done) : [](const QString&) {});
    QTimer* timeout = new QTimer(this);
    timeout->setSingleShot(true);
    connect(timeout, &QTimer::timeout, this, [this, pending, timeout] {
        timeout->deleteLater();
        if (!*pending) return;
        m_storeProblem = tr("the keyring gave no answer within %1 s (locked?)").arg(kReadTimeoutMs / 1000);
        logOnce(QStringLiteral("no answer to a store within %1 s").arg(kReadTimeoutMs / 1000));
        std::exchange(*pending, nullptr)(m_storeProblem);
    });
    // problem is empty once kept.
    auto finish = [this, account, question, pending, timeout = QPointer<QTimer>(timeout)](const QString& problem) {
        if (timeout) {
            timeout->stop();
            timeout->deleteLater();
        }
        m_storeProblem = problem;
        if (problem.isEmpty()) {
            m_refused.remove(entryKey(account, question));
            QStringList questions = questionsOf(account);
            if (!questions.contains(question)) setQuestions(account, questions << question);
        }
        if (*pending) std::exchange(*pending, nullptr)(problem);
    };
    timeout->start(kReadTimeoutMs);
    if (LabelledSecrets::usable()) {
        const SecretBuffer bytes(secret);  // wipes the array
        const QString label =
            tunnelName.isEmpty() ? tr("Zandrel: %1").arg(account) : tr("Zandrel: %1 (%2)").arg(tunnelName, account);
        QPointer<PasswordKeyring> self(this);
        LabelledSecrets::store(label, account, question, bytes, [self, finish](const QString& error) {
            if (!self) return;
            if (!error.isEmpty()) self->logOnce(error);
            finish(error);
        });
        return;
    }
    auto* job = new QKeychain::WritePasswordJob(QString::fromLatin1(kService));
    job->setAutoDelete(true);
    job->setInsecureFallback(false);
    job->setKey(entryKey(account, question));
    job->setBinaryData(secret);
    SecretBuffer::wipe(secret);
    connect(job, &QKeychain::Job::finished, this, [this, finish](QKeychain::Job* j) {
        if (j->error() != QKeychain::NoError) logOnce(j->errorString());
        finish(j->error() == QKeychain::NoError ? QString() : problemOf(j->error(), j->errorString()));
    });
    job->start();
}

void PasswordKeyring::markRefused(const QString& account, const QString& question) {
    m_refused.insert(entryKey(account, question));
}

void PasswordKeyring::forget(const QString& account) {
    const QStringList questions = questionsOf(account);
    // Out of the list at once: nothing is offered from it any more, whatever the keyring does.
    setQuestions(account, {});
    if (LabelledSecrets::usable()) LabelledSecrets::clear(account);
    for (const QString& q : questions) {
        m_refused.remove(entryKey(account, q));
        auto* job = new QKeychain::DeletePasswordJob(QString::fromLatin1(kService));
        job->setAutoDelete(true);
        job->setInsecureFallback(false);
        job->setKey(entryKey(account, q));
        connect(job, &QKeychain::Job::finished, this, [this](QKeychain::Job* j) {
            if (j->error() != QKeychain::NoError && j->error() != QKeychain::EntryNotFound) logOnce(j->errorString());
        });
        job->start();
    }
}

void PasswordKeyring::forgetUnshared(const Tunnel& gone, const TunnelList& remaining) {
    const QString account = accountOf(gone);
    if (!hasAny(account)) return;
    for (const TunnelPtr& t : remaining)
        if (t && t.get() != &gone && accountOf(*t) == account) return;
    forget(account);
}
