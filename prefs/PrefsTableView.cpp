#include "PrefsTableView.h"

#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QMouseEvent>

PrefsTableView::PrefsTableView(QWidget* parent) : QTableView(parent) {
    setSelectionBehavior(SelectRows);
    setSelectionMode(SingleSelection);
    setShowGrid(false);
    setAlternatingRowColors(true);
    verticalHeader()->hide();
    horizontalHeader()->setStretchLastSection(true);
    horizontalHeader()->setHighlightSections(false);
}

QItemSelectionModel::SelectionFlags PrefsTableView::selectionCommand(const QModelIndex& index,
                                                                     const QEvent* event) const {
    const auto flags = QTableView::selectionCommand(index, event);
    // Only a user's click or key comes with an event; the editor saves before such a change.
    if (event && flags != QItemSelectionModel::NoUpdate && selectionModel()) {
        const bool changes = index.isValid() ? !selectionModel()->isRowSelected(index.row(), index.parent())
                                             : selectionModel()->hasSelection();
        if (changes) Q_EMIT const_cast<PrefsTableView*>(this)->selectionShouldChange();
    }
    return flags;
}

void PrefsTableView::mousePressEvent(QMouseEvent* event) {
    // A cell whose edit was refused keeps it; the click that tried to leave it does nothing.
    if (isEditing()) {
        event->accept();
        return;
    }
    QTableView::mousePressEvent(event);
}

void PrefsTableView::mouseDoubleClickEvent(QMouseEvent* event) {
    if (isEditing()) {
        event->accept();
        return;
    }
    QTableView::mouseDoubleClickEvent(event);
}

void PrefsTableView::keyPressEvent(QKeyEvent* event) {
    if (isEditing()) {
        event->accept();
        return;
    }
    QTableView::keyPressEvent(event);
}

void PrefsTableView::finishEditing() {
    if (!isEditing()) return;
    QWidget* editor = indexWidget(currentIndex());
    if (!editor) return;
    // Directly, not through a Return key: the delegate commits a Return only later, from the event loop.
    // Its setModelData lets only an accepted text through.
    commitData(editor);
    closeEditor(editor, QAbstractItemDelegate::NoHint);
}

int PrefsTableView::selectedRow() const {
    const auto rows = selectionModel()->selectedRows();
    return rows.isEmpty() ? -1 : rows.first().row();
}

void PrefsTableView::setSelectedRow(int row) {
    QItemSelectionModel* selection = selectionModel();
    if (row < 0) {
        selection->clearSelection();
        selection->setCurrentIndex({}, QItemSelectionModel::NoUpdate);
        return;
    }
    const QModelIndex index = model()->index(row, 0);
    selection->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    scrollTo(index);
}
