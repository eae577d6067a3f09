#include "AuthenticationBridge.h"

#include <QPointer>

#include "FifoAnswer.h"
#include "Log.h"
#include "PasswordKeyring.h"
#include "ProcessStat.h"
#include "PromptPresenter.h"
#include "SecretBuffer.h"

namespace {
// The caller is dbus-send, below the askpass script's shell, below ssh or a jump host's ssh -W
// below that, one more for each further jump host.
constexpr int kMaxAncestors = 16;
}  // namespace

AuthenticationBridge::AuthenticationBridge(const TunnelStore& tunnels, PasswordKeyring& keyring, QObject* parent)
    : QObject(parent), m_tunnels(tunnels), m_keyring(keyring) {}

AuthenticationBridge::Kind AuthenticationBridge::kindOf(const QString& hint) {
    if (hint == QLatin1String("none")) return Kind::Notice;
    if (hint == QLatin1String("confirm")) return Kind::Confirm;
    return Kind::Question;
}

bool AuthenticationBridge::isYesNoQuestion(const QString& query) {
    // OpenSSH since 8.0 offers the fingerprint as a third answer.
    return query.contains(QLatin1String(" (yes/no)? ")) || query.contains(QLatin1String(" (yes/no/[fingerprint])? "));
}

TunnelPtr AuthenticationBridge::tunnelNamed(const TunnelList& tunnels, const QString& name) {
    const std::string wanted = name.toStdString();
    for (const TunnelPtr& t : tunnels)
        if (t && t->connName() == wanted) return t;
    return nullptr;
}

TunnelPtr AuthenticationBridge::tunnelAbove(const TunnelList& tunnels, pid_t pid) {
    std::map<pid_t, TunnelPtr> sshes;
    for (const TunnelPtr& t : tunnels)
        if (t)
            if (pid_t p = t->run().sshPid()) sshes.emplace(p, t);
    ProcessStat stat = ProcessStat::of(pid);
    for (int step = 0; pid > 1 && stat.valid() && step < kMaxAncestors; ++step) {
        // Each ssh is a child not yet reaped, so its pid is still its own.
        if (auto it = sshes.find(pid); it != sshes.end()) return it->second;
        pid = stat.parent;
        const ProcessStat parent = ProcessStat::of(pid);
        // A parent is older than its child: a younger one took the pid of a parent gone meanwhile.
        if (parent.startTicks > stat.startTicks) return nullptr;
        stat = parent;
    }
    return nullptr;
}

TunnelPtr AuthenticationBridge::tunnelOfCaller(const TunnelList& tunnels, pid_t caller, std::int64_t connectedByNs,
                                               pid_t* asker) {
    const ProcessStat before = ProcessStat::of(caller);
    if (asker) *asker = ProcessStat::of(before.parent).parent;
    // The bus took the pid when the caller connected: a process made later holds a reused pid.
    if (!before.valid() || connectedByNs <= 0 || before.startedByNs() > connectedByNs) return nullptr;
    TunnelPtr tunnel = tunnelAbove(tunnels, caller);
    // Nor may the pid change hands during the walk.
    return ProcessStat::of(caller) == before ? tunnel : nullptr;
}

bool AuthenticationBridge::ask(const QString& query, const QString& fifo, pid_t caller, std::int64_t connectedByNs,
                               QString* error, Kind kind) {
    auto refuse = [error](const QString& why) {
        if (error) *error = why;
        return false;
    };
    if (query.isEmpty()) return refuse(QStringLiteral("no question to ask"));
    if (fifo.isEmpty()) return refuse(QStringLiteral("no pipe to answer into"));
    pid_t asker = 0;
    const TunnelPtr tunnel = tunnelOfCaller(m_tunnels.tunnels(), caller, connectedByNs, &asker);
    if (!tunnel) {
        if (m_refusalLog.shouldLog(caller, ProcessStat::bootClockNs()))
            Log::line("A question from process " + std::to_string(caller) +
                      ", which no ssh of Zandrel started, was refused");
        return refuse(QStringLiteral("only an ssh started by Zandrel may ask"));
    }
    if (!FifoAnswer::isOwnFifo(fifo)) return refuse(QStringLiteral("the answer path is no named pipe of this user"));
    const std::uint64_t run = tunnel->run().runSerial();
    if (run == 0) return refuse(QStringLiteral("the tunnel's ssh has ended"));
    forgetEndedRuns();

    if (kind == Kind::Notice) {
        // Only words to read: nothing to answer, so nothing to stop without a display.
        if (m_presenter) m_presenter->notify(tunnel, run, query, fifo);
        return true;
    }
    if (kind == Kind::Confirm) {
        if (m_presenter) {
            m_presenter->askConfirm(tunnel, run, query, fifo);
            return true;
        }
        // ssh waits for the answer: a quick "no" rather than nothing.
        Log::line(tunnel->connName() + ": " + kNoDisplayConfirm);
        FifoAnswer::send(fifo, QByteArrayLiteral("no"), [](FifoAnswer::Result) {});
        return true;
    }
    if (isYesNoQuestion(query)) {
        if (!m_presenter) {
            // Nobody can look at the key: connecting to it unseen would defeat the question.
            Log::line(tunnel->connName() + ": " + kNoDisplayHostKey);
            tunnel->run().stopWithReason(kNoDisplayHostKey);
            return true;
        }
        m_presenter->askYesNo(tunnel, run, query, fifo);
        return true;
    }
    // Each ssh of a jump host chain asks apart, maybe in the same words as another.
    askForPassword(tunnel, run, {query, QString::number(asker) + u' ' + query}, fifo);
    return true;
}

