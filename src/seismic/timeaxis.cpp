#include "timeaxis.h"

#include <QDateTime>
#include <QFontMetrics>
#include <QPainter>
#include <QPalette>

#include <cmath>
#include <limits>

namespace {

constexpr qint64 Second = 1000000;
constexpr qint64 Day = 86400 * Second;

} // namespace

TimeAxis::TimeAxis(qint64 start, qint64 end, double left, double width)
    : m_start(start)
    , m_end(qMax(end, start + 1))
    , m_left(left)
    , m_width(qMax(width, 1.0))
{
}

double TimeAxis::x(qint64 time) const
{
    return m_left + double(time - m_start) * m_width / double(m_end - m_start);
}

qint64 TimeAxis::time(double x) const
{
    return m_start + qint64(std::llround((x - m_left) * double(m_end - m_start) / m_width));
}

qint64 TimeAxis::tickStep(double spacing) const
{
    static const qint64 steps[] = {1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 900, 1800, 3600, 7200, 10800, 21600, 43200, 86400, 172800, 604800};
    const double perPixel = double(m_end - m_start) / m_width;
    const double wanted = qMax(spacing, 1.0) * perPixel; // microseconds
    for (qint64 s : steps) {
        if (double(s * Second) >= wanted)
            return s * Second;
    }
    // Longer than a week (a damaged date can stretch the view over millennia): whole
    // weeks in steps of 1, 2, 5 times a power of ten, so that the width, not the span,
    // bounds the number of ticks.
    const qint64 week = 604800 * Second;
    for (qint64 weeks = 1; weeks <= std::numeric_limits<qint64>::max() / 10 / week; weeks *= 10) {
        for (qint64 m : {1, 2, 5}) {
            if (double(m * weeks * week) >= wanted)
                return m * weeks * week;
        }
    }
    return std::numeric_limits<qint64>::max() / 4;
}

QVector<TimeAxis::Tick> TimeAxis::ticks(double spacing) const
{
    const qint64 step = tickStep(spacing);
    // Steps divide the day, so ticks fall on round clock times; a week's step starts at
    // a midnight.
    qint64 first = m_start / step * step;
    if (first < m_start && first <= std::numeric_limits<qint64>::max() - step)
        first += step;
    const QString format = step < 60 * Second ? QStringLiteral("HH:mm:ss") : QStringLiteral("HH:mm");
    // No more ticks than the width holds, whatever the dates.
    const int most = int(m_width / qMax(spacing, 1.0)) + 2;
    QVector<Tick> out;
    for (qint64 t = first; t <= m_end && out.size() < most; t += step) {
        const QDateTime when = QDateTime::fromMSecsSinceEpoch(t / 1000, Qt::UTC);
        const bool midnight = t % Day == 0;
        out.append({t, when.toString(midnight ? QStringLiteral("yyyy-MM-dd") : format)});
        if (t > std::numeric_limits<qint64>::max() - step)
            break;
    }
    return out;
}

void TimeView::reset(qint64 from, qint64 to)
{
    limitStart = start = from;
    limitEnd = end = qMax(to, from + 1);
}

void TimeView::zoom(double factor, qint64 anchor)
{
    const double span = double(end - start);
    const double newSpan = qBound(10000.0, span * factor, double(limitEnd - limitStart));
    const double left = double(anchor - start) / span;
    start = anchor - qint64(std::llround(newSpan * left));
    end = start + qint64(std::llround(newSpan));
    pan(0);
}

void TimeView::pan(qint64 delta)
{
    const qint64 span = end - start;
    start = qBound(limitStart, start + delta, limitEnd - span);
    end = start + span;
}

void drawTimeAxis(QPainter &painter, const TimeAxis &axis, const QRect &area, const QPalette &palette,
                  const QRect &grid)
{
    const QFontMetrics fm = painter.fontMetrics();
    const double spacing = fm.horizontalAdvance(QStringLiteral("2023-03-15")) + fm.averageCharWidth() * 2;
    QColor gridColor = palette.color(QPalette::Text);
    gridColor.setAlpha(40);
    painter.setPen(palette.color(QPalette::Text));
    painter.drawLine(QPointF(axis.left(), area.top() + 0.5), QPointF(axis.left() + axis.width(), area.top() + 0.5));
    const int tickLength = qMax(3, fm.height() / 4);
    double lastRight = -1e9;
    for (const TimeAxis::Tick &tick : axis.ticks(spacing)) {
        const double x = axis.x(tick.time);
        if (!grid.isNull()) {
            painter.setPen(gridColor);
            painter.drawLine(QPointF(x, grid.top()), QPointF(x, grid.bottom()));
        }
        painter.setPen(palette.color(QPalette::Text));
        painter.drawLine(QPointF(x, area.top()), QPointF(x, area.top() + tickLength));
        const double w = fm.horizontalAdvance(tick.label);
        const double left = qBound(double(area.left()), x - w / 2, double(area.right()) - w);
        if (left < lastRight + fm.averageCharWidth())
            continue;
        painter.drawText(QPointF(left, area.top() + tickLength + fm.ascent() + 1), tick.label);
        lastRight = left + w;
    }
    const QString caption = QDateTime::fromMSecsSinceEpoch(axis.start() / 1000, Qt::UTC)
                                .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss 'UTC'"));
    painter.setPen(palette.color(QPalette::PlaceholderText));
    painter.drawText(QPointF(area.left(), area.top() + tickLength + fm.ascent() + fm.height() + 2), caption);
}
