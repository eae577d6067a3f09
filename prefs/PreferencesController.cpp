#include "PreferencesController.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QListWidget>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QSaveFile>
#include <QScreen>
#include <QScrollArea>
#include <QVBoxLayout>
#include <algorithm>

#include "AutostartEntry.h"
#include "CipherList.h"
#include "ForwardListsEditor.h"
#include "InlineMessage.h"
#include "Log.h"
#include "NotificationCenter.h"
#include "PreferencesWindow.h"
#include "ScreenFit.h"
#include "SshConfig.h"
#include "TunnelFileDialog.h"
#include "TunnelForm.h"
#include "TunnelGroups.h"
#include "TunnelListModel.h"
#include "ui_Preferences.h"

namespace {
constexpr int kDrawerWidth = 250;
}  // namespace

PreferencesController::PreferencesController(TunnelStore& tunnels, Defaults& defaults, QWidget* parent)
    : PreferencesController(tunnels, defaults, CipherList::system(), parent) {}

PreferencesController::PreferencesController(TunnelStore& tunnels, Defaults& defaults, CipherList& ciphers,
                                             QWidget* parent)
    : m_tunnels(tunnels),
      m_defaults(defaults),
      m_window(std::make_unique<PreferencesWindow>(parent)),
      m_ui(std::make_unique<Ui::Preferences>()) {
    m_ui->setupUi(m_window.get());
    m_window->setWillClose([this] { windowWillClose(); });

    m_tunnelModel = new TunnelListModel(m_tunnels, m_window.get());
    m_ui->tunnelsList->setModel(m_tunnelModel);
    m_ui->tunnelsList->horizontalHeader()->hide();

    auto current = [this] { return currentTunnel(); };
    m_forwards = new ForwardListsEditor(*m_ui, current, this);
    m_form = new TunnelForm(*m_ui, ciphers, m_tunnels, current, this);

    m_ui->drawer->setFixedWidth(kDrawerWidth);
    m_ui->drawer->hide();
    // On a small screen (or at scale 2) the form scrolls rather than the window outgrowing it.
    auto* formScroll = new QScrollArea(m_window.get());
    formScroll->setObjectName(QStringLiteral("formScroll"));
    formScroll->setFrameShape(QFrame::NoFrame);
    formScroll->setWidgetResizable(true);
    formScroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_ui->mainLayout->replaceWidget(m_ui->formStack, formScroll);
    formScroll->setWidget(m_ui->formStack);
    formScroll->setFocusPolicy(Qt::NoFocus);

    connectControls();
    finishLoading();
}

PreferencesController::~PreferencesController() = default;

QDialog* PreferencesController::window() const { return m_window.get(); }

void PreferencesController::show() {
    if (!m_window->isVisible()) ScreenFit::fit(m_window.get());
    m_window->setWindowModality(Qt::NonModal);
    m_window->show();
    m_window->raise();
    m_window->activateWindow();
}

int PreferencesController::exec() {
    ScreenFit::fit(m_window.get());
    const int result = m_window->exec();
    // A quit (menu, D-Bus, SIGTERM, logout) ends the window's loop without closing it: what was
    // typed so far is saved all the same.
    windowWillClose();
    return result;
}

