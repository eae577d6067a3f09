#include "ImportDialog.h"

#include <QDialogButtonBox>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>
#include <algorithm>

namespace {
QString forwardsText(const SshConfig::Host& h) {
    QStringList parts;
    auto add = [&parts](const char* flag, const ForwardList& list) {
        for (const auto& e : list) {
            auto get = [&e](const char* k) {
                auto it = e.find(k);
                return it == e.end() ? QString() : QString::fromStdString(it->second);
            };
            const QString bind = get("bind").isEmpty() ? QString() : get("bind") + u':';
            parts << QStringLiteral("%1 %2%3 → %4:%5")
                         .arg(QLatin1String(flag), bind, get("port"), get("host"), get("hostport"));
        }
    };
    add("-L", h.local);
    add("-R", h.remote);
    if (h.dynamic) parts << QStringLiteral("-D %1").arg(QString::fromStdString(*h.dynamic));
    return parts.join(QStringLiteral(", "));
}
}  // namespace

ImportDialog::ImportDialog(const std::string& configPath, const std::set<std::string>& usedHosts, QWidget* parent)
    : QDialog(parent),
      m_usedHosts(usedHosts),
      m_path(QString::fromStdString(configPath)),
      m_table(new QTableWidget(this)),
      m_note(new QLabel(this)),
      m_progress(new QProgressBar(this)) {
    setWindowTitle(tr("Import from ssh config"));
    setWindowModality(Qt::WindowModal);  // to Preferences only: a question from a tunnel stays answerable
    auto* layout = new QVBoxLayout(this);
    m_note->setTextFormat(Qt::PlainText);
    m_note->setWordWrap(true);
    m_note->setAccessibleName(tr("About the hosts"));
    layout->addWidget(m_note);
    m_progress->setAccessibleName(tr("Hosts read so far"));
    m_progress->setRange(0, 1);
    m_progress->setValue(0);
    m_progress->setFormat(tr("Reading the config…"));
    layout->addWidget(m_progress);
    layout->addWidget(m_table);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    m_import = buttons->button(QDialogButtonBox::Ok);
    m_import->setText(tr("&Import"));
    m_import->setAccessibleName(tr("Import the checked hosts"));
    m_import->setEnabled(false);
    buttons->button(QDialogButtonBox::Cancel)->setAccessibleName(tr("Cancel the import"));
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    m_table->setAccessibleName(tr("Hosts to import"));
    m_table->setColumnCount(5);
    m_table->setHorizontalHeaderLabels({tr("Host"), tr("User"), tr("Host name"), tr("Port"), tr("Forwards")});
    m_table->verticalHeader()->hide();
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->setSelectionMode(QAbstractItemView::NoSelection);
    m_table->horizontalHeader()->setStretchLastSection(true);
    resize(640, 360);

    if (!QFileInfo::exists(m_path)) {
        m_note->setText(tr("There is no %1: no hosts to import.").arg(m_path));
        m_table->hide();
        m_progress->hide();
        return;
    }
    m_note->setText(tr("Reading the hosts of %1 with ssh…").arg(m_path));
    // The user's own config is read by ssh as always (with the system's); another one alone.
    const std::string sshPath = configPath == SshConfig::userConfigPath() ? std::string() : configPath;
    m_worker = std::thread([this, configPath, sshPath] {
        const auto aliases = SshConfig::hostAliases(configPath);
        QMetaObject::invokeMethod(
            this, [this, total = aliases.size()] { showProgress(0, total); }, Qt::QueuedConnection);
        if (!aliases.empty())
            SshConfig::resolveEach(aliases, sshPath, &m_cancel,
                                   [this](const SshConfig::Resolution& answer, size_t done, size_t total) {
                                       QMetaObject::invokeMethod(
                                           this,
                                           [this, answer, done, total] {
                                               add(answer);
                                               showProgress(done, total);
                                           },
                                           Qt::QueuedConnection);
                                   });
        QMetaObject::invokeMethod(
            this, [this] { finish(); }, Qt::QueuedConnection);
    });
}

ImportDialog::~ImportDialog() { stop(); }

void ImportDialog::done(int result) {
    stop();
    QDialog::done(result);
}

