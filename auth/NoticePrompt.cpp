#include "NoticePrompt.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>

NoticePrompt::NoticePrompt(QWidget* parent) : PromptWindow(parent), m_hide(new QPushButton(tr("&Hide"), this)) {
    setAccessibleName(tr("Notice from ssh"));
    m_hide->setAccessibleName(tr("Hide notice"));
    m_hide->setDefault(true);
    auto* buttons = new QDialogButtonBox(this);
    buttons->addButton(m_hide, QDialogButtonBox::RejectRole);
    connect(m_hide, &QPushButton::clicked, this, &NoticePrompt::reject);
    m_caption = layOutWords(tr("Notice"), buttons);
    m_hide->setFocus();
}

void NoticePrompt::setACaption(const QString& caption) { m_caption->setText(caption); }

QString NoticePrompt::caption() const { return m_caption->text(); }

void NoticePrompt::reject() {
    if (!closeWithoutAnswer()) PromptWindow::reject();
}
