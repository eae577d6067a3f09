#include "ynWindowController.h"

#include "ui_ynQuery.h"

ynWindowController::ynWindowController(QWidget* parent) : PromptWindow(parent), m_ui(std::make_unique<Ui::ynQuery>()) {
    m_ui->setupUi(this);
    connect(m_ui->yesButton, &QPushButton::clicked, this, &ynWindowController::yes);
    connect(m_ui->noButton, &QPushButton::clicked, this, &ynWindowController::no);
}

ynWindowController::~ynWindowController() = default;

void ynWindowController::setACaption(const QString& caption) { m_ui->caption->setText(caption); }

QString ynWindowController::caption() const { return m_ui->caption->text(); }

QPushButton* ynWindowController::yesButton() const { return m_ui->yesButton; }
QPushButton* ynWindowController::noButton() const { return m_ui->noButton; }

void ynWindowController::yes() { answerAndClose(QByteArrayLiteral("yes")); }

void ynWindowController::no() { answerAndClose(QByteArrayLiteral("no")); }

void ynWindowController::reject() {
    if (!answered()) {
        no();
        return;
    }
    PromptWindow::reject();
}
