#pragma once

#include <memory>

#include "PromptWindow.h"
#include "UiText.h"

namespace Ui {
class ynQuery;
}
class QPushButton;

// The yes/no prompt ("ynQuery"), for ssh's question about an unknown host key, with the host
// and the key's fingerprint as ssh gave them on top. "Trust and connect" writes exactly "yes";
// "Don't connect" writes exactly "no" and stops the tunnel ("Host key not accepted"): "no" can
// never lead to a connection, so asking again at every retry would only nag.
class HostKeyPrompt : public PromptWindow {
    Q_OBJECT
public:
    explicit HostKeyPrompt(QWidget* parent = nullptr);
    ~HostKeyPrompt() override;

    void setACaption(const QString& caption) override;
    QString caption() const override;

    QPushButton* yesButton() const;
    QPushButton* noButton() const;
    // "Host: …" and "Fingerprint: …" as found in the question; empty when ssh said neither.
    QString heading() const;

    static constexpr const char* kRefusedReason = UI_TEXT("Host key not accepted");

public Q_SLOTS:
    void yes();
    void no();
    // Escape and the window's close button answer "no": never accepting a key unasked, and
    // not leaving ssh waiting for an answer that would never come.
    void reject() override;

private:
    std::unique_ptr<Ui::ynQuery> m_ui;
};
