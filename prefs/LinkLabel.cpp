#include "LinkLabel.h"

#include <QDesktopServices>
#include <QMouseEvent>
#include <QUrl>

LinkLabel::LinkLabel(QWidget* parent) : QLabel(parent) {}

void LinkLabel::setURL(const QString& url) { m_url = url; }

bool LinkLabel::openURL() const {
    if (m_url.isEmpty()) return false;
    const QUrl address(m_url, QUrl::StrictMode);
    // A relative or scheme-less text has nothing a browser could open.
    if (!address.isValid() || address.scheme().isEmpty()) return false;
    return QDesktopServices::openUrl(address);
}

void LinkLabel::mouseReleaseEvent(QMouseEvent* event) {
    openURL();
    event->accept();
}
