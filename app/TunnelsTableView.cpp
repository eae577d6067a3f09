#include "TunnelsTableView.h"

#include <QAccessible>
#include <QContextMenuEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QProxyStyle>
#include <QStyleOptionViewItem>
#include <cmath>

namespace {

// The table draws a selected row's background itself (the style's row panel) before any cell
// delegate is asked; with the selection display off that panel is drawn as for an unselected row.
class SelectionSwitchStyle : public QProxyStyle {
public:
    using QProxyStyle::QProxyStyle;
    void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                       const QWidget* widget) const override {
        const auto* table = qobject_cast<const TunnelsTableView*>(widget);
        if (table && !table->selectionActive() &&
            (element == PE_PanelItemViewRow || element == PE_PanelItemViewItem || element == PE_FrameFocusRect)) {
            if (const auto* item = qstyleoption_cast<const QStyleOptionViewItem*>(option)) {
                QStyleOptionViewItem plain = *item;
                plain.state &= ~(State_Selected | State_HasFocus);
                QProxyStyle::drawPrimitive(element, &plain, painter, widget);
                return;
            }
            if (element == PE_FrameFocusRect) return;
        }
        QProxyStyle::drawPrimitive(element, option, painter, widget);
    }
};

}  // namespace

TunnelsTableView::TunnelsTableView(QWidget* parent) : QTableView(parent) {
    auto* style = new SelectionSwitchStyle;
    style->setParent(this);
    setStyle(style);
    // Every row has the same pitch, which the stripes rely on.
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    // Tab goes on to the next control, not to the next cell.
    setTabKeyNavigation(false);
    setContextMenuPolicy(Qt::DefaultContextMenu);
}

QPoint TunnelsTableView::menuPosition(int row) const {
    const QRect r = visualRect(model() ? model()->index(row, 0) : QModelIndex());
    return QPoint(r.left() + r.height() / 2, r.bottom());
}

void TunnelsTableView::announceRowChanged(int row) {
    QAccessibleInterface* table = QAccessible::queryAccessibleInterface(this);
    QAccessibleTableInterface* cells = table ? table->tableInterface() : nullptr;
    if (!cells || !model() || row < 0 || row >= model()->rowCount(rootIndex())) return;
    for (int column = 0; column < model()->columnCount(rootIndex()); ++column) {
        QAccessibleInterface* cell = cells->cellAt(row, column);
        if (!cell) continue;
        const int child = table->indexOfChild(cell);
        QAccessibleEvent name(this, QAccessible::NameChanged);
        name.setChild(child);
        QAccessible::updateAccessibility(&name);
        // Only the button has a pressed state to tell.
        if (!model()->index(row, column, rootIndex()).data(Qt::CheckStateRole).isValid()) continue;
        QAccessible::State changed;
        changed.checked = true;
        QAccessibleStateChangeEvent state(this, changed);
        state.setChild(child);
        QAccessible::updateAccessibility(&state);
    }
}

bool TunnelsTableView::event(QEvent* event) {
    // A right click reaches the viewport, the Menu key the table itself: both name a row.
    if (event->type() == QEvent::ContextMenu) {
        auto* menu = static_cast<QContextMenuEvent*>(event);
        if (menu->reason() == QContextMenuEvent::Keyboard) {
            if (currentIndex().isValid())
                Q_EMIT rowMenuRequested(currentIndex().row(), menuPosition(currentIndex().row()));
            return true;
        }
    }
    return QTableView::event(event);
}

bool TunnelsTableView::viewportEvent(QEvent* event) {
    if (event->type() == QEvent::ContextMenu) {
        auto* menu = static_cast<QContextMenuEvent*>(event);
        const QModelIndex index = indexAt(menu->pos());
        if (index.isValid()) {
            setCurrentIndex(index);
            Q_EMIT rowMenuRequested(index.row(), menu->pos());
        }
        return true;
    }
    return QTableView::viewportEvent(event);
}

void TunnelsTableView::keyPressEvent(QKeyEvent* event) {
    const QModelIndex current = currentIndex();
    const Qt::KeyboardModifiers mods = event->modifiers() & ~Qt::KeypadModifier;
    const bool plain = mods == Qt::NoModifier;
    switch (event->key()) {
        case Qt::Key_Space:
        case Qt::Key_Return:
        case Qt::Key_Enter:
        case Qt::Key_Select:
            if (!plain) break;
            if (current.isValid()) Q_EMIT rowToggleRequested(current.row());
            event->accept();
            return;
        case Qt::Key_Left:
        case Qt::Key_Right:
            if (!plain) break;
            if (current.isValid()) Q_EMIT rowFoldRequested(current.row(), event->key() == Qt::Key_Left);
            event->accept();
            return;
        case Qt::Key_F10:
            if (mods != Qt::ShiftModifier) break;
            if (current.isValid()) Q_EMIT rowMenuRequested(current.row(), menuPosition(current.row()));
            event->accept();
            return;
        default:
            break;
    }
    QTableView::keyPressEvent(event);
}

