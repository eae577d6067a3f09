#include "ForwardItemDelegate.h"

#include <QLineEdit>

#include "EditValidator.h"

namespace {
constexpr const char* kKeyProperty = "zandrelColumnKey";

EditGuard::Check checkFor(const QLineEdit* editor) {
    const QString key = editor->property(kKeyProperty).toString();
    return [key](QString& text) { return EditValidator::forwardCellError(key, text); };
}
}  // namespace

ForwardItemDelegate::ForwardItemDelegate(QObject* parent, EditGuard::Report report)
    : QStyledItemDelegate(parent), m_report(std::move(report)) {}

QWidget* ForwardItemDelegate::createEditor(QWidget* parent, const QStyleOptionViewItem&,
                                           const QModelIndex& index) const {
    auto* editor = new QLineEdit(parent);
    editor->setFrame(false);
    editor->setProperty(kKeyProperty, index.model()->headerData(index.column(), Qt::Horizontal, Qt::UserRole));
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
    if (!checkFor(edit)(text).isEmpty()) return;
    model->setData(index, text, Qt::EditRole);
}

bool ForwardItemDelegate::eventFilter(QObject* object, QEvent* event) {
    if (auto* edit = qobject_cast<QLineEdit*>(object)) {
        if (EditGuard::refuses(edit, event, checkFor(edit), m_report)) return true;
    }
    return QStyledItemDelegate::eventFilter(object, event);
}
