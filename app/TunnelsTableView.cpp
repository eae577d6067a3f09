#include "TunnelsTableView.h"

#include <QHeaderView>
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
