#include "HostKeyPrompt.h"

#include <QRegularExpression>

#include "ui_ynQuery.h"

namespace {
// OpenSSH: "The authenticity of host 'H (A)' can't be established." and
// "ED25519 key fingerprint is SHA256:….".
QString hostOf(const QString& caption) {
    static const QRegularExpression host(QStringLiteral("authenticity of host '([^'\\n]*)'"));
    return host.match(caption).captured(1);
}
QString fingerprintOf(const QString& caption) {
    static const QRegularExpression print(QStringLiteral("key fingerprint is ([^\\s]+?)\\.?(?:\\s|$)"));
    return print.match(caption).captured(1);
}
}  // namespace

HostKeyPrompt::HostKeyPrompt(QWidget* parent) : PromptWindow(parent), m_ui(std::make_unique<Ui::ynQuery>()) {
    m_ui->setupUi(this);
    connect(m_ui->yesButton, &QPushButton::clicked, this, &HostKeyPrompt::yes);
    connect(m_ui->noButton, &QPushButton::clicked, this, &HostKeyPrompt::no);
}

HostKeyPrompt::~HostKeyPrompt() = default;

void HostKeyPrompt::setACaption(const QString& caption) {
    m_ui->caption->setText(caption);
    QStringList lines;
    if (const QString host = hostOf(caption); !host.isEmpty()) lines << tr("Host: %1").arg(host);
    if (const QString print = fingerprintOf(caption); !print.isEmpty()) lines << tr("Fingerprint: %1").arg(print);
    m_ui->heading->setText(lines.join(u'\n'));
    m_ui->heading->setVisible(!lines.isEmpty());
}

QString HostKeyPrompt::heading() const { return m_ui->heading->text(); }

QString HostKeyPrompt::caption() const { return m_ui->caption->text(); }

QPushButton* HostKeyPrompt::yesButton() const { return m_ui->yesButton; }
QPushButton* HostKeyPrompt::noButton() const { return m_ui->noButton; }

void HostKeyPrompt::yes() {
    if (answered()) return;
    if (TunnelPtr t = tunnel(); t && runIsCurrent()) {
        // The journal keeps English, as ssh's own words are.
        const QString caption = m_ui->caption->text();
        t->run().recordEvent(UiText::format(UI_TEXT("Host key accepted: %1 %2"),
                                            {hostOf(caption).toStdString(), fingerprintOf(caption).toStdString()}));
    }
    answerAndClose(QByteArrayLiteral("yes"));
}

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
