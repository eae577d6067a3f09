#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <functional>
#include <memory>
#include <string>

#include "Defaults.h"
#include "SshConfigImporter.h"
#include "TunnelStore.h"

class QDialog;
class QWidget;
class CipherList;
class ForwardListsEditor;
class PreferencesWindow;
class TunnelForm;
class TunnelListModel;
namespace Ui {
class Preferences;
}

// The preferences editor: edits the application's tunnel list in place and saves after each step.
// The window is built with the editor and lives as long as it does. The controller keeps the
// tunnel list, the options panel and saving; the form, the forward lists and the import from the
// ssh config are parts of their own (TunnelForm, ForwardListsEditor, SshConfigImporter).
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
    // Shows the window without blocking anything else, in front and with the focus.
    void show();
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
    void setImportConfigPath(const std::string& path) { m_importer.setConfigPath(path); }
    // Writes the sender's value into the current tunnel's field, then saves.
    void controlChanged(QObject* sender);
    // Shows or hides the options panel as the options button says.
    void disclosure();
    // Stores every tunnel and "openPalette", then tells the application (PreferencesChanged);
    // false when it could not be written (the window says so).
    bool save();
    // Writes the tunnels the user ticks to a tunnel file the user names.
    void exportTunnels();
    // The import of a tunnel file (TunnelFileDialog); what the user accepts is merged and saved.
    void importTunnelFile(const QString& path);
    // The import window of the last importTunnelFile while it is open, or null.
    QDialog* tunnelFileDialog() const { return m_fileImport; }
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

private:
    // Shows the form or the empty panel; the scroll bar follows the page shown.
    void showPage(QWidget* page);
    void finishLoading();
    void windowWillClose();
    void connectControls();
    void tunnelSelectionDidChange();
    bool confirmDelete(const Tunnel& tunnel);
    void keepOnScreen();
    void setDrawerOpen(bool open);
    // A save or the login entry that failed; empty hides the message.
    void showSaveProblem(const QString& text);
    void updateForgetButton();

    TunnelStore& m_tunnels;
    Defaults& m_defaults;
    std::unique_ptr<PreferencesWindow> m_window;
    std::unique_ptr<Ui::Preferences> m_ui;
    TunnelListModel* m_tunnelModel = nullptr;
    TunnelForm* m_form = nullptr;
    ForwardListsEditor* m_forwards = nullptr;
    SshConfigImporter m_importer;
    bool m_empty = false;
    // Selection changes made while the tunnel list reloads are not the user's and announce nothing.
    bool m_reloading = false;
    bool m_closed = false;
    PasswordHooks m_passwordHooks;
    // The tunnel the form shows, and its row then.
    QPointer<QDialog> m_fileImport;
    TunnelPtr m_shown;
    int m_shownRow = -1;
};
