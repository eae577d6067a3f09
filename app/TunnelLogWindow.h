#pragma once

#include <QTimer>
#include <QWidget>
#include <memory>

#include "Tunnel.h"

class QPlainTextEdit;
class QPushButton;

// "Log": one tunnel's ssh output across runs, following it live, with Copy All. It holds the
// tunnel weakly, so a deleted tunnel's window shows what was there and nothing more.
class TunnelLogWindow : public QWidget {
    Q_OBJECT
public:
    // How often the window looks for new lines.
    static constexpr int kFollowMs = 250;

    explicit TunnelLogWindow(const TunnelPtr& tunnel, QWidget* parent = nullptr);

    QPlainTextEdit* text() const { return m_text; }
    QPushButton* copyAllButton() const { return m_copy; }
    // Shows what the log keeps when it changed; the view stays at the end when it was there.
    void follow();

private:
    std::weak_ptr<Tunnel> m_tunnel;
    QPlainTextEdit* m_text;
    QPushButton* m_copy;
    QTimer m_timer;
    unsigned long long m_seen = 0;
};
