#pragma once

#include <QObject>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Defaults.h"
#include "TunnelStore.h"

class QDialog;
class QLabel;
class QWidget;
class CipherList;
class ForwardListModel;
class PreferencesWindow;
class PrefsTableView;
class TunnelListModel;
namespace Ui {
class Preferences;
}

// The preferences editor: edits the application's tunnel list in place and saves after each step.
// The window is built with the editor and lives as long as it does.
class PreferencesController : public QObject {
    Q_OBJECT
public:
    static constexpr const char* kPrefChanged = "PreferencesChanged";
    static constexpr const char* kHomeAddress = "https://zandrel.org/";
    // Preference: a desktop notification when a connected tunnel drops (missing: on).
    static constexpr const char* kNotifyDrops = "notifyDrops";

    PreferencesController(TunnelStore& tunnels, Defaults& defaults, QWidget* parent = nullptr);
    // The ciphers offered are those of the given list (the system's ssh by default).
    PreferencesController(TunnelStore& tunnels, Defaults& defaults, CipherList& ciphers, QWidget* parent = nullptr);
    ~PreferencesController() override;

    // Runs the window modally until it closes.
    int exec();
    QDialog* window() const;

    // The tunnel selected in the tunnel list, or null.
    TunnelPtr currentTunnel() const;
    int numberOfTunnels() const;

    // Actions of the window's buttons.
    void addHost();
    void delHost();
    void addLocal();
    void addRemote();
    void delLocal();
    void delRemote();
    // Makes tunnels of the hosts the user picks from the ssh config (~/.ssh/config by default).
    void importHosts();
    void setImportConfigPath(const std::string& path) { m_importConfig = path; }
    // Writes the sender's value into the current tunnel's field, then saves.
    void controlChanged(QObject* sender);
    // Shows or hides the options panel as the options button says.
    void disclosure();
    // Stores every tunnel and "openPalette", then tells the application (PreferencesChanged).
    void save();
    // Shows the current tunnel, or the empty panel.
    void updateWindow();

    // Remembered passwords are kept outside the editor (the keyring); it reaches them through these.
    struct PasswordHooks {
        std::function<bool(const Tunnel&)> remembered;
        std::function<void(const Tunnel&)> forget;
        std::function<void(const Tunnel& gone, const TunnelList& remaining)> tunnelDeleted;
    };
    void setPasswordHooks(PasswordHooks hooks);
    // "Forget remembered password": the current tunnel's account's passwords.
    void forgetPassword();

protected:
    // The options text ends its edit when it loses the focus; a line ssh refuses keeps it there.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // How a control shows and edits its tunnel field.
    enum class FieldKind { Text, Flag, Port, Cipher, Seconds, Lines };
    struct FormField {
        QWidget* control;
        const char* key;
        FieldKind kind;
        // Why a typed text cannot stand (empty: it can); none for fields that take any text.
        std::function<QString(QString&)> check = {};
        QLabel* message = nullptr;  // where a refusal is shown
    };
    using FormFieldRef = std::vector<FormField>::const_iterator;

    void finishLoading();
    void windowWillClose();
    void connectControls();
    void tunnelSelectionDidChange();
    void forwardSelectionDidChange(ForwardListModel* model);
    void addForward(PrefsTableView* view, ForwardListModel* model);
    void delForward(PrefsTableView* view, ForwardListModel* model);
    void reloadForward(PrefsTableView* view, ForwardListModel* model);
    void selectRow(PrefsTableView* view, int row);
    int selectedRow(const PrefsTableView* view) const;
    void loadControls(const Tunnel& tunnel);
    void loadCipher(const Value& cipher);
    // The cipher pop-up's items: Automatic, then ssh's list as far as it is known.
    void fillCiphers();
    void showPreview();
    // The preview with a field's text as typed, before it is stored.
    void previewTyped(const FormFieldRef& field, const Value& typed);
    // A field's value from its control; none while the control holds a refused text.
    std::optional<Value> valueOf(const FormFieldRef& field, QString* reason) const;
    void showMessage(QLabel* label, const QString& text);
    bool confirmDelete(const Tunnel& tunnel);
    void commitOrDropPending(ForwardListModel* model);
    void keepOnScreen();
    void setDrawerOpen(bool open);
    // A save or the login entry that failed; empty hides the message.
    void showSaveProblem(const QString& text);
    void updateForgetButton();

    TunnelStore& m_tunnels;
    Defaults& m_defaults;
    CipherList& m_ciphers;
    std::unique_ptr<PreferencesWindow> m_window;
    std::unique_ptr<Ui::Preferences> m_ui;
    TunnelListModel* m_tunnelModel = nullptr;
    ForwardListModel* m_localModel = nullptr;   // holds the pending local entry
    ForwardListModel* m_remoteModel = nullptr;  // holds the pending remote entry
    bool m_empty = false;
    // Selection changes made while a list reloads are not the user's and announce nothing.
    bool m_reloading = false;
    bool m_closed = false;
    int m_extraCipherIndex = -1;
    // One line per tunnel field of the form: it loads, reports changes and stores through this.
    std::vector<FormField> m_fields;
    std::string m_importConfig;
    // Controls are being filled from a tunnel: their signals are no edits.
    bool m_loading = false;
    PasswordHooks m_passwordHooks;
};
