#include "DesktopStartup.h"

#include "TunnelsWindowController.h"
#include "ZandrelApplication.h"

DesktopStartup::DesktopStartup(ZandrelApplication& app)
    : m_controller(std::make_unique<TunnelsWindowController>(app)),
      m_startup(std::make_unique<ZandrelStartup>(app.core(), m_controller.get())) {}

// The D-Bus service refers to the controller: it goes first.
DesktopStartup::~DesktopStartup() {
    m_startup.reset();
    m_controller.reset();
}
