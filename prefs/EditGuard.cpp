#include "EditGuard.h"

#include <QFocusEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPointer>
#include <QTimer>

EditGuard::EditGuard(QLineEdit* edit, Check check, Report report)
    : QObject(edit), m_check(std::move(check)), m_report(std::move(report)) {
    edit->installEventFilter(this);
}

bool EditGuard::eventFilter(QObject* watched, QEvent* event) {
    if (auto* edit = qobject_cast<QLineEdit*>(watched)) return refuses(edit, event, m_check, m_report);
    return false;
}

bool EditGuard::refuses(QLineEdit* edit, QEvent* event, const Check& check, const Report& report) {
    if (event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key != Qt::Key_Return && key != Qt::Key_Enter && key != Qt::Key_Tab && key != Qt::Key_Backtab) return false;
    } else if (event->type() == QEvent::FocusOut) {
        // Another window or a pop-up taking the focus ends nothing: the edit is still there on return.
        const auto reason = static_cast<QFocusEvent*>(event)->reason();
        if (reason == Qt::ActiveWindowFocusReason || reason == Qt::PopupFocusReason) return false;
    } else {
        return false;
    }
    if (!edit->isModified()) return false;

    QString text = edit->text();
    const QString reason = check(text);
    const bool accepted = reason.isEmpty();
    if (report) report(reason);
    if (accepted && text != edit->text()) {
        edit->setText(text);
        edit->setModified(true);  // the rewritten text is still the user's edit
    }
    if (accepted) return false;
    if (event->type() == QEvent::FocusOut) {
        // The focus has already moved on; bring it back unless the text was replaced meanwhile.
        QPointer<QLineEdit> guarded(edit);
        QTimer::singleShot(0, edit, [guarded] {
            if (guarded && guarded->isModified() && guarded->isVisible()) guarded->setFocus(Qt::OtherFocusReason);
        });
    }
    return true;
}
