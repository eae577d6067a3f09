#include "TunnelsItemDelegate.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QFontMetrics>
#include <QMouseEvent>
#include <QPainter>
#include <QStyleOption>

#include "BundleImage.h"
#include "TunnelsTableModel.h"
#include "TunnelsTableView.h"

namespace {
constexpr int kImageSize = 24;
constexpr int kMargin = 4;
}  // namespace

TunnelsItemDelegate::TunnelsItemDelegate(QObject* parent) : QStyledItemDelegate(parent) {}

QFont TunnelsItemDelegate::nameFont(const QFont& base) { return base; }

QFont TunnelsItemDelegate::smallFont(const QFont& base) {
    QFont f = base;
    if (base.pointSizeF() > 0)
        f.setPointSizeF(base.pointSizeF() * 0.85);
    else
        f.setPixelSize(std::max(8, base.pixelSize() * 85 / 100));
    return f;
}

QColor TunnelsItemDelegate::statusColor() { return QColor::fromRgbF(0.5f, 0.5f, 0.5f, 1.0f); }

QColor TunnelsItemDelegate::dimmedNameColor() { return QColor::fromRgbF(0.35f, 0.35f, 0.35f, 1.0f); }

QColor TunnelsItemDelegate::errorColor() { return QColor::fromRgbF(0.6f, 0.0f, 0.0f, 1.0f); }

QColor TunnelsItemDelegate::warningColor() { return {0xa8, 0x5a, 0x00}; }

int TunnelsItemDelegate::rowHeight(const QFont& base) {
    const int name = QFontMetrics(nameFont(base)).height();
    const int small = QFontMetrics(smallFont(base)).height();
    return std::max(kImageSize, name + 2 * small) + 2 * kMargin;
}

QRect TunnelsItemDelegate::buttonRect(const QRect& cell) {
    QRect r(0, 0, kImageSize, kImageSize);
    r.moveCenter(cell.center());
    return r;
}

void TunnelsItemDelegate::paint(QPainter* painter, const QStyleOptionViewItem& styleOption,
                                const QModelIndex& index) const {
    QStyleOptionViewItem option = styleOption;
    initStyleOption(&option, index);
    const auto* table = qobject_cast<const TunnelsTableView*>(option.widget);
    const bool showSelection = table && table->selectionActive();
    if (!showSelection) option.state &= ~(QStyle::State_Selected | QStyle::State_HasFocus);
    if (option.state & QStyle::State_Selected) {
        const QStyle* style = option.widget ? option.widget->style() : QApplication::style();
        QStyleOptionViewItem panel = option;
        panel.text.clear();
        panel.icon = QIcon();
        style->drawPrimitive(QStyle::PE_PanelItemViewItem, &panel, painter, option.widget);
    }

    const QString id = TunnelsTableModel::columnIdentifier(index.column());
    const bool section = index.data(TunnelsTableModel::GroupRowRole).toBool();
    if (id == QLatin1String("icon") && section) {
        // A section's fold arrow, as a tree's branch shows it.
        QStyleOption arrow;
        arrow.initFrom(option.widget);
        arrow.rect = buttonRect(option.rect).adjusted(4, 4, -4, -4);
        const QStyle* style = option.widget ? option.widget->style() : QApplication::style();
        style->drawPrimitive(index.data(TunnelsTableModel::FoldedRole).toBool() ? QStyle::PE_IndicatorArrowRight
                                                                                : QStyle::PE_IndicatorArrowDown,
                             &arrow, painter, option.widget);
    } else if (id == QLatin1String("icon")) {
        const QIcon icon = index.data(Qt::DecorationRole).value<QIcon>();
        if (!icon.isNull()) icon.paint(painter, buttonRect(option.rect));
    } else if (id == QLatin1String("text")) {
        paintText(painter, option, index);
    } else if (id == QLatin1String("button")) {
        const int role =
            m_pressed == index ? TunnelsTableModel::AlternateImageNameRole : TunnelsTableModel::ImageNameRole;
        const QIcon icon = BundleImage::named(index.data(role).toString());
        if (!icon.isNull()) icon.paint(painter, buttonRect(option.rect));
    }
}

int TunnelsItemDelegate::textTop(const QRect& cell, const QFont& base, bool threeLines) {
    const int height =
        QFontMetrics(nameFont(base)).height() + QFontMetrics(smallFont(base)).height() * (threeLines ? 2 : 1);
    return cell.y() + (cell.height() - height) / 2;
}

