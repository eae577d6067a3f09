#include "PromptWindow.h"

#include <QCursor>
#include <QDialogButtonBox>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>

#include "FifoAnswer.h"
#include "Log.h"
#include "SecretBuffer.h"

PromptWindow::PromptWindow(QWidget* parent) : QDialog(parent) {
    setAttribute(Qt::WA_DeleteOnClose);
    setModal(false);
    // A question that nobody can answer any more must not stay on screen.
    connect(qApp, &QCoreApplication::aboutToQuit, this, [this] { closeWithoutAnswer(); });
}

void PromptWindow::followRun(std::uint64_t serial) {
    m_run = serial;
    if (!m_runWatch) {
        // The run ends on the engine's loop thread; a look from the GUI thread a few times a second
        // needs no hand-over, and costs nothing while no question is open.
        m_runWatch = new QTimer(this);
        m_runWatch->setInterval(kRunWatchMs);
        connect(m_runWatch, &QTimer::timeout, this, [this] {
            if (!runIsCurrent() || (m_fifoWatched && !QFileInfo::exists(m_fifo))) closeWithoutAnswer();
        });
    }
    m_runWatch->start();
}

bool PromptWindow::runIsCurrent() const { return m_run == 0 || (m_tunnel && m_tunnel->run().runSerial() == m_run); }

void PromptWindow::present() {
    adjustSize();
    QScreen* screen = QGuiApplication::screenAt(QCursor::pos());
    if (!screen) screen = QGuiApplication::primaryScreen();
    if (screen) {
        QRect r = rect();
        r.moveCenter(screen->availableGeometry().center());
        move(r.topLeft());
    }
    show();
    raise();
    activateWindow();
}

bool PromptWindow::answerAndClose(QByteArray bytes) {
    if (m_answered) return false;
    if (!runIsCurrent()) {
        // Its ssh is gone: the answer would reach nobody, or a later run that asked nothing.
        SecretBuffer::wipe(bytes);
        return closeWithoutAnswer();
    }
    m_answered = true;
    const QString path = m_fifo;
    FifoAnswer::send(path, std::move(bytes), [path](FifoAnswer::Result r) {
        if (r != FifoAnswer::Result::Written)
            Log::line("no answer given through " + path.toStdString() + ": " + FifoAnswer::describe(r).toStdString());
    });
    // done() closes (and so deletes) the window also from within a close that began elsewhere.
    done(QDialog::Accepted);
    return true;
}

bool PromptWindow::closeWithoutAnswer() {
    if (m_answered) return false;
    m_answered = true;
    done(QDialog::Rejected);
    return true;
}

QLabel* PromptWindow::layOutWords(const QString& accessibleName, QDialogButtonBox* buttons) {
    auto* words = new QLabel(this);
    words->setTextFormat(Qt::PlainText);
    words->setWordWrap(true);
    words->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    words->setAccessibleName(accessibleName);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(words);
    layout->addWidget(buttons);
    // Narrow enough for a small screen; the words wrap.
    setMinimumWidth(300);
    return words;
}
