#pragma once

#include <memory>

#include "PromptWindow.h"

namespace Ui {
class ynQuery;
}
class QPushButton;

// The yes/no prompt ("ynQuery"), for ssh's question about an unknown host key. Yes writes
// exactly "yes", No exactly "no"; neither touches the tunnel.
class ynWindowController : public PromptWindow {
    Q_OBJECT
public:
    explicit ynWindowController(QWidget* parent = nullptr);
    ~ynWindowController() override;

    void setACaption(const QString& caption) override;
    QString caption() const override;

    QPushButton* yesButton() const;
    QPushButton* noButton() const;

public Q_SLOTS:
    void yes();
    void no();
    // Escape and the window's close button answer "no": never accepting a key unasked, and
    // not leaving ssh waiting for an answer that would never come.
    void reject() override;

private:
    std::unique_ptr<Ui::ynQuery> m_ui;
};
