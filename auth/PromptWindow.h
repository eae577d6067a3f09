#pragma once

#include <QDialog>
#include <QString>
#include <cstdint>

#include "CoreDumpShield.h"
#include "Tunnel.h"

class QDialogButtonBox;
class QLabel;
class QTimer;

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
    // The ssh run that asks (Tunnel::runSerial). Once that run is over (stopped, exited, a
    // new one begun) the window closes by itself without answering; so it does when Zandrel
    // quits. 0: not tied to a run.
    void followRun(std::uint64_t serial);
    // Also closes without answering once nothing is at the fifo's path any more: the askpass
    // program removes its pipe when it ends. Needs followRun's watch.
    void closeWhenFifoGone() { m_fifoWatched = true; }
    // Whether the run that asked is still the tunnel's (always true when not tied to one).
    bool runIsCurrent() const;

    virtual void setACaption(const QString& caption) = 0;
    virtual QString caption() const = 0;

    // Centres the window on its screen and shows it in front as the active window, not modal.
    void present();
    bool answered() const { return m_answered; }

    static constexpr int kRunWatchMs = 200;

protected:
    explicit PromptWindow(QWidget* parent);
    // Hands the bytes to the pipe (never blocking) and closes the window. False when this
    // window has answered already.
    bool answerAndClose(QByteArray bytes);
    // Closes without touching the pipe. False when this window has answered already.
    bool closeWithoutAnswer();
    // For a window without a layout file: ssh's words (wrapping, selectable, named so) above
    // the buttons. Returns the label the words go into.
    QLabel* layOutWords(const QString& accessibleName, QDialogButtonBox* buttons);

private:
    QString m_fifo;
    TunnelPtr m_tunnel;
    bool m_answered = false;
    bool m_fifoWatched = false;
    std::uint64_t m_run = 0;
    QTimer* m_runWatch = nullptr;
    CoreDumpShield m_shield;  // the typed answer lives in this window
};
