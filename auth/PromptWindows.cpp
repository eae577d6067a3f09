#include "PromptWindows.h"

#include "AuthenticationBridge.h"
#include "HostKeyPrompt.h"
#include "PasswordPrompt.h"

PromptWindow* PromptWindows::makeWindow(const TunnelList& tunnels, const QString& query, const QString& tunnelName,
                                        const QString& fifo) {
    TunnelPtr tunnel = AuthenticationBridge::tunnelNamed(tunnels, tunnelName);
    PromptWindow* window = nullptr;
    if (AuthenticationBridge::isYesNoQuestion(query))
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
    PromptWindow* window = makeWindow({tunnel}, query, QString::fromStdString(tunnel->connName()), fifo);
    window->followRun(run);
    window->present();
}

void PromptWindows::askPassword(const TunnelPtr& tunnel, std::uint64_t run, const QString& query, const QString& fifo,
                                const QString& note, std::function<void(QByteArray)> remember) {
    auto* window =
        static_cast<PasswordPrompt*>(makeWindow({tunnel}, query, QString::fromStdString(tunnel->connName()), fifo));
    window->setNote(note);
    if (remember) window->offerToRemember(std::move(remember));
    window->followRun(run);
    window->present();
}
