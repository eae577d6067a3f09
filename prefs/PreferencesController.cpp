#include "PreferencesController.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QFileDialog>
#include <QFocusEvent>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QSpinBox>
#include <QTimer>
#include <QToolButton>
#include <algorithm>
#include <optional>
#include <set>

#include "AutostartEntry.h"
#include "CipherList.h"
#include "EditGuard.h"
#include "EditValidator.h"
#include "ForwardItemDelegate.h"
#include "ForwardListModel.h"
#include "ImportDialog.h"
#include "Log.h"
#include "NotificationCenter.h"
#include "PreferencesWindow.h"
#include "SshConfig.h"
#include "TunnelListModel.h"
#include "ui_Preferences.h"

namespace {
constexpr int kDrawerWidth = 250;

QString textOf(const Value& v) { return v.isText() ? QString::fromStdString(v.text()) : QString(); }

QStringList linesOf(const QPlainTextEdit* edit) {
    QStringList lines;
    for (const QString& line : edit->toPlainText().split(u'\n'))
        if (!line.trimmed().isEmpty()) lines << line.trimmed();
    return lines;
}

// Each line is asked of the installed ssh; the first it refuses says why.
QString optionsError(const QStringList& lines) {
    for (int i = 0; i < lines.size(); ++i) {
        const std::string error = SshConfig::optionError(lines[i].toStdString());
        if (!error.empty()) return QObject::tr("%1: %2").arg(lines[i], QString::fromStdString(error));
    }
    return {};
}
}  // namespace

PreferencesController::PreferencesController(TunnelStore& tunnels, Defaults& defaults, QWidget* parent)
    : PreferencesController(tunnels, defaults, CipherList::system(), parent) {}

PreferencesController::PreferencesController(TunnelStore& tunnels, Defaults& defaults, CipherList& ciphers,
                                             QWidget* parent)
    : m_tunnels(tunnels),
      m_defaults(defaults),
      m_ciphers(ciphers),
      m_window(std::make_unique<PreferencesWindow>(parent)),
      m_ui(std::make_unique<Ui::Preferences>()) {
    m_ui->setupUi(m_window.get());
    m_window->setWillClose([this] { windowWillClose(); });

    m_tunnelModel = new TunnelListModel(m_tunnels, m_window.get());
    m_ui->tunnelsList->setModel(m_tunnelModel);
    m_ui->tunnelsList->horizontalHeader()->hide();

    auto current = [this] { return currentTunnel(); };
    m_localModel = new ForwardListModel(ForwardListModel::Side::Local, current, m_window.get());
    m_remoteModel = new ForwardListModel(ForwardListModel::Side::Remote, current, m_window.get());
    for (auto [view, model, message] : {std::tuple{m_ui->localList, m_localModel, m_ui->localMessage},
                                        std::tuple{m_ui->remoteList, m_remoteModel, m_ui->remoteMessage}}) {
        view->setModel(model);
        QLabel* label = message;
        view->setItemDelegate(
            new ForwardItemDelegate(view, [this, label](const QString& why) { showMessage(label, why); }));
        view->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
        showMessage(message, {});
        connect(model, &ForwardListModel::pendingCommitted, this, [this] { save(); });
        connect(model, &ForwardListModel::entryEdited, this, [this] { save(); });
    }
    for (QLabel* label : {m_ui->formMessage, m_ui->drawerMessage}) showMessage(label, {});

    m_ui->cryptMethod->addItem(tr("Automatic"), QString(""));
    // Until ssh has answered, the pop-up offers Automatic and the tunnel's own cipher.
    connect(&m_ciphers, &CipherList::ready, this, [this] { fillCiphers(); });
    m_ciphers.fetch();
    fillCiphers();

    m_ui->drawer->setFixedWidth(kDrawerWidth);
    m_ui->drawer->hide();

    // The form's fields, in the order they load.
    auto jumpCheck = [](QString& text) {
        text = text.trimmed().remove(u' ');
        return text.isEmpty() ? QString() : QString::fromStdString(SshCommand::jumpHostsError(text.toStdString()));
    };
    m_fields = {{m_ui->name, "connName", FieldKind::Text},
                {m_ui->login, "connUser", FieldKind::Text},
                {m_ui->host, "connHost", FieldKind::Text},
                {m_ui->port, "connPort", FieldKind::Text},
                {m_ui->identityFile, "identityFile", FieldKind::Text},
                {m_ui->jumpHosts, "jumpHosts", FieldKind::Text, jumpCheck, m_ui->formMessage},
                {m_ui->autoConnect, "autoConnect", FieldKind::Flag},
                {m_ui->handleAuthentication, "connAuth", FieldKind::Flag},
                {m_ui->compress, "compression", FieldKind::Flag},
                {m_ui->forcev1, "v1", FieldKind::Flag},
                {m_ui->allowLAN, "connRemote", FieldKind::Flag},
                {m_ui->enableSOCKS4, "socks4", FieldKind::Flag},
                // Like the forward ports: a SOCKS port outside 1..65535 is refused where it is typed.
                {m_ui->SOCKS4Port, "socks4p", FieldKind::Port, &EditValidator::portError, m_ui->drawerMessage},
                {m_ui->SOCKS4Bind, "socks4b", FieldKind::Text, [](QString& t) { return EditValidator::bindError(t); },
                 m_ui->drawerMessage},
                {m_ui->cryptMethod, "encryption", FieldKind::Cipher},
                {m_ui->keepAlive, "keepAlive", FieldKind::Seconds},
                {m_ui->sshOptions, "sshOptions", FieldKind::Lines, {}, m_ui->drawerMessage}};
    for (const FormField& f : m_fields)
        if (auto* e = qobject_cast<QLineEdit*>(f.control); e && f.check) {
            QLabel* label = f.message;
            new EditGuard(e, f.check, [this, label](const QString& why) { showMessage(label, why); });
        }

    connectControls();
    finishLoading();
}

