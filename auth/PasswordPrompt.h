#pragma once

#include <functional>
#include <memory>

#include "PromptWindow.h"
#include "UiText.h"

namespace Ui {
class passQuery;
}
class QCheckBox;
class QLineEdit;
class QPushButton;

// The password prompt ("passQuery"). OK writes the typed password to the pipe as UTF-8 with
// no line end (and, with "Remember in keyring" ticked, hands a copy to whoever offered to keep
// it); Cancel stops the asking tunnel with kNoPasswordReason and leaves the pipe alone.
class PasswordPrompt : public PromptWindow {
    Q_OBJECT
public:
    explicit PasswordPrompt(QWidget* parent = nullptr);
    ~PasswordPrompt() override;

    void setACaption(const QString& caption) override;
    QString caption() const override;

    QLineEdit* passwordField() const;
    QPushButton* okButton() const;
    QPushButton* cancelButton() const;
    QCheckBox* rememberBox() const;

    static constexpr const char* kNoPasswordReason = UI_TEXT("No password given");

    // A line above the question, such as why the window is back; empty hides it.
    void setNote(const QString& note);
    QString note() const;
    // Shows "Remember in keyring" (off); on OK with it ticked, keep receives the password
    // (its own copy, which it must wipe). With a problem (why the keyring failed last time) the
    // box is shown off and disabled, saying why.
    using Keep = std::function<void(QByteArray password)>;
    void offerToRemember(Keep keep, const QString& problem = {});

public Q_SLOTS:
    void pwcOk();
    void pwcCancel();
    // Escape and the window's close button: ssh waits for an answer that would never come,
    // so these count as Cancel.
    void reject() override;

private:
    void clearPassword();

    std::unique_ptr<Ui::passQuery> m_ui;
    Keep m_keep;
};
