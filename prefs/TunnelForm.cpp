#include "TunnelForm.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QFocusEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QSpinBox>
#include <QTimer>
#include <QToolButton>
#include <algorithm>

#include "CipherList.h"
#include "EditGuard.h"
#include "EditValidator.h"
#include "EngineTexts.h"
#include "InlineMessage.h"
#include "OptionCheck.h"
#include "TunnelGroups.h"
#include "ui_Preferences.h"

namespace {
QString textOf(const Value& v) { return v.isText() ? QString::fromStdString(v.text()) : QString(); }

QStringList linesOf(const QPlainTextEdit* edit) {
    QStringList lines;
    for (const QString& line : edit->toPlainText().split(u'\n'))
        if (!line.trimmed().isEmpty()) lines << line.trimmed();
    return lines;
}

}  // namespace

TunnelForm::TunnelForm(Ui::Preferences& ui, CipherList& ciphers, const TunnelStore& tunnels,
                       std::function<TunnelPtr()> current, QObject* parent)
    : QObject(parent),
      m_ui(ui),
      m_tunnels(tunnels),
      m_ciphers(ciphers),
      m_current(std::move(current)),
      m_optionCheck(new OptionCheck(this)) {
    connect(m_optionCheck, &OptionCheck::judged, this, &TunnelForm::optionsJudged);
    for (QLabel* label : {m_ui.formMessage, m_ui.drawerMessage}) InlineMessage::show(label, {});

    m_ui.cryptMethod->addItem(tr("Automatic"), QString(""));
    // Until ssh has answered, the pop-up offers Automatic and the tunnel's own cipher.
    connect(&m_ciphers, &CipherList::ready, this, [this] { fillCiphers(); });
    m_ciphers.fetch();
    fillCiphers();

    // The form's fields, in the order they load.
    auto jumpCheck = [](QString& text) {
        text = text.trimmed().remove(u' ');
        return text.isEmpty() ? QString() : EngineTexts::translated(SshCommand::jumpHostsError(text.toStdString()));
    };
    auto nameCheck = [this](QString& text) {
        return EngineTexts::translated(m_tunnels.nameError(text.toStdString(), m_current().get()));
    };
    m_fields = {{m_ui.name, "connName", FieldKind::Text, nameCheck, m_ui.formMessage},
                {m_ui.login, "connUser", FieldKind::Text},
                {m_ui.host, "connHost", FieldKind::Text},
                {m_ui.port, "connPort", FieldKind::Text},
                {m_ui.identityFile, "identityFile", FieldKind::Text},
                {m_ui.jumpHosts, "jumpHosts", FieldKind::Text, jumpCheck, m_ui.formMessage},
                {m_ui.autoConnect, "autoConnect", FieldKind::Flag},
                {m_ui.onDemand, "onDemand", FieldKind::Flag},
                {m_ui.idleMinutes, "idleMinutes", FieldKind::Minutes},
                {m_ui.handleAuthentication, "connAuth", FieldKind::Flag},
                {m_ui.compress, "compression", FieldKind::Flag},
                {m_ui.forcev1, "v1", FieldKind::Flag},
                {m_ui.allowLAN, "connRemote", FieldKind::Flag},
                {m_ui.enableSOCKS4, "socks4", FieldKind::Flag},
                // Like the forward ports: a SOCKS port outside 1..65535 is refused where it is typed.
                {m_ui.SOCKS4Port, "socks4p", FieldKind::Port, &EditValidator::portError, m_ui.drawerMessage},
                {m_ui.SOCKS4Bind, "socks4b", FieldKind::Text, [](QString& t) { return EditValidator::bindError(t); },
                 m_ui.drawerMessage},
                {m_ui.cryptMethod, "encryption", FieldKind::Cipher},
                {m_ui.keepAlive, "keepAlive", FieldKind::Seconds},
                {m_ui.sshOptions, "sshOptions", FieldKind::Lines, {}, m_ui.drawerMessage},
                {m_ui.group, "group", FieldKind::Choice,
                 [](QString& text) {
                     text = text.trimmed();
                     return EngineTexts::translated(TunnelGroups::nameError(text.toStdString()));
                 },
                 m_ui.formMessage}};
    for (const FormField& f : m_fields)
        if (auto* e = qobject_cast<QLineEdit*>(f.control); e && f.check) {
            QLabel* label = f.message;
            new EditGuard(e, f.check, [label](const QString& why) { InlineMessage::show(label, why); });
        }

    // The quiet time means something only for a tunnel that starts when used.
    connect(m_ui.onDemand, &QCheckBox::toggled, m_ui.idleMinutes, &QWidget::setEnabled);
    m_ui.idleMinutes->setEnabled(false);
    connectFields();
}

