#pragma once

#include <QPersistentModelIndex>
#include <QStyledItemDelegate>

class QAbstractItemView;

// The cells of the tunnels table, told apart by column identifier: the state image ("icon"),
// the name with the status and any failure reason or warning under it ("text"), and the borderless
// start/stop image button ("button"), which reports a click as the value true for its cell.
// With the table's selection display off, a selected row is drawn as any other.
class TunnelsItemDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    explicit TunnelsItemDelegate(QObject* parent = nullptr);

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    bool editorEvent(QEvent* event, QAbstractItemModel* model, const QStyleOptionViewItem& option,
                     const QModelIndex& index) override;

    static QFont nameFont(const QFont& base);
    static QFont smallFont(const QFont& base);
    static QColor statusColor();
    static QColor errorColor();
    // The name of a tunnel nobody wants up.
    static QColor dimmedNameColor();
    // Warnings (a forward open to the network, a target that refuses): amber, apart from failures.
    static QColor warningColor();
    // The height of a row that holds the three lines of the "text" column.
    static int rowHeight(const QFont& base);
    // Where the button's image is drawn inside its cell.
    static QRect buttonRect(const QRect& cell);
    bool isPressed() const { return m_pressed.isValid(); }
    // Where the row's name is drawn in its "text" cell (view coordinates), for a double click.
    static QRect nameRect(const QAbstractItemView* view, const QModelIndex& index);

public Q_SLOTS:
    // Any release ends a press, also one that reaches no cell (outside the window).
    void releasePressed(QWidget* view);

private:
    void paintText(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const;
    // The top of the text's lines, centred in the cell: two, or three with a failure or warning.
    static int textTop(const QRect& cell, const QFont& base, bool threeLines);
    QPersistentModelIndex m_pressed;  // the button held down, drawn with its alternate image
    bool m_doubleClick = false;       // the press is a double click's second: its release does nothing
};