void ImportDialog::stop() {
    m_cancel = true;
    if (m_worker.joinable()) m_worker.join();
}

void ImportDialog::showProgress(size_t done, size_t total) {
    if (m_cancel) return;
    m_progress->setRange(0, static_cast<int>(std::max<size_t>(total, 1)));
    m_progress->setValue(static_cast<int>(done));
    m_progress->setFormat(tr("Reading host %1 of %2…").arg(std::min(done + 1, total)).arg(total));
}

void ImportDialog::add(const SshConfig::Resolution& answer) {
    if (m_cancel) return;
    const auto at = std::lower_bound(m_rows.begin(), m_rows.end(), answer.index,
                                     [](const Row& r, size_t index) { return r.index < index; });
    const int row = static_cast<int>(at - m_rows.begin());
    m_rows.insert(at, Row{answer.index, answer.host});
    m_table->insertRow(row);
    const QString alias = QString::fromStdString(answer.alias);
    if (!answer.host) {
        ++m_refused;
        const QString words = QString::fromStdString(answer.words);
        auto* name = new QTableWidgetItem(alias);
        auto* why = new QTableWidgetItem(QString(words).replace(u'\n', QStringLiteral("; ")));
        // Disabled: greyed, and nothing to check.
        name->setFlags(Qt::NoItemFlags);
        why->setFlags(Qt::NoItemFlags);
        why->setToolTip(words);
        m_table->setItem(row, 0, name);
        m_table->setItem(row, 1, why);
        m_table->setSpan(row, 1, 1, 4);
        fitColumns();
        return;
    }
    const auto& h = *answer.host;
    const bool used = m_usedHosts.count(h.alias) > 0;
    auto* name = new QTableWidgetItem(alias + (used ? tr(" (has a tunnel)") : QString()));
    name->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
    name->setCheckState(used ? Qt::Unchecked : Qt::Checked);
    m_table->setItem(row, 0, name);
    const QString cells[] = {QString::fromStdString(h.user), QString::fromStdString(h.hostName),
                             QString::fromStdString(h.port), forwardsText(h)};
    for (int c = 0; c < 4; ++c) m_table->setItem(row, c + 1, new QTableWidgetItem(cells[c]));
    fitColumns();
    m_import->setEnabled(true);
}

void ImportDialog::fitColumns() {
    // As resizeColumnsToContents, but ssh's words span the columns instead of widening the first.
    for (int c = 0; c < m_table->columnCount() - 1; ++c) {
        int width = m_table->horizontalHeader()->sectionSizeHint(c);
        for (int row = 0; row < m_table->rowCount(); ++row)
            if (c == 0 || m_rows[static_cast<size_t>(row)].host)
                width = std::max(width, m_table->sizeHintForIndex(m_table->model()->index(row, c)).width() + 1);
        m_table->setColumnWidth(c, width);
    }
}

void ImportDialog::finish() {
    if (m_cancel) return;
    m_finished = true;
    m_progress->hide();
    const size_t resolved = m_rows.size() - m_refused;
    if (m_rows.empty()) {
        m_note->setText(tr("%1 names no host of its own (patterns are left out).").arg(m_path));
        return;
    }
    QStringList text;
    if (resolved > 0)
        text << tr("Hosts of %1, as ssh reads them. Each chosen one becomes a tunnel whose server is the host's "
                   "name, so the config keeps applying.")
                    .arg(m_path);
    if (resolved == 0)
        text << (m_refused == 1 ? tr("ssh refused the one host of %1; its row says why.").arg(m_path)
                                : tr("ssh refused the %1 hosts of %2; their rows say why.").arg(m_refused).arg(m_path));
    else if (m_refused > 0)
        text << (m_refused == 1 ? tr("ssh refused 1 host; its greyed row says why.")
                                : tr("ssh refused %1 hosts; their greyed rows say why.").arg(m_refused));
    m_note->setText(text.join(u' '));
}

std::vector<SshConfig::Host> ImportDialog::chosen() const {
    std::vector<SshConfig::Host> out;
    for (int row = 0; row < m_table->rowCount(); ++row) {
        const auto& host = m_rows[static_cast<size_t>(row)].host;
        if (host && m_table->item(row, 0)->checkState() == Qt::Checked) out.push_back(*host);
    }
    return out;
}
