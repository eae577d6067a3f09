#pragma once

#include <QLabel>
#include <QString>

// A text that opens its address in the desktop's browser when clicked. Its look (colour,
// underline, pointer) comes from the window layout; the class adds no drawing of its own.
class LinkLabel : public QLabel {
    Q_OBJECT
public:
    explicit LinkLabel(QWidget* parent = nullptr);

    // The address opened on a click; empty until set.
    void setURL(const QString& url);
    QString url() const { return m_url; }

    // Opens the address; false when there is none, it is not a valid address, or nothing opened it.
    bool openURL() const;

protected:
    // Every release opens the address, wherever the pointer is; the event goes no further.
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    QString m_url;
};
