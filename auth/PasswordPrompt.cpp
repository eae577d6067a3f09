#include "PasswordPrompt.h"

#include <QCheckBox>

#include "ui_passQuery.h"

PasswordPrompt::PasswordPrompt(QWidget* parent) : PromptWindow(parent), m_ui(std::make_unique<Ui::passQuery>()) {
    m_ui->setupUi(this);
    connect(m_ui->okButton, &QPushButton::clicked, this, &PasswordPrompt::pwcOk);
    connect(m_ui->cancelButton, &QPushButton::clicked, this, &PasswordPrompt::pwcCancel);
    m_ui->password->setFocus();
}

PasswordPrompt::~PasswordPrompt() { clearPassword(); }

void PasswordPrompt::setACaption(const QString& caption) {
    m_ui->caption->setText(caption);
    // What ssh asks ("me@host's password:") is what a screen reader says of the field.
    m_ui->password->setAccessibleName(caption.trimmed().isEmpty() ? tr("Password") : caption.trimmed());
}

QString PasswordPrompt::caption() const { return m_ui->caption->text(); }

QLineEdit* PasswordPrompt::passwordField() const { return m_ui->password; }
QPushButton* PasswordPrompt::okButton() const { return m_ui->okButton; }
QPushButton* PasswordPrompt::cancelButton() const { return m_ui->cancelButton; }
QCheckBox* PasswordPrompt::rememberBox() const { return m_ui->remember; }

void PasswordPrompt::setNote(const QString& note) {
    m_ui->note->setText(note);
    m_ui->note->setVisible(!note.isEmpty());
}

QString PasswordPrompt::note() const { return m_ui->note->text(); }

void PasswordPrompt::offerToRemember(Keep keep, const QString& problem) {
    m_keep = std::move(keep);
    m_ui->remember->setChecked(false);
    m_ui->remember->setVisible(bool(m_keep));
    m_ui->remember->setEnabled(problem.isEmpty());
    if (!problem.isEmpty()) {
        const QString why = tr("Cannot remember: %1").arg(problem);
        m_ui->remember->setText(why);
        m_ui->remember->setToolTip(why);
        m_ui->remember->setAccessibleDescription(why);
    }
}

void PasswordPrompt::pwcOk() {
    if (answered()) return;
    QString text = m_ui->password->text();
    QByteArray bytes = text.toUtf8();
    clearPassword();
    // Now the only holder of the text: overwrite it in place rather than leave it to the heap.
    text.fill(QChar(0));
    if (m_keep && m_ui->remember->isEnabled() && m_ui->remember->isChecked() && runIsCurrent())
        m_keep(QByteArray(bytes.constData(), bytes.size()));
    answerAndClose(std::move(bytes));
}

void PasswordPrompt::pwcCancel() {
    if (answered()) return;
    clearPassword();
    // The pipe is never opened: the askpass program ends with its ssh. A retry would only ask
    // again, so the tunnel stays stopped and says why.
    if (TunnelPtr t = tunnel(); t && runIsCurrent()) t->run().stopWithReason(kNoPasswordReason);
    closeWithoutAnswer();
}

void PasswordPrompt::reject() {
    if (!answered()) {
        pwcCancel();
        return;
    }
    PromptWindow::reject();
}

void PasswordPrompt::clearPassword() {
    if (m_ui && m_ui->password) m_ui->password->clear();
}
