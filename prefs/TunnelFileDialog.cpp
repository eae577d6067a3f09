#include "TunnelFileDialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include "EngineTexts.h"
#include "ScreenFit.h"

namespace {
// What tells two tunnels of one name apart: where they go and what they forward.
QString summary(const Tunnel& t) {
    const TunnelSettings s = t.settings();
    QString server = QString::fromStdString(s.connHost.value_or(""));
    if (s.connUser && !s.connUser->empty()) server = QString::fromStdString(*s.connUser) + u'@' + server;
    if (s.connPort && !s.connPort->empty()) server += u':' + QString::fromStdString(*s.connPort);
    QStringList lines{server};
    for (const std::string& a : t.listeningAddresses()) lines << QString::fromStdString(a);
    if (s.group && !s.group->empty()) lines << TunnelFileDialog::tr("group %1").arg(QString::fromStdString(*s.group));
    return lines.join(u'\n');
}
}  // namespace

TunnelFileDialog::TunnelFileDialog(const QString& path, const TunnelFile::Contents& contents,
                                   const TunnelStore& tunnels, const std::string& home, QWidget* parent)
    : QDialog(parent), m_entries(contents.valid()), m_clean(contents.clean()) {
    setWindowTitle(tr("Import Tunnels"));
    auto* layout = new QVBoxLayout(this);
    auto* file = new QLabel(tr("From %1").arg(path), this);
    file->setTextInteractionFlags(Qt::TextSelectableByMouse);
    file->setWordWrap(true);
    layout->addWidget(file);

    m_problems = new QPlainTextEdit(this);
    m_problems->setReadOnly(true);
    m_problems->setAccessibleName(tr("What is wrong with the file"));
    QStringList lines;
    for (const std::string& p : contents.problems()) lines << EngineTexts::translated(p);
    m_problems->setPlainText(lines.join(u'\n'));
    m_problems->setVisible(!m_clean);
    m_problems->setMaximumHeight(fontMetrics().lineSpacing() * 5 + 12);
    layout->addWidget(m_problems);

    m_importValid =
        new QCheckBox(tr("Import the %1 valid tunnels of it, without the others").arg(m_entries.size()), this);
    m_importValid->setVisible(!m_clean && !m_entries.empty());
    connect(m_importValid, &QCheckBox::toggled, this, [this] { updateImportButton(); });
    layout->addWidget(m_importValid);

    m_table = new QTableWidget(static_cast<int>(m_entries.size()), 4, this);
    m_table->setHorizontalHeaderLabels({tr("Tunnel"), tr("Yours"), tr("In the file"), tr("Import")});
    m_table->setAccessibleName(tr("Tunnels of the file"));
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->verticalHeader()->hide();
    m_table->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    m_table->setWordWrap(true);
    int row = 0;
    for (const TunnelFile::Entry& e : m_entries) {
        const QString name = QString::fromStdString(e.name);
        const TunnelPtr mine = tunnels.named(e.name);
        const TunnelPtr theirs = Tunnel::tunnelFromDictionary(e.tunnel);
        m_table->setItem(row, 0, new QTableWidgetItem(name));
        m_table->setItem(row, 1, new QTableWidgetItem(mine ? summary(*mine) : tr("(none)")));
        m_table->setItem(row, 2, new QTableWidgetItem(summary(*theirs)));
        if (!mine || TunnelFile::sameSettings(*mine, e.tunnel, home)) {
            m_table->setItem(row, 3, new QTableWidgetItem(mine ? tr("The same: skipped") : tr("Added")));
        } else {
            auto* choice = new QComboBox(m_table);
            choice->addItem(tr("Keep yours"), int(TunnelFile::Choice::Keep));
            choice->addItem(tr("Take the file's"), int(TunnelFile::Choice::Replace));
            choice->addItem(tr("Keep both"), int(TunnelFile::Choice::Both));
            choice->setAccessibleName(tr("What to do with %1").arg(name));
            m_table->setCellWidget(row, 3, choice);
            m_choices[e.name] = choice;
        }
        ++row;
    }
    m_table->resizeRowsToContents();
    layout->addWidget(m_table, 1);

    auto* buttons = new QDialogButtonBox(this);
    m_import = buttons->addButton(tr("&Import"), QDialogButtonBox::AcceptRole);
    buttons->addButton(QDialogButtonBox::Cancel);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
    updateImportButton();
    resize(640, 420);
    ScreenFit::fit(this);
}

TunnelFile::Choice TunnelFileDialog::choiceFor(const std::string& name) const {
    const auto it = m_choices.find(name);
    return it == m_choices.end() ? TunnelFile::Choice::Keep : TunnelFile::Choice(it->second->currentData().toInt());
}

void TunnelFileDialog::updateImportButton() {
    m_import->setEnabled(!m_entries.empty() && (m_clean || m_importValid->isChecked()));
}
