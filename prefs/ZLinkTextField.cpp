#include "ZLinkTextField.h"

#include <QDesktopServices>
#include <QMouseEvent>
#include <QUrl>

ZLinkTextField::ZLinkTextField(QWidget* parent) : QLabel(parent) {}

void ZLinkTextField::setURL(const QString& url) { m_url = url; }

bool ZLinkTextField::openURL() const {
    if (m_url.isEmpty()) return false;
    const QUrl address(m_url, QUrl::StrictMode);
    // A relative or scheme-less text has nothing a browser could open.
    if (!address.isValid() || address.scheme().isEmpty()) return false;
    return QDesktopServices::openUrl(address);
}

void ZLinkTextField::mouseReleaseEvent(QMouseEvent* event) {
    openURL();
    event->accept();
}
