#include "ScreenFit.h"

#include <QScreen>
#include <QWidget>

void ScreenFit::fit(QWidget* window) {
    const QScreen* screen = window->screen();
    if (!screen) return;
    const QRect frame = window->frameGeometry();
    const QRect inner = window->geometry();
    const bool framed = window->isVisible() && frame != inner;
    const QMargins margins = framed ? QMargins(inner.left() - frame.left(), inner.top() - frame.top(),
                                               frame.right() - inner.right(), frame.bottom() - inner.bottom())
                                    : QMargins(0, kTitleRoom, 0, 0);
    const QSize room = screen->availableGeometry().size().shrunkBy(margins);
    const QSize size = window->size().boundedTo(room);
    if (size != window->size()) window->resize(size);
}
