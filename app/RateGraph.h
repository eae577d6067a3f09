#pragma once

#include <QWidget>
#include <cstdint>
#include <vector>

#include "TunnelReport.h"

// The send and receive rates of a tunnel's last minutes as two lines over a time axis, from the
// cumulative counts of its report. Its accessible description says the current rates, for
// those who cannot see the lines.
class RateGraph : public QWidget {
    Q_OBJECT
public:
    // The span shown, as long as the report keeps samples.
    static constexpr std::int64_t kSpanMs = 5 * 60 * 1000;

    explicit RateGraph(QWidget* parent = nullptr);

    // Takes the report's samples, oldest first; nowMs is the right edge.
    void setSamples(const std::vector<TrafficSample>& samples, std::int64_t nowMs);
    double sendRate() const { return m_points.empty() ? 0 : m_points.back().sent; }
    double receiveRate() const { return m_points.empty() ? 0 : m_points.back().received; }
    // The top of the rate axis: a round figure above the highest rate.
    double scaleTop() const;

    static QColor sentColor();
    static QColor receivedColor();

    QSize sizeHint() const override { return {480, 150}; }
    QSize minimumSizeHint() const override { return {240, 120}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    struct Point {
        std::int64_t atMs;
        double sent;
        double received;
    };
    std::vector<Point> m_points;
    std::int64_t m_nowMs = 0;
};
