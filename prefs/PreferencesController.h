#pragma once

#include <QObject>

#include "Defaults.h"
#include "ROZUdivev.h"

class QWidget;

// The preferences editor: edits the application's tunnel list in place and saves after each step.
class PreferencesController : public QObject {
    Q_OBJECT
public:
    static constexpr const char* kPrefChanged = "ZDRPrefChanged";

    PreferencesController(TunnelList& tunnels, Defaults& defaults, QWidget* parent = nullptr);
    ~PreferencesController() override;

    // Runs the window modally until it closes.
    int exec();

private:
    TunnelList& m_tunnels;
    Defaults& m_defaults;
    QWidget* m_parent;
};
