#pragma once

#include <QStyledItemDelegate>

#include "EditGuard.h"

// Edits forward cells in a line edit and checks the text before the edit may end, by the
// column's key (the header's UserRole): a port must lie in 1..65535, a host must not be empty,
// the host port may be empty. A refused edit stays open in its cell with its text, and the
// reason goes to the report.
class ForwardItemDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    explicit ForwardItemDelegate(QObject* parent, EditGuard::Report report = {});

    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    void setEditorData(QWidget* editor, const QModelIndex& index) const override;
    // Only an edited, accepted text reaches the model.
    void setModelData(QWidget* editor, QAbstractItemModel* model, const QModelIndex& index) const override;

protected:
    bool eventFilter(QObject* object, QEvent* event) override;

private:
    EditGuard::Report m_report;
};
