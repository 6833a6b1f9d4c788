// The availability timeline drawn on any paint device, for the window's timeline and for
// the campaign picture of the command line alike: one row per channel, its name at the
// left, a bar where data exist, gaps in red (hatched when lost to unreadable card sectors),
// stretches recorded with the clock unlocked shaded, and a UTC axis below the rows.
#pragma once

#include "cardpicture.h"
#include "timeaxis.h"

#include <QColor>
#include <QFontMetrics>
#include <QRect>

class QPainter;
class QPalette;

class TimelinePainter
{
public:
    // The layout of `picture`'s rows over `width` pixels, with the font of `metrics`. The
    // picture must outlive the painter.
    TimelinePainter(const CardPicture &picture, const QFontMetrics &metrics, int width);

    static QColor gapColor() { return QColor(214, 39, 40); }
    static QColor unlockedColor() { return QColor(255, 150, 0, 170); }

    int labelWidth() const { return m_labelWidth; }
    int rowHeight() const;
    int axisHeight() const;
    // The height that every row and the axis below them take.
    int height() const;
    // The axis of the view [start, end) over the rows' width.
    TimeAxis axis(qint64 start, qint64 end) const;
    // The band of channel row `row`.
    QRect rowRect(int row) const;
    // Where a gap is drawn: never narrower than a few pixels, so that a short one shows.
    QRectF gapRect(const TimeAxis &axis, int row, const Stretch &gap) const;
    // The row under `pos`, or -1.
    int rowAt(const QPoint &pos) const;

    // Draws the view [start, end) of the picture over a background the caller filled, the
    // file at `selected` outlined.
    void paint(QPainter &painter, qint64 start, qint64 end, const QPalette &palette,
               const QString &selected = QString()) const;

private:
    const CardPicture &m_picture;
    QFontMetrics m_metrics;
    int m_width;
    int m_labelWidth;
};

// The spans of a sorted list that may overlap [from, to): from the first whose end lies
// after `from`. Spans of one channel do not nest, so their ends rise with their starts.
QVector<Stretch>::const_iterator firstStretchFrom(const QVector<Stretch> &spans, qint64 from);
