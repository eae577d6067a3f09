#include "ZTrayIcon.h"

#include <QAction>
#include <QMenu>
#include <QSystemTrayIcon>

#include "ZImage.h"

ZTrayIcon::ZTrayIcon(const QList<QAction*>& actions, QObject* parent) : QObject(parent), m_menu(new QMenu) {
    for (QAction* a : actions) {
        if (a)
            m_menu->addAction(a);
        else
            m_menu->addSeparator();
    }
    m_icon = new QSystemTrayIcon(ZImage::named(imageName(m_state)), this);
    m_icon->setContextMenu(m_menu);
    m_icon->setToolTip(QStringLiteral("Zandrel"));
    connect(m_icon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger) Q_EMIT activated();
    });
}

ZTrayIcon::~ZTrayIcon() {
    delete m_icon;
    delete m_menu;
}

bool ZTrayIcon::show() {
    if (!QSystemTrayIcon::isSystemTrayAvailable()) return false;
    m_icon->show();
    return true;
}

bool ZTrayIcon::isShown() const { return m_icon && m_icon->isVisible(); }

ZTrayIcon::State ZTrayIcon::stateFor(int wanted, int connected) {
    if (wanted <= 0) return State::None;
    return connected >= wanted ? State::All : State::Some;
}

QString ZTrayIcon::toolTip() const { return m_icon ? m_icon->toolTip() : QString(); }

void ZTrayIcon::setState(State state, const QString& toolTip) {
    if (toolTip != m_icon->toolTip()) m_icon->setToolTip(toolTip);
    if (state == m_state) return;
    m_state = state;
    m_icon->setIcon(ZImage::named(imageName(state)));
}

const char* ZTrayIcon::imageName(State state) {
    switch (state) {
        case State::Some:
            return "middleState";
        case State::All:
            return "onState";
        case State::None:
            break;
    }
    return "offState";
}
