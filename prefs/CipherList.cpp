#include "CipherList.h"

#include <QProcess>
#include <QRegularExpression>

CipherList::CipherList(QString program) : m_program(std::move(program)) {}

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

const QStringList& CipherList::ciphers() {
    if (m_ciphers) return *m_ciphers;
    QStringList found;
    QProcess ssh;
    ssh.setProcessChannelMode(QProcess::SeparateChannels);
    ssh.start(m_program, {QStringLiteral("-Q"), QStringLiteral("cipher")}, QIODevice::ReadOnly);
    if (ssh.waitForStarted(3000) && ssh.waitForFinished(5000) && ssh.exitStatus() == QProcess::NormalExit &&
        ssh.exitCode() == 0) {
        // One cipher name per line; anything else means this is not the answer we asked for.
        static const QRegularExpression name(QStringLiteral("^[A-Za-z0-9][A-Za-z0-9@._+-]*$"));
        const QString out = QString::fromLocal8Bit(ssh.readAllStandardOutput());
        for (const QString& line : out.split(u'\n', Qt::SkipEmptyParts)) {
            const QString c = line.trimmed();
            if (c.isEmpty()) continue;
            if (!name.match(c).hasMatch()) {
                found.clear();
                break;
            }
            if (!found.contains(c)) found << c;
        }
    } else if (ssh.state() != QProcess::NotRunning) {
        ssh.kill();
        ssh.waitForFinished(1000);
    }
    m_fallback = found.isEmpty();
    m_ciphers = m_fallback ? builtIn() : found;
    return *m_ciphers;
}

bool CipherList::isFallback() {
    ciphers();
    return m_fallback;
}
