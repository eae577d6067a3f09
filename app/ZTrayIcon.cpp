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

ZTrayIcon::State ZTrayIcon::stateFor(int running, int connected) {
    if (running <= 0 || connected <= 0) return State::None;
    return connected >= running ? State::All : State::Some;
}

void ZTrayIcon::setState(State state, int running, int connected) {
    const QString tip = running == 0
                            ? QStringLiteral("Zandrel: no tunnel running")
                            : QStringLiteral("Zandrel: %1 of %2 running tunnels connected").arg(connected).arg(running);
    if (tip != m_icon->toolTip()) m_icon->setToolTip(tip);
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