PreferencesController::~PreferencesController() = default;

QDialog* PreferencesController::window() const { return m_window.get(); }

int PreferencesController::exec() { return m_window->exec(); }

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
    connect(m_ui->identityBrowse, &QToolButton::clicked, this, [this] {
        const QString start = m_ui->identityFile->text().isEmpty() ? QDir::homePath() + QStringLiteral("/.ssh")
                                                                   : m_ui->identityFile->text();
        const QString file = QFileDialog::getOpenFileName(m_window.get(), tr("Identity file"), start);
        if (file.isEmpty()) return;
        m_ui->identityFile->setText(file);
        controlChanged(m_ui->identityFile);
    });
    connect(m_ui->options, &QPushButton::clicked, this, [this] { disclosure(); });
    button(m_ui->forgetPasswordButton, &PreferencesController::forgetPassword);

    for (auto f = m_fields.cbegin(); f != m_fields.cend(); ++f) {
        if (auto* e = qobject_cast<QLineEdit*>(f->control)) {
            // Qt also ends an untouched field whenever the focus passes through it; only an edit is a change.
            connect(e, &QLineEdit::editingFinished, this, [this, e] {
                if (!e->isModified()) return;
                e->setModified(false);
                controlChanged(e);
            });
            connect(e, &QLineEdit::textEdited, this, [this, f] {
                if (auto v = valueOf(f, nullptr)) previewTyped(f, *v);
            });
        } else if (auto* c = qobject_cast<QCheckBox*>(f->control)) {
            connect(c, &QCheckBox::clicked, this, [this, c] { controlChanged(c); });
        } else if (auto* b = qobject_cast<QComboBox*>(f->control)) {
            connect(b, &QComboBox::activated, this, [this, b] { controlChanged(b); });
        } else if (auto* s = qobject_cast<QSpinBox*>(f->control)) {
            connect(s, &QSpinBox::valueChanged, this, [this, s] {
                if (!m_loading) controlChanged(s);
            });
        } else if (auto* t = qobject_cast<QPlainTextEdit*>(f->control)) {
            connect(t, &QPlainTextEdit::textChanged, this, [this, f] {
                if (m_loading) return;
                static_cast<QPlainTextEdit*>(f->control)->document()->setModified(true);
                previewTyped(f, *valueOf(f, nullptr));
            });
            t->installEventFilter(this);
        }
    }
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

    // Before the user moves any of the three selections, the state so far is saved; a forward
    // typed in part stays with the tunnel it was typed for.
    connect(m_ui->tunnelsList, &PrefsTableView::selectionShouldChange, this, [this] {
        commitOrDropPending(m_localModel);
        commitOrDropPending(m_remoteModel);
        save();
    });
    for (PrefsTableView* v : {m_ui->localList, m_ui->remoteList})
        connect(v, &PrefsTableView::selectionShouldChange, this, [this] { save(); });
    connect(m_ui->tunnelsList->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] {
        if (!m_reloading) tunnelSelectionDidChange();
    });
    connect(m_ui->localList->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this] { forwardSelectionDidChange(m_localModel); });
    connect(m_ui->remoteList->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this] { forwardSelectionDidChange(m_remoteModel); });
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
    // An open forward cell ends as if Return were pressed: kept when its text is accepted.
    for (PrefsTableView* v : {m_ui->localList, m_ui->remoteList}) v->finishEditing();
    // A forward typed only in part is kept (shown with its warning mark); an untouched one goes.
    commitOrDropPending(m_localModel);
    commitOrDropPending(m_remoteModel);
    for (const FormField& f : m_fields)
        if (focus == f.control && (qobject_cast<QLineEdit*>(focus) || qobject_cast<QPlainTextEdit*>(focus)))
            controlChanged(focus);  // the text typed so far
    save();
    m_closed = true;
}