void TunnelForm::connectFields() {
    connect(m_ui.identityBrowse, &QToolButton::clicked, this, [this] { browseIdentity(); });
    for (auto f = m_fields.cbegin(); f != m_fields.cend(); ++f) {
        if (auto* e = qobject_cast<QLineEdit*>(f->control)) {
            // Qt also ends an untouched field whenever the focus passes through it; only an edit is a change.
            connect(e, &QLineEdit::editingFinished, this, [this, e] {
                if (!e->isModified()) return;
                e->setModified(false);
                Q_EMIT edited(e);
            });
            connect(e, &QLineEdit::textEdited, this, [this, f] {
                if (auto v = valueOf(f)) previewTyped(f, *v);
            });
        } else if (auto* c = qobject_cast<QCheckBox*>(f->control)) {
            connect(c, &QCheckBox::clicked, this, [this, c] { Q_EMIT edited(c); });
        } else if (auto* b = qobject_cast<QComboBox*>(f->control)) {
            connect(b, &QComboBox::activated, this, [this, b] { Q_EMIT edited(b); });
            // A group typed in: the edit ends as a text field's does, by Enter or by leaving it.
            if (QLineEdit* typed = b->lineEdit())
                connect(typed, &QLineEdit::editingFinished, this, [this, f] { endTypedChoice(f); });
        } else if (auto* s = qobject_cast<QSpinBox*>(f->control)) {
            connect(s, &QSpinBox::valueChanged, this, [this, s] {
                if (!m_loading) Q_EMIT edited(s);
            });
        } else if (auto* t = qobject_cast<QPlainTextEdit*>(f->control)) {
            connect(t, &QPlainTextEdit::textChanged, this, [this, f] {
                if (m_loading) return;
                static_cast<QPlainTextEdit*>(f->control)->document()->setModified(true);
                previewTyped(f, *valueOf(f, false));
            });
            t->installEventFilter(this);
        }
    }
}

void TunnelForm::browseIdentity() {
    QLineEdit* field = m_ui.identityFile;
    const QString start = field->text().isEmpty() ? QDir::homePath() + QStringLiteral("/.ssh") : field->text();
    const QString file = QFileDialog::getOpenFileName(field->window(), tr("Identity file"), start);
    if (file.isEmpty()) return;
    field->setText(file);
    Q_EMIT edited(field);
}

