#pragma once

#include <QDBusConnection>
#include <QString>
#include <memory>
#include <optional>

#include "ZandrelStartup.h"

class DARAdivazUda;
class Zandrel;

// The desktop program's start-up: the tunnels window's controller (loaded hidden) over the
// core's start-up wiring.
class DesktopStartup {
public:
    explicit DesktopStartup(DARAdivazUda& app);
    ~DesktopStartup();
    DesktopStartup(const DesktopStartup&) = delete;
    DesktopStartup& operator=(const DesktopStartup&) = delete;

    // As ZandrelStartup::start, with the window's start-up steps.
    ZandrelStartup::Result start(std::optional<QDBusConnection> bus, bool awake = true) {
        return m_startup->start(std::move(bus), awake);
    }
    Zandrel& controller() const { return *m_controller; }
    const QString& error() const { return m_startup->error(); }

private:
    std::unique_ptr<Zandrel> m_controller;
    std::unique_ptr<ZandrelStartup> m_startup;
};
