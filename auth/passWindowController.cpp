#include "passWindowController.h"

#include <QCheckBox>

#include "ui_passQuery.h"

passWindowController::passWindowController(QWidget* parent)
    : PromptWindow(parent), m_ui(std::make_unique<Ui::passQuery>()) {
    m_ui->setupUi(this);
    connect(m_ui->okButton, &QPushButton::clicked, this, &passWindowController::pwcOk);
    connect(m_ui->cancelButton, &QPushButton::clicked, this, &passWindowController::pwcCancel);
    m_ui->password->setFocus();
}

passWindowController::~passWindowController() { clearPassword(); }

void passWindowController::setACaption(const QString& caption) { m_ui->caption->setText(caption); }

QString passWindowController::caption() const { return m_ui->caption->text(); }

QLineEdit* passWindowController::passwordField() const { return m_ui->password; }
QPushButton* passWindowController::okButton() const { return m_ui->okButton; }
QPushButton* passWindowController::cancelButton() const { return m_ui->cancelButton; }
QCheckBox* passWindowController::rememberBox() const { return m_ui->remember; }

void passWindowController::setNote(const QString& note) {
    m_ui->note->setText(note);
    m_ui->note->setVisible(!note.isEmpty());
}

QString passWindowController::note() const { return m_ui->note->text(); }

void passWindowController::offerToRemember(Keep keep) {
    m_keep = std::move(keep);
    m_ui->remember->setChecked(false);
    m_ui->remember->setVisible(bool(m_keep));
}

void passWindowController::pwcOk() {
    if (answered()) return;
    QString text = m_ui->password->text();
    QByteArray bytes = text.toUtf8();
    clearPassword();
    // Now the only holder of the text: overwrite it in place rather than leave it to the heap.
    text.fill(QChar(0));
    if (m_keep && m_ui->remember->isChecked() && runIsCurrent()) m_keep(QByteArray(bytes.constData(), bytes.size()));
    answerAndClose(std::move(bytes));
}

void passWindowController::pwcCancel() {
    if (answered()) return;
    clearPassword();
    // The pipe is never opened: the askpass program ends with its ssh.
    if (TunnelPtr t = tunnel()) t->stopTunnel();
    closeWithoutAnswer();
}

void passWindowController::reject() {
    if (!answered()) {
        pwcCancel();
        return;
    }
    PromptWindow::reject();
}

void passWindowController::clearPassword() {
    if (m_ui && m_ui->password) m_ui->password->clear();
}
