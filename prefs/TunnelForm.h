#pragma once

#include <QObject>
#include <QString>
#include <functional>
#include <optional>
#include <vector>

#include "TunnelStore.h"

class CipherList;
class OptionCheck;
class QLabel;
class QWidget;
namespace Ui {
class Preferences;
}

// The form of the preferences window: each control bound to a tunnel key, filled from the
// current tunnel, checked as it is typed, with the ssh command line it makes shown beneath.
// The form stores nothing by itself: an ended edit is announced, and the controller stores it.
class TunnelForm : public QObject {
    Q_OBJECT
public:
    // current: the tunnel being edited (null: none). The ciphers offered are those of the list.
    TunnelForm(Ui::Preferences& ui, CipherList& ciphers, const TunnelStore& tunnels, std::function<TunnelPtr()> current,
               QObject* parent);

    // Fills the controls from the tunnel; their signals meanwhile are no edits.
    void load(const Tunnel& tunnel);
    // Writes the control's value into the tunnel (nothing while it holds a refused text);
    // false when the control is none of the form's fields.
    bool store(QObject* control, Tunnel& tunnel) const;
    // A field of the form whose text is typed (the edit may still be open when the window closes).
    bool isTextField(const QWidget* control) const;
    // The current tunnel's command line as stored.
    void showPreview();
    // After the window closes nothing more is checked, and a late cipher list changes no control.
    void windowClosed() { m_closed = true; }

Q_SIGNALS:
    // The user ended an edit of that control.
    void edited(QObject* control);

protected:
    // The options text ends its edit when it loses the focus and ssh accepts it; a line ssh
    // refuses keeps the focus there and is not stored.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // How a control shows and edits its tunnel field.
    enum class FieldKind { Text, Flag, Port, Cipher, Seconds, Minutes, Lines, Choice };  // Choice: typed or picked
    struct FormField {
        QWidget* control;
        const char* key;
        FieldKind kind;
        // Why a typed text cannot stand (empty: it can); none for fields that take any text.
        std::function<QString(QString&)> check = {};
        QLabel* message = nullptr;  // where a refusal is shown
    };
    using FormFieldRef = std::vector<FormField>::const_iterator;

    void connectFields();
    void browseIdentity();
    void loadCipher(const Value& cipher);
    // The cipher pop-up's items: Automatic, then ssh's list as far as it is known.
    void fillCiphers();
    // The preview with a field's text as typed, before it is stored.
    void previewTyped(const FormFieldRef& field, const Value& typed);
    // A field's value from its control; none while the control holds a refused text. judged:
    // options that ssh has not yet judged are asked of it now (the window's last moment).
    std::optional<Value> valueOf(const FormFieldRef& field, bool judged = true) const;
    // A typed group's edit ended: stored when it can stand, else the reason shown.
    void endTypedChoice(const FormFieldRef& field);
    void optionsJudged(const QStringList& lines, const QString& why);

    Ui::Preferences& m_ui;
    const TunnelStore& m_tunnels;  // for names that are free
    CipherList& m_ciphers;
    std::function<TunnelPtr()> m_current;
    // One line per tunnel field of the form: it loads, reports changes and stores through this.
    std::vector<FormField> m_fields;
    int m_extraCipherIndex = -1;
    // Controls are being filled from a tunnel: their signals are no edits.
    bool m_loading = false;
    bool m_closed = false;
    OptionCheck* m_optionCheck;
    // The options lines as stored or as ssh last accepted them: only those are stored.
    mutable QStringList m_acceptedOptions;
};