TunnelPtr PreferencesController::currentTunnel() const {
    const int row = selectedRow(m_ui->tunnelsList);
    if (row < 0 || row >= numberOfTunnels()) return nullptr;
    return m_tunnels.at(static_cast<size_t>(row));
}

int PreferencesController::numberOfTunnels() const { return static_cast<int>(m_tunnels.size()); }

int PreferencesController::selectedRow(const PrefsTableView* view) const {
    const auto rows = view->selectionModel()->selectedRows();
    return rows.isEmpty() ? -1 : rows.first().row();
}

void PreferencesController::selectRow(PrefsTableView* view, int row) {
    QItemSelectionModel* selection = view->selectionModel();
    if (row < 0) {
        selection->clearSelection();
        selection->setCurrentIndex({}, QItemSelectionModel::NoUpdate);
        return;
    }
    const QModelIndex index = view->model()->index(row, 0);
    selection->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    view->scrollTo(index);
}

// ---- tunnel list ----

void PreferencesController::addHost() {
    if (m_closed) return;
    m_tunnelModel->append(Tunnel::tunnelWithName(Tunnel::kDefaultName));
    selectRow(m_ui->tunnelsList, numberOfTunnels() - 1);
}

void PreferencesController::delHost() {
    if (m_closed) return;
    const int row = selectedRow(m_ui->tunnelsList);
    if (row < 0 || row >= numberOfTunnels()) return;
    const TunnelPtr gone = m_tunnels.at(static_cast<size_t>(row));
    if (!confirmDelete(*gone)) return;
    m_reloading = true;
    m_tunnelModel->remove(row);
    // The row below moves up into the place; the form must show it, not the deleted tunnel's
    // values, which a later change would otherwise write into it.
    const int n = numberOfTunnels();
    selectRow(m_ui->tunnelsList, n == 0 ? -1 : std::min(row, n - 1));
    m_reloading = false;
    // Nothing would stop it later: the engine holds it while it runs and would retry it.
    gone->run().stop();
    if (m_passwordHooks.tunnelDeleted) m_passwordHooks.tunnelDeleted(*gone, m_tunnels.tunnels());
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
    box.setInformativeText(tunnel.run().code() == 2 ? tr("It is connected: deleting it closes its connection.")
                                                    : tr("Its settings and forwards are gone for good."));
    QPushButton* remove = box.addButton(tr("Delete"), QMessageBox::DestructiveRole);
    QPushButton* cancel = box.addButton(QMessageBox::Cancel);
    box.setDefaultButton(cancel);
    box.setEscapeButton(cancel);
    box.exec();
    return box.clickedButton() == remove;
}

