#include "PromptWindows.h"

#include <QCoreApplication>

#include "AuthenticationBridge.h"
#include "ConfirmPrompt.h"
#include "HostKeyPrompt.h"
#include "NoticePrompt.h"
#include "PasswordPrompt.h"

namespace {
// The window for a question of that run, which closes when the run ends; not shown yet.
PromptWindow* windowForRun(const TunnelPtr& tunnel, std::uint64_t run, const QString& query, const QString& fifo,
                           AuthenticationBridge::Kind kind = AuthenticationBridge::Kind::Question) {
    PromptWindow* window =
        PromptWindows::makeWindow({tunnel}, query, QString::fromStdString(tunnel->connName()), fifo, kind);
    window->followRun(run);
    return window;
}
}  // namespace

PromptWindow* PromptWindows::makeWindow(const TunnelList& tunnels, const QString& query, const QString& tunnelName,
                                        const QString& fifo, AuthenticationBridge::Kind kind) {
    TunnelPtr tunnel = AuthenticationBridge::tunnelNamed(tunnels, tunnelName);
    PromptWindow* window = nullptr;
    if (kind == AuthenticationBridge::Kind::Notice)
        window = new NoticePrompt;
    else if (kind == AuthenticationBridge::Kind::Confirm)
        window = new ConfirmPrompt;
    else if (AuthenticationBridge::isYesNoQuestion(query))
        window = new HostKeyPrompt;
    else
        window = new PasswordPrompt;
    window->setFifo(fifo);
    window->setTunnel(tunnel);
    // A tunnel renamed while its ssh runs matches nothing: the name ssh was started with still
    // tells the user who asks.
    window->setWindowTitle(tunnel ? QString::fromStdString(tunnel->connName()) : tunnelName);
    window->setACaption(query);
    return window;
}

bool PromptWindows::authenticate(const TunnelList& tunnels, const QString& query, const QString& tunnelName,
                                 const QString& fifo, QString* error) {
    if (query.isEmpty() || fifo.isEmpty()) {
        if (error)
            *error = query.isEmpty() ? QStringLiteral("no question to ask") : QStringLiteral("no pipe to answer into");
        return false;
    }
    makeWindow(tunnels, query, tunnelName, fifo)->present();
    return true;
}

void PromptWindows::askYesNo(const TunnelPtr& tunnel, std::uint64_t run, const QString& query, const QString& fifo) {
    windowForRun(tunnel, run, query, fifo)->present();
}

void PromptWindows::askPassword(const TunnelPtr& tunnel, std::uint64_t run, const QString& query, const QString& fifo,
                                const QString& note, std::function<void(QByteArray)> remember,
                                const QString& keyringProblem) {
    auto* window = static_cast<PasswordPrompt*>(windowForRun(tunnel, run, query, fifo));
    window->setNote(note);
    if (remember) window->offerToRemember(std::move(remember), keyringProblem);
    window->present();
}

void PromptWindows::notify(const TunnelPtr& tunnel, std::uint64_t run, const QString& query, const QString& fifo) {
    PromptWindow* window = windowForRun(tunnel, run, query, fifo, AuthenticationBridge::Kind::Notice);
    window->closeWhenFifoGone();
    window->present();
}

void PromptWindows::askConfirm(const TunnelPtr& tunnel, std::uint64_t run, const QString& query, const QString& fifo) {
    windowForRun(tunnel, run, query, fifo, AuthenticationBridge::Kind::Confirm)->present();
}

void PromptWindows::tellKeyringProblem(const TunnelPtr& tunnel, const QString& account, const QString& problem) {
    // Not tied to a run or a pipe: it stays until the user has read it.
    auto* window = new NoticePrompt;
    window->setWindowTitle(QString::fromStdString(tunnel->connName()));
    window->setAccessibleName(QCoreApplication::translate("PromptWindows", "Password not remembered"));
    window->setACaption(
        QCoreApplication::translate("PromptWindows", "The password for %1 was used but not remembered: %2.")
            .arg(account, problem));
    window->present();
}