void PreferencesController::connectControls() {
    auto button = [this](QPushButton* b, void (PreferencesController::*action)()) {
        connect(b, &QPushButton::clicked, this, [this, action] { (this->*action)(); });
    };
    button(m_ui->addHostButton, &PreferencesController::addHost);
    button(m_ui->delHostButton, &PreferencesController::delHost);
    button(m_ui->addLocalButton, &PreferencesController::addLocal);
    button(m_ui->delLocalButton, &PreferencesController::delLocal);
    button(m_ui->addRemoteButton, &PreferencesController::addRemote);
    button(m_ui->delRemoteButton, &PreferencesController::delRemote);
    button(m_ui->importButton, &PreferencesController::importHosts);
    button(m_ui->exportButton, &PreferencesController::exportTunnels);
    connect(m_ui->importFileButton, &QPushButton::clicked, this, [this] {
        const QString file = QFileDialog::getOpenFileName(m_window.get(), tr("Import Tunnels"), QDir::homePath(),
                                                          tr("Tunnel files (*.zandrel-tunnels);;All files (*)"));
        if (!file.isEmpty()) importTunnelFile(file);
    });
    connect(m_ui->options, &QPushButton::clicked, this, [this] { disclosure(); });
    connect(m_ui->tunnelsList, &PrefsTableView::deleteRequested, this, [this] { delHost(); });
    connect(m_ui->localList, &PrefsTableView::deleteRequested, this, [this] { delLocal(); });
    connect(m_ui->remoteList, &PrefsTableView::deleteRequested, this, [this] { delRemote(); });
    button(m_ui->forgetPasswordButton, &PreferencesController::forgetPassword);

    connect(m_form, &TunnelForm::edited, this, [this](QObject* control) { controlChanged(control); });
    connect(m_forwards, &ForwardListsEditor::changed, this, [this] { save(); });
    // Not a tunnel's field: saved with the list.
    connect(m_ui->autoOpen, &QCheckBox::clicked, this, [this] { controlChanged(m_ui->autoOpen); });
    connect(m_ui->notifyDrops, &QCheckBox::clicked, this, [this] { controlChanged(m_ui->notifyDrops); });
    // Kept in the autostart entry itself, not in the store.
    connect(m_ui->startAtLogin, &QCheckBox::clicked, this, [this](bool on) {
        QString error;
        if (!AutostartEntry::setEnabled(on, AutostartEntry::program(), &error)) {
            m_ui->startAtLogin->setChecked(AutostartEntry::isEnabled());
            showSaveProblem(tr("Start at login was not changed: %1.").arg(error));
        }
    });

    // Before the user moves the tunnel selection, the state so far is saved; a forward typed in
    // part stays with the tunnel it was typed for.
    connect(m_ui->tunnelsList, &PrefsTableView::selectionShouldChange, this, [this] {
        m_forwards->commitOrDropPending();
        save();
    });
    connect(m_ui->tunnelsList->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] {
        if (!m_reloading) tunnelSelectionDidChange();
    });
    // A script changed the list: the form keeps to its tunnel, or the row that took its place.
    // (The list has changed already when the model hears of it: the form's tunnel is known from before.)
    connect(m_tunnelModel, &QAbstractItemModel::modelReset, this, [this] {
        const int n = numberOfTunnels();
        int row = m_shown ? m_tunnels.indexOf(m_shown.get()) : -1;
        if (row < 0 && m_shownRow >= 0 && n > 0) row = std::min(m_shownRow, n - 1);
        m_reloading = true;
        m_ui->tunnelsList->setSelectedRow(row);
        m_reloading = false;
        updateWindow();
    });
}

// Carries what the window's resource loading ends with: the list is held, the link set, the form shown.
void PreferencesController::finishLoading() {
    m_ui->urlTextField->setURL(QString::fromLatin1(kHomeAddress));
    m_ui->urlTextField->setText(QStringLiteral("zandrel.org"));
    updateWindow();
}

// The window is about to close (every way of closing passes here, before the modal loop ends).
void PreferencesController::windowWillClose() {
    if (m_closed) return;
    QWidget* focus = m_window->focusWidget();
    m_forwards->finishEditing();
    m_forwards->commitOrDropPending();
    if (m_form->isTextField(focus)) controlChanged(focus);  // the text typed so far
    save();
    m_closed = true;
    m_form->windowClosed();
}

TunnelPtr PreferencesController::currentTunnel() const {
    const int row = m_ui->tunnelsList->selectedRow();
    if (row < 0 || row >= numberOfTunnels()) return nullptr;
    return m_tunnels.at(static_cast<size_t>(row));
}

int PreferencesController::numberOfTunnels() const { return static_cast<int>(m_tunnels.size()); }

// ---- tunnel list ----

void PreferencesController::addHost() {
    if (m_closed) return;
    m_tunnelModel->append(Tunnel::tunnelWithName(m_tunnels.freeName(Tunnel::kDefaultName)));
    m_ui->tunnelsList->setSelectedRow(numberOfTunnels() - 1);
    save();  // every change is on disk when it is made: a quit with the window open loses nothing
}

