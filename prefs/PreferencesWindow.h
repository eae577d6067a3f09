#pragma once

#include <QDialog>
#include <functional>

// The preferences window. Every way of closing it (the close button, Escape, a program's
// close()) passes through done(), which first lets the editor finish: the window's
// "will close" moment.
class PreferencesWindow : public QDialog {
    Q_OBJECT
public:
    explicit PreferencesWindow(QWidget* parent = nullptr);

    void setWillClose(std::function<void()> handler) { m_willClose = std::move(handler); }

    void done(int result) override;

private:
    std::function<void()> m_willClose;
    bool m_closing = false;
};