QModelIndex TunnelsTableView::moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers) {
    // A row is one item: Home and End go to the first and last tunnel, left and right stay.
    const int rows = model() ? model()->rowCount(rootIndex()) : 0;
    const int column = currentIndex().isValid() ? currentIndex().column() : 0;
    switch (action) {
        case MoveHome:
            return rows ? model()->index(0, column, rootIndex()) : QModelIndex();
        case MoveEnd:
            return rows ? model()->index(rows - 1, column, rootIndex()) : QModelIndex();
        case MoveLeft:
        case MoveRight:
        case MoveNext:
        case MovePrevious:
            return currentIndex();
        default:
            return QTableView::moveCursor(action, modifiers);
    }
}

int TunnelsTableView::rowHeight() const { return verticalHeader()->defaultSectionSize() - m_intercellSpacing.height(); }

void TunnelsTableView::setRowHeight(int height) {
    verticalHeader()->setMinimumSectionSize(1);
    verticalHeader()->setDefaultSectionSize(height + m_intercellSpacing.height());
}

void TunnelsTableView::setIntercellSpacing(QSize spacing) {
    const int height = rowHeight();
    m_intercellSpacing = spacing;
    setRowHeight(height);
}

QColor TunnelsTableView::evenRowColor() { return QColor::fromRgbF(0.929f, 0.953f, 0.996f, 1.0f); }

QColor TunnelsTableView::oddRowColor() { return QColor(Qt::white); }

void TunnelsTableView::paintStripes(QPainter& painter, const QRect& clipInViewport) const {
    // Table coordinates: row 0 starts at y = 0 whatever the scroll position.
    const int offset = verticalOffset();
    const QRectF clip = QRectF(clipInViewport).translated(0, offset);
    const double spacing = m_intercellSpacing.height();
    const double stride = rowHeight() + spacing;
    if (stride <= 0 || clip.isEmpty()) return;

    const QRect visible = viewport()->rect();
    QRectF band(visible.x(), std::floor(clip.y() / stride) * stride, visible.width(), stride - spacing);
    const QColor even = evenRowColor();
    const QColor odd = oddRowColor();
    while (band.y() < clip.bottom()) {
        const auto row = static_cast<long long>(std::floor((band.y() + stride * 0.5) / stride));
        const QRectF area = band.intersected(clip);
        if (!area.isEmpty()) painter.fillRect(area.translated(0, -offset), row % 2 == 0 ? even : odd);
        band.translate(0, stride);
    }
}

void TunnelsTableView::paintEvent(QPaintEvent* event) {
    {
        QPainter painter(viewport());
        for (const QRect& r : event->region()) paintStripes(painter, r);
    }
    // Cells on top; the item delegate leaves out the selection when it is switched off.
    QTableView::paintEvent(event);
    // The keyboard's row: a frame in the highlight colour, which no selection display uses
    // here, across the whole row.
    const QModelIndex current = currentIndex();
    if (!hasFocus() || !current.isValid()) return;
    const QRect row = visualRect(current.siblingAtColumn(0))
                          .united(visualRect(current.siblingAtColumn(model()->columnCount(rootIndex()) - 1)));
    QPainter painter(viewport());
    painter.setRenderHint(QPainter::Antialiasing);
    QPen pen(palette().color(QPalette::Active, QPalette::Highlight), 2);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(QRectF(row).adjusted(1.5, 1.5, -1.5, -1.5), 3, 3);
}

void TunnelsTableView::currentChanged(const QModelIndex& current, const QModelIndex& previous) {
    QTableView::currentChanged(current, previous);
    viewport()->update();
}

void TunnelsTableView::focusInEvent(QFocusEvent* event) {
    QTableView::focusInEvent(event);
    viewport()->update();
}

void TunnelsTableView::focusOutEvent(QFocusEvent* event) {
    QTableView::focusOutEvent(event);
    viewport()->update();
}

void TunnelsTableView::mouseReleaseEvent(QMouseEvent* event) {
    QTableView::mouseReleaseEvent(event);
    // A release outside every cell reaches no delegate; the button must still spring back.
    Q_EMIT mouseReleased(this);
}

void TunnelsTableView::mouseDoubleClickEvent(QMouseEvent* event) {
    // Before the view's doubleClicked, whose handler asks where.
    m_doubleClickPos = event->position().toPoint();
    QTableView::mouseDoubleClickEvent(event);
}
