#pragma once

#include <QDBusConnection>
#include <QString>
#include <memory>
#include <optional>

#include "ZandrelStartup.h"

class ZandrelApplication;
class TunnelsWindowController;

// The desktop program's start-up: the tunnels window's controller (loaded hidden) over the
// core's start-up wiring.
class DesktopStartup {
public:
    explicit DesktopStartup(ZandrelApplication& app);
    ~DesktopStartup();
    DesktopStartup(const DesktopStartup&) = delete;
    DesktopStartup& operator=(const DesktopStartup&) = delete;

    // As ZandrelStartup::start, with the window's start-up steps.
    ZandrelStartup::Result start(std::optional<QDBusConnection> bus, bool awake = true) {
        return m_startup->start(std::move(bus), awake);
    }
    TunnelsWindowController& controller() const { return *m_controller; }
    const QString& error() const { return m_startup->error(); }

private:
    std::unique_ptr<TunnelsWindowController> m_controller;
    std::unique_ptr<ZandrelStartup> m_startup;
};
