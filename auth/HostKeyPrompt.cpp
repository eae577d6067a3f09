#include "HostKeyPrompt.h"

#include <QRegularExpression>

#include "ui_ynQuery.h"

HostKeyPrompt::HostKeyPrompt(QWidget* parent) : PromptWindow(parent), m_ui(std::make_unique<Ui::ynQuery>()) {
    m_ui->setupUi(this);
    connect(m_ui->yesButton, &QPushButton::clicked, this, &HostKeyPrompt::yes);
    connect(m_ui->noButton, &QPushButton::clicked, this, &HostKeyPrompt::no);
}

HostKeyPrompt::~HostKeyPrompt() = default;

void HostKeyPrompt::setACaption(const QString& caption) {
    m_ui->caption->setText(caption);
    // OpenSSH: "The authenticity of host 'H (A)' can't be established." and
    // "ED25519 key fingerprint is SHA256:….".
    static const QRegularExpression host(QStringLiteral("authenticity of host '([^'\\n]*)'"));
    static const QRegularExpression print(QStringLiteral("key fingerprint is ([^\\s]+?)\\.?(?:\\s|$)"));
    QStringList lines;
    if (const auto m = host.match(caption); m.hasMatch()) lines << tr("Host: %1").arg(m.captured(1));
    if (const auto m = print.match(caption); m.hasMatch()) lines << tr("Fingerprint: %1").arg(m.captured(1));
    m_ui->heading->setText(lines.join(u'\n'));
    m_ui->heading->setVisible(!lines.isEmpty());
}

QString HostKeyPrompt::heading() const { return m_ui->heading->text(); }

QString HostKeyPrompt::caption() const { return m_ui->caption->text(); }

QPushButton* HostKeyPrompt::yesButton() const { return m_ui->yesButton; }
QPushButton* HostKeyPrompt::noButton() const { return m_ui->noButton; }

void HostKeyPrompt::yes() { answerAndClose(QByteArrayLiteral("yes")); }

void HostKeyPrompt::no() {
    if (answered()) return;
    const bool current = runIsCurrent();
    answerAndClose(QByteArrayLiteral("no"));
    if (TunnelPtr t = tunnel(); t && current) t->run().stopWithReason(kRefusedReason);
}

void HostKeyPrompt::reject() {
    if (!answered()) {
        no();
        return;
    }
    PromptWindow::reject();
}
