#pragma once

#include "PromptWindow.h"

class QLabel;
class QPushButton;

// A yes or no that ssh asks itself (SSH_ASKPASS_PROMPT=confirm), such as "Allow shared
// connection to …?". "Yes" writes exactly "yes", the one word besides an empty line that ssh
// takes for consent; "No", Escape and closing write "no", so that ssh, which waits for the
// answer, never waits for nothing. Nothing else happens to the tunnel.
class ConfirmPrompt : public PromptWindow {
    Q_OBJECT
public:
    explicit ConfirmPrompt(QWidget* parent = nullptr);

    void setACaption(const QString& caption) override;
    QString caption() const override;
    QPushButton* yesButton() const { return m_yes; }
    QPushButton* noButton() const { return m_no; }

public Q_SLOTS:
    void yes();
    void no();
    void reject() override;

private:
    QLabel* m_caption;
    QPushButton* m_yes;
    QPushButton* m_no;
};