void PreferencesController::delHost() {
    if (m_closed) return;
    const int row = m_ui->tunnelsList->selectedRow();
    if (row < 0 || row >= numberOfTunnels()) return;
    const TunnelPtr gone = m_tunnels.at(static_cast<size_t>(row));
    if (!confirmDelete(*gone)) return;
    m_reloading = true;
    m_tunnelModel->remove(row);
    // The row below moves up into the place; the form must show it, not the deleted tunnel's
    // values, which a later change would otherwise write into it.
    const int n = numberOfTunnels();
    m_ui->tunnelsList->setSelectedRow(n == 0 ? -1 : std::min(row, n - 1));
    m_reloading = false;
    // Nothing would stop it later: the engine holds it while it runs and would retry it.
    gone->run().stop();
    if (m_passwordHooks.tunnelDeleted) m_passwordHooks.tunnelDeleted(*gone, m_tunnels.tunnels());
    save();
    updateWindow();
}

void PreferencesController::setPasswordHooks(PasswordHooks hooks) {
    m_passwordHooks = std::move(hooks);
    updateForgetButton();
}

void PreferencesController::forgetPassword() {
    if (m_closed) return;
    if (const TunnelPtr t = currentTunnel(); t && m_passwordHooks.forget) m_passwordHooks.forget(*t);
    updateForgetButton();
}

void PreferencesController::updateForgetButton() {
    const TunnelPtr t = currentTunnel();
    m_ui->forgetPasswordButton->setEnabled(t && m_passwordHooks.remembered && m_passwordHooks.remembered(*t));
}

void PreferencesController::tunnelSelectionDidChange() { updateWindow(); }

bool PreferencesController::confirmDelete(const Tunnel& tunnel) {
    QMessageBox box(QMessageBox::Warning, tr("Delete Tunnel"),
                    tr("Delete the tunnel \"%1\"?").arg(QString::fromStdString(tunnel.connName())),
                    QMessageBox::NoButton, m_window.get());
    box.setTextFormat(Qt::PlainText);
    box.setInformativeText(tunnel.run().isConnected() ? tr("It is connected: deleting it closes its connection.")
                                                      : tr("Its settings and forwards are gone for good."));
    QPushButton* remove = box.addButton(tr("Delete"), QMessageBox::DestructiveRole);
    QPushButton* cancel = box.addButton(QMessageBox::Cancel);
    box.setDefaultButton(cancel);
    box.setEscapeButton(cancel);
    box.setWindowModality(Qt::WindowModal);  // the rest of Zandrel, its questions too, stays usable
    box.exec();
    return box.clickedButton() == remove;
}

void PreferencesController::importHosts() {
    if (m_closed) return;
    const TunnelList imported = m_importer.chooseTunnels(m_tunnels, m_window.get());
    if (imported.empty() || m_closed) return;  // the editor may have closed while the dialog was open
    for (const TunnelPtr& t : imported) m_tunnelModel->append(t);
    m_ui->tunnelsList->setSelectedRow(numberOfTunnels() - 1);
    save();
}

