#include "timelinepainter.h"

#include <QPainter>
#include <QPalette>

#include <algorithm>

namespace {

constexpr int Margin = 6;
constexpr double MinGapWidth = 3; // pixels: a gap of a few seconds on a day-long card still shows

} // namespace

QVector<Stretch>::const_iterator firstStretchFrom(const QVector<Stretch> &spans, qint64 from)
{
    return std::lower_bound(spans.cbegin(), spans.cend(), from, [](const Stretch &s, qint64 t) { return s.end <= t; });
}

TimelinePainter::TimelinePainter(const CardPicture &picture, const QFontMetrics &metrics, int width)
    : m_picture(picture)
    , m_metrics(metrics)
    , m_width(width)
{
    int w = m_metrics.horizontalAdvance(QStringLiteral("XX.VEXA..HHZ"));
    for (const ChannelSpans &c : m_picture.channels)
        w = qMax(w, m_metrics.horizontalAdvance(c.id));
    m_labelWidth = w + 2 * Margin;
}

int TimelinePainter::rowHeight() const
{
    return m_metrics.height() + 10;
}

int TimelinePainter::axisHeight() const
{
    return 2 * m_metrics.height() + 10;
}

int TimelinePainter::height() const
{
    return 2 * Margin + int(m_picture.channels.size()) * rowHeight() + axisHeight();
}

TimeAxis TimelinePainter::axis(qint64 start, qint64 end) const
{
    return TimeAxis(start, end, m_labelWidth, m_width - m_labelWidth - Margin);
}

QRect TimelinePainter::rowRect(int row) const
{
    return QRect(m_labelWidth, Margin + row * rowHeight(), m_width - m_labelWidth - Margin, rowHeight());
}

QRectF TimelinePainter::gapRect(const TimeAxis &a, int row, const Stretch &gap) const
{
    const QRect band = rowRect(row);
    double x0 = a.x(gap.start);
    double x1 = a.x(gap.end);
    if (x1 - x0 < MinGapWidth) {
        const double mid = (x0 + x1) / 2;
        x0 = mid - MinGapWidth / 2;
        x1 = mid + MinGapWidth / 2;
    }
    return QRectF(x0, band.top() + 2, x1 - x0, band.height() - 4);
}

int TimelinePainter::rowAt(const QPoint &pos) const
{
    if (pos.y() < Margin || pos.x() < m_labelWidth)
        return -1;
    const int row = (pos.y() - Margin) / rowHeight();
    return row < m_picture.channels.size() ? row : -1;
}

void TimelinePainter::paint(QPainter &p, qint64 start, qint64 end, const QPalette &pal, const QString &selected) const
{
    const TimeAxis a = axis(start, end);
    const int rows = int(m_picture.channels.size());
    const QRect plot(a.left(), Margin, int(a.width()), rows * rowHeight());
    const QRect axisArea(plot.left(), plot.bottom() + 2, plot.width(), axisHeight());
    drawTimeAxis(p, a, axisArea, pal, plot);

    const QColor barColor = pal.color(QPalette::Highlight);
    const QColor selectedColor = pal.color(QPalette::Text);
    p.setClipRect(plot.adjusted(0, 0, 1, 1));
    for (int row = 0; row < rows; ++row) {
        const ChannelSpans &c = m_picture.channels.at(row);
        const QRect band = rowRect(row);
        const double top = band.top() + 5;
        const double height = band.height() - 10;

        // Clock-unlocked stretches shade the whole height of the row, behind the bars:
        // above and below a bar the shade shows, and a bar still shows where data are.
        for (auto it = firstStretchFrom(c.unlocked, start); it != c.unlocked.cend() && it->start < end; ++it) {
            const double x0 = a.x(it->start);
            p.fillRect(QRectF(x0, band.top() + 1, qMax(a.x(it->end) - x0, MinGapWidth), band.height() - 2), unlockedColor());
        }
        // Data bars; neighbours that meet within a pixel become one rectangle, so that a
        // card of thousands of files costs a few rectangles.
        bool open = false;
        double runLeft = 0, runRight = 0;
        for (auto it = firstStretchFrom(c.data, start); it != c.data.cend() && it->start < end; ++it) {
            const double x0 = a.x(it->start);
            const double x1 = qMax(a.x(it->end), x0 + 1);
            if (open && x0 <= runRight + 0.5) {
                runRight = qMax(runRight, x1);
                continue;
            }
            if (open)
                p.fillRect(QRectF(runLeft, top, runRight - runLeft, height), barColor);
            runLeft = x0;
            runRight = x1;
            open = true;
        }
        if (open)
            p.fillRect(QRectF(runLeft, top, runRight - runLeft, height), barColor);

        // The selected file outlined; the gaps over it, so that none hides.
        if (!selected.isEmpty()) {
            p.setPen(QPen(selectedColor, 1.5));
            p.setBrush(Qt::NoBrush);
            for (auto it = firstStretchFrom(c.data, start); it != c.data.cend() && it->start < end; ++it) {
                if (it->cardPath == selected) {
                    const double x0 = a.x(it->start);
                    p.drawRect(QRectF(x0, top - 2, qMax(a.x(it->end) - x0, 2.0), height + 4));
                }
            }
        }
        for (const Stretch &g : c.gaps) {
            if (g.end < start || g.start > end)
                continue;
            const QRectF r = gapRect(a, row, g);
            if (g.unreadableSectors > 0) {
                p.fillRect(r, pal.color(QPalette::Base));
                p.fillRect(r, QBrush(gapColor(), Qt::BDiagPattern));
                p.setPen(gapColor());
                p.drawRect(r.adjusted(0.5, 0.5, -0.5, -0.5));
            } else {
                p.fillRect(r, gapColor());
            }
        }
    }
    p.setClipping(false);
    p.setPen(pal.color(QPalette::Text));
    for (int row = 0; row < rows; ++row) {
        const QRect band = rowRect(row);
        p.drawText(QRect(Margin, band.top(), m_labelWidth - 2 * Margin, band.height()), Qt::AlignVCenter | Qt::AlignLeft,
                   m_picture.channels.at(row).id);
    }
}
