#pragma once

#include <memory>

#include "PromptWindow.h"

namespace Ui {
class passQuery;
}
class QLineEdit;
class QPushButton;

// The password prompt ("passQuery"). OK writes the typed password to the pipe as UTF-8 with
// no line end; Cancel stops the asking tunnel and leaves the pipe alone.
class passWindowController : public PromptWindow {
    Q_OBJECT
public:
    explicit passWindowController(QWidget* parent = nullptr);
    ~passWindowController() override;

    void setACaption(const QString& caption) override;
    QString caption() const override;

    QLineEdit* passwordField() const;
    QPushButton* okButton() const;
    QPushButton* cancelButton() const;

public Q_SLOTS:
    void pwcOk();
    void pwcCancel();
    // Escape and the window's close button: ssh waits for an answer that would never come,
    // so these count as Cancel.
    void reject() override;

private:
    void clearPassword();

    std::unique_ptr<Ui::passQuery> m_ui;
};
