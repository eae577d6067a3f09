#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <functional>

#include "Tunnel.h"

// Puts ssh's questions to the user. The desktop program shows windows; without one (headless)
// there is no presenter, and only remembered answers can be given.
class PromptPresenter {
public:
    virtual ~PromptPresenter() = default;

    // An unknown host key: yes or no, written into fifo. The question goes with the run: it is
    // withdrawn when that ssh ends.
    virtual void askYesNo(const TunnelPtr& tunnel, std::uint64_t run, const QString& query, const QString& fifo) = 0;
    // A password or passphrase, with a note above it (empty for none). remember, when set, is
    // offered to the user and called with the password the user asked to keep; keyringProblem,
    // when set, is why the keyring failed last time, and the offer is shown refused with it.
    virtual void askPassword(const TunnelPtr& tunnel, std::uint64_t run, const QString& query, const QString& fifo,
                             const QString& note, std::function<void(QByteArray)> remember,
                             const QString& keyringProblem = {}) = 0;
    // The keyring did not keep the password the user asked it to keep, and why.
    virtual void tellKeyringProblem(const TunnelPtr& tunnel, const QString& account, const QString& problem) = 0;
    // ssh's words alone, with nothing to answer (touch a security key): shown until ssh ends the
    // askpass, which removes fifo, or the run ends.
    virtual void notify(const TunnelPtr& tunnel, std::uint64_t run, const QString& query, const QString& fifo) = 0;
    // A yes or no of ssh's own (a shared connection, say), written into fifo as "yes" or "no".
    virtual void askConfirm(const TunnelPtr& tunnel, std::uint64_t run, const QString& query, const QString& fifo) = 0;
};
