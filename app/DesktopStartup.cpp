#include "DesktopStartup.h"

#include "DARAdivazUda.h"
#include "Zandrel.h"

DesktopStartup::DesktopStartup(DARAdivazUda& app)
    : m_controller(std::make_unique<Zandrel>(app)),
      m_startup(std::make_unique<ZandrelStartup>(app.core(), m_controller.get())) {}

// The D-Bus service refers to the controller: it goes first.
DesktopStartup::~DesktopStartup() {
    m_startup.reset();
    m_controller.reset();
}
