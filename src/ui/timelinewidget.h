// The availability timeline: one row per channel over the card's whole time span, a bar
// where data exist, gaps in red, gaps lost to unreadable card sectors hatched, stretches
// recorded with the clock unlocked shaded, and a UTC axis. The wheel zooms, dragging pans,
// hovering explains what lies under the pointer and a click names the file.
#pragma once

#include "cardpicture.h"
#include "timeaxis.h"
#include "timelinepainter.h"

#include <QWidget>

class TimelineWidget : public QWidget
{
    Q_OBJECT

public:
    explicit TimelineWidget(QWidget *parent = nullptr);

    // Shows `picture`; the view goes to the card's whole span unless the span is unchanged.
    void setPicture(const CardPicture &picture);
    const CardPicture &picture() const { return m_picture; }
    // Outlines the stretches of the file at `cardPath`.
    void setSelectedPath(const QString &cardPath);

    TimeView &view() { return m_view; }
    TimeAxis axis() const;
    // The band of channel row `row`.
    QRect rowRect(int row) const;
    // Where a gap is drawn: never narrower than a few pixels, so that a short one shows.
    QRectF gapRect(int row, const Stretch &gap) const;
    // What lies under `pos`: a gap with its times and length, an unlocked stretch, a file.
    QString toolTipAt(const QPoint &pos) const;
    // The card path of the file drawn under `pos`, or empty.
    QString cardPathAt(const QPoint &pos) const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

Q_SIGNALS:
    void fileClicked(const QString &cardPath);

protected:
    bool event(QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void wheelEvent(QWheelEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    // A double click shows the whole span again.
    void mouseDoubleClickEvent(QMouseEvent *event) override;

private:
    // The layout and the drawing, shared with the command line's campaign picture.
    TimelinePainter painter() const;
    int rowAt(const QPoint &pos) const;

    CardPicture m_picture;
    TimeView m_view;
    QString m_selected;
    QPoint m_pressPos;
    qint64 m_pressStart = 0;
    bool m_dragging = false;
    bool m_pressed = false;
};
