#pragma once

#include <QString>

#include "AuthenticationBridge.h"
#include "PromptPresenter.h"

class PromptWindow;

// The desktop's presenter: one window per question, none of them modal, each closing with its
// ssh run.
class PromptWindows : public PromptPresenter {
public:
    void askYesNo(const TunnelPtr& tunnel, std::uint64_t run, const QString& query, const QString& fifo) override;
    void askPassword(const TunnelPtr& tunnel, std::uint64_t run, const QString& query, const QString& fifo,
                     const QString& note, std::function<void(QByteArray)> remember,
                     const QString& keyringProblem = {}) override;
    void tellKeyringProblem(const TunnelPtr& tunnel, const QString& account, const QString& problem) override;
    void notify(const TunnelPtr& tunnel, std::uint64_t run, const QString& query, const QString& fifo) override;
    void askConfirm(const TunnelPtr& tunnel, std::uint64_t run, const QString& query, const QString& fifo) override;

    // The window for one question, set up but not shown; owned by nobody once shown.
    static PromptWindow* makeWindow(const TunnelList& tunnels, const QString& query, const QString& tunnelName,
                                    const QString& fifo,
                                    AuthenticationBridge::Kind kind = AuthenticationBridge::Kind::Question);
    // The window path alone, trusting the name given (no caller check, no keyring).
    // false (with *error set) for an empty query or fifo; no window is opened then.
    static bool authenticate(const TunnelList& tunnels, const QString& query, const QString& tunnelName,
                             const QString& fifo, QString* error);
};