void PreferencesController::exportTunnels() {
    if (m_closed) return;
    // Which tunnels: all are ticked, the selected one first in view.
    QDialog choose(m_window.get());
    choose.setWindowTitle(tr("Export Tunnels"));
    auto* layout = new QVBoxLayout(&choose);
    auto* label = new QLabel(tr("&Tunnels to write (never a password):"), &choose);
    auto* list = new QListWidget(&choose);
    label->setBuddy(list);
    list->setAccessibleName(tr("Tunnels to write"));
    const TunnelList all = m_tunnels.tunnels();
    for (const TunnelPtr& t : all) {
        const std::string group = TunnelGroups::groupOf(*t);
        auto* item = new QListWidgetItem(
            group.empty() ? QString::fromStdString(t->connName())
                          : tr("%1 (%2)").arg(QString::fromStdString(t->connName()), QString::fromStdString(group)),
            list);
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        item->setCheckState(Qt::Checked);
    }
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Save | QDialogButtonBox::Cancel, &choose);
    connect(buttons, &QDialogButtonBox::accepted, &choose, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, &choose, &QDialog::reject);
    layout->addWidget(label);
    layout->addWidget(list);
    layout->addWidget(buttons);
    choose.setWindowModality(Qt::WindowModal);
    if (choose.exec() != QDialog::Accepted || m_closed) return;
    TunnelList chosen;
    for (int i = 0; i < list->count() && i < static_cast<int>(all.size()); ++i)
        if (list->item(i)->checkState() == Qt::Checked) chosen.push_back(all[static_cast<size_t>(i)]);
    if (chosen.empty()) return;
    const QString path = QFileDialog::getSaveFileName(m_window.get(), tr("Export Tunnels"),
                                                      QDir::homePath() + QStringLiteral("/tunnels.zandrel-tunnels"),
                                                      tr("Tunnel files (*.zandrel-tunnels)"));
    if (path.isEmpty()) return;
    QSaveFile file(path);
    const std::string text = TunnelFile::write(chosen, QDir::homePath().toStdString());
    if (!file.open(QIODevice::WriteOnly) || file.write(text.data(), qint64(text.size())) != qint64(text.size()) ||
        !file.commit())
        QMessageBox::warning(m_window.get(), tr("Export Tunnels"),
                             tr("%1 could not be written: %2").arg(path, file.errorString()));
}

void PreferencesController::importTunnelFile(const QString& path) {
    if (m_closed) return;
    TunnelFile::Contents contents;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        contents.error = tr("The file cannot be read: %1").arg(file.errorString()).toStdString();
    else
        contents = TunnelFile::read(file.read(qint64(TunnelFile::kMaxBytes) + 1).toStdString());
    // ssh judges the options of each tunnel, as it does those typed here.
    for (TunnelFile::Entry& e : contents.tunnels)
        for (const Value& option : e.tunnel.get("sshOptions").list())
            if (std::string why = SshConfig::optionError(option.text()); !why.empty() && e.problems.empty())
                e.problems.push_back("Tunnel \"" + e.name + "\": \"" + option.text() + "\": " + why);
    const std::string home = QDir::homePath().toStdString();
    QPointer<TunnelFileDialog> dialog = new TunnelFileDialog(path, contents, m_tunnels, home, m_window.get());
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowModality(Qt::WindowModal);
    m_fileImport = dialog;
    connect(dialog, &QDialog::accepted, this, [this, dialog, home] {
        if (m_closed || !dialog) return;
        const TunnelFile::Applied applied = TunnelFile::apply(
            m_tunnels, dialog->entries(), home, [dialog](const std::string& name) { return dialog->choiceFor(name); });
        // Nothing of it stays when it cannot be saved.
        if (!save()) {
            TunnelFile::undo(m_tunnels, applied);
            return;
        }
        TunnelFile::finish(applied);
        if (!applied.added.empty()) m_ui->tunnelsList->setSelectedRow(m_tunnels.indexOf(applied.added.back().get()));
    });
    dialog->open();
}

// ---- window ----

void PreferencesController::updateWindow() {
    if (m_closed) return;
    // A missing value shows as on: that is what start-up makes of it.
    const Value open = m_defaults.objectForKey("openPalette");
    m_ui->autoOpen->setChecked(open.isNone() || open.boolValue());
    const Value notify = m_defaults.objectForKey(kNotifyDrops);
    m_ui->notifyDrops->setChecked(notify.isNone() || notify.boolValue());
    m_ui->startAtLogin->setChecked(AutostartEntry::isEnabled());

    const TunnelPtr tunnel = currentTunnel();
    m_shown = tunnel;
    m_shownRow = m_ui->tunnelsList->selectedRow();
    if (!tunnel) {
        showPage(m_ui->emptyView);
        m_ui->options->setChecked(false);
        m_empty = true;
    } else {
        if (m_empty) {
            showPage(m_ui->fullView);
            m_empty = false;
        }
        m_forwards->clearMessages();
        m_form->load(*tunnel);
        m_form->showPreview();
    }
    m_forwards->showCurrent();
    disclosure();
    updateForgetButton();
}

