#include "PreferencesWindow.h"

PreferencesWindow::PreferencesWindow(QWidget* parent) : QDialog(parent) {}

void PreferencesWindow::done(int result) {
    if (!m_closing) {
        m_closing = true;
        if (m_willClose) m_willClose();
    }
    QDialog::done(result);
}
