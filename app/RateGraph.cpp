#include "RateGraph.h"

#include <QPainter>
#include <QStyle>
#include <QStyleOptionFocusRect>
#include <array>
#include <cmath>

#include "TrafficText.h"

RateGraph::RateGraph(QWidget* parent) : QWidget(parent) {
    setAccessibleName(tr("Traffic graph"));
    // Reached by Tab, so that a screen reader tells its description.
    setFocusPolicy(Qt::TabFocus);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    setSamples({}, 0);
}

QColor RateGraph::sentColor() { return {0x1f, 0x6f, 0xc4}; }
QColor RateGraph::receivedColor() { return {0x2e, 0x8b, 0x3a}; }

void RateGraph::setSamples(const std::vector<TrafficSample>& samples, std::int64_t nowMs) {
    m_nowMs = nowMs;
    m_points.clear();
    for (size_t i = 1; i < samples.size(); ++i) {
        const TrafficSample &a = samples[i - 1], &b = samples[i];
        const double seconds = static_cast<double>(b.atMs - a.atMs) / 1000.0;
        // Counts start afresh with each connection: a fall is a new one, not a negative rate.
        if (seconds <= 0 || b.sent < a.sent || b.received < a.received) continue;
        m_points.push_back({b.atMs, static_cast<double>(b.sent - a.sent) / seconds,
                            static_cast<double>(b.received - a.received) / seconds});
    }
    setAccessibleDescription(
        m_points.empty()
            ? tr("No traffic counted in the last 5 minutes")
            : tr("Sending %1, receiving %2; over the last 5 minutes at most %3")
                  .arg(TrafficText::rate(sendRate()), TrafficText::rate(receiveRate()), TrafficText::rate(scaleTop())));
    update();
}

double RateGraph::scaleTop() const {
    double top = 0;
    for (const Point& p : m_points) top = std::max({top, p.sent, p.received});
    // 1, 2 or 5 times a power of ten of the unit the labels use, never below 1 KiB/s.
    double unit = 1024;
    while (top >= unit * 1024) unit *= 1024;
    const double inUnits = std::max(1.0, top / unit);
    const double power = std::pow(10.0, std::floor(std::log10(inUnits)));
    for (const double step : {1.0, 2.0, 5.0, 10.0})
        if (step * power >= inUnits) return step * power * unit;
    return 10 * power * unit;
}

void RateGraph::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QPalette& pal = palette();
    painter.fillRect(rect(), pal.color(QPalette::Base));
    if (hasFocus()) {
        QStyleOptionFocusRect focus;
        focus.initFrom(this);
        style()->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, &painter, this);
    }
    const QFontMetrics fm(font());
    const double top = scaleTop();
    // Round figures on every line: fifths of a 5, quarters of a 1 or a 2.
    double leading = top;
    while (leading >= 1024) leading /= 1024;
    while (leading >= 10) leading /= 10;
    const int kRows = std::lround(leading) == 5 ? 5 : 4;
    int labelWidth = 0;
    for (int i = 0; i <= kRows; ++i)
        labelWidth = std::max(labelWidth, fm.horizontalAdvance(TrafficText::rate(top * i / kRows)));
    // Room for the legend above, the minutes below, the rates to the left.
    const QRect plot = rect().adjusted(labelWidth + 10, fm.height() + 8, -12, -(fm.height() + 6));
    if (plot.width() < 20 || plot.height() < 20) return;

    // Grid and labels on whole pixels, so that a 1 px line stays one line at every scale.
    const QColor grid = pal.color(QPalette::Mid);
    const QColor text = pal.color(QPalette::Text);
    painter.setFont(font());
    for (int i = 0; i <= kRows; ++i) {
        const double y = std::round(plot.bottom() - plot.height() * i / double(kRows)) + 0.5;
        painter.setPen(QPen(grid, 1, i == 0 ? Qt::SolidLine : Qt::DotLine));
        painter.drawLine(QPointF(plot.left(), y), QPointF(plot.right(), y));
        painter.setPen(text);
        const QString label = TrafficText::rate(top * i / kRows);
        painter.drawText(QPointF(plot.left() - 6 - fm.horizontalAdvance(label), y + fm.ascent() / 2.0 - 1), label);
    }
    const auto xOf = [&](std::int64_t atMs) {
        return plot.right() - static_cast<double>(m_nowMs - atMs) / kSpanMs * plot.width();
    };
    for (int minutes = 0; minutes <= kSpanMs / 60000; ++minutes) {
        const double x = std::round(xOf(m_nowMs - minutes * 60000LL)) + 0.5;
        painter.setPen(QPen(grid, 1, minutes == kSpanMs / 60000 ? Qt::SolidLine : Qt::DotLine));
        painter.drawLine(QPointF(x, plot.top()), QPointF(x, plot.bottom() + 0.5));
        painter.setPen(text);
        const QString label = minutes == 0 ? tr("now") : tr("−%1 min").arg(minutes);
        const double w = fm.horizontalAdvance(label);
        painter.drawText(QPointF(std::clamp(x - w / 2, 0.0, width() - w), plot.bottom() + 4 + fm.ascent()), label);
    }

    // Legend: what each colour stands for, with its current rate.
    double legendX = plot.left();
    const std::array<std::pair<QColor, QString>, 2> legend = {
        std::pair{sentColor(), tr("Sent %1").arg(TrafficText::rate(sendRate()))},
        std::pair{receivedColor(), tr("Received %1").arg(TrafficText::rate(receiveRate()))}};
    for (const auto& [colour, label] : legend) {
        painter.fillRect(QRectF(legendX, 4 + fm.ascent() / 2.0 - 4, 14, 8), colour);
        painter.setPen(text);
        painter.drawText(QPointF(legendX + 18, 4 + fm.ascent()), label);
        legendX += 18 + fm.horizontalAdvance(label) + 16;
    }

    painter.setClipRect(plot.adjusted(0, -1, 1, 1));
    const auto yOf = [&](double rate) { return plot.bottom() + 0.5 - rate / top * plot.height(); };
    // A gap of more than two samples is time without a connection: the lines break there.
    std::vector<std::pair<size_t, size_t>> runs;
    for (size_t i = 0; i < m_points.size(); ++i)
        if (i == 0 || m_points[i].atMs - m_points[i - 1].atMs > 5000)
            runs.emplace_back(i, i + 1);
        else
            runs.back().second = i + 1;
    QColor fill = receivedColor();
    fill.setAlpha(40);
    const QPen receivedPen(receivedColor(), 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    const QPen sentPen(sentColor(), 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    painter.setBrush(Qt::NoBrush);
    for (const auto& [first, end] : runs) {
        QPolygonF received, sent;
        for (size_t i = first; i < end; ++i) {
            received << QPointF(xOf(m_points[i].atMs), yOf(m_points[i].received));
            sent << QPointF(xOf(m_points[i].atMs), yOf(m_points[i].sent));
        }
        QPolygonF area = received;
        area << QPointF(received.last().x(), plot.bottom() + 0.5) << QPointF(received.first().x(), plot.bottom() + 0.5);
        painter.setPen(Qt::NoPen);
        painter.setBrush(fill);
        painter.drawPolygon(area);
        painter.setBrush(Qt::NoBrush);
        painter.setPen(receivedPen);
        painter.drawPolyline(received);
        painter.setPen(sentPen);
        painter.drawPolyline(sent);
    }
}
