#include "PromptWindow.h"

#include <QCursor>
#include <QGuiApplication>
#include <QScreen>

#include "FifoAnswer.h"
#include "Log.h"

PromptWindow::PromptWindow(QWidget* parent) : QDialog(parent) {
    setAttribute(Qt::WA_DeleteOnClose);
    setModal(false);
}

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
