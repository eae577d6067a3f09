#include "OptionCheck.h"

#include <QThread>

#include "EngineTexts.h"
#include "SshConfig.h"

OptionCheck::~OptionCheck() {
    if (m_thread) {
        m_thread->wait();
        delete m_thread;
    }
}

QString OptionCheck::errorOf(const QStringList& lines) {
    for (const QString& line : lines) {
        const std::string error = SshConfig::optionError(line.toStdString());
        if (!error.empty()) return tr("%1: %2").arg(line, EngineTexts::translated(error));
    }
    return {};
}

void OptionCheck::check(const QStringList& lines) {
    m_next = lines;
    m_hasNext = true;
    if (!m_thread) startNext();
}

void OptionCheck::startNext() {
    m_hasNext = false;
    m_running = m_next;
    m_thread = QThread::create([this, lines = m_running] { m_why = errorOf(lines); });
    connect(m_thread, &QThread::finished, this, [this] {
        m_thread->deleteLater();
        m_thread = nullptr;
        const QStringList lines = m_running;
        const QString why = m_why;
        if (m_hasNext) startNext();
        Q_EMIT judged(lines, why);
    });
    m_thread->start();
}
