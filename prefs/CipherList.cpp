#include "CipherList.h"

#include <QMetaObject>
#include <QProcess>
#include <QRegularExpression>

CipherList::CipherList(QString program) : m_program(std::move(program)) {}

CipherList::~CipherList() {
    if (m_query.joinable()) m_query.join();
}

const QStringList& CipherList::builtIn() {
    static const QStringList list{QStringLiteral("3des-cbc"),
                                  QStringLiteral("aes128-cbc"),
                                  QStringLiteral("aes192-cbc"),
                                  QStringLiteral("aes256-cbc"),
                                  QStringLiteral("aes128-ctr"),
                                  QStringLiteral("aes192-ctr"),
                                  QStringLiteral("aes256-ctr"),
                                  QStringLiteral("aes128-gcm@openssh.com"),
                                  QStringLiteral("aes256-gcm@openssh.com"),
                                  QStringLiteral("chacha20-poly1305@openssh.com")};
    return list;
}

CipherList& CipherList::system() {
    static CipherList list;
    return list;
}

void CipherList::fetch() {
    if (m_query.joinable()) return;
    m_query = std::thread([this] {
        const QStringList found = ask(m_program);
        {
            std::lock_guard lock(m_mutex);
            m_fallback = found.isEmpty();
            m_ciphers = m_fallback ? builtIn() : found;
        }
        // Queued: delivered on the GUI thread, and dropped if this object is gone by then.
        QMetaObject::invokeMethod(
            this, [this] { Q_EMIT ready(); }, Qt::QueuedConnection);
    });
}

bool CipherList::isReady() const {
    std::lock_guard lock(m_mutex);
    return m_ciphers.has_value();
}

QStringList CipherList::ciphers() const {
    std::lock_guard lock(m_mutex);
    return m_ciphers.value_or(QStringList());
}

bool CipherList::isFallback() const {
    std::lock_guard lock(m_mutex);
    return m_fallback;
}

QStringList CipherList::ask(const QString& program) {
    QStringList found;
    QProcess ssh;
    ssh.setProcessChannelMode(QProcess::SeparateChannels);
    ssh.start(program, {QStringLiteral("-Q"), QStringLiteral("cipher")}, QIODevice::ReadOnly);
    if (ssh.waitForStarted(3000) && ssh.waitForFinished(5000) && ssh.exitStatus() == QProcess::NormalExit &&
        ssh.exitCode() == 0) {
        // One cipher name per line; anything else means this is not the answer we asked for.
        static const QRegularExpression name(QStringLiteral("^[A-Za-z0-9][A-Za-z0-9@._+-]*$"));
        const QString out = QString::fromLocal8Bit(ssh.readAllStandardOutput());
        for (const QString& line : out.split(u'\n', Qt::SkipEmptyParts)) {
            const QString c = line.trimmed();
            if (c.isEmpty()) continue;
            if (!name.match(c).hasMatch()) return {};
            if (!found.contains(c)) found << c;
        }
    } else if (ssh.state() != QProcess::NotRunning) {
        ssh.kill();
        ssh.waitForFinished(1000);
    }
    return found;
}
