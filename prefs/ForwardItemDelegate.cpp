#include "ForwardItemDelegate.h"

#include <QLineEdit>

#include "EditGuard.h"
#include "EditValidator.h"

namespace {
constexpr const char* kColumnProperty = "zandrelColumn";

EditGuard::Check checkFor(const QLineEdit* editor) {
    const int column = editor->property(kColumnProperty).toInt();
    return [column](QString& text) { return EditValidator::forwardCellShouldEndEditing(column, text); };
}
}  // namespace

QWidget* ForwardItemDelegate::createEditor(QWidget* parent, const QStyleOptionViewItem&,
                                           const QModelIndex& index) const {
    auto* editor = new QLineEdit(parent);
    editor->setFrame(false);
    editor->setProperty(kColumnProperty, index.column());
    return editor;
}

void ForwardItemDelegate::setEditorData(QWidget* editor, const QModelIndex& index) const {
    auto* edit = qobject_cast<QLineEdit*>(editor);
    if (!edit) return;
    edit->setText(index.data(Qt::EditRole).toString());
    edit->selectAll();
}

void ForwardItemDelegate::setModelData(QWidget* editor, QAbstractItemModel* model, const QModelIndex& index) const {
    auto* edit = qobject_cast<QLineEdit*>(editor);
    if (!edit || !edit->isModified()) return;
    QString text = edit->text();
    // The window losing the focus also commits; a text that was never accepted must not get in.
    if (!checkFor(edit)(text)) return;
    model->setData(index, text, Qt::EditRole);
}

bool ForwardItemDelegate::eventFilter(QObject* object, QEvent* event) {
    if (auto* edit = qobject_cast<QLineEdit*>(object)) {
        if (EditGuard::refuses(edit, event, checkFor(edit))) return true;
    }
    return QStyledItemDelegate::eventFilter(object, event);
}
