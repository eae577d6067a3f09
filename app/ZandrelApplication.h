#pragma once

#include <QApplication>
#include <QDialog>
#include <QPointer>
#include <QString>
#include <memory>
#include <optional>
#include <string>

#include "Defaults.h"
#include "PromptWindows.h"
#include "Tunnel.h"
#include "ZandrelCore.h"

// The application object: owns the core of the run (preferences store, tunnel list), answers the D-Bus commands that
// concern the whole application, quits when asked (never refusing) and shows the About dialog.
class ZandrelApplication : public QApplication {
    Q_OBJECT
public:
    static constexpr const char* kHomePage = "https://zandrel.org/";

    // defaultsPath: the preferences file; empty means the user's standard one.
    ZandrelApplication(int& argc, char** argv, const std::string& defaultsPath = {});
    ~ZandrelApplication() override;

    // The running application object, or nullptr.
    static ZandrelApplication* app();

    ZandrelCore& core() { return m_core; }
    Defaults& defaults() { return m_core.defaults(); }
    // The tunnel list, made from the stored "tunnels" at the first call (which starts the
    // auto-connect tunnels) and the same list object ever after.
    TunnelStore& tunnels() { return m_core.tunnels(); }
    bool tunnelsLoaded() const { return m_core.tunnelsLoaded(); }

    // Remembered passwords (the Forget button, the tests).
    PasswordKeyring& keyring() { return m_core.keyring(); }

    // Quits at once; nothing can refuse it. The quit steps run on aboutToQuit.
    void terminate();
    // The scripted quit: its arguments are not examined.
    void handleQuitScriptCommand();
    void quitOnTerminationSignals() { m_core.quitOnTerminationSignals(); }

    // The About dialog, with the build number in upper-case hexadecimal as its "Version".
    void orderFrontStandardAboutPanel(QWidget* parent = nullptr);
    QDialog* aboutPanel() const { return m_about; }
    // "CFBundleVersion"'s leading decimal digits as upper-case hexadecimal: 26 -> "1A", "1.2.3" -> "1",
    // none -> "0".
    static QString aboutVersion();

private:
    PromptWindows m_prompts;  // before the core, whose bridge points to it
    ZandrelCore m_core;
    QPointer<QDialog> m_about;
};
