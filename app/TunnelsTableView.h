#pragma once

#include <QColor>
#include <QSize>
#include <QTableView>

// The tunnels table: pale blue and white stripes behind the rows, over the whole visible
// width and down to the bottom of the redrawn area (below the last row too), and a selection
// display that can be switched off while the table still keeps its selection. From the
// keyboard it moves by rows (arrows, Home, End), Space or Enter asks for the current row's
// start or stop (a section's fold), Left and Right for a section's fold, the Menu key or Shift+F10 for its menu; Tab
// leaves the table. The row that has the keyboard is framed, apart from any selection.
class TunnelsTableView : public QTableView {
    Q_OBJECT
    // Off in a table made in code; the window layout switches it on, as a table loaded from a
    // layout starts with its selection shown.
    Q_PROPERTY(bool selectionActive READ selectionActive WRITE setSelectionActive)
public:
    explicit TunnelsTableView(QWidget* parent = nullptr);

    bool selectionActive() const { return m_selectionActive; }
    // Takes effect at the next redraw; nothing is redrawn by it.
    void setSelectionActive(bool active) { m_selectionActive = active; }

    // A row's pitch is rowHeight() + intercellSpacing().height(); the strip between two bands
    // is left to the table's background.
    int rowHeight() const;
    void setRowHeight(int height);
    QSize intercellSpacing() const { return m_intercellSpacing; }
    void setIntercellSpacing(QSize spacing);

    static QColor evenRowColor();
    static QColor oddRowColor();

    // Where the last double click happened (viewport coordinates).
    QPoint doubleClickPos() const { return m_doubleClickPos; }

    // Paints the bands that meet clip (viewport coordinates), each cut to clip.
    void paintStripes(QPainter& painter, const QRect& clip) const;

    // Tells screen readers that the row's texts and its button's state changed.
    void announceRowChanged(int row);
    // Where a menu for row opens from the keyboard (viewport coordinates).
    QPoint menuPosition(int row) const;

Q_SIGNALS:
    // After every mouse release the table handled, wherever it happened.
    void mouseReleased(QWidget* view);
    // Space or Enter on the current row.
    void rowToggleRequested(int row);
    // Left (fold) or Right (unfold) on the current row; a group's section row acts on it.
    void rowFoldRequested(int row, bool fold);
    // A right click on a row, the Menu key or Shift+F10 (pos in viewport coordinates).
    void rowMenuRequested(int row, QPoint pos);

protected:
    bool event(QEvent* event) override;
    bool viewportEvent(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    QModelIndex moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers) override;
    void paintEvent(QPaintEvent* event) override;
    // The frame spans the row: the whole table is redrawn where Qt would redraw one cell.
    void currentChanged(const QModelIndex& current, const QModelIndex& previous) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    bool m_selectionActive = false;
    QSize m_intercellSpacing{0, 0};
    QPoint m_doubleClickPos;
};
