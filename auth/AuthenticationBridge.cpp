#include "AuthenticationBridge.h"

#include "passWindowController.h"
#include "ynWindowController.h"

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

PromptWindow* AuthenticationBridge::makeWindow(const TunnelList& tunnels, const QString& query,
                                               const QString& tunnelName, const QString& fifo) {
    TunnelPtr tunnel = tunnelNamed(tunnels, tunnelName);
    PromptWindow* window = nullptr;
    if (isYesNoQuestion(query))
        window = new ynWindowController;
    else
        window = new passWindowController;
    window->setFifo(fifo);
    window->setTunnel(tunnel);
    // A tunnel renamed while its ssh runs matches nothing: the name ssh was started with still
    // tells the user who asks.
    window->setWindowTitle(tunnel ? QString::fromStdString(tunnel->connName()) : tunnelName);
    window->setACaption(query);
    return window;
}

bool AuthenticationBridge::authenticate(const TunnelList& tunnels, const QString& query, const QString& tunnelName,
                                        const QString& fifo, QString* error) {
    if (query.isEmpty() || fifo.isEmpty()) {
        if (error)
            *error = query.isEmpty() ? QStringLiteral("no question to ask") : QStringLiteral("no pipe to answer into");
        return false;
    }
    makeWindow(tunnels, query, tunnelName, fifo)->present();
    return true;
}
