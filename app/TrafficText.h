#pragma once

#include <QCoreApplication>
#include <QString>
#include <QStringList>
#include <cstdint>

#include "TunnelReport.h"

// A tunnel's figures in words a person reads at a glance: sizes and rates in binary units
// ("1.2 MiB", "12 KiB/s"), spans of time ("1 h 4 min"), and the one line a row's tooltip gives.
class TrafficText {
    Q_DECLARE_TR_FUNCTIONS(TrafficText)
public:
    static QString bytes(double count);
    static QString rate(double bytesPerSecond);
    static QString duration(std::int64_t ms);
    // "Connected for 1 h 4 min · ↑ 1.2 MiB ↓ 30 MiB · ↑ 1.0 KiB/s ↓ 12 KiB/s · 2 drops today";
    // the drops alone for a tunnel that is not connected, "" when there is nothing to tell.
    static QString summary(const TunnelReport& report, std::int64_t nowMs);
    static QString drops(unsigned count);
    // Warnings as the window and the row mark them.
    static QString warning(const std::string& sentence);
};
