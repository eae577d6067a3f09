#pragma once

#include <QList>
#include <QObject>
#include <QUrl>

// Stands in for the desktop's browser: QDesktopServices hands it the addresses to open.
class UrlRecorder : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public Q_SLOTS:
    void open(const QUrl& url) { opened.append(url); }
};
