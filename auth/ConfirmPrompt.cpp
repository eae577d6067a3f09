#include "ConfirmPrompt.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>

ConfirmPrompt::ConfirmPrompt(QWidget* parent)
    : PromptWindow(parent), m_yes(new QPushButton(tr("&Yes"), this)), m_no(new QPushButton(tr("&No"), this)) {
    setAccessibleName(tr("Question from ssh"));
    m_yes->setAccessibleName(tr("Yes, allow"));
    m_no->setAccessibleName(tr("No, refuse"));
    // Enter refuses: consent takes a deliberate choice.
    m_yes->setAutoDefault(false);
    m_no->setDefault(true);
    auto* buttons = new QDialogButtonBox(this);
    buttons->addButton(m_no, QDialogButtonBox::RejectRole);
    buttons->addButton(m_yes, QDialogButtonBox::AcceptRole);
    connect(m_yes, &QPushButton::clicked, this, &ConfirmPrompt::yes);
    connect(m_no, &QPushButton::clicked, this, &ConfirmPrompt::no);
    m_caption = layOutWords(tr("Question"), buttons);
    m_no->setFocus();
}

void ConfirmPrompt::setACaption(const QString& caption) { m_caption->setText(caption); }

QString ConfirmPrompt::caption() const { return m_caption->text(); }

void ConfirmPrompt::yes() { answerAndClose(QByteArrayLiteral("yes")); }

void ConfirmPrompt::no() { answerAndClose(QByteArrayLiteral("no")); }

void ConfirmPrompt::reject() {
    if (!answered()) {
        no();
        return;
    }
    PromptWindow::reject();
}
