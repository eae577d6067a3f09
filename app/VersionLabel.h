#pragma once

#include <QLabel>
#include <QString>

#include "Value.h"
#include "ZandrelVersion.h"

// A text whose loaded text is the format of the version line: "%@" takes the short version,
// "%d" the build number, in that order ("%%" is a percent sign).
class VersionLabel : public QLabel {
    Q_OBJECT
public:
    explicit VersionLabel(QWidget* parent = nullptr);

    // Replaces the text by the version line, once; later calls do nothing. Runs by itself
    // when the field is first polished, that is after its window layout has been set up.
    void fillVersionLine();

    // The format filled with the two values.
    static QString versionLine(const QString& format, const QString& shortVersion, int buildNumber);
    // See ZandrelVersion.
    static int intValue(const Value& value) { return ZandrelVersion::intValue(value); }

protected:
    bool event(QEvent* event) override;

private:
    bool m_awake = false;
};
