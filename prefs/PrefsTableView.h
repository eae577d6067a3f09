#pragma once

#include <QTableView>

// The three lists of the preferences window. Tells the editor before the user changes the
// selection (programmatic selections are not announced this way), and holds clicks and
// keys back while a cell's refused edit is still open. Delete asks for the selected row's
// removal. The keyboard's row is outlined, never filled, so that it cannot pass for a
// selection.
class PrefsTableView : public QTableView {
    Q_OBJECT
public:
    explicit PrefsTableView(QWidget* parent = nullptr);

    bool isEditing() const { return state() == EditingState; }
    // Ends an open cell edit at once: committed when its text is accepted, dropped otherwise.
    void finishEditing();
    // The selected row, or -1.
    int selectedRow() const;
    // Selects the row and scrolls to it; -1 leaves no row selected and none current.
    void setSelectedRow(int row);

Q_SIGNALS:
    void selectionShouldChange();
    void deleteRequested();

protected:
    QItemSelectionModel::SelectionFlags selectionCommand(const QModelIndex& index, const QEvent* event) const override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
};
