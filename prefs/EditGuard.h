#pragma once

#include <QObject>
#include <QString>
#include <functional>

class QEvent;
class QLineEdit;

// Keeps a line edit's edit open while its typed text is refused: Return, Enter, Tab and the
// loss of focus first ask the check, which may rewrite the text; a refusal swallows the event
// and takes the focus back. Only a text the user has edited is checked, as an untouched one
// ends its edit unchanged.
class EditGuard : public QObject {
    Q_OBJECT
public:
    // The check gets the typed text, may change it, and answers whether the edit may end.
    using Check = std::function<bool(QString&)>;

    EditGuard(QLineEdit* edit, Check check);

    // The same rule for a filter that is not an EditGuard (an item delegate's editor):
    // true when the event is refused and must go no further.
    static bool refuses(QLineEdit* edit, QEvent* event, const Check& check);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    Check m_check;
};
