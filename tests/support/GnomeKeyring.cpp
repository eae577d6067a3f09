#include "GnomeKeyring.h"

#include <unistd.h>

#include <chrono>
#include <thread>

#include "Wait.h"

namespace testsupport {

namespace {
int busCall(const std::vector<std::string>& args, std::string* output) {
    std::vector<std::string> argv{"dbus-send", "--session", "--print-reply"};
    argv.insert(argv.end(), args.begin(), args.end());
    return Subprocess::run(argv, output, {}, 10000);
}
}  // namespace

bool GnomeKeyring::available() { return access("/usr/bin/gnome-keyring-daemon", X_OK) == 0; }

bool GnomeKeyring::start() {
    Subprocess::Options options;
    options.setEnv = {"HOME=" + m_home.path(), "XDG_DATA_HOME=" + m_home.path() + "/data",
                      "XDG_CONFIG_HOME=" + m_home.path() + "/config", "XDG_CACHE_HOME=" + m_home.path() + "/cache"};
    options.unsetEnv = {"XDG_RUNTIME_DIR"};
    options.input = "keyring test password";  // --unlock reads it: the login keyring is made unlocked
    if (!m_daemon.start({"gnome-keyring-daemon", "--foreground", "--unlock", "--components=secrets"}, options)) {
        m_error = m_daemon.error();
        return false;
    }
    const auto onTheBus = [] {
        std::string out;
        return busCall({"--dest=org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner",
                        "string:org.freedesktop.secrets"},
                       &out) == 0 &&
               out.find("boolean true") != std::string::npos;
    };
    if (waitUntil(onTheBus, std::chrono::seconds(10),
                  [] { std::this_thread::sleep_for(std::chrono::milliseconds(50)); }))
        return true;
    m_error = "gnome-keyring-daemon did not appear on the bus: " + m_daemon.output();
    return false;
}

bool GnomeKeyring::lock() {
    std::string out;
    const int rc =
        busCall({"--dest=org.freedesktop.secrets", "/org/freedesktop/secrets", "org.freedesktop.Secret.Service.Lock",
                 "array:objpath:/org/freedesktop/secrets/collection/login"},
                &out);
    if (rc != 0) m_error = out;
    return rc == 0;
}

}  // namespace testsupport
