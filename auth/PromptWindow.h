#pragma once

#include <QDialog>
#include <QString>

#include "ROZUdivev.h"

// What both prompt windows share: the pipe to answer into, the asking tunnel, placement, and
// answering at most once. A window deletes itself when closed; nobody else keeps it.
class PromptWindow : public QDialog {
    Q_OBJECT
public:
    void setFifo(const QString& fifo) { m_fifo = fifo; }
    QString fifo() const { return m_fifo; }
    // May be null: a question whose tunnel name matches no tunnel.
    void setTunnel(TunnelPtr tunnel) { m_tunnel = std::move(tunnel); }
    TunnelPtr tunnel() const { return m_tunnel; }

    virtual void setACaption(const QString& caption) = 0;
    virtual QString caption() const = 0;

    // Centres the window on its screen and shows it in front as the active window, not modal.
    void present();
    bool answered() const { return m_answered; }

protected:
    explicit PromptWindow(QWidget* parent);
    // Hands the bytes to the pipe (never blocking) and closes the window. False when this
    // window has answered already.
    bool answerAndClose(QByteArray bytes);
    // Closes without touching the pipe. False when this window has answered already.
    bool closeWithoutAnswer();

private:
    QString m_fifo;
    TunnelPtr m_tunnel;
    bool m_answered = false;
};
