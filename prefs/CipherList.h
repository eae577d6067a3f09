#pragma once

#include <QString>
#include <QStringList>
#include <optional>

// The ciphers the installed ssh offers, asked once ("ssh -Q cipher"). When ssh cannot be
// asked, OpenSSH 9's own list stands in.
class CipherList {
public:
    explicit CipherList(QString program = QStringLiteral("/usr/bin/ssh"));

    // Reads the list at the first call; later calls give the same list.
    const QStringList& ciphers();
    // Whether the built-in list stands in for ssh's answer.
    bool isFallback();

    static const QStringList& builtIn();
    // The list of the system's ssh, shared by every preferences window of the run.
    static CipherList& system();

private:
    QString m_program;
    std::optional<QStringList> m_ciphers;
    bool m_fallback = false;
};