void TunnelForm::load(const Tunnel& t) {
    m_loading = true;
    for (QLabel* label : {m_ui.formMessage, m_ui.drawerMessage}) InlineMessage::show(label, {});
    for (const FormField& f : m_fields) {
        const Value v = t.valueForKey(f.key);
        switch (f.kind) {
            case FieldKind::Seconds:
            case FieldKind::Minutes:
                static_cast<QSpinBox*>(f.control)->setValue(
                    static_cast<int>(!v.isNone()                    ? v.intValue()
                                     : f.kind == FieldKind::Seconds ? TunnelSettings::kDefaultKeepAlive
                                                                    : TunnelSettings::kDefaultIdleMinutes));
                break;
            case FieldKind::Lines: {
                QStringList lines;
                for (const Value& line : v.list()) lines << QString::fromStdString(line.text());
                auto* edit = static_cast<QPlainTextEdit*>(f.control);
                edit->setPlainText(lines.join(u'\n'));
                m_acceptedOptions = linesOf(edit);
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
            case FieldKind::Choice: {
                // The groups there are to pick from, and none.
                auto* box = static_cast<QComboBox*>(f.control);
                box->clear();
                box->addItem(QString());
                for (const std::string& g : TunnelGroups::names(m_tunnels.tunnels()))
                    box->addItem(QString::fromStdString(g));
                box->setEditText(textOf(v));
                break;
            }
        }
    }
    // Protocol 1 is gone from ssh; the box is kept only for a tunnel that still has it on.
    m_ui.forcev1->setVisible(m_ui.forcev1->isChecked());
    m_loading = false;
}

bool TunnelForm::store(QObject* control, Tunnel& tunnel) const {
    const auto f = std::find_if(m_fields.cbegin(), m_fields.cend(),
                                [control](const FormField& f) { return f.control == control; });
    if (f == m_fields.cend()) return false;
    // A refused text (also one left untyped in the field) stores nothing.
    if (auto value = valueOf(f)) tunnel.setValueForKey(*value, f->key);
    return true;
}

bool TunnelForm::isTextField(const QWidget* control) const {
    return std::any_of(m_fields.cbegin(), m_fields.cend(), [control](const FormField& f) {
        return f.control == control &&
               (qobject_cast<QLineEdit*>(f.control) || qobject_cast<QPlainTextEdit*>(f.control));
    });
}

void TunnelForm::fillCiphers() {
    QComboBox* box = m_ui.cryptMethod;
    while (box->count() > 1) box->removeItem(box->count() - 1);
    m_extraCipherIndex = -1;
    for (const QString& c : m_ciphers.ciphers()) box->addItem(c, c);
    if (const TunnelPtr t = m_current(); t && !m_closed) loadCipher(t->valueForKey("encryption"));
}

void TunnelForm::loadCipher(const Value& cipher) {
    QComboBox* box = m_ui.cryptMethod;
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

void TunnelForm::showPreview() {
    const TunnelPtr tunnel = m_current();
    m_ui.commandLine->setText(tunnel ? QString::fromStdString(SshCommand::displayCommand(tunnel->command().arguments()))
                                     : QString());
    m_ui.commandLine->setCursorPosition(0);  // the start of a long line is what tells tunnels apart
}

std::optional<Value> TunnelForm::valueOf(const FormFieldRef& f, bool judged) const {
    std::optional<Value> value;
    switch (f->kind) {
        case FieldKind::Text: {
            QString text = static_cast<QLineEdit*>(f->control)->text();
            if (!f->check || f->check(text).isEmpty()) value = Value(text.toStdString());
            break;
        }
        case FieldKind::Flag:
            value = Value(static_cast<QCheckBox*>(f->control)->isChecked());
            break;
        case FieldKind::Port: {
            QString port = static_cast<QLineEdit*>(f->control)->text();
            if (EditValidator::portError(port).isEmpty()) value = Value(static_cast<std::int64_t>(port.toInt()));
            break;
        }
        case FieldKind::Cipher:
            value = Value(static_cast<QComboBox*>(f->control)->currentData().toString().toStdString());
            break;
        case FieldKind::Choice: {
            QString text = static_cast<QComboBox*>(f->control)->currentText();
            if (!f->check || f->check(text).isEmpty()) value = Value(text.toStdString());
            break;
        }
        case FieldKind::Seconds:
        case FieldKind::Minutes:
            value = Value(static_cast<std::int64_t>(static_cast<QSpinBox*>(f->control)->value()));
            break;
        case FieldKind::Lines: {
            const QStringList lines = linesOf(static_cast<QPlainTextEdit*>(f->control));
            if (judged && lines != m_acceptedOptions) {
                if (!OptionCheck::errorOf(lines).isEmpty()) break;
                m_acceptedOptions = lines;
            }
            Value::List list;
            for (const QString& line : lines) list.emplace_back(line.toStdString());
            value = Value(std::move(list));
            break;
        }
    }
    return value;
}

void TunnelForm::previewTyped(const FormFieldRef& f, const Value& typed) {
    const TunnelPtr t = m_current();
    if (!t) return;
    // A copy that never starts: the tunnel itself changes only when the edit ends.
    auto copy = t->copy();
    copy->setValueForKey(typed, f->key);
    m_ui.commandLine->setText(QString::fromStdString(SshCommand::displayCommand(copy->command().arguments())));
    m_ui.commandLine->setCursorPosition(0);
}

void TunnelForm::endTypedChoice(const FormFieldRef& f) {
    auto* box = static_cast<QComboBox*>(f->control);
    QLineEdit* typed = box->lineEdit();
    if (m_loading || !typed->isModified()) return;
    typed->setModified(false);
    QString text = typed->text();
    const QString why = f->check ? f->check(text) : QString();
    InlineMessage::show(f->message, why);
    if (why.isEmpty()) Q_EMIT edited(box);
}

bool TunnelForm::eventFilter(QObject* watched, QEvent* event) {
    auto* edit = qobject_cast<QPlainTextEdit*>(watched);
    if (!edit || event->type() != QEvent::FocusOut || !edit->document()->isModified() || m_closed) return false;
    const auto reason = static_cast<QFocusEvent*>(event)->reason();
    if (reason == Qt::ActiveWindowFocusReason || reason == Qt::PopupFocusReason) return false;
    m_optionCheck->check(linesOf(edit));
    return false;
}

void TunnelForm::optionsJudged(const QStringList& lines, const QString& why) {
    QPlainTextEdit* edit = m_ui.sshOptions;
    if (m_closed || lines != linesOf(edit)) return;  // typed on meanwhile: the next check judges
    InlineMessage::show(m_ui.drawerMessage, why);
    if (!why.isEmpty()) {
        edit->setFocus(Qt::OtherFocusReason);
        return;
    }
    m_acceptedOptions = lines;
    edit->document()->setModified(false);
    Q_EMIT edited(edit);
}
