#include "AuthenticationBridge.h"

#include <QPointer>
#include <cstdio>
#include <fstream>

#include "FifoAnswer.h"
#include "Log.h"
#include "PasswordKeyring.h"
#include "PromptPresenter.h"
#include "SecretBuffer.h"

namespace {
// The caller is dbus-send, below the askpass script's shell, below ssh: a few steps at most.
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

pid_t AuthenticationBridge::parentOf(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // "pid (comm) state ppid …": the name may hold blanks and parentheses, so read after the last ')'.
    const auto close = text.rfind(')');
    if (close == std::string::npos) return 0;
    char state = 0;
    long ppid = 0;
    if (std::sscanf(text.c_str() + close + 1, " %c %ld", &state, &ppid) != 2) return 0;
    return static_cast<pid_t>(ppid);
}

TunnelPtr AuthenticationBridge::tunnelAbove(const TunnelList& tunnels, pid_t pid) {
    std::map<pid_t, TunnelPtr> sshes;
    for (const TunnelPtr& t : tunnels)
        if (t)
            if (pid_t p = t->run().sshPid()) sshes.emplace(p, t);
    for (int step = 0; pid > 1 && step < kMaxAncestors; ++step, pid = parentOf(pid))
        if (auto it = sshes.find(pid); it != sshes.end()) return it->second;
    return nullptr;
}

bool AuthenticationBridge::ask(const QString& query, const QString& fifo, pid_t caller, QString* error, Kind kind) {
    auto refuse = [error](const QString& why) {
        if (error) *error = why;
        return false;
    };
    if (query.isEmpty()) return refuse(QStringLiteral("no question to ask"));
    if (fifo.isEmpty()) return refuse(QStringLiteral("no pipe to answer into"));
    const TunnelPtr tunnel = caller > 0 ? tunnelAbove(m_tunnels.tunnels(), caller) : nullptr;
    if (!tunnel) {
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
    askForPassword(tunnel, run, query, fifo);
    return true;
}

void AuthenticationBridge::forgetEndedRuns() {
    QSet<std::uint64_t> live;
    for (const TunnelPtr& t : m_tunnels.tunnels())
        if (t) live.insert(t->run().runSerial());
    std::erase_if(m_runs, [&live](const auto& entry) { return !live.contains(entry.first); });
}

void AuthenticationBridge::askForPassword(const TunnelPtr& tunnel, std::uint64_t run, const QString& query,
                                          const QString& fifo) {
    const QString account = PasswordKeyring::accountOf(*tunnel);
    Run& r = m_runs[run];
    // ssh asks the same question again in one run only after refusing the answer.
    const bool again = r.asked.contains(query);
    r.asked.insert(query);
    QString note;
    if (again) {
        if (r.remembered.contains(query)) m_keyring.markRefused(account, query);
        note = r.fromKeyring.contains(query) ? tr(kRememberedRefused) : tr(kTypedRefused);
        r.remembered.remove(query);
        r.fromKeyring.remove(query);
    } else if (PasswordKeyring::isStorable(query) && m_keyring.canAnswer(account, query)) {
        r.remembered.insert(query);
        r.fromKeyring.insert(query);
        QPointer<AuthenticationBridge> self(this);
        m_keyring.read(account, query, [self, tunnel, run, query, fifo](std::unique_ptr<SecretBuffer> secret) {
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
                it->second.remembered.remove(query);
                it->second.fromKeyring.remove(query);
            }
            self->askUser(tunnel, run, query, fifo, {});
        });
        return;
    }
    askUser(tunnel, run, query, fifo, note);
}

void AuthenticationBridge::askUser(const TunnelPtr& tunnel, std::uint64_t run, const QString& query,
                                   const QString& fifo, const QString& note) {
    if (!m_presenter) {
        Log::line(tunnel->connName() + ": " + kNoDisplayReason);
        tunnel->run().stopWithReason(kNoDisplayReason);
        return;
    }
    std::function<void(QByteArray)> remember;
    if (PasswordKeyring::isStorable(query)) {
        QPointer<AuthenticationBridge> self(this);
        const QString account = PasswordKeyring::accountOf(*tunnel);
        remember = [self, tunnel, account, query, run](QByteArray password) {
            if (!self) {
                SecretBuffer::wipe(password);
                return;
            }
            self->m_runs[run].remembered.insert(query);
            self->m_keyring.store(
                account, query, std::move(password),
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
