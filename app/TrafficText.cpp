#include "TrafficText.h"

#include <array>
#include <cmath>

#include "EngineTexts.h"

QString TrafficText::bytes(double count) {
    static const std::array<const char*, 5> units = {"B", "KiB", "MiB", "GiB", "TiB"};
    size_t unit = 0;
    while (count >= 1024 && unit + 1 < units.size()) {
        count /= 1024;
        ++unit;
    }
    // Three figures at most: "1.2 MiB", "30 MiB", "512 B".
    const int decimals = unit > 0 && count < 9.95 ? 1 : 0;
    return tr("%1 %2").arg(count, 0, 'f', decimals).arg(QLatin1String(units[unit]));
}

QString TrafficText::rate(double bytesPerSecond) { return tr("%1/s").arg(bytes(std::max(0.0, bytesPerSecond))); }

QString TrafficText::duration(std::int64_t ms) {
    const std::int64_t s = std::max<std::int64_t>(0, ms) / 1000;
    if (s < 60) return tr("%1 s").arg(s);
    if (s < 3600) return tr("%1 min").arg(s / 60);
    if (s < 86400) return tr("%1 h %2 min").arg(s / 3600).arg(s % 3600 / 60);
    return tr("%1 d %2 h").arg(s / 86400).arg(s % 86400 / 3600);
}

QString TrafficText::drops(unsigned count) { return count == 1 ? tr("1 drop today") : tr("%1 drops today").arg(count); }

QString TrafficText::summary(const TunnelReport& report, std::int64_t nowMs) {
    QStringList pieces;
    if (report.connectedSinceMs > 0) {
        pieces << tr("Connected for %1").arg(duration(nowMs - report.connectedSinceMs))
               << tr("↑ %1 ↓ %2")
                      .arg(bytes(static_cast<double>(report.bytesSent)),
                           bytes(static_cast<double>(report.bytesReceived)))
               << tr("↑ %1 ↓ %2").arg(rate(report.sendRate), rate(report.receiveRate));
    }
    if (report.dropsToday > 0) pieces << drops(report.dropsToday);
    return pieces.join(QStringLiteral(" · "));
}

QString TrafficText::warning(const std::string& sentence) { return tr("⚠ %1").arg(EngineTexts::translated(sentence)); }
