#pragma once

#include <QObject>
#include <QString>
#include <functional>

class QEvent;
class QLineEdit;

// Keeps a line edit's edit open while its typed text is refused: Return, Enter, Tab and the
// loss of focus first ask the check, which may rewrite an accepted text; a refusal swallows the
// event, takes the focus back and reports why. Only a text the user has edited is checked, as an
// untouched one ends its edit unchanged.
class EditGuard : public QObject {
    Q_OBJECT
public:
    // The check gets the typed text, may normalize it, and answers with the reason it is refused
    // (empty: the edit may end).
    using Check = std::function<QString(QString&)>;
    // Shows the reason of the latest check (empty once a text is accepted).
    using Report = std::function<void(const QString&)>;

    EditGuard(QLineEdit* edit, Check check, Report report = {});

    // The same rule for a filter that is not an EditGuard (an item delegate's editor):
    // true when the event is refused and must go no further.
    static bool refuses(QLineEdit* edit, QEvent* event, const Check& check, const Report& report);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    Check m_check;
    Report m_report;
};