void PreferencesController::importHosts() {
    if (m_closed) return;
    std::set<std::string> used;
    for (const TunnelPtr& t : m_tunnels.tunnels()) used.insert(t->valueForKey("connHost").text());
    ImportDialog dialog(m_importConfig.empty() ? SshConfig::userConfigPath() : m_importConfig, used, m_window.get());
    if (dialog.exec() != QDialog::Accepted) return;
    const auto hosts = dialog.chosen();
    if (hosts.empty()) return;
    for (const auto& host : hosts) m_tunnelModel->append(SshConfig::tunnelFor(host));
    selectRow(m_ui->tunnelsList, numberOfTunnels() - 1);
    save();
}

void PreferencesController::commitOrDropPending(ForwardListModel* model) {
    if (!model->hasPending()) return;
    bool typed = false;
    for (const auto& [key, value] : *model->pending()) typed = typed || !value.empty();
    if (typed)
        model->commitPending();
    else
        model->dropPending();
}

// ---- form ----

void PreferencesController::updateWindow() {
    if (m_closed) return;
    // A missing value shows as on: that is what start-up makes of it.
    const Value open = m_defaults.objectForKey("openPalette");
    m_ui->autoOpen->setChecked(open.isNone() || open.boolValue());
    const Value notify = m_defaults.objectForKey(kNotifyDrops);
    m_ui->notifyDrops->setChecked(notify.isNone() || notify.boolValue());
    m_ui->startAtLogin->setChecked(AutostartEntry::isEnabled());

    const TunnelPtr tunnel = currentTunnel();
    if (!tunnel) {
        m_ui->formStack->setCurrentWidget(m_ui->emptyView);
        m_ui->options->setChecked(false);
        m_empty = true;
    } else {
        if (m_empty) {
            m_ui->formStack->setCurrentWidget(m_ui->fullView);
            m_empty = false;
        }
        loadControls(*tunnel);
        showPreview();
    }
    // Another tunnel's lists start with nothing selected; that is no change the user made.
    m_reloading = true;
    for (PrefsTableView* v : {m_ui->localList, m_ui->remoteList}) selectRow(v, -1);
    m_reloading = false;
    reloadForward(m_ui->localList, m_localModel);
    reloadForward(m_ui->remoteList, m_remoteModel);
    disclosure();
    updateForgetButton();
}

void PreferencesController::loadControls(const Tunnel& t) {
    m_loading = true;
    for (QLabel* label : {m_ui->formMessage, m_ui->drawerMessage, m_ui->localMessage, m_ui->remoteMessage})
        showMessage(label, {});
    for (const FormField& f : m_fields) {
        const Value v = t.valueForKey(f.key);
        switch (f.kind) {
            case FieldKind::Seconds:
                static_cast<QSpinBox*>(f.control)->setValue(
                    static_cast<int>(v.isNone() ? TunnelSettings::kDefaultKeepAlive : v.intValue()));
                break;
            case FieldKind::Lines: {
                QStringList lines;
                for (const Value& line : v.list()) lines << QString::fromStdString(line.text());
                auto* edit = static_cast<QPlainTextEdit*>(f.control);
                edit->setPlainText(lines.join(u'\n'));
                edit->document()->setModified(false);
                break;
            }
            case FieldKind::Text:
                static_cast<QLineEdit*>(f.control)->setText(textOf(v));
                break;
            case FieldKind::Flag:
                static_cast<QCheckBox*>(f.control)->setChecked(v.boolValue());
                break;
            case FieldKind::Port:
                static_cast<QLineEdit*>(f.control)->setText(v.isNone() ? QString() : QString::number(v.intValue()));
                break;
            case FieldKind::Cipher:
                loadCipher(v);
                break;
        }
    }
    // Protocol 1 is gone from ssh; the box is kept only for a tunnel that still has it on.
    m_ui->forcev1->setVisible(m_ui->forcev1->isChecked());
    m_loading = false;
}

void PreferencesController::fillCiphers() {
    QComboBox* box = m_ui->cryptMethod;
    while (box->count() > 1) box->removeItem(box->count() - 1);
    m_extraCipherIndex = -1;
    for (const QString& c : m_ciphers.ciphers()) box->addItem(c, c);
    if (const TunnelPtr t = currentTunnel(); t && !m_closed) loadCipher(t->valueForKey("encryption"));
}

