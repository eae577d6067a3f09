#include "TunnelLogWindow.h"

#include <QApplication>
#include <QClipboard>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QVBoxLayout>

#include "ScreenFit.h"

TunnelLogWindow::TunnelLogWindow(const TunnelPtr& tunnel, QWidget* parent)
    : QWidget(parent, Qt::Window),
      m_tunnel(tunnel),
      m_text(new QPlainTextEdit),
      m_copy(new QPushButton(tr("Copy All"))) {
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(tr("Log: %1").arg(QString::fromStdString(tunnel->connName())));
    m_text->setReadOnly(true);
    m_text->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_text->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    // The log keeps no more; neither need the window.
    m_text->setMaximumBlockCount(static_cast<int>(TunnelLog::kCapacity));
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(m_copy);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_text);
    layout->addLayout(buttons);
    resize(640, 360);
    ScreenFit::fit(this);
    connect(m_copy, &QPushButton::clicked, this, [this] { QApplication::clipboard()->setText(m_text->toPlainText()); });
    connect(&m_timer, &QTimer::timeout, this, &TunnelLogWindow::follow);
    m_timer.start(kFollowMs);
    follow();
}

void TunnelLogWindow::follow() {
    const TunnelPtr tunnel = m_tunnel.lock();
    if (!tunnel) return;
    const TunnelLog& log = tunnel->run().log();
    const unsigned long long total = log.total();
    if (total == m_seen) return;
    m_seen = total;
    // Connection lines leave the log from its middle, so the window shows what is kept, whole.
    std::string all;
    for (const std::string& line : log.lines()) {
        all += line;
        all += '\n';
    }
    if (!all.empty()) all.pop_back();
    QScrollBar* bar = m_text->verticalScrollBar();
    const bool atEnd = bar->value() == bar->maximum();
    const int at = bar->value();
    m_text->setPlainText(QString::fromStdString(all));
    bar->setValue(atEnd ? bar->maximum() : at);
}
