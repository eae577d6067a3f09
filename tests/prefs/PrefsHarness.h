#pragma once

#include <QDialog>
#include <QModelIndex>
#include <QString>
#include <QTemporaryDir>
#include <functional>
#include <memory>

#include "Defaults.h"
#include "NotificationCenter.h"
#include "PreferencesController.h"
#include "Tunnel.h"

class QAbstractItemView;
class QLineEdit;
class QWidget;

// One preferences window on a private store, driven the way a user drives it.
class PrefsHarness {
public:
    PrefsHarness();
    ~PrefsHarness();

    TunnelStore tunnels;
    std::unique_ptr<Defaults> defaults;

    // Makes the editor (as the tunnels window would) and counts its PreferencesChanged.
    PreferencesController& open();
    PreferencesController& controller() { return *m_controller; }
    // Runs the window modally; body runs inside the modal loop, and the window is closed after it.
    // Returns false when body did not come back (a failed check inside it is reported by QtTest).
    bool runModal(const std::function<void()>& body);

    template <class T>
    T* child(const char* name) const {
        return m_controller->window()->findChild<T*>(QString::fromLatin1(name));
    }

    // Notifications of the editor, and how many had another object.
    int posts() const { return m_posts; }
    int foreignPosts() const { return m_foreignPosts; }

    // The "tunnels" value as a fresh reader of the file sees it, and what it should be.
    Value storedTunnels() const;
    Value storedValue(const std::string& key) const;
    Value expectedTunnels() const;

    // User actions.
    static void click(QWidget* w);
    static void clickRow(QAbstractItemView* view, int row, int column = 0);
    static void clickBelowRows(QAbstractItemView* view);
    static void doubleClickCell(QAbstractItemView* view, int row, int column);
    // Focuses the field, replaces its text by typing, and ends with the given key (0: none).
    static void type(QLineEdit* field, const QString& text, int endKey);
    // The line edit that edits a cell of the view, or null.
    static QLineEdit* cellEditor(QAbstractItemView* view);
    static QString cell(QAbstractItemView* view, int row, int column);
    // The next message box to open is answered with the button of that text.
    static void answerMessageBox(const QString& button);

private:
    QTemporaryDir m_dir;
    std::unique_ptr<PreferencesController> m_controller;
    NotificationCenter::Token m_token = 0;
    int m_posts = 0;
    int m_foreignPosts = 0;
};
