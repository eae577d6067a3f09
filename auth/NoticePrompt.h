#pragma once

#include "PromptWindow.h"

class QLabel;
class QPushButton;

// ssh's words with nothing to answer, such as "Confirm user presence for key …" while ssh waits
// for a security key to be touched. ssh ends its askpass program once the key is touched, and
// the window goes with it; "Hide" only closes the window and leaves ssh waiting for the key.
class NoticePrompt : public PromptWindow {
    Q_OBJECT
public:
    explicit NoticePrompt(QWidget* parent = nullptr);

    void setACaption(const QString& caption) override;
    QString caption() const override;
    QPushButton* hideButton() const { return m_hide; }

public Q_SLOTS:
    void reject() override;

private:
    QLabel* m_caption;
    QPushButton* m_hide;
};
