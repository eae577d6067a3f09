#include "TunnelDetailsWindow.h"

#include <QApplication>
#include <QClipboard>
#include <QDateTime>
#include <QFontDatabase>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QStyle>
#include <QTextDocument>
#include <QVBoxLayout>

#include "EngineTexts.h"
#include "RateGraph.h"
#include "ScreenFit.h"
#include "SshCommand.h"
#include "TrafficText.h"
#include "TunnelsItemDelegate.h"

namespace {

std::int64_t nowMs() { return QDateTime::currentMSecsSinceEpoch(); }

QString stateText(const std::string& word) {
    if (word == "connecting") return TunnelDetailsWindow::tr("Connecting");
    if (word == "connected") return TunnelDetailsWindow::tr("Connected");
    if (word == "retrying") return TunnelDetailsWindow::tr("Waiting to retry");
    if (word == "stopping") return TunnelDetailsWindow::tr("Stopping");
    if (word == "stopped") return TunnelDetailsWindow::tr("Stopped");
    if (word == "ready") return TunnelDetailsWindow::tr("Ready: starts when used");
    return TunnelDetailsWindow::tr("Idle");
}

QLabel* valueLabel() {
    auto* label = new QLabel;
    label->setWordWrap(true);
    label->setTextFormat(Qt::PlainText);
    // Selectable, but out of the Tab chain: Tab goes from the command to the graph and the journal.
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

}  // namespace

TunnelDetailsWindow::TunnelDetailsWindow(const TunnelPtr& tunnel, QWidget* parent)
    : QWidget(parent, Qt::Window),
      m_tunnel(tunnel),
      m_state(valueLabel()),
      m_status(valueLabel()),
      m_reason(valueLabel()),
      m_command(new QPlainTextEdit),
      m_copy(new QPushButton(tr("C&opy Command"))),
      m_addresses(valueLabel()),
      m_traffic(valueLabel()),
      m_rates(valueLabel()),
      m_drops(valueLabel()),
      m_forwards(valueLabel()),
      m_warnings(new QWidget),
      m_warningLines(new QVBoxLayout(m_warnings)),
      m_graph(new RateGraph),
      m_journal(new QPlainTextEdit),
      m_close(new QPushButton(tr("&Close"))) {
    setAttribute(Qt::WA_DeleteOnClose);

    m_command->setReadOnly(true);
    m_command->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    m_command->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    m_command->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    // Four whole lines: most commands fit, a longer one scrolls. The margin below them would
    // show a sliver of the fifth, so only the one above counts.
    m_command->setFixedHeight(QFontMetrics(m_command->font()).lineSpacing() * 4 + 2 * m_command->frameWidth() +
                              static_cast<int>(m_command->document()->documentMargin()));
    m_command->setTabChangesFocus(true);
    m_command->setAccessibleName(tr("ssh command"));
    m_copy->setAccessibleName(tr("Copy the ssh command"));
    connect(m_copy, &QPushButton::clicked, this,
            [this] { QApplication::clipboard()->setText(m_command->toPlainText()); });

    m_warningLines->setContentsMargins(0, 0, 0, 0);
    m_warnings->setAccessibleName(tr("Warnings"));
    m_warnings->hide();

    m_journal->setReadOnly(true);
    m_journal->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    m_journal->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_journal->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    m_journal->setTabChangesFocus(true);
    m_journal->setMinimumHeight(100);
    // The time, then the event a little apart from it.
    m_journal->setTabStopDistance(
        QFontMetrics(m_journal->font()).horizontalAdvance(QStringLiteral("0000-00-00T00:00:00.000  ")));
    m_journal->setAccessibleName(tr("Journal"));
    m_close->setAccessibleName(tr("Close"));
    connect(m_close, &QPushButton::clicked, this, &QWidget::close);

    auto* form = new QFormLayout;
    form->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
    const auto row = [form](const QString& label, QWidget* field, const QString& accessible) {
        auto* title = new QLabel(label);
        title->setBuddy(field);
        field->setAccessibleName(accessible);
        form->addRow(title, field);
    };
    row(tr("State:"), m_state, tr("State"));
    row(tr("Status:"), m_status, tr("Status"));
    row(tr("Reason:"), m_reason, tr("Reason"));
    row(tr("Co&mmand:"), m_command, tr("ssh command"));
    form->addRow(QString(), m_copy);
    form->itemAt(form->rowCount() - 1, QFormLayout::FieldRole)->setAlignment(Qt::AlignLeft);
    row(tr("Addresses:"), m_addresses, tr("Addresses"));
    row(tr("Traffic:"), m_traffic, tr("Traffic"));
    row(tr("Rates:"), m_rates, tr("Rates"));
    row(tr("Drops:"), m_drops, tr("Drops today"));
    row(tr("Ports held:"), m_forwards, tr("Ports held"));
    m_forwardsTitle = qobject_cast<QLabel*>(form->itemAt(form->rowCount() - 1, QFormLayout::LabelRole)->widget());
    row(tr("Warnings:"), m_warnings, tr("Warnings"));

    auto* journalTitle = new QLabel(tr("&Journal:"));
    journalTitle->setBuddy(m_journal);
    auto* content = new QWidget;
    auto* contentLayout = new QVBoxLayout(content);
    contentLayout->addLayout(form);
    contentLayout->addWidget(m_graph, 2);
    contentLayout->addWidget(journalTitle);
    contentLayout->addWidget(m_journal, 3);
    // Small screens scroll; a large window gives the graph and the journal the room.
    auto* scroll = new QScrollArea;
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidget(content);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(m_close);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(scroll);
    layout->addLayout(buttons);
    setTabOrder(m_command, m_copy);
    setTabOrder(m_copy, m_graph);
    setTabOrder(m_graph, m_journal);
    setTabOrder(m_journal, m_close);
    resize(660, 700);
    ScreenFit::fit(this);

    connect(&m_timer, &QTimer::timeout, this, &TunnelDetailsWindow::refresh);
    m_timer.setInterval(kRefreshMs);
    statusChanged();
}

void TunnelDetailsWindow::statusChanged() {
    refresh();
    reloadJournal();
}

void TunnelDetailsWindow::followName() {
    if (const TunnelPtr tunnel = m_tunnel.lock()) {
        setWindowTitle(tr("Details: %1").arg(QString::fromStdString(tunnel->connName())));
        setAccessibleName(windowTitle());
    }
}

void TunnelDetailsWindow::refresh() {
    const TunnelPtr tunnel = m_tunnel.lock();
    if (!tunnel) return;
    followName();
    const TunnelReport report = tunnel->run().report();
    const std::int64_t now = nowMs();

    QString state = stateText(report.state);
    if (report.connectedSinceMs > 0)
        state = tr("%1 since %2 (for %3)")
                    .arg(state,
                         QLocale().toString(QDateTime::fromMSecsSinceEpoch(report.connectedSinceMs).time(),
                                            QLocale::ShortFormat),
                         TrafficText::duration(now - report.connectedSinceMs));
    m_state->setText(state);
    m_status->setText(EngineTexts::translated(report.status));
    m_reason->setText(report.reason.empty() ? tr("None") : EngineTexts::translated(report.reason));
    m_reason->setStyleSheet(
        report.reason.empty() ? QString() : QStringLiteral("color: %1").arg(TunnelsItemDelegate::errorColor().name()));
    const QString command =
        report.command.empty()
            ? tr("(no ssh runs)")
            : QString::fromStdString(SshCommand::displayCommand({report.command.begin() + 1, report.command.end()}));
    if (m_command->toPlainText() != command) m_command->setPlainText(command);
    m_copy->setEnabled(!report.command.empty());
    QStringList addresses;
    for (const std::string& a : report.addresses) addresses << QString::fromStdString(a);
    m_addresses->setText(addresses.isEmpty() ? tr("None") : addresses.join(u'\n'));
    m_traffic->setText(tr("↑ %1 sent, ↓ %2 received")
                           .arg(TrafficText::bytes(static_cast<double>(report.bytesSent)),
                                TrafficText::bytes(static_cast<double>(report.bytesReceived))));
    m_rates->setText(tr("↑ %1, ↓ %2").arg(TrafficText::rate(report.sendRate), TrafficText::rate(report.receiveRate)));
    m_drops->setText(TrafficText::drops(report.dropsToday));
    QStringList forwards;
    for (const ForwardStats& f : report.forwards)
        forwards << tr("%1 → %2: ↑ %3 to it, ↓ %4 back; %5 open, %6 in all, %7 refused by the target")
                        .arg(QString::fromStdString(f.listen), QString::fromStdString(f.target),
                             TrafficText::bytes(static_cast<double>(f.bytesToTarget)),
                             TrafficText::bytes(static_cast<double>(f.bytesFromTarget)))
                        .arg(f.open)
                        .arg(f.total)
                        .arg(f.refused);
    m_forwards->setText(forwards.join(u'\n'));
    m_forwards->setVisible(!forwards.isEmpty());
    m_forwardsTitle->setVisible(!forwards.isEmpty());
    showWarnings(report.warnings);
    m_graph->setSamples(report.samples, now);
}

void TunnelDetailsWindow::showWarnings(const std::vector<std::string>& warnings) {
    if (warnings == m_shownWarnings) return;
    m_shownWarnings = warnings;
    while (QLayoutItem* item = m_warningLines->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    const QPixmap icon = style()->standardIcon(QStyle::SP_MessageBoxWarning).pixmap(QSize(16, 16), devicePixelRatioF());
    for (const std::string& w : warnings) {
        auto* line = new QHBoxLayout;
        auto* image = new QLabel;
        image->setPixmap(icon);
        image->setAlignment(Qt::AlignTop);
        auto* text = valueLabel();
        text->setText(EngineTexts::translated(w));
        text->setAccessibleName(TrafficText::warning(w));
        text->setStyleSheet(QStringLiteral("color: %1").arg(TunnelsItemDelegate::warningColor().name()));
        line->addWidget(image);
        line->addWidget(text, 1);
        m_warningLines->addLayout(line);
    }
    if (warnings.empty()) {
        auto* none = valueLabel();
        none->setText(tr("None"));
        m_warningLines->addWidget(none);
    }
    m_warnings->show();
}

void TunnelDetailsWindow::reloadJournal() {
    const TunnelPtr tunnel = m_tunnel.lock();
    if (!tunnel || !tunnel->journal()) return;
    QStringList lines;
    for (const JournalEvent& e : tunnel->journal()->events())
        lines << EngineTexts::translatedJournalLine(e.formatted());
    const QString text = lines.join(u'\n');
    if (text == m_journal->toPlainText()) return;
    QScrollBar* bar = m_journal->verticalScrollBar();
    // Newest at the bottom, followed unless the reader scrolled up.
    const bool atEnd = bar->value() == bar->maximum();
    const int kept = bar->value();
    m_journal->setPlainText(text);
    bar->setValue(atEnd ? bar->maximum() : kept);
}

void TunnelDetailsWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    refresh();
    m_timer.start();
}

void TunnelDetailsWindow::hideEvent(QHideEvent* event) {
    m_timer.stop();
    QWidget::hideEvent(event);
}

void TunnelDetailsWindow::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        close();
        return;
    }
    QWidget::keyPressEvent(event);
}
