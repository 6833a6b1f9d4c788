// The one place where times become pixels and pixels times, for the timeline and the
// waveform alike, and where a UTC axis chooses its ticks.
#pragma once

#include <QString>
#include <QVector>
#include <QtGlobal>

class TimeAxis
{
public:
    // [start, end) in UTC microseconds drawn over `width` pixels from `left`.
    TimeAxis(qint64 start, qint64 end, double left, double width);

    double x(qint64 time) const;
    qint64 time(double x) const;
    qint64 start() const { return m_start; }
    qint64 end() const { return m_end; }
    double left() const { return m_left; }
    double width() const { return m_width; }

    struct Tick
    {
        qint64 time = 0;
        QString label; // "09:26:10", "09:30", or the date at midnight: "2023-03-15"
    };
    // The ticks at the smallest step of 1 s, 2 s, 5 s, ... 1 day, 2 days, 7 days, then 1,
    // 2, 5, 10, ... weeks, whose ticks lie at least `spacing` pixels apart; steps below a
    // minute label seconds. Never more ticks than the width holds.
    QVector<Tick> ticks(double spacing) const;
    qint64 tickStep(double spacing) const;

private:
    qint64 m_start;
    qint64 m_end;
    double m_left;
    double m_width;
};

// A window onto [limitStart, limitEnd): what the mouse wheel narrows and dragging moves.
struct TimeView
{
    qint64 start = 0;
    qint64 end = 0;
    qint64 limitStart = 0;
    qint64 limitEnd = 0;

    // Shows the whole of [from, to).
    void reset(qint64 from, qint64 to);
    // Narrows (factor < 1) or widens the view around `anchor`, which stays where it is;
    // never narrower than 10 ms nor wider than the limits.
    void zoom(double factor, qint64 anchor);
    // Moves the view by `delta` microseconds within the limits.
    void pan(qint64 delta);
};

class QPainter;
class QPalette;
class QRect;

// Draws the axis along the top of `area`: a tick and its label at every step, the date of
// the view's start at the left, and faint grid lines up through `grid` when it is given.
void drawTimeAxis(QPainter &painter, const TimeAxis &axis, const QRect &area, const QPalette &palette,
                  const QRect &grid);