void PreferencesController::loadCipher(const Value& cipher) {
    QComboBox* box = m_ui->cryptMethod;
    if (m_extraCipherIndex >= 0) {
        box->removeItem(m_extraCipherIndex);
        m_extraCipherIndex = -1;
    }
    // Unset and empty both mean that ssh chooses.
    const QString name = textOf(cipher);
    int index = box->findData(name);
    if (index < 0) {
        // A cipher this ssh does not offer stays the tunnel's own until the user picks another.
        box->addItem(name, name);
        index = m_extraCipherIndex = box->count() - 1;
    }
    box->setCurrentIndex(index);
}

void PreferencesController::showPreview() {
    const TunnelPtr tunnel = currentTunnel();
    m_ui->commandLine->setText(
        tunnel ? QString::fromStdString(SshCommand::displayCommand(tunnel->command().arguments())) : QString());
    m_ui->commandLine->setCursorPosition(0);  // the start of a long line is what tells tunnels apart
}

std::optional<Value> PreferencesController::valueOf(const FormFieldRef& f, QString* reason) const {
    QString why;
    std::optional<Value> value;
    switch (f->kind) {
        case FieldKind::Text: {
            QString text = static_cast<QLineEdit*>(f->control)->text();
            if (f->check) why = f->check(text);
            if (why.isEmpty()) value = Value(text.toStdString());
            break;
        }
        case FieldKind::Flag:
            value = Value(static_cast<QCheckBox*>(f->control)->isChecked());
            break;
        case FieldKind::Port: {
            QString port = static_cast<QLineEdit*>(f->control)->text();
            why = EditValidator::portError(port);
            if (why.isEmpty()) value = Value(static_cast<std::int64_t>(port.toInt()));
            break;
        }
        case FieldKind::Cipher:
            value = Value(static_cast<QComboBox*>(f->control)->currentData().toString().toStdString());
            break;
        case FieldKind::Seconds:
            value = Value(static_cast<std::int64_t>(static_cast<QSpinBox*>(f->control)->value()));
            break;
        case FieldKind::Lines: {
            Value::List list;
            for (const QString& line : linesOf(static_cast<QPlainTextEdit*>(f->control)))
                list.emplace_back(line.toStdString());
            value = Value(std::move(list));
            break;
        }
    }
    if (reason) *reason = why;
    return value;
}

void PreferencesController::previewTyped(const FormFieldRef& f, const Value& typed) {
    const TunnelPtr t = currentTunnel();
    if (!t) return;
    // A copy that never starts: the tunnel itself changes only when the edit ends.
    auto copy = Tunnel::create(t->connName());
    const Value stored = t->dictionary();
    for (const auto& [key, value] : stored.dict())
        if (key != "autoConnect") copy->setValueForKey(value, key);
    copy->setValueForKey(typed, f->key);
    m_ui->commandLine->setText(QString::fromStdString(SshCommand::displayCommand(copy->command().arguments())));
    m_ui->commandLine->setCursorPosition(0);
}

void PreferencesController::showMessage(QLabel* label, const QString& text) {
    label->setText(text);
    label->setVisible(!text.isEmpty());
}

bool PreferencesController::eventFilter(QObject* watched, QEvent* event) {
    auto* edit = qobject_cast<QPlainTextEdit*>(watched);
    if (!edit || event->type() != QEvent::FocusOut || !edit->document()->isModified() || m_closed) return false;
    const auto reason = static_cast<QFocusEvent*>(event)->reason();
    if (reason == Qt::ActiveWindowFocusReason || reason == Qt::PopupFocusReason) return false;
    const QString why = optionsError(linesOf(edit));
    showMessage(m_ui->drawerMessage, why);
    if (!why.isEmpty()) {
        QTimer::singleShot(0, edit, [edit] { edit->setFocus(Qt::OtherFocusReason); });
        return false;
    }
    edit->document()->setModified(false);
    controlChanged(edit);
    return false;
}

