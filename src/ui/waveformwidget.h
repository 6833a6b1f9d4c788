// The quick look at one file: its channels one under another over the file's time span,
// each drawn as the least and greatest sample of every pixel column, with a break where
// the data break, the channel id and the amplitude range of what is in view, and a UTC
// axis. The wheel zooms and dragging pans; both redraw from the min/max pyramids.
#pragma once

#include "quicklook.h"
#include "timeaxis.h"

#include <QWidget>

#include <memory>

class WaveformWidget : public QWidget
{
    Q_OBJECT

public:
    explicit WaveformWidget(QWidget *parent = nullptr);

    // Shows `look` over its whole span; null clears the view.
    void setQuickLook(std::shared_ptr<const QuickLook> look);
    std::shared_ptr<const QuickLook> quickLook() const { return m_look; }
    // A line in place of the traces: "Reading …", why nothing can be shown.
    void setMessage(const QString &message);
    QString message() const { return m_message; }

    TimeView &view() { return m_view; }
    TimeAxis axis() const;
    // The band of trace `index`.
    QRect traceRect(int index) const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

Q_SIGNALS:
    // After a paint that drew traces (for those who time the quick look).
    void painted();

protected:
    void paintEvent(QPaintEvent *event) override;
    void wheelEvent(QWheelEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    // A double click shows the whole span again.
    void mouseDoubleClickEvent(QMouseEvent *event) override;

private:
    int labelHeight() const;
    int axisHeight() const;
    void drawTrace(QPainter &p, const Trace &trace, const QRect &band) const;

    std::shared_ptr<const QuickLook> m_look;
    QString m_message;
    TimeView m_view;
    QPoint m_pressPos;
    qint64 m_pressStart = 0;
    bool m_pressed = false;
};
