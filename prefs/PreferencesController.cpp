#include "PreferencesController.h"

#include <QCheckBox>
#include <QComboBox>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLineEdit>
#include <QPushButton>
#include <algorithm>
#include <optional>

#include "CipherList.h"
#include "EditGuard.h"
#include "EditValidator.h"
#include "ForwardItemDelegate.h"
#include "ForwardListModel.h"
#include "Log.h"
#include "NotificationCenter.h"
#include "PreferencesWindow.h"
#include "TunnelListModel.h"
#include "ui_Preferences.h"

namespace {
constexpr int kDrawerWidth = 250;

QString textOf(const Value& v) { return v.isText() ? QString::fromStdString(v.text()) : QString(); }
}  // namespace

PreferencesController::PreferencesController(TunnelList& tunnels, Defaults& defaults, QWidget* parent)
    : PreferencesController(tunnels, defaults, CipherList::system(), parent) {}

PreferencesController::PreferencesController(TunnelList& tunnels, Defaults& defaults, CipherList& ciphers,
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
    for (auto [view, model] : {std::pair{m_ui->localList, m_localModel}, std::pair{m_ui->remoteList, m_remoteModel}}) {
        view->setModel(model);
        view->setItemDelegate(new ForwardItemDelegate(view));
        view->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    }

    m_ui->cryptMethod->addItem(tr("Automatic"), QString(""));
    // Until ssh has answered, the pop-up offers Automatic and the tunnel's own cipher.
    connect(&m_ciphers, &CipherList::ready, this, [this] { fillCiphers(); });
    m_ciphers.fetch();
    fillCiphers();

    // Like the forward ports: a SOCKS4 port outside 1..65535 is refused where it is typed.
    new EditGuard(m_ui->SOCKS4Port, [](QString& text) { return EditValidator::portShouldEndEditing(text); });

    m_ui->drawer->setFixedWidth(kDrawerWidth);
    m_ui->drawer->hide();

    // The form's fields, in the order they load.
    m_fields = {
        {m_ui->name, "connName", FieldKind::Text},           {m_ui->login, "connUser", FieldKind::Text},
        {m_ui->host, "connHost", FieldKind::Text},           {m_ui->port, "connPort", FieldKind::Text},
        {m_ui->autoConnect, "autoConnect", FieldKind::Flag}, {m_ui->handleAuthentication, "connAuth", FieldKind::Flag},
        {m_ui->compress, "compression", FieldKind::Flag},    {m_ui->forcev1, "v1", FieldKind::Flag},
        {m_ui->allowLAN, "connRemote", FieldKind::Flag},     {m_ui->enableSOCKS4, "socks4", FieldKind::Flag},
        {m_ui->SOCKS4Port, "socks4p", FieldKind::Port},      {m_ui->cryptMethod, "encryption", FieldKind::Cipher}};

    connectControls();
    awakeFromNib();
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
    connect(m_ui->options, &QPushButton::clicked, this, [this] { disclosure(); });
    button(m_ui->forgetPasswordButton, &PreferencesController::forgetPassword);

    for (const FormField& f : m_fields) {
        if (auto* e = qobject_cast<QLineEdit*>(f.control))
            // Qt also ends an untouched field whenever the focus passes through it; only an edit is a change.
            connect(e, &QLineEdit::editingFinished, this, [this, e] {
                if (!e->isModified()) return;
                e->setModified(false);
                controlChanged(e);
            });
        else if (auto* c = qobject_cast<QCheckBox*>(f.control))
            connect(c, &QCheckBox::clicked, this, [this, c] { controlChanged(c); });
        else if (auto* b = qobject_cast<QComboBox*>(f.control))
            connect(b, &QComboBox::activated, this, [this, b] { controlChanged(b); });
    }
    // Not a tunnel's field: saved with the list.
    connect(m_ui->autoOpen, &QCheckBox::clicked, this, [this] { controlChanged(m_ui->autoOpen); });

    // Before the user moves any of the three selections, the state so far is saved.
    for (PrefsTableView* v : {m_ui->tunnelsList, m_ui->localList, m_ui->remoteList})
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
void PreferencesController::awakeFromNib() {
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
    for (const FormField& f : m_fields)
        if (focus == f.control && qobject_cast<QLineEdit*>(focus)) controlChanged(focus);  // the text typed so far
    save();
    m_closed = true;
}

TunnelPtr PreferencesController::currentTunnel() const {
    const int row = selectedRow(m_ui->tunnelsList);
    if (row < 0 || row >= numberOfTunnels()) return nullptr;
    return m_tunnels[static_cast<size_t>(row)];
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
    m_tunnelModel->append(ROZUdivev::tunnelWithName(ROZUdivev::kDefaultName));
    selectRow(m_ui->tunnelsList, numberOfTunnels() - 1);
}

void PreferencesController::delHost() {
    if (m_closed) return;
    const int row = selectedRow(m_ui->tunnelsList);
    if (row < 0 || row >= numberOfTunnels()) return;
    const TunnelPtr gone = m_tunnels[static_cast<size_t>(row)];
    m_reloading = true;
    m_tunnelModel->remove(row);
    // The row below moves up into the place; the form must show it, not the deleted tunnel's
    // values, which a later change would otherwise write into it.
    const int n = numberOfTunnels();
    selectRow(m_ui->tunnelsList, n == 0 ? -1 : std::min(row, n - 1));
    m_reloading = false;
    // Nothing would stop it later: its launch thread holds it and would start it again.
    gone->stopTunnel();
    if (m_passwordHooks.tunnelDeleted) m_passwordHooks.tunnelDeleted(*gone, m_tunnels);
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

// ---- form ----

void PreferencesController::updateWindow() {
    if (m_closed) return;
    // A missing value shows as on: that is what start-up makes of it.
    const Value open = m_defaults.objectForKey("openPalette");
    m_ui->autoOpen->setChecked(open.isNone() || open.boolValue());

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

void PreferencesController::loadControls(const ROZUdivev& t) {
    for (const FormField& f : m_fields) {
        const Value v = t.valueForKey(f.key);
        switch (f.kind) {
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
    m_ui->commandLine->setText(tunnel ? QString::fromStdString(ROZUdivev::displayCommand(tunnel->arguments()))
                                      : QString());
    m_ui->commandLine->setCursorPosition(0);  // the start of a long line is what tells tunnels apart
}

void PreferencesController::controlChanged(QObject* sender) {
    if (m_closed) return;
    const TunnelPtr t = currentTunnel();
    const auto f =
        std::find_if(m_fields.begin(), m_fields.end(), [sender](const FormField& f) { return f.control == sender; });
    if (t && f != m_fields.end()) {
        std::optional<Value> value;
        switch (f->kind) {
            case FieldKind::Text:
                value = Value(static_cast<QLineEdit*>(f->control)->text().toStdString());
                break;
            case FieldKind::Flag:
                value = Value(static_cast<QCheckBox*>(f->control)->isChecked());
                break;
            case FieldKind::Port: {
                // A refused text (also one left untyped in the field) stores nothing.
                QString port = static_cast<QLineEdit*>(f->control)->text();
                if (EditValidator::portShouldEndEditing(port)) value = Value(static_cast<std::int64_t>(port.toInt()));
                break;
            }
            case FieldKind::Cipher:
                value = Value(static_cast<QComboBox*>(f->control)->currentData().toString().toStdString());
                break;
        }
        if (value) t->setValueForKey(*value, f->key);
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
}

// ---- saving ----

void PreferencesController::save() {
    if (m_closed) return;
    showPreview();
    updateForgetButton();  // user, host and port name the account
    Value::List stored;
    stored.reserve(m_tunnels.size());
    for (const TunnelPtr& t : m_tunnels) stored.push_back(t->dictionary());
    // One atomic write for both keys; it is on disk before anyone hears of it.
    if (!m_defaults.setObjectsForKeys(
            {{"tunnels", Value(std::move(stored))}, {"openPalette", Value(m_ui->autoOpen->isChecked())}}))
        Log::line("The tunnels were not saved; the changes last until Zandrel quits.");
    NotificationCenter::defaultCenter().post(kPrefChanged, this);
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
    // Announced when it moves the selection: commits an entry still waiting for toAdd, and saves.
    selectRow(view, pendingRow);
    view->setFocus(Qt::OtherFocusReason);
    view->edit(model->index(pendingRow, 0));
    m_toAdd = true;
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

void PreferencesController::forwardSelectionDidChange(ForwardListModel* model) {
    if (m_reloading || m_closed) return;
    if (model->hasPending() && m_toAdd && model->commitPending()) m_toAdd = false;
    save();
}
