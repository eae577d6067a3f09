#pragma once

#include <QObject>
#include <array>
#include <functional>

#include "ForwardListModel.h"

class PrefsTableView;
class QLabel;
namespace Ui {
class Preferences;
}

// The local and the remote forward list of the current tunnel. A new forward is typed into a
// pending row that joins the tunnel once it has a port and a host; the editor adds and removes
// rows, keeps the selection across reloads, and announces whatever is to be saved.
class ForwardListsEditor : public QObject {
    Q_OBJECT
public:
    using Side = ForwardListModel::Side;

    // current: the tunnel whose forwards are shown (null: none).
    ForwardListsEditor(Ui::Preferences& ui, std::function<TunnelPtr()> current, QObject* parent);

    // A pending row at the end of the list, its port cell open for typing; none without a tunnel.
    void add(Side side);
    // The selected row goes: a pending one is dropped, a tunnel's forward removed.
    void removeSelected(Side side);
    // The current tunnel's forwards, with nothing selected.
    void showCurrent();
    void clearMessages();
    // An open cell ends as if Return were pressed: kept when its text is accepted.
    void finishEditing();
    // A pending row typed in part is kept (shown with its warning mark); an untouched one goes.
    void commitOrDropPending();

Q_SIGNALS:
    // A forward was added or edited, or the user moves a selection: the state so far is to be saved.
    void changed();

private:
    struct List {
        PrefsTableView* view;
        ForwardListModel* model;
        QLabel* message;
    };

    List& list(Side side) { return m_lists[side == Side::Local ? 0 : 1]; }
    // Changes the list's rows quietly; the selected row stays selected where it still exists.
    void changeRows(List& list, void (ForwardListModel::*change)());
    static void commitOrDropPending(ForwardListModel* model);

    std::function<TunnelPtr()> m_current;
    // Local, then remote; each model holds its list's pending entry.
    std::array<List, 2> m_lists;
    // Selection changes made while a list reloads are not the user's and announce nothing.
    bool m_reloading = false;
};