void PreferencesController::controlChanged(QObject* sender) {
    if (m_closed) return;
    const TunnelPtr t = currentTunnel();
    // The tunnel list shows the name.
    if (t && m_form->store(sender, *t) && sender == m_ui->name)
        m_tunnelModel->refreshRow(m_ui->tunnelsList->selectedRow());
    save();
}

void PreferencesController::showPage(QWidget* page) {
    // The form's scroll bar is for the page shown: a hidden page's size does not count.
    for (QWidget* p : {m_ui->emptyView, m_ui->fullView})
        p->setSizePolicy(p == page ? QSizePolicy::Preferred : QSizePolicy::Ignored,
                         p == page ? QSizePolicy::Preferred : QSizePolicy::Ignored);
    m_ui->formStack->setCurrentWidget(page);
    m_ui->formStack->adjustSize();
}

void PreferencesController::disclosure() {
    if (!m_ui->options->isChecked())
        setDrawerOpen(false);
    else if (currentTunnel())
        setDrawerOpen(true);
    else
        m_ui->options->setChecked(false);
}

void PreferencesController::setDrawerOpen(bool open) {
    if (m_ui->drawer->isHidden() != open) return;
    // The panel opens beside the form, as a drawer would: the window grows by its width.
    const int extra = kDrawerWidth + m_ui->mainLayout->spacing();
    m_ui->drawer->setVisible(open);
    m_window->resize(m_window->width() + (open ? extra : -extra), m_window->height());
    if (open) keepOnScreen();
}

void PreferencesController::keepOnScreen() {
    const QScreen* screen = m_window->screen();
    if (!screen) return;
    const QRect area = screen->availableGeometry();
    // Wider than the screen: the form gives up width (it scrolls), never the panel.
    ScreenFit::fit(m_window.get());
    const QRect frame = m_window->frameGeometry();
    // Past the right edge: the window moves left rather than growing off the screen.
    if (frame.right() > area.right()) m_window->move(m_window->x() - (frame.right() - area.right()), m_window->y());
    if (m_window->frameGeometry().left() < area.left()) m_window->move(area.left(), m_window->y());
}

// ---- saving ----

bool PreferencesController::save() {
    if (m_closed) return false;
    m_form->showPreview();
    updateForgetButton();  // user, host and port name the account
    // One atomic write for both keys; it is on disk before anyone hears of it.
    // The edit stays on screen either way; the user must know it is not on disk.
    if (m_defaults.setObjectsForKeys({{"tunnels", m_tunnels.storedForm()},
                                      {"openPalette", Value(m_ui->autoOpen->isChecked())},
                                      {kNotifyDrops, Value(m_ui->notifyDrops->isChecked())}})) {
        showSaveProblem({});
        NotificationCenter::defaultCenter().post(kPrefChanged, this);
        return true;
    } else {
        Log::line("The tunnels were not saved; the changes last until Zandrel quits.");
        showSaveProblem(tr("Your changes could not be saved to %1 (is the disk full or read-only?). "
                           "They last until Zandrel quits.")
                            .arg(QString::fromStdString(m_defaults.path())));
    }
    NotificationCenter::defaultCenter().post(kPrefChanged, this);
    return false;
}

void PreferencesController::showSaveProblem(const QString& text) { InlineMessage::show(m_ui->saveProblem, text); }

// ---- forward lists ----

void PreferencesController::addLocal() {
    if (!m_closed) m_forwards->add(ForwardListsEditor::Side::Local);
}
void PreferencesController::addRemote() {
    if (!m_closed) m_forwards->add(ForwardListsEditor::Side::Remote);
}
void PreferencesController::delLocal() {
    if (!m_closed) m_forwards->removeSelected(ForwardListsEditor::Side::Local);
}
void PreferencesController::delRemote() {
    if (!m_closed) m_forwards->removeSelected(ForwardListsEditor::Side::Remote);
}
