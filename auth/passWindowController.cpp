#include "passWindowController.h"

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

void passWindowController::pwcOk() {
    if (answered()) return;
    QString text = m_ui->password->text();
    QByteArray bytes = text.toUtf8();
    clearPassword();
    // Now the only holder of the text: overwrite it in place rather than leave it to the heap.
    text.fill(QChar(0));
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
