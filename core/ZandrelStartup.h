#pragma once

#include <QDBusConnection>
#include <QString>
#include <memory>
#include <optional>

class DesktopFront;
class ZandrelCore;
class ZandrelDBusService;

// The start-up wiring between the program and its event loop: the D-Bus service with the
// single-instance check, the termination signals and the start-up steps, with the tunnels
// window's controller (the desktop program) or without (headless). main and the tests both go
// through it, so the tests run what users run.
class ZandrelStartup {
public:
    enum class Result {
        Started,             // the service holds its name on the bus
        StartedWithoutBus,   // no bus: no password prompts, no single-instance check
        OtherInstanceShown,  // another Zandrel holds the name and now shows its window
        Failed,              // another Zandrel holds the name and does not answer, or runs
                             // while this one is headless; see error()
    };

    // front: the desktop program's window controller, which must outlive this; null for the
    // headless mode (the tunnels and the D-Bus service, no window and no tray).
    explicit ZandrelStartup(ZandrelCore& core, DesktopFront* front = nullptr);
    ~ZandrelStartup();
    ZandrelStartup(const ZandrelStartup&) = delete;
    ZandrelStartup& operator=(const ZandrelStartup&) = delete;

    // Offers the service on the bus (none: no service, as in tests of the window alone), then,
    // unless another instance holds the name, has termination signals quit as the menu does and
    // runs the start-up steps (unless awake is false): the window's, or in the headless mode the
    // loading of the list, which starts the auto-connect tunnels.
    Result start(std::optional<QDBusConnection> bus, bool awake = true);

    bool isHeadless() const { return !m_front; }
    const QString& error() const { return m_error; }

private:
    ZandrelCore& m_core;
    DesktopFront* m_front;
    std::unique_ptr<ZandrelDBusService> m_service;
    QString m_error;
};
