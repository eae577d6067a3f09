#include "ImportDialog.h"

#include <QDialogButtonBox>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

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
    : QDialog(parent), m_table(new QTableWidget(this)), m_note(new QLabel(this)) {
    setWindowTitle(tr("Import from ssh config"));
    auto* layout = new QVBoxLayout(this);
    m_note->setTextFormat(Qt::PlainText);
    m_note->setWordWrap(true);
    layout->addWidget(m_note);
    layout->addWidget(m_table);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setText(tr("Import"));
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    m_table->setColumnCount(5);
    m_table->setHorizontalHeaderLabels({tr("Host"), tr("User"), tr("Host name"), tr("Port"), tr("Forwards")});
    m_table->verticalHeader()->hide();
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->setSelectionMode(QAbstractItemView::NoSelection);
    m_table->horizontalHeader()->setStretchLastSection(true);

    const QString path = QString::fromStdString(configPath);
    if (!QFileInfo::exists(path)) {
        m_note->setText(tr("There is no %1: no hosts to import.").arg(path));
        m_table->hide();
        buttons->button(QDialogButtonBox::Ok)->setEnabled(false);
        return;
    }
    for (const std::string& alias : SshConfig::hostAliases(configPath))
        // The user's own config is read by ssh as always (with the system's); another one alone.
        if (auto host =
                SshConfig::resolve(alias, configPath == SshConfig::userConfigPath() ? std::string() : configPath))
            m_hosts.push_back(std::move(*host));
    m_note->setText(m_hosts.empty() ? tr("%1 names no host of its own (patterns are left out).").arg(path)
                                    : tr("Hosts of %1, as ssh reads them. Each chosen one becomes a tunnel "
                                         "whose server is the host's name, so the config keeps applying.")
                                          .arg(path));
    m_table->setRowCount(static_cast<int>(m_hosts.size()));
    for (int row = 0; row < static_cast<int>(m_hosts.size()); ++row) {
        const auto& h = m_hosts[static_cast<size_t>(row)];
        const bool used = usedHosts.count(h.alias) > 0;
        auto* name = new QTableWidgetItem(QString::fromStdString(h.alias) + (used ? tr(" (has a tunnel)") : QString()));
        name->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
        name->setCheckState(used ? Qt::Unchecked : Qt::Checked);
        m_table->setItem(row, 0, name);
        const QString cells[] = {QString::fromStdString(h.user), QString::fromStdString(h.hostName),
                                 QString::fromStdString(h.port), forwardsText(h)};
        for (int c = 0; c < 4; ++c) m_table->setItem(row, c + 1, new QTableWidgetItem(cells[c]));
    }
    m_table->resizeColumnsToContents();
    resize(640, 360);
}

std::vector<SshConfig::Host> ImportDialog::chosen() const {
    std::vector<SshConfig::Host> out;
    for (int row = 0; row < m_table->rowCount(); ++row)
        if (m_table->item(row, 0)->checkState() == Qt::Checked) out.push_back(m_hosts[static_cast<size_t>(row)]);
    return out;
}
