#include "PreferencesController.h"

#include <QDialog>

// Placeholder until the editor lands: an empty modal window.
PreferencesController::PreferencesController(TunnelList& tunnels, Defaults& defaults, QWidget* parent)
    : m_tunnels(tunnels), m_defaults(defaults), m_parent(parent) {}

PreferencesController::~PreferencesController() = default;

int PreferencesController::exec() {
    QDialog dialog(m_parent);
    dialog.setWindowTitle(QStringLiteral("Preferences"));
    return dialog.exec();
}
