#pragma once

#include <sys/types.h>

#include <QObject>
#include <QSet>
#include <QString>
#include <cstdint>
#include <map>

#include "RefusalLog.h"
#include "TunnelStore.h"
#include "UiText.h"

class PasswordKeyring;
class PromptPresenter;

// Behind the D-Bus method Authenticate: answers one question of ssh's askpass program, from the
// keyring or through the presenter (the desktop's prompt windows), and returns at once, before
// anybody answers.
class AuthenticationBridge : public QObject {
    Q_OBJECT
public:
    static constexpr const char* kNoDisplayReason = UI_TEXT("Password needed: no display to ask on");
    static constexpr const char* kNoDisplayHostKey = UI_TEXT("Unknown host key: no display to ask on");
    static constexpr const char* kRememberedRefused = QT_TR_NOOP("The remembered password was not accepted.");
    static constexpr const char* kTypedRefused = QT_TR_NOOP("The password was not accepted. Try again.");

    static constexpr const char* kNoDisplayConfirm = "Confirmation refused: no display to ask on";

    // What ssh wants of its askpass, from the hint it puts in SSH_ASKPASS_PROMPT: an answer to a
    // question (no hint), nothing but a notice shown until ssh ends the askpass ("none"), or a
    // yes or no ("confirm").
    enum class Kind { Question, Notice, Confirm };
    // Hints unknown to this version are questions, as ssh asked them before it gave hints.
    static Kind kindOf(const QString& hint);

    AuthenticationBridge(const TunnelStore& tunnels, PasswordKeyring& keyring, QObject* parent = nullptr);

    // The question of the process `caller` (as the bus names it), whose bus connection had
    // appeared by `connectedByNs` (boot clock, ns; 0 unknown). Only an ssh of Zandrel may ask: the
    // caller must run below one of the tunnels' ssh processes (through any jump host's ssh), which
    // then names the tunnel (the tunnel name the caller gives is not trusted). false with *error
    // set, and no window, for anybody else, an empty query, or a fifo that is no named pipe of
    // this user.
    bool ask(const QString& query, const QString& fifo, pid_t caller, std::int64_t connectedByNs, QString* error,
             Kind kind = Kind::Question);

    // Who asks the user; none (headless, the default) means a question with no remembered answer
    // stops its tunnel with kNoDisplayReason or kNoDisplayHostKey.
    void setPresenter(PromptPresenter* presenter) { m_presenter = presenter; }
    bool noDisplay() const { return !m_presenter; }

    // The tunnel whose running ssh is `pid` or one of its ancestors, or null.
    static TunnelPtr tunnelAbove(const TunnelList& tunnels, pid_t pid);
    // tunnelAbove() for the process the bus names, only when that pid still belongs to the process
    // that connected: started before the connection appeared, and unchanged through the walk.
    // *asker: the ssh that ran the caller's askpass program.
    static TunnelPtr tunnelOfCaller(const TunnelList& tunnels, pid_t caller, std::int64_t connectedByNs,
                                    pid_t* asker = nullptr);

    // Whether ssh asks yes or no (an unknown host key) rather than for a password.
    static bool isYesNoQuestion(const QString& query);
    // The first tunnel of that name in list order, or null.
    static TunnelPtr tunnelNamed(const TunnelList& tunnels, const QString& name);

private:
    // What one ssh run has asked so far (keyed by Question::key), to tell a question asked again (its answer refused).
    struct Run {
        QSet<QString> asked;
        QSet<QString> remembered;  // answered from the keyring, or typed with "Remember"
        QSet<QString> fromKeyring;
    };
    // ssh's words, and what tells them apart within a run (which ssh of the chain asked).
    struct Question {
        QString text;
        QString key;
    };
    void askForPassword(const TunnelPtr& tunnel, std::uint64_t run, const Question& q, const QString& fifo);
    void askUser(const TunnelPtr& tunnel, std::uint64_t run, const Question& q, const QString& fifo,
                 const QString& note);
    void forgetEndedRuns();

    const TunnelStore& m_tunnels;
    PasswordKeyring& m_keyring;
    PromptPresenter* m_presenter = nullptr;
    std::map<std::uint64_t, Run> m_runs;
    RefusalLog m_refusalLog;
};
