#include "InlineMessage.h"

#include <QLabel>

void InlineMessage::show(QLabel* label, const QString& text) {
    label->setText(text);
    label->setVisible(!text.isEmpty());
}
