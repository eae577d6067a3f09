#pragma once

#include <string>

#include "Subprocess.h"
#include "TempDir.h"

namespace testsupport {

// A GNOME Keyring daemon (Secret Service only) on the current session bus, unlocked, its keyrings
// in a temporary home and its control socket there too, never the user's. Stopped with this object.
class GnomeKeyring {
public:
    static bool available();
    // Starts the daemon and waits until org.freedesktop.secrets answers. False: error().
    bool start();
    // Locks the login keyring, as a screen lock or a timeout would.
    bool lock();
    const std::string& error() const { return m_error; }

private:
    TempDir m_home{"zandrel-keyring-home"};
    Subprocess m_daemon;
    std::string m_error;
};

}  // namespace testsupport
