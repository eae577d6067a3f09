#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

class QThread;

// ssh's judgement of the "more ssh options" lines, on a thread of its own: ssh answers in
// milliseconds without the user's config, yet the window never waits for it. A check asked for
// while one runs follows it. Destroying the object waits for a running ssh (under its time-out).
class OptionCheck : public QObject {
    Q_OBJECT
public:
    explicit OptionCheck(QObject* parent = nullptr) : QObject(parent) {}
    ~OptionCheck() override;

    void check(const QStringList& lines);
    // The first line ssh refuses, with why, or empty; waits for ssh.
    static QString errorOf(const QStringList& lines);

Q_SIGNALS:
    void judged(const QStringList& lines, const QString& why);

private:
    void startNext();

    QThread* m_thread = nullptr;
    QStringList m_running;
    QString m_why;  // written by the thread, read once it has finished
    QStringList m_next;
    bool m_hasNext = false;
};