QRect TunnelsItemDelegate::nameRect(const QAbstractItemView* view, const QModelIndex& index) {
    QStyleOptionViewItem option;
    option.initFrom(view);
    option.font = view->font();
    option.rect = view->visualRect(index);
    const bool three = !index.data(TunnelsTableModel::ErrorRole).toString().isEmpty() ||
                       !index.data(TunnelsTableModel::WarningRole).toString().isEmpty();
    const QFontMetrics nm(nameFont(option.font));
    const QRect area = option.rect.adjusted(kMargin, 0, -kMargin, 0);
    const QString shown =
        nm.elidedText(index.data(TunnelsTableModel::NameRole).toString().simplified(), Qt::ElideRight, area.width());
    return {area.x(), textTop(option.rect, option.font, three), nm.horizontalAdvance(shown), nm.height()};
}

void TunnelsItemDelegate::paintText(QPainter* painter, const QStyleOptionViewItem& option,
                                    const QModelIndex& index) const {
    const QString name = index.data(TunnelsTableModel::NameRole).toString();
    const QString status = index.data(TunnelsTableModel::LineRole).toString();
    const QString error = index.data(TunnelsTableModel::ErrorRole).toString();
    // A failure says more than a warning; the tooltip has both.
    const QString warning = error.isEmpty() ? index.data(TunnelsTableModel::WarningRole).toString() : QString();
    const QFont nf = nameFont(option.font);
    const QFont sf = smallFont(option.font);
    const QFontMetrics nm(nf);
    const QFontMetrics sm(sf);
    const QRect area = option.rect.adjusted(kMargin, 0, -kMargin, 0);
    int y = textTop(option.rect, option.font, !error.isEmpty() || !warning.isEmpty());
    const bool selected = option.state & QStyle::State_Selected;

    painter->save();
    painter->setClipRect(option.rect);
    auto line = [&](const QString& text, const QFont& font, const QFontMetrics& fm, const QColor& color) {
        painter->setFont(font);
        painter->setPen(selected ? option.palette.color(QPalette::HighlightedText) : color);
        const QString shown = fm.elidedText(text.simplified(), Qt::ElideRight, area.width());
        // From the baseline, not into a line-high box: a box cuts off what hangs below it,
        // such as underscores.
        painter->drawText(QPointF(area.x(), y + fm.ascent()), shown);
        y += fm.height();
    };
    QFont sectionFont = nf;
    sectionFont.setBold(true);
    const bool section = index.data(TunnelsTableModel::GroupRowRole).toBool();
    line(name, section ? sectionFont : nf, nm,
         index.data(TunnelsTableModel::DimmedRole).toBool() ? dimmedNameColor() : QColor(Qt::black));
    line(status, sf, sm, statusColor());
    if (!error.isEmpty()) line(error, sf, sm, errorColor());
    if (!warning.isEmpty()) line(warning, sf, sm, warningColor());
    painter->restore();
}

QSize TunnelsItemDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const {
    const QString id = TunnelsTableModel::columnIdentifier(index.column());
    if (id == QLatin1String("text")) return {160, rowHeight(option.font)};
    return {kImageSize + 2 * kMargin, rowHeight(option.font)};
}

bool TunnelsItemDelegate::editorEvent(QEvent* event, QAbstractItemModel* model, const QStyleOptionViewItem& option,
                                      const QModelIndex& index) {
    auto* view = const_cast<QWidget*>(option.widget);
    // A section's fold arrow is a button too.
    const bool foldArrow = TunnelsTableModel::columnIdentifier(index.column()) == QLatin1String("icon") &&
                           index.data(TunnelsTableModel::GroupRowRole).toBool();
    if (TunnelsTableModel::columnIdentifier(index.column()) != QLatin1String("button") && !foldArrow) {
        // Released away from the button that was pressed: it springs back without firing.
        if (event->type() == QEvent::MouseButtonRelease) releasePressed(view);
        return QStyledItemDelegate::editorEvent(event, model, option, index);
    }
    switch (event->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonDblClick: {
            auto* mouse = static_cast<QMouseEvent*>(event);
            if (mouse->button() != Qt::LeftButton) return false;
            m_pressed = index;
            // The first click already acted; a second toggle would undo it.
            m_doubleClick = event->type() == QEvent::MouseButtonDblClick;
            if (view) view->update();
            return true;
        }
        case QEvent::MouseButtonRelease: {
            auto* mouse = static_cast<QMouseEvent*>(event);
            if (mouse->button() != Qt::LeftButton) return false;
            // A momentary button: it fires when released over the cell it was pressed in.
            const bool fire = !m_doubleClick && m_pressed == index && option.rect.contains(mouse->position().toPoint());
            releasePressed(view);
            if (fire) model->setData(index, true, Qt::EditRole);
            return true;
        }
        default:
            return false;
    }
}

void TunnelsItemDelegate::releasePressed(QWidget* view) {
    m_doubleClick = false;
    if (!m_pressed.isValid()) return;
    m_pressed = QPersistentModelIndex();
    if (view) view->update();
}
