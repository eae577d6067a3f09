#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <mutex>
#include <optional>
#include <thread>

// The ciphers the installed ssh offers, asked once ("ssh -Q cipher") on a thread of its own:
// ssh can take seconds to answer, and the preferences window must not wait for it. When ssh
// cannot be asked, OpenSSH 9's own list stands in.
class CipherList : public QObject {
    Q_OBJECT
public:
    explicit CipherList(QString program = QStringLiteral("/usr/bin/ssh"));
    // Waits for a question still under way (bounded by its time limits).
    ~CipherList() override;

    // Starts asking at the first call; ready() follows on this object's thread.
    void fetch();
    bool isReady() const;
    // The answer once ready (empty before).
    QStringList ciphers() const;
    // Whether the built-in list stands in for ssh's answer.
    bool isFallback() const;

    static const QStringList& builtIn();
    // The list of the system's ssh, shared by every preferences window of the run.
    static CipherList& system();

Q_SIGNALS:
    void ready();

private:
    // Runs ssh and reads its list; empty when it cannot be run or answers something else.
    static QStringList ask(const QString& program);

    const QString m_program;
    std::thread m_query;
    mutable std::mutex m_mutex;  // guards m_ciphers and m_fallback against the query thread
    std::optional<QStringList> m_ciphers;
    bool m_fallback = false;
};
