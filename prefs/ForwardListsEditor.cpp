#include "ForwardListsEditor.h"

#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>

#include "ForwardItemDelegate.h"
#include "InlineMessage.h"
#include "PrefsTableView.h"
#include "ui_Preferences.h"

ForwardListsEditor::ForwardListsEditor(Ui::Preferences& ui, std::function<TunnelPtr()> current, QObject* parent)
    : QObject(parent),
      m_current(current),
      m_lists{List{ui.localList, new ForwardListModel(Side::Local, current, this), ui.localMessage},
              List{ui.remoteList, new ForwardListModel(Side::Remote, current, this), ui.remoteMessage}} {
    for (List& l : m_lists) {
        PrefsTableView* view = l.view;
        QLabel* label = l.message;
        view->setModel(l.model);
        view->setItemDelegate(
            new ForwardItemDelegate(view, [label](const QString& why) { InlineMessage::show(label, why); }));
        view->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
        InlineMessage::show(label, {});
        connect(l.model, &ForwardListModel::pendingCommitted, this, &ForwardListsEditor::changed);
        connect(l.model, &ForwardListModel::entryEdited, this, &ForwardListsEditor::changed);
        // Before the user moves the selection, the state so far is saved.
        connect(view, &PrefsTableView::selectionShouldChange, this, &ForwardListsEditor::changed);
        connect(view->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] {
            if (!m_reloading) Q_EMIT changed();
        });
    }
}

void ForwardListsEditor::add(Side side) {
    List& l = list(side);
    if (!m_current()) return;
    changeRows(l, &ForwardListModel::makePending);
    const int pendingRow = l.model->entryCount();
    l.view->setSelectedRow(pendingRow);
    l.view->setFocus(Qt::OtherFocusReason);
    // The bind address is seldom needed: typing starts with the port.
    const QModelIndex port = l.model->index(pendingRow, ForwardListModel::column("port"));
    l.view->setCurrentIndex(port);
    l.view->edit(port);
}

void ForwardListsEditor::removeSelected(Side side) {
    List& l = list(side);
    const int row = l.view->selectedRow();
    if (row < 0) return;
    m_reloading = true;
    if (l.model->hasPending() && row == l.model->entryCount())
        l.model->dropPending();
    else
        l.model->removeEntry(row);
    if (row < l.model->rowCount()) l.view->setSelectedRow(row);
    m_reloading = false;
}

void ForwardListsEditor::showCurrent() {
    // Another tunnel's lists start with nothing selected; that is no change the user made.
    m_reloading = true;
    for (List& l : m_lists) l.view->setSelectedRow(-1);
    m_reloading = false;
    for (List& l : m_lists) changeRows(l, &ForwardListModel::reload);
}

void ForwardListsEditor::changeRows(List& l, void (ForwardListModel::*change)()) {
    const int row = l.view->selectedRow();
    m_reloading = true;
    (l.model->*change)();
    if (row >= 0 && row < l.model->rowCount()) l.view->setSelectedRow(row);
    m_reloading = false;
}

void ForwardListsEditor::clearMessages() {
    for (List& l : m_lists) InlineMessage::show(l.message, {});
}

void ForwardListsEditor::finishEditing() {
    for (List& l : m_lists) l.view->finishEditing();
}

void ForwardListsEditor::commitOrDropPending() {
    for (List& l : m_lists) commitOrDropPending(l.model);
}

void ForwardListsEditor::commitOrDropPending(ForwardListModel* model) {
    if (!model->hasPending()) return;
    bool typed = false;
    for (const auto& [key, value] : *model->pending()) typed = typed || !value.empty();
    if (typed)
        model->commitPending();
    else
        model->dropPending();
}
