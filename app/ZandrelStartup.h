#pragma once

#include <QDBusConnection>
#include <QString>
#include <memory>
#include <optional>

class DARAdivazUda;
class Zandrel;
class ZandrelDBusService;

// The start-up wiring between the application object and its event loop: the tunnels window
// controller, the D-Bus service with the single-instance check, and the controller's start-up
// steps. main and the tests both go through it, so the tests run what users run.
class ZandrelStartup {
public:
    enum class Result {
        Started,             // the service holds its name on the bus
        StartedWithoutBus,   // no bus: no password prompts, no single-instance check
        OtherInstanceShown,  // another Zandrel holds the name and now shows its window
        Failed,              // another Zandrel holds the name and does not answer; see error()
    };

    // Loads the tunnels window, hidden.
    explicit ZandrelStartup(DARAdivazUda& app);
    ~ZandrelStartup();
    ZandrelStartup(const ZandrelStartup&) = delete;
    ZandrelStartup& operator=(const ZandrelStartup&) = delete;

    // Offers the service on the bus (none: no service, as in tests of the window alone), then,
    // unless another instance holds the name, has termination signals quit as the menu does and
    // runs the controller's start-up steps (unless awake is false).
    Result start(std::optional<QDBusConnection> bus, bool awake = true);

    Zandrel& controller() const { return *m_controller; }
    const QString& error() const { return m_error; }

private:
    DARAdivazUda& m_app;
    std::unique_ptr<Zandrel> m_controller;
    std::unique_ptr<ZandrelDBusService> m_service;
    QString m_error;
};
