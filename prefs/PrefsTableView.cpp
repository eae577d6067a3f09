#include "PrefsTableView.h"

#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QProxyStyle>
#include <QStyleOptionFocusRect>

namespace {

class OutlinedFocusStyle : public QProxyStyle {
public:
    using QProxyStyle::QProxyStyle;
    void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                       const QWidget* widget) const override {
        if (element != PE_FrameFocusRect || !qstyleoption_cast<const QStyleOptionFocusRect*>(option)) {
            QProxyStyle::drawPrimitive(element, option, painter, widget);
            return;
        }
        painter->save();
        QPen pen(option->palette.color(QPalette::Active, QPalette::Text), 1, Qt::DashLine);
        painter->setPen(pen);
        painter->setBrush(Qt::NoBrush);
        painter->drawRect(option->rect.adjusted(0, 0, -1, -1));
        painter->restore();
    }
};

}  // namespace

PrefsTableView::PrefsTableView(QWidget* parent) : QTableView(parent) {
    setSelectionBehavior(SelectRows);
    setSelectionMode(SingleSelection);
    setShowGrid(false);
    setAlternatingRowColors(true);
    verticalHeader()->hide();
    horizontalHeader()->setStretchLastSection(true);
    horizontalHeader()->setHighlightSections(false);
    auto* style = new OutlinedFocusStyle;
    style->setParent(this);
    setStyle(style);
    setTabKeyNavigation(false);
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
    if (event->matches(QKeySequence::Delete) ||
        (event->key() == Qt::Key_Delete && event->modifiers() == Qt::NoModifier)) {
        Q_EMIT deleteRequested();
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
