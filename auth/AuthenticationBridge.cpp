#include "AuthenticationBridge.h"

// Placeholder until the prompt windows land: every question is answered with an error.
bool AuthenticationBridge::authenticate(const TunnelList&, const QString&, const QString&, const QString&,
                                        QString* error) {
    if (error) *error = QStringLiteral("prompts are not available in this build");
    return false;
}
