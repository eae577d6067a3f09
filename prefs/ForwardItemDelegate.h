#pragma once

#include <QStyledItemDelegate>

// Edits forward cells in a line edit and checks the text before the edit may end: ports
// (columns 0 and 2) become their decimal value and must lie in 1..65535, a host must not be
// empty. A refused edit stays open in its cell.
class ForwardItemDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    void setEditorData(QWidget* editor, const QModelIndex& index) const override;
    // Only an edited, accepted text reaches the model.
    void setModelData(QWidget* editor, QAbstractItemModel* model, const QModelIndex& index) const override;

protected:
    bool eventFilter(QObject* object, QEvent* event) override;
};