void PreferencesController::controlChanged(QObject* sender) {
    if (m_closed) return;
    const TunnelPtr t = currentTunnel();
    const auto f =
        std::find_if(m_fields.cbegin(), m_fields.cend(), [sender](const FormField& f) { return f.control == sender; });
    if (t && f != m_fields.cend()) {
        // A refused text (also one left untyped in the field) stores nothing.
        if (auto value = valueOf(f, nullptr)) t->setValueForKey(*value, f->key);
        // The tunnel list shows the name.
        if (f->control == m_ui->name) m_tunnelModel->refreshRow(selectedRow(m_ui->tunnelsList));
    }
    save();
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
    QRect frame = m_window->frameGeometry();
    // Wider than the screen: the form gives up width, never the panel.
    if (frame.width() > area.width()) {
        m_window->resize(m_window->width() - (frame.width() - area.width()), m_window->height());
        frame = m_window->frameGeometry();
    }
    // Past the right edge: the window moves left rather than growing off the screen.
    if (frame.right() > area.right()) m_window->move(m_window->x() - (frame.right() - area.right()), m_window->y());
    if (m_window->frameGeometry().left() < area.left()) m_window->move(area.left(), m_window->y());
}

// ---- saving ----

void PreferencesController::save() {
    if (m_closed) return;
    showPreview();
    updateForgetButton();  // user, host and port name the account
    // One atomic write for both keys; it is on disk before anyone hears of it.
    // The edit stays on screen either way; the user must know it is not on disk.
    if (m_defaults.setObjectsForKeys({{"tunnels", m_tunnels.storedForm()},
                                      {"openPalette", Value(m_ui->autoOpen->isChecked())},
                                      {kNotifyDrops, Value(m_ui->notifyDrops->isChecked())}})) {
        showSaveProblem({});
    } else {
        Log::line("The tunnels were not saved; the changes last until Zandrel quits.");
        showSaveProblem(tr("Your changes could not be saved to %1 (is the disk full or read-only?). "
                           "They last until Zandrel quits.")
                            .arg(QString::fromStdString(m_defaults.path())));
    }
    NotificationCenter::defaultCenter().post(kPrefChanged, this);
}

void PreferencesController::showSaveProblem(const QString& text) {
    m_ui->saveProblem->setText(text);
    m_ui->saveProblem->setVisible(!text.isEmpty());
}

// ---- forward lists ----

void PreferencesController::addLocal() { addForward(m_ui->localList, m_localModel); }
void PreferencesController::addRemote() { addForward(m_ui->remoteList, m_remoteModel); }
void PreferencesController::delLocal() { delForward(m_ui->localList, m_localModel); }
void PreferencesController::delRemote() { delForward(m_ui->remoteList, m_remoteModel); }

void PreferencesController::reloadForward(PrefsTableView* view, ForwardListModel* model) {
    const int row = selectedRow(view);
    m_reloading = true;
    model->reload();
    if (row >= 0 && row < model->rowCount()) selectRow(view, row);
    m_reloading = false;
}

void PreferencesController::addForward(PrefsTableView* view, ForwardListModel* model) {
    if (m_closed || !currentTunnel()) return;
    const int row = selectedRow(view);
    m_reloading = true;
    model->makePending();
    if (row >= 0 && row < model->rowCount()) selectRow(view, row);
    m_reloading = false;
    const int pendingRow = model->entryCount();
    selectRow(view, pendingRow);
    view->setFocus(Qt::OtherFocusReason);
    // The bind address is seldom needed: typing starts with the port.
    view->setCurrentIndex(model->index(pendingRow, ForwardListModel::column("port")));
    view->edit(model->index(pendingRow, ForwardListModel::column("port")));
}

void PreferencesController::delForward(PrefsTableView* view, ForwardListModel* model) {
    if (m_closed) return;
    const int row = selectedRow(view);
    if (row < 0) return;
    m_reloading = true;
    if (model->hasPending() && row == model->entryCount())
        model->dropPending();
    else
        model->removeEntry(row);
    if (row < model->rowCount()) selectRow(view, row);
    m_reloading = false;
}

void PreferencesController::forwardSelectionDidChange(ForwardListModel*) {
    if (m_reloading || m_closed) return;
    save();
}