void AuthenticationBridge::forgetEndedRuns() {
    QSet<std::uint64_t> live;
    for (const TunnelPtr& t : m_tunnels.tunnels())
        if (t) live.insert(t->run().runSerial());
    std::erase_if(m_runs, [&live](const auto& entry) { return !live.contains(entry.first); });
}

void AuthenticationBridge::askForPassword(const TunnelPtr& tunnel, std::uint64_t run, const Question& q,
                                          const QString& fifo) {
    const QString& query = q.text;
    const QString account = PasswordKeyring::accountOf(*tunnel);
    Run& r = m_runs[run];
    // ssh asks the same question again in one run only after refusing the answer.
    const bool again = r.asked.contains(q.key);
    r.asked.insert(q.key);
    QString note;
    if (again) {
        if (r.remembered.contains(q.key)) m_keyring.markRefused(account, query);
        note = r.fromKeyring.contains(q.key) ? tr(kRememberedRefused) : tr(kTypedRefused);
        r.remembered.remove(q.key);
        r.fromKeyring.remove(q.key);
    } else if (PasswordKeyring::isStorable(query) && m_keyring.canAnswer(account, query)) {
        r.remembered.insert(q.key);
        r.fromKeyring.insert(q.key);
        QPointer<AuthenticationBridge> self(this);
        m_keyring.read(account, query, [self, tunnel, run, q, fifo](std::unique_ptr<SecretBuffer> secret) {
            if (!self || tunnel->run().runSerial() != run) return;  // the run ended meanwhile
            if (secret) {
                FifoAnswer::send(fifo, std::move(secret), [fifo](FifoAnswer::Result result) {
                    if (result != FifoAnswer::Result::Written)
                        Log::line("no answer given through " + fifo.toStdString() + ": " +
                                  FifoAnswer::describe(result).toStdString());
                });
                return;
            }
            // Locked, absent or refusing keyring: ask as if nothing were kept.
            if (auto it = self->m_runs.find(run); it != self->m_runs.end()) {
                it->second.remembered.remove(q.key);
                it->second.fromKeyring.remove(q.key);
            }
            self->askUser(tunnel, run, q, fifo, {});
        });
        return;
    }
    askUser(tunnel, run, q, fifo, note);
}

void AuthenticationBridge::askUser(const TunnelPtr& tunnel, std::uint64_t run, const Question& q, const QString& fifo,
                                   const QString& note) {
    const QString& query = q.text;
    if (!m_presenter) {
        Log::line(tunnel->connName() + ": " + kNoDisplayReason);
        tunnel->run().stopWithReason(kNoDisplayReason);
        return;
    }
    std::function<void(QByteArray)> remember;
    if (PasswordKeyring::isStorable(query)) {
        QPointer<AuthenticationBridge> self(this);
        const QString account = PasswordKeyring::accountOf(*tunnel);
        remember = [self, tunnel, account, q, run](QByteArray password) {
            if (!self) {
                SecretBuffer::wipe(password);
                return;
            }
            self->m_runs[run].remembered.insert(q.key);
            self->m_keyring.store(
                account, q.text, std::move(password),
                [self, tunnel, account](const QString& problem) {
                    // Told now, while the user still knows which password it was.
                    if (self && self->m_presenter && !problem.isEmpty())
                        self->m_presenter->tellKeyringProblem(tunnel, account, problem);
                },
                QString::fromStdString(tunnel->connName()));
        };
    }
    m_presenter->askPassword(tunnel, run, query, fifo, note, std::move(remember), m_keyring.storeProblem());
}
